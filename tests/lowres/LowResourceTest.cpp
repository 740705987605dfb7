// Low-resource sweep: every allocation the driver makes on the way through a
// scenario is failed in turn (the Nth injectable allocation, n = 1 .. until a
// run injects nothing), then at random over many seeds. After each run the
// device is removed and the driver unloaded: the verifier must have nothing
// to say (no leak, no lost IRP), each failed request must carry a failure
// status the caller can act on, and a device left started must still move
// data once injection is off. The report of every failed site and its
// outcome is printed (and kept in the test log).
//
// VEXTORA_LOWRES_SEEDS=<n> raises the number of random runs per scenario
// (default 8, for CI time under the sanitizers).
#include "tests/lowres/FaultSites.h"
#include "tests/lowres/Rig.h"

#include "tools/common/StatusNames.h"
#include "tools/vxsim/WmiAccess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace lowres {
namespace {

// STATUS_DATA_ERROR: what a scenario records when the data it got back is wrong.
constexpr NTSTATUS kDataError = static_cast<NTSTATUS>(0xC000003E);
// Stands for "AddDevice failed and the PnP manager marked the node failed":
// its status does not reach the test, the node's state does.
constexpr NTSTATUS kAddDeviceFailed = static_cast<NTSTATUS>(0xC000009A);

struct Context {
    vxio::Handle Device = vxio::kInvalidHandle;
    vxio::Handle Out = vxio::kInvalidHandle;
    vxio::Handle In = vxio::kInvalidHandle;
    vxio::Handle Interrupt = vxio::kInvalidHandle;
    std::shared_ptr<vxio::Request> Pending;
};

struct Step {
    std::string What;
    NTSTATUS Status;
};

struct Scenario {
    const char *Name;
    bool Idle = false;
    bool Plugged = true;           // the device is started before injection
    bool RemovesDevice = false;    // the device is gone after the phase
    bool LoadsDriver = false;      // the phase loads the driver itself
    // A fault of the driver that this scenario shows and that is still open
    // (it hangs the run): the scenario runs only with VEXTORA_LOWRES_KNOWN_FAULTS=1.
    const char *OpenFault = nullptr;
    std::function<void(Rig &, Context &)> Setup;
    std::function<std::vector<Step>(Rig &, Context &)> Phase;
};

NTSTATUS Control(Rig &rig, vxio::Handle handle, uint32_t code, const void *in, uint32_t inLength, uint32_t outLength)
{
    std::vector<uint8_t> out(outLength + 1);
    uint32_t returned = 0;
    return rig.Io().ControlSync(handle, code, in, inLength, out.data(), outLength, &returned);
}

void OpenAll(Rig &rig, Context &c)
{
    ASSERT_EQ(rig.Open(u"", &c.Device), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(u"PIPE0", &c.Out), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(u"PIPE1", &c.In), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(u"PIPE2", &c.Interrupt), STATUS_SUCCESS);
}

std::vector<Step> SleepAndResume(Rig &rig, SYSTEM_POWER_STATE state)
{
    std::vector<Step> steps;
    steps.push_back({"sleep", rig.Power().SetSystemPower(rig.Pdo(), state)});
    rig.Power().WaitIdle();
    steps.push_back({"resume", rig.Power().SetSystemPower(rig.Pdo(), PowerSystemWorking)});
    rig.Power().WaitIdle();
    return steps;
}

Scenario ControlScenario(const char *name, uint32_t code, std::vector<uint8_t> input, uint32_t outLength,
                         bool onPipe = false)
{
    Scenario s;
        s.Name = name;
    s.Setup = OpenAll;
    s.Phase = [=](Rig &rig, Context &c) {
        return std::vector<Step>{{"control", Control(rig, onPipe ? c.In : c.Device, code, input.data(),
                                                      static_cast<uint32_t>(input.size()), outLength)}};
    };
    return s;
}

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> all;
    {
        Scenario s;
        s.Name = "driver entry";
        s.LoadsDriver = true;
        s.Plugged = false;
        s.Phase = [](Rig &rig, Context &) {
            std::vector<Step> steps{{"DriverEntry", rig.Load()}};
            if (rig.Loaded()) {
                // A driver that loaded under injection must serve a device.
                rig.Machine().SetFaultPlan({});
                steps.push_back({"plug after loading", rig.Plug() ? STATUS_SUCCESS : kDataError});
            }
            return steps;
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "start";
        s.Plugged = false;
        s.Phase = [](Rig &rig, Context &) {
            bool started = rig.Plug();
            if (started) {
                return std::vector<Step>{{"plug and start", STATUS_SUCCESS}};
            }
            // AddDevice answers the PnP manager directly; a failed start
            // request is in the node's history.
            for (const sim::PnpRecord &r : rig.Pnp().History(rig.Pdo())) {
                if (r.Minor == IRP_MN_START_DEVICE) {
                    return std::vector<Step>{{"start request", r.Status}};
                }
            }
            bool addFailed = rig.Pnp().State(rig.Pdo()) == sim::NodeState::AddFailed;
            return std::vector<Step>{{"AddDevice (node refused)", addFailed ? kAddDeviceFailed : STATUS_UNSUCCESSFUL}};
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "open";
        s.Phase = [](Rig &rig, Context &c) {
            return std::vector<Step>{{"open device", rig.Open(u"", &c.Device)},
                                     {"open PIPE0", rig.Open(u"PIPE0", &c.Out)},
                                     {"open PIPE2", rig.Open(u"PIPE2", &c.Interrupt)}};
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "bulk write";
        s.Setup = OpenAll;
        s.Phase = [](Rig &rig, Context &c) {
            std::vector<uint8_t> data(300, 0x5A);
            uint32_t moved = 0;
            NTSTATUS status = rig.Io().WriteSync(c.Out, data.data(), static_cast<uint32_t>(data.size()), &moved);
            // Whatever went out must come back whole: drain it so the
            // follow-up round trip starts from an empty FIFO.
            rig.Machine().SetFaultPlan({});
            if (NT_SUCCESS(status) && moved > 0) {
                std::vector<uint8_t> back(moved);
                (void)rig.Io().ReadSync(c.In, back.data(), moved, &moved);
            }
            return std::vector<Step>{{"write 300", status}};
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "bulk read";
        s.Setup = [](Rig &rig, Context &c) {
            OpenAll(rig, c);
            std::vector<uint8_t> data(300, 0xA5);
            ASSERT_EQ(rig.Io().WriteSync(c.Out, data.data(), 300), STATUS_SUCCESS);
        };
        s.Phase = [](Rig &rig, Context &c) {
            std::vector<uint8_t> back(300);
            uint32_t moved = 0;
            NTSTATUS status = rig.Io().ReadSync(c.In, back.data(), 300, &moved);
            std::vector<Step> steps{{"read 300", status}};
            if (NT_SUCCESS(status) && std::count(back.begin(), back.begin() + moved, 0xA5) != moved) {
                steps.push_back({"data read back corrupted", kDataError});
            }
            rig.Machine().SetFaultPlan({});
            // Drain what the failed read left in the device.
            if (!NT_SUCCESS(status)) {
                (void)rig.Io().ReadSync(c.In, back.data(), 300, &moved);
            }
            return steps;
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "interrupt read";
        s.Setup = OpenAll;
        s.Phase = [](Rig &rig, Context &c) {
            uint8_t level[8] = {};
            return std::vector<Step>{{"read interrupt", rig.Io().ReadSync(c.Interrupt, level, sizeof level)}};
        };
        all.push_back(s);
    }
    VEXTORA_STRING_REQUEST product{2, 0, 0x09, 0x04};
    std::vector<uint8_t> productBytes(reinterpret_cast<uint8_t *>(&product), reinterpret_cast<uint8_t *>(&product) + 4);
    all.push_back(ControlScenario("IOCTL_GET_CONFIG_DESCRIPTOR", IOCTL_GET_CONFIG_DESCRIPTOR, {}, 512));
    all.push_back(ControlScenario("IOCTL_RESET_DEVICE", IOCTL_RESET_DEVICE, {}, 0));
    all.push_back(ControlScenario("IOCTL_RESET_PIPE", IOCTL_RESET_PIPE, {}, 0, true));
    all.push_back(ControlScenario("IOCTL_CLASS_READ_BLOCK", IOCTL_CLASS_READ_BLOCK, {}, 64));
    all.push_back(ControlScenario("IOCTL_CLASS_READ", IOCTL_CLASS_READ, {}, 8));
    all.push_back(ControlScenario("IOCTL_CLASS_OTHER_WRITE", IOCTL_CLASS_OTHER_WRITE, {1, 2, 3, 4}, 4));
    all.push_back(ControlScenario("IOCTL_GET_DEVICE_DESCRIPTOR", IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18));
    all.push_back(ControlScenario("IOCTL_GET_STRING_DESCRIPTOR", IOCTL_GET_STRING_DESCRIPTOR, productBytes, 255));
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                     PowerSystemHibernate}) {
        static const char *names[] = {"sleep S1 and resume", "sleep S2 and resume", "sleep S3 and resume",
                                      "hibernate S4 and resume"};
        Scenario s;
        s.Name = names[state - PowerSystemSleeping1];
        s.Phase = [state](Rig &rig, Context &) { return SleepAndResume(rig, state); };
        all.push_back(s);
    }
    {
        // The power-down aborts what may still be on the open pipes.
        Scenario s;
        s.Name = "sleep S3 with pipes open";
        s.Setup = OpenAll;
        s.Phase = [](Rig &rig, Context &) { return SleepAndResume(rig, PowerSystemSleeping3); };
        all.push_back(s);
    }
    {
        // The power-down aborts the transfers still on the open pipes.
        Scenario s;
        s.Name = "sleep S3 with a read waiting";
        s.Setup = OpenAll;
        s.Phase = [](Rig &rig, Context &c) {
            static uint8_t buffer[64];
            c.Pending = rig.Io().Read(c.In, buffer, sizeof buffer);
            std::vector<Step> steps = SleepAndResume(rig, PowerSystemSleeping3);
            rig.Io().CancelIo(c.In);
            NTSTATUS read = c.Pending->Wait();
            steps.push_back({"read waiting across the sleep", read == STATUS_CANCELLED ? STATUS_SUCCESS : read});
            return steps;
        };
        all.push_back(s);
    }
    {
        // Stop unconfigures the device; the restart configures it again.
        Scenario s;
        s.Name = "rebalance (stop and restart)";
        s.Phase = [](Rig &rig, Context &) {
            return std::vector<Step>{{"rebalance", rig.Pnp().Rebalance(rig.Pdo())}};
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "idle suspend and resume";
        s.Idle = true;
        s.Phase = [](Rig &rig, Context &c) {
            std::vector<Step> steps;
            for (int i = 0; i < 300 && rig.Port()->PowerState() == PowerDeviceD0; ++i) {
                rig.Machine().Sleep(std::chrono::milliseconds(100));
            }
            steps.push_back({"idle suspend", STATUS_SUCCESS});
            steps.push_back({"open to resume", rig.Open(u"PIPE0", &c.Out)});
            // The D0 request is made when the bus gives the cancelled idle
            // request back, after the open has returned: the phase waits for
            // it, so that its allocation is always one of this path's.
            for (int i = 0; i < 300 && rig.Port()->PowerState() != PowerDeviceD0; ++i) {
                rig.Machine().Sleep(std::chrono::milliseconds(10));
            }
            return steps;
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "WMI query and set";
        s.Phase = [](Rig &rig, Context &) {
            uint32_t value = 0;
            std::vector<Step> steps;
            steps.push_back({"query DebugPrintLevel", vx::WmiGet(rig.Machine(), rig.Pdo(), "DebugPrintLevel", &value)});
            steps.push_back({"set DebugPrintLevel", vx::WmiSet(rig.Machine(), rig.Pdo(), "DebugPrintLevel", 3)});
            return steps;
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "removal with handles open";
        s.RemovesDevice = true;
        s.Setup = OpenAll;
        s.Phase = [](Rig &rig, Context &c) {
            std::vector<Step> steps{{"query remove", rig.Pnp().QueryRemove(rig.Pdo())}};
            rig.Close(c.Device);
            rig.Close(c.Out);
            rig.Close(c.In);
            rig.Close(c.Interrupt);
            steps.push_back({"disable", rig.Pnp().Disable(rig.Pdo())});
            rig.Pnp().WaitIdle();
            return steps;
        };
        all.push_back(s);
    }
    {
        Scenario s;
        s.Name = "surprise removal";
        s.RemovesDevice = true;
        s.Setup = OpenAll;
        s.Phase = [](Rig &rig, Context &c) {
            rig.Machine().Component<vextora::usb::UsbBus>().Unplug(*rig.Port());
            rig.Pnp().WaitIdle();
            uint8_t byte = 0;
            std::vector<Step> steps{{"write after unplug (must fail)", rig.Io().WriteSync(c.Out, &byte, 1)}};
            if (NT_SUCCESS(steps.back().Status)) {
                steps.back().Status = kDataError;  // a write to a vanished device cannot succeed
            }
            return steps;
        };
        all.push_back(s);
    }
    return all;
}

// Statuses a request may end with when the driver could not get memory or
// the operation could not finish because of it.
bool AcceptableFailure(const Step &step)
{
    if (step.What.find("must fail") != std::string::npos) {
        return step.Status != kDataError;
    }
    switch (static_cast<uint32_t>(step.Status)) {
    case 0xC000009A:  // STATUS_INSUFFICIENT_RESOURCES
    case 0xC0000017:  // STATUS_NO_MEMORY
        return true;
    default:
        return NT_SUCCESS(step.Status);
    }
}

struct RunRecord {
    uint64_t Injected = 0;
    std::vector<FailedSite> Sites;
    std::vector<Step> Steps;
    std::string FollowUp;  // empty when the device still moves data (or is gone by design)
    std::string Reports;
    bool Ok = true;
    std::string Problem;
};

RunRecord RunOnce(const Scenario &scenario, const sim::FaultPlan &plan, uint64_t seed)
{
    RunRecord record;
    Rig rig({seed, scenario.Idle, scenario.LoadsDriver});
    ObserveFaults(rig.Machine());
    if (!scenario.LoadsDriver && !rig.Loaded()) {
        record.Ok = false;
        record.Problem = "DriverEntry failed without injection";
        return record;
    }
    vx::RegisterDriverClasses(rig.Machine());
    Context context;
    if (scenario.Plugged) {
        if (!rig.Plug()) {
            record.Ok = false;
            record.Problem = "the device did not start without injection";
            return record;
        }
        if (scenario.Setup) {
            scenario.Setup(rig, context);
        }
        if (::testing::Test::HasFatalFailure()) {
            record.Ok = false;
            record.Problem = "setup failed";
            return record;
        }
    }
    ClearFailedSites();
    rig.Machine().SetFaultPlan(plan);
    record.Steps = scenario.Phase(rig, context);
    rig.Machine().SetFaultPlan({});
    record.Injected = rig.Machine().InjectedFailures();
    record.Sites = TakeFailedSites();
    rig.Io().WaitIdle();
    rig.Pnp().WaitIdle();
    rig.Power().WaitIdle();

    for (const Step &step : record.Steps) {
        if (!AcceptableFailure(step)) {
            record.Ok = false;
            record.Problem += step.What + " ended with " + vx::StatusName(step.Status) + "; ";
        }
    }
    rig.CloseAll();
    if (!scenario.RemovesDevice && rig.Started()) {
        // A D0 request that could not be made under injection is made again
        // by the driver every 100 ms; give it that time once injection is off.
        for (int i = 0; i < 10 && rig.Port()->PowerState() != PowerDeviceD0; ++i) {
            rig.Machine().Sleep(std::chrono::milliseconds(50));
        }
        record.FollowUp = rig.RoundTrip(static_cast<uint8_t>(seed));
        if (!record.FollowUp.empty()) {
            record.Ok = false;
            record.Problem += "device unusable afterwards (" + record.FollowUp + "); ";
        }
    } else if (!scenario.RemovesDevice && record.Injected == 0) {
        record.Ok = false;
        record.Problem += "the device is not started although nothing was failed; ";
    }
    rig.Finish();
    record.Reports = rig.Machine().ReportText();
    if (!record.Reports.empty()) {
        record.Ok = false;
        record.Problem += "verifier: " + record.Reports;
    }
    return record;
}

std::string Describe(const RunRecord &record)
{
    Prepare(record.Sites);
    std::ostringstream out;
    for (const FailedSite &site : record.Sites) {
        out << "    failed " << Name(site).Text << "\n";
    }
    out << "    ->";
    for (const Step &step : record.Steps) {
        out << " " << step.What << ": " << vx::StatusName(step.Status) << ";";
    }
    if (!record.Steps.empty() && record.FollowUp.empty()) {
        out << " follow-up ok";
    }
    out << (record.Ok ? "" : "  ** " + record.Problem) << "\n";
    return out.str();
}

// Every site failed in this process, with the scenarios that met it and
// whether each run passed.
struct SiteRecord {
    SiteName Name;
    std::set<std::string> Outcomes;
};
std::mutex gTableMutex;
std::map<std::string, SiteRecord> gSiteTable;

void Tabulate(const char *scenario, const RunRecord &record)
{
    Prepare(record.Sites);
    std::lock_guard lock(gTableMutex);
    for (const FailedSite &site : record.Sites) {
        SiteName name = Name(site);
        SiteRecord &entry = gSiteTable[name.Text];
        entry.Name = name;
        entry.Outcomes.insert(std::string(scenario) + (record.Ok ? ": handled" : ": FAULT"));
    }
}

unsigned RandomRuns()
{
    if (const char *text = std::getenv("VEXTORA_LOWRES_SEEDS")) {
        return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    }
    return 8;
}

// The Nth allocation failed, n = 1 .. until a run fails nothing; then a few
// random runs, which reach the allocations of recovery paths.
void SweepInTurn(const Scenario &scenario, std::ostream &report)
{
    uint64_t n = 1;
    for (; n <= 400; ++n) {
        RunRecord record = RunOnce(scenario, {sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::All), n},
                                   1);
        if (record.Injected == 0) {
            EXPECT_TRUE(record.Ok) << scenario.Name << " without injection: " << record.Problem;
            break;
        }
        report << "  allocation #" << n << "\n" << Describe(record) << std::flush;
        Tabulate(scenario.Name, record);
        EXPECT_TRUE(record.Ok) << scenario.Name << ", allocation #" << n << " failed: " << record.Problem;
    }
    report << "  " << (n - 1) << " allocation(s) on this path\n";
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        RunRecord record = RunOnce(
            scenario, {sim::FaultMode::Random, static_cast<unsigned>(sim::FaultKind::All), 0, 0.25}, 500 + seed);
        Tabulate(scenario.Name, record);
        report << "  random seed " << 500 + seed << "\n" << Describe(record);
        EXPECT_TRUE(record.Ok) << scenario.Name << ", random seed " << 500 + seed << ": " << record.Problem;
    }
}

// Allocation calls in the driver's sources that no scenario can fail, keyed
// "file: call", with the reason. Empty today: every one is reached.
const std::map<std::string, std::string> kUnreachable = {};

// Attribution reads line tables; in optimised builds tail calls and inlining
// can hide the driver's frame, so there the table is printed, not checked.
#ifdef __OPTIMIZE__
constexpr bool kCheckAttribution = false;
#else
constexpr bool kCheckAttribution = true;
#endif

// The whole sweep in turn over every scenario, and the table of the driver's
// allocation sites: each call of an allocating service in the driver's
// sources must have been failed at least once (or be listed as unreachable
// with why), and each failure must be attributed to one of them.
TEST(LowResourceSites, EverySiteOfTheDriverIsFailedAndHandled)
{
    const char *only = std::getenv("VEXTORA_LOWRES_ONLY");
    const char *known = std::getenv("VEXTORA_LOWRES_KNOWN_FAULTS");
    std::vector<std::string> skipped;
    for (const Scenario &scenario : Scenarios()) {
        if (only != nullptr && std::string(scenario.Name).find(only) == std::string::npos) {
            continue;
        }
        if (scenario.OpenFault != nullptr && (known == nullptr || std::string(known) != "1")) {
            skipped.push_back(std::string(scenario.Name) + ": " + scenario.OpenFault);
            continue;
        }
        // Printed as it goes, so that a hang shows the run it is in.
        std::cout << "== " << scenario.Name << "\n";
        SweepInTurn(scenario, std::cout);
    }
    for (const std::string &what : skipped) {
        std::cout << "== not run, open fault: " << what << "\n";
    }
    if (only != nullptr) {
        return;  // a partial sweep cannot judge the table
    }
    if (Rig::Image() != nullptr) {
        // The image has no line tables to match its sites with the driver's
        // sources: its table lists each call it made that was failed, by
        // the image's symbols, and the runs above judged every outcome.
        std::lock_guard lock(gTableMutex);
        std::cout << "== allocation calls of " << Rig::Image()->Name() << " failed: " << gSiteTable.size() << "\n";
        for (const auto &[text, entry] : gSiteTable) {
            std::cout << "  " << text << "\n";
            for (const std::string &outcome : entry.Outcomes) {
                std::cout << "      " << outcome << "\n";
            }
        }
        EXPECT_FALSE(gSiteTable.empty());
        return;
    }

    const std::vector<SourceSite> sources = ScanDriverSources(VEXTORA_SOURCE_DIR);
    ASSERT_FALSE(sources.empty()) << "no allocation call found under " << VEXTORA_SOURCE_DIR;
    std::vector<std::set<std::string>> reached(sources.size());
    std::vector<std::string> routines(sources.size());
    std::vector<std::string> strays;
    {
        std::lock_guard lock(gTableMutex);
        for (const auto &[text, entry] : gSiteTable) {
            const SourceSite *site = entry.Name.InDriver ? Match(sources, entry.Name.File, entry.Name.Line) : nullptr;
            if (site == nullptr) {
                strays.push_back(text);
                continue;
            }
            size_t index = static_cast<size_t>(site - sources.data());
            reached[index].insert(entry.Outcomes.begin(), entry.Outcomes.end());
            routines[index] = entry.Name.Service + " in " + entry.Name.Routine;
        }
    }
    unsigned failed = 0, unreachable = 0;
    std::ostringstream table;
    std::vector<std::string> missing;
    for (size_t i = 0; i < sources.size(); ++i) {
        const SourceSite &site = sources[i];
        std::string where = site.File + ":" + std::to_string(site.First);
        std::string key = site.File + ": " + site.Call;
        if (!reached[i].empty()) {
            ++failed;
            table << "  " << where << "  " << routines[i] << "\n";
            for (const std::string &outcome : reached[i]) {
                table << "      " << outcome << "\n";
            }
        } else if (auto it = kUnreachable.find(key); it != kUnreachable.end()) {
            ++unreachable;
            table << "  " << where << "  " << site.Call << ": unreachable, " << it->second << "\n";
        } else {
            table << "  " << where << "  " << site.Call << ": NEVER FAILED  (" << site.Code << ")\n";
            missing.push_back(where + " " + site.Code);
        }
    }
    std::cout << "== allocation sites of the driver: " << sources.size() << " in its sources, " << failed
              << " failed at least once, " << unreachable << " unreachable\n"
              << table.str();
    for (const std::string &stray : strays) {
        std::cout << "  failed outside the listed sites: " << stray << "\n";
    }
    std::cout << std::flush;
    if (kCheckAttribution) {
        for (const std::string &where : missing) {
            ADD_FAILURE() << "no scenario fails the allocation at " << where;
        }
        for (const std::string &stray : strays) {
            ADD_FAILURE() << "an injected failure not attributed to a known allocation call of the driver: "
                          << stray << " (a new allocating service belongs in AllocatingCalls)";
        }
    }
}

void PrintTo(const Scenario &scenario, std::ostream *out) { *out << scenario.Name; }

class LowResources : public ::testing::TestWithParam<Scenario> {};

// Every allocation failing at random, over many seeds per scenario.
TEST_P(LowResources, AllocationsFailingAtRandom)
{
    const Scenario &scenario = GetParam();
    const char *known = std::getenv("VEXTORA_LOWRES_KNOWN_FAULTS");
    if (scenario.OpenFault != nullptr && (known == nullptr || std::string(known) != "1")) {
        GTEST_SKIP() << "open fault: " << scenario.OpenFault;
    }
    std::ostringstream report;
    report << "== " << scenario.Name << "\n";
    unsigned runs = RandomRuns();
    unsigned failedRuns = 0;
    for (unsigned seed = 1; seed <= runs; ++seed) {
        RunRecord record = RunOnce(
            scenario, {sim::FaultMode::Random, static_cast<unsigned>(sim::FaultKind::All), 0, 0.25}, 1000 + seed);
        failedRuns += record.Injected > 0;
        if (!record.Ok) {
            report << "  random seed " << 1000 + seed << "\n" << Describe(record);
        }
        EXPECT_TRUE(record.Ok) << scenario.Name << ", random seed " << 1000 + seed << ": " << record.Problem;
    }
    report << "  random: " << runs << " run(s), " << failedRuns << " with failures injected\n";
    std::cout << report.str() << std::flush;
}

INSTANTIATE_TEST_SUITE_P(Sweep, LowResources, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                             std::string name;
                             for (char ch : std::string(info.param.Name)) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

// The source scan finds calls written the ways the driver writes them, and
// only calls.
TEST(LowResourceSites, SourceScanFindsEachFormOfCall)
{
    const std::string text = "NTSTATUS status = IoCreateDevice(DriverObject, sizeof(X), nullptr,\n"  // 1
                             "                               FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);\n"  // 2
                             "PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(Request)));\n"        // 3
                             "PoolPointer<UCHAR> whole(AllocateNonPaged<UCHAR>(length));\n"           // 4
                             "// IoAllocateIrp(1, FALSE) in a comment\n"                              // 5
                             "PIO_WORKITEM item =\n"                                                   // 6
                             "    IoAllocateWorkItem(DeviceObject);\n"                                 // 7
                             "x = IoAllocateIrpLike(2);  // not a service\n";                          // 8
    std::vector<SourceSite> sites = ScanSource("io/X.cpp", text);
    ASSERT_EQ(sites.size(), 4u);
    EXPECT_EQ(sites[0].Call, "IoCreateDevice");
    EXPECT_EQ(sites[0].First, 1u);
    EXPECT_EQ(sites[0].Last, 2u);
    EXPECT_EQ(sites[1].Call, "AllocateNonPaged");
    EXPECT_EQ(sites[2].Call, "AllocateNonPaged");
    EXPECT_EQ(sites[3].Call, "IoAllocateWorkItem");
    EXPECT_EQ(sites[3].First, 6u);
    EXPECT_EQ(sites[3].Last, 7u);
    EXPECT_EQ(Match(sites, "io/X.cpp", 2), &sites[0]);
    EXPECT_EQ(Match(sites, "io/X.cpp", 6), &sites[3]);
    EXPECT_EQ(Match(sites, "io/X.cpp", 5), nullptr);
    EXPECT_EQ(Match(sites, "io/Y.cpp", 3), nullptr);
}

}  // namespace
}  // namespace lowres

namespace lowres {
namespace {

// Without any injection: a system sleep while a bulk read waits for data
// that has not come must still finish (the read held or failed), and the
// read must end once data arrives after the resume.
TEST(PowerDownDrain, SleepWithAReadWaitingForDataFinishes)
{
    Rig rig({1, false});
    ASSERT_TRUE(rig.Plug());
    vxio::Handle out = vxio::kInvalidHandle;
    vxio::Handle in = vxio::kInvalidHandle;
    ASSERT_EQ(rig.Open(u"PIPE0", &out), STATUS_SUCCESS);
    ASSERT_EQ(rig.Open(u"PIPE1", &in), STATUS_SUCCESS);
    uint8_t buffer[16];
    std::shared_ptr<vxio::Request> read = rig.Io().Read(in, buffer, sizeof buffer);
    EXPECT_EQ(rig.Power().SetSystemPower(rig.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    rig.Power().WaitIdle();
    EXPECT_EQ(rig.Power().SetSystemPower(rig.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    rig.Power().WaitIdle();
    uint8_t byte = 0x33;
    EXPECT_EQ(rig.Io().WriteSync(out, &byte, 1), STATUS_SUCCESS);
    NTSTATUS status = read->Wait();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    rig.Finish();
    EXPECT_EQ(rig.Machine().ReportText(), "");
}

}  // namespace
}  // namespace lowres
