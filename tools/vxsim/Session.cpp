#include "tools/vxsim/Session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "driver/Driver.h"
#include "include/vextora.h"
#include "sim/kernel/DeviceInterfaces.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/kernel/Registry.h"
#include "sim/usb/DeviceDescription.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"
#include "tools/common/AppSteps.h"
#include "sim/rig/MachineRig.h"
#include "tools/common/Requests.h"
#include "tools/common/StatusNames.h"
#include "tools/vxsim/Tracer.h"
#include "tools/vxsim/WmiAccess.h"

namespace vx {
namespace {

const char *PowerName(DEVICE_POWER_STATE state)
{
    static const char *names[] = {"unspecified", "D0", "D1", "D2", "D3"};
    return state >= 0 && state < 5 ? names[state] : "?";
}

}  // namespace

struct Session::Impl : AppHost {
    RunOptions options;
    std::ostream &out;
    // Before the rig: the machine goes first, while the tracer it may still
    // call is there.
    std::unique_ptr<Tracer> tracer;
    std::unique_ptr<MachineRig> rig;
    // After the rig: what the application holds goes before the machine.
    std::unique_ptr<AppSteps> app;
    Summary summary;
    // The step running now, for the hang detector's last words.
    std::atomic<const Step *> current{nullptr};
    std::chrono::steady_clock::time_point lastFlush;

    struct Device {
        std::string name;
        vextora::usb::UsbPort *port = nullptr;
        std::u16string link;
        bool unplugged = false;
    };
    std::vector<Device> devices;

    Impl(RunOptions o, std::ostream &s) : options(std::move(o)), out(s) {}

    sim::Machine &Machine() { return rig->Machine(); }
    sim::PnpManager &Pnp() { return rig->Pnp(); }
    sim::PowerManager &Power() { return rig->Power(); }
    sim::IoManager &Io() { return rig->Io(); }
    vextora::usb::UsbBus &Bus() { return rig->Bus(); }

    void Boot()
    {
        RigOptions rigOptions;
        rigOptions.Machine.Seed = options.seed;
        rigOptions.Machine.Clock = options.realTime ? sim::ClockMode::RealTime : sim::ClockMode::Virtual;
        rigOptions.Machine.Schedule = options.schedule;
        rigOptions.Machine.Record = options.record;
        rigOptions.Machine.ReplayCommand = options.replay;
        rigOptions.Image = options.image;
        rigOptions.Machine.OnHang = [this] { Hung(); };
        rig = std::make_unique<MachineRig>(rigOptions);
        if (rig->Driver() == nullptr)
            throw StepFailure{rig->LoadError().empty() ? "DriverEntry failed" : rig->LoadError()};
        RegisterDriverClasses(Machine());
        if (options.trace) {
            tracer = std::make_unique<Tracer>(out, Machine(), rig->Driver());
            rig->AddIrpObserver(tracer.get());
        }
        app = std::make_unique<AppSteps>(Io(), *this);
        Line("machine up, seed " + std::to_string(Machine().Seed()) + ", driver loaded");
    }

    // The hang detector stopped the machine: every thread waits and nothing
    // can wake them. Runs on the clock thread; the step's own thread is
    // among those waiting.
    [[noreturn]] void Hung()
    {
        const Step *step = current.load();
        out << "FAILED: " << (step ? step->Where() + "'" + step->Text() + "'" : std::string("the end of the run"))
            << " waits for ever: the machine's hang detector stopped the run (its report is on standard error)\n"
            << "seed " << Machine().Seed() << "\n";
        out.flush();
        std::fflush(stdout);
        std::_Exit(kExitHang);
    }

    // ---- AppHost -------------------------------------------------------------
    Target CurrentTarget(const Step &step) override
    {
        Device &device = Current(step);
        if (device.link.empty())
            throw StepFailure{step.Where() + device.name + " has no enabled interface (PnP state " +
                              sim::NodeStateName(Pnp().State(device.port->Pdo())) + ")"};
        return Target{device.link, static_cast<size_t>(&device - devices.data())};
    }

    void Line(const std::string &text) override
    {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%12.6f s] ", rig ? static_cast<double>(Machine().Now()) / 1e7 : 0.0);
        out << stamp << text << "\n";
        out.flush();
    }

    void Text(const std::string &text) override { out << text; }

    std::string AfterClose(size_t index) override
    {
        Pnp().WaitIdle();
        const Device &device = devices[index];
        if (!device.port->Connected() && Pnp().State(device.port->Pdo()) == sim::NodeState::Removed)
            return "; that was the last handle: removal delivered, device object deleted";
        return {};
    }

    // ---- devices -------------------------------------------------------------
    // The device the steps work on: the last one plugged that is still on
    // the bus (a device can leave by itself: a disconnect fault).
    Device &Current(const Step &step)
    {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
            if (!it->port->Connected())
                it->unplugged = true;
            if (!it->unplugged)
                return *it;
        }
        throw StepFailure{step.Where() + "no device is plugged in"};
    }

    // The enabled interface of this device's stack, not whichever link
    // sorts last among every device's.
    std::u16string LinkOf(PDEVICE_OBJECT pdo)
    {
        auto &interfaces = Machine().Component<sim::DeviceInterfaces>();
        for (const auto &link : rig->Links()) {
            auto target = interfaces.Lookup(link);
            if (target && target->Pdo == pdo)
                return link;
        }
        return {};
    }

    void Plug(const Step &step)
    {
        std::unique_ptr<vextora::usb::DeviceModel> model;
        std::string what = step.args[0];
        try {
            if (what == "loopback") {
                model = vextora::usb::MakeModel("loopback", vextora::usb::LoopbackDescriptors());
            } else if (what == "source-sink") {
                model = vextora::usb::MakeModel("source-sink", vextora::usb::LoopbackDescriptors());
            } else {
                model = vextora::usb::MakeModel(vextora::usb::LoadDeviceDescription(step.args[1]));
                what = step.args[1];
            }
        } catch (const std::exception &e) {
            throw StepFailure{step.Where() + e.what()};
        }
        vextora::usb::PortOptions portOptions;
        // Transfers complete from the host controller thread after the bus
        // time they take, as on a real high-speed bus.
        portOptions.Completion = vextora::usb::CompletionMode::HostController;
        if (!options.pcap.empty())
            portOptions.Capture = options.pcap;
        Device device;
        device.name = step.Option("as").value_or(what);
        try {
            device.port = &rig->Plug(std::move(model), portOptions);
        } catch (const std::exception &e) {
            throw StepFailure{step.Where() + e.what()};
        }
        devices.push_back(device);
        Device &plugged = devices.back();
        plugged.link = rig->Link();
        if (plugged.link.empty())
            throw StepFailure{step.Where() + "the device did not start (PnP state " +
                              sim::NodeStateName(Pnp().State(plugged.port->Pdo())) + ")"};
        Line("plugged " + plugged.name + ": started, interface " + ToUtf8(plugged.link));
    }

    void PnpAction(const Step &step)
    {
        Device &device = Current(step);
        const size_t index = static_cast<size_t>(&device - devices.data());
        PDEVICE_OBJECT pdo = device.port->Pdo();
        const std::string &action = step.args[0];
        NTSTATUS status;
        if (action == "start")
            status = Pnp().Start(pdo);
        else if (action == "query-stop")
            status = Pnp().QueryStop(pdo);
        else if (action == "cancel-stop")
            status = Pnp().CancelStop(pdo);
        else if (action == "stop")
            status = Pnp().Stop(pdo);
        else if (action == "query-remove")
            status = Pnp().QueryRemove(pdo);
        else if (action == "cancel-remove")
            status = Pnp().CancelRemove(pdo);
        else if (action == "remove")
            status = Pnp().Remove(pdo);
        else if (action == "surprise-removal")
            status = Pnp().SurpriseRemove(pdo);
        else if (action == "rebalance")
            status = Pnp().Rebalance(pdo);
        else if (action == "disable")
            status = Pnp().Disable(pdo);
        else
            status = Pnp().Plug(pdo);
        Pnp().WaitIdle();
        // A stop, a start or a removal configures the device again (or
        // leaves it unconfigured): what it held is gone.
        if (action.rfind("query-", 0) != 0 && action.rfind("cancel-", 0) != 0)
            app->ForgetWritten(index);
        device.link = LinkOf(pdo);
        CheckStatus(step, status, "pnp " + action);
        Line("pnp " + action + ": " + StatusName(status) + ", state " + sim::NodeStateName(Pnp().State(pdo)));
    }

    static void CheckStatus(const Step &step, int32_t status, const std::string &what)
    {
        std::optional<int32_t> expected;
        if (auto text = step.Option("expect"))
            expected = StatusFromName(*text);
        const bool ok = expected ? status == *expected : status >= 0;
        if (!ok)
            throw StepFailure{step.Where() + what + " returned " + StatusName(status) + ", expected " +
                              (expected ? StatusName(*expected) : std::string("success"))};
    }

    void Sleep(const Step &step)
    {
        Device &device = Current(step);
        const std::string &name = step.args[0];
        auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + (name[1] - '0'));
        NTSTATUS status = Power().SetSystemPower(device.port->Pdo(), state);
        Power().WaitIdle();
        CheckStatus(step, status, "sleep " + name);
        ++summary.powerTransitions;
        Line("system sleep " + name + ": " + StatusName(status) + ", device " + PowerName(device.port->PowerState()));
    }

    void Resume(const Step &step)
    {
        Device &device = Current(step);
        NTSTATUS status = Power().SetSystemPower(device.port->Pdo(), PowerSystemWorking);
        Power().WaitIdle();
        CheckStatus(step, status, "resume");
        ++summary.powerTransitions;
        Line("system resume to S0: " + StatusName(status) + ", device " + PowerName(device.port->PowerState()));
    }

    // Lets virtual time pass in small steps until `done` holds or `limit`
    // seconds (at most kMaxSeconds) have gone by.
    template <class F> bool WaitFor(F done, uint64_t limitSeconds)
    {
        const uint64_t until = Machine().Now() + limitSeconds * 10'000'000ull;
        while (!done()) {
            if (Machine().Now() >= until)
                return false;
            Machine().Sleep(std::chrono::milliseconds(100));
        }
        return true;
    }

    void RemoteWake(const Step &step)
    {
        Device &device = Current(step);
        if (!device.port->SignalRemoteWake())
            throw StepFailure{step.Where() +
                              "the device cannot signal wake-up now (it must be suspended and armed; "
                              "power " +
                              PowerName(device.port->PowerState()) + ")"};
        bool up = WaitFor([&] { return device.port->PowerState() == PowerDeviceD0; }, 10);
        ++summary.powerTransitions;
        Line(std::string("remote wake-up signalled: device ") + PowerName(device.port->PowerState()) +
             (up ? "" : " (did not return to D0)"));
        if (!up)
            throw StepFailure{step.Where() + "the device did not return to D0 after its wake-up"};
    }

    void Idle(const Step &step)
    {
        Device &device = Current(step);
        const uint64_t limit =
            step.Option("within") ? StepNumber(step, *step.Option("within"), "seconds", kMaxSeconds) : 30;
        if (!WaitFor([&] { return device.port->PowerState() != PowerDeviceD0; }, limit))
            throw StepFailure{step.Where() + "the device was not suspended within " + std::to_string(limit) +
                              " s of virtual time (selective suspend is on only with 'parameter VextoraEnable 1' "
                              "before the device is plugged)"};
        ++summary.powerTransitions;
        Line(std::string("device idle: selectively suspended to ") + PowerName(device.port->PowerState()));
    }

    void Advance(const Step &step)
    {
        const uint64_t seconds = StepNumber(step, step.args[0], "seconds", kMaxSeconds);
        Machine().Sleep(std::chrono::seconds(seconds));
        Line("advanced " + std::to_string(seconds) + " s");
    }

    void ExpectPower(const Step &step)
    {
        Device &device = Current(step);
        // A power change may still be on its way through the stack.
        WaitFor([&] { return step.args[0] == PowerName(device.port->PowerState()); }, 5);
        std::string now = PowerName(device.port->PowerState());
        if (now != step.args[0])
            throw StepFailure{step.Where() + "the device is in " + now + ", expected " + step.args[0]};
        Line("device power is " + now);
    }

    void Wmi(const Step &step)
    {
        Device &device = Current(step);
        PDEVICE_OBJECT pdo = device.port->Pdo();
        const std::string &property = step.args[1];
        if (step.args[0] == "get") {
            uint32_t value = 0;
            NTSTATUS status = WmiGet(Machine(), pdo, property, &value);
            ++summary.requests;
            CheckStatus(step, status, "wmi get " + property);
            if (step.args.size() > 2) {
                const uint64_t wanted = StepNumber(step, step.args[2], "a 32-bit value", 0xFFFFFFFFull);
                if (wanted != value)
                    throw StepFailure{step.Where() + property + " is " + std::to_string(value) + ", expected " +
                                      std::to_string(wanted)};
            }
            Line("wmi " + property + " = " + std::to_string(value));
        } else {
            const uint64_t value = StepNumber(step, step.args[2], "a 32-bit value", 0xFFFFFFFFull);
            NTSTATUS status = WmiSet(Machine(), pdo, property, static_cast<uint32_t>(value));
            ++summary.requests;
            CheckStatus(step, status, "wmi set " + property);
            Line("wmi " + property + " := " + std::to_string(value) + ": " + StatusName(status));
        }
    }

    void Parameter(const Step &step)
    {
        const uint64_t value = StepNumber(step, step.args[1], "a 32-bit value", 0xFFFFFFFFull);
        const std::u16string key = std::u16string(VextoraRigDriver().ServiceKey) + u"\\Parameters";
        Machine().Component<sim::Registry>().SetDword(key, ToU16(step.args[0]), static_cast<uint32_t>(value));
        Line("parameter " + step.args[0] + " = " + std::to_string(value) +
             (devices.empty() ? std::string() : " (devices plugged before keep what they read when added)"));
    }

    void Unplug(const Step &step)
    {
        Device &device = Current(step);
        Bus().Unplug(*device.port);
        device.unplugged = true;
        Pnp().WaitIdle();
        Line("unplugged " + device.name + ": surprise removal delivered, state " +
             sim::NodeStateName(Pnp().State(device.port->Pdo())));
    }

    void Fault(const Step &step)
    {
        if (step.args[0] == "pool-fail") {
            sim::FaultPlan plan;
            plan.Mode = sim::FaultMode::FailNth;
            plan.N = StepNumber(step, step.args[1], "an allocation count");
            Machine().SetFaultPlan(plan);
            Line("fault: allocation " + step.args[1] + " from now fails");
            return;
        }
        Device &device = Current(step);
        const auto endpoint = static_cast<uint8_t>(StepNumber(step, step.args[1], "an endpoint address", 0xFF));
        const std::string &how = step.args[2];
        using vextora::usb::EndpointFault;
        const EndpointFault kind = how == "stall"   ? EndpointFault::Stall
                                   : how == "error" ? EndpointFault::Error
                                   : how == "nak"   ? EndpointFault::Nak
                                   : how == "short" ? EndpointFault::Short
                                                    : EndpointFault::Disconnect;
        const uint32_t bytes =
            how == "short" ? static_cast<uint32_t>(StepNumber(step, step.args[3], "a byte count", kMaxLength)) : 0;
        const std::string refused = device.port->InjectFault(endpoint, kind, bytes);
        if (!refused.empty())
            throw StepFailure{step.Where() + refused};
        char address[8];
        std::snprintf(address, sizeof address, "0x%02X", endpoint);
        const std::string answer = how == "stall"   ? "a stall"
                                   : how == "error" ? "a transaction error"
                                   : how == "nak"   ? "NAK until it is cancelled"
                                   : how == "short" ? "a short packet of " + std::to_string(bytes) + " byte(s)"
                                                    : "a disconnect";
        Line("fault: " + device.name + " answers the next request on endpoint " + address + " with " + answer);
    }

    // Runs one step of the file (a repeat with all its rounds). A live
    // reader of the capture sees each step's packets: the capture is
    // written out after every step of the file, and inside a long repeat
    // at most every quarter of a second of wall time.
    void ExecuteTopLevel(const Step &step)
    {
        Execute(step);
        FlushCapture(true);
    }

    void FlushCapture(bool always)
    {
        if (options.pcap.empty())
            return;
        const auto now = std::chrono::steady_clock::now();
        if (always || now - lastFlush >= std::chrono::milliseconds(250)) {
            Bus().FlushCaptures();
            lastFlush = now;
        }
    }

    void Execute(const Step &step)
    {
        if (step.verb == "repeat") {
            const uint64_t count = StepNumber(step, step.args[0], "a count");
            for (uint64_t i = 0; i < count; ++i)
                for (const Step &inner : step.body) {
                    Execute(inner);
                    FlushCapture(false);
                }
            return;
        }
        current = &step;
        const std::string &v = step.verb;
        if (AppSteps::Handles(v))
            app->Execute(step);
        else if (v == "plug")
            Plug(step);
        else if (v == "pnp")
            PnpAction(step);
        else if (v == "sleep")
            Sleep(step);
        else if (v == "resume")
            Resume(step);
        else if (v == "remote-wake")
            RemoteWake(step);
        else if (v == "idle")
            Idle(step);
        else if (v == "advance")
            Advance(step);
        else if (v == "expect-power")
            ExpectPower(step);
        else if (v == "wmi")
            Wmi(step);
        else if (v == "parameter")
            Parameter(step);
        else if (v == "unplug")
            Unplug(step);
        else if (v == "fault")
            Fault(step);
        else
            throw StepFailure{step.Where() + "step '" + v + "' is not implemented"};
    }

    // Ends what the scenario left going, removes every device, unloads the
    // driver and checks that nothing is left. Reads still in flight are
    // cancelled first and waited for last: a read waits for a device that
    // is going away, never the other way round.
    void Shutdown()
    {
        current = nullptr;
        app->CancelReads();
        app->CloseHandles();
        // A cancelled read completes at once or at the bus's next frame;
        // the close of its handle follows it. Both are over before the
        // devices go, unless the driver keeps a read it was asked to end
        // (the removal below fails it then).
        WaitFor([&] { return app->ReadsDone(); }, 1);
        // The last close of an unplugged device lets the PnP manager remove
        // it; the close IRPs go out on the I/O manager's own thread.
        Io().WaitIdle();
        Pnp().WaitIdle();
        for (auto &device : devices) {
            PDEVICE_OBJECT pdo = device.port->Pdo();
            if (device.port->Connected() && Pnp().Knows(pdo) && Pnp().State(pdo) != sim::NodeState::Removed)
                Pnp().Remove(pdo);
        }
        Pnp().WaitIdle();
        app->FinishReads();
        Io().WaitIdle();
        const AppCounters &counters = app->Counters();
        summary.bytesWritten = counters.bytesWritten;
        summary.bytesRead = counters.bytesRead;
        summary.bytesVerified = counters.bytesVerified;
        summary.requests += counters.requests;
        app.reset();
        std::string reports = rig->Shutdown();
        if (!reports.empty() && Machine().Controlled())
            reports += Machine().ScheduleTrail();
        summary.poolBlocksLeft = sim::PoolBlocksInUse(VEXTORA_POOL_TAG);
        summary.poolBytesLeft = sim::PoolBytesInUse(VEXTORA_POOL_TAG);
        summary.verifierReports = Machine().Reports().size();
        if (summary.verifierReports)
            out << reports;
    }
};

Session::Session(RunOptions options, std::ostream &out) : impl_(std::make_unique<Impl>(std::move(options), out)) {}

Session::~Session() = default;

Summary Session::Run(const std::vector<Step> &steps)
{
    Impl &s = *impl_;
    bool stepsPassed = true;
    auto failed = [&](const std::string &message) {
        stepsPassed = false;
        s.out << "FAILED: " << message << "\n";
        if (s.rig)
            s.out << "seed " << s.Machine().Seed() << "\n";
        s.out.flush();
    };
    try {
        s.Boot();
        for (const auto &step : steps)
            s.ExecuteTopLevel(step);
    } catch (const StepFailure &failure) {
        failed(failure.message);
    } catch (const std::exception &e) {
        const Step *step = s.current.load();
        failed((step ? step->Where() : std::string()) + e.what());
    }
    if (s.rig && !stepsPassed && s.Machine().Controlled())
        s.out << s.Machine().ScheduleTrail();
    if (s.rig && s.app)
        s.Shutdown();
    s.summary.passed = stepsPassed && s.summary.verifierReports == 0 && s.summary.poolBlocksLeft == 0;
    if (s.options.schedule.Controlled() && s.options.record) {
        const sim::ScheduleRecord &r = *s.options.record;
        char hash[24];
        std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(r.Hash));
        s.summary.schedule = s.options.schedule.Text() + ", " + std::to_string(r.Steps) + " steps, " +
                             std::to_string(r.Preemptions) + " preemptions, decision hash " + hash;
        if (!s.summary.passed && !s.options.replay.empty()) {
            const uint64_t at = r.ReportStep ? r.ReportStep : r.Steps;
            s.out << "replay: " << s.options.replay << "\nstop at step " << at
                  << " under a debugger: VEXTORA_BREAK_AT_STEP=" << at << " gdb --args " << s.options.replay << "\n";
        }
    }
    return s.summary;
}

void PrintSummary(const Summary &summary, std::ostream &out)
{
    out << "\nsummary\n"
        << "  bytes written        " << summary.bytesWritten << "\n"
        << "  bytes read           " << summary.bytesRead << "\n"
        << "  bytes verified       " << summary.bytesVerified << "\n"
        << "  requests             " << summary.requests << "\n"
        << "  power transitions    " << summary.powerTransitions << "\n"
        << "  verifier reports     " << summary.verifierReports << "\n"
        << "  pool left            " << summary.poolBytesLeft << " bytes in " << summary.poolBlocksLeft
        << " block(s)\n";
    if (!summary.schedule.empty())
        out << "  schedule             " << summary.schedule << "\n";
    out << (summary.passed ? "PASSED\n" : "FAILED\n");
    out.flush();
}

}  // namespace vx
