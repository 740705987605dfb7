#include "tools/vxsim/Session.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <mutex>
#include <ostream>

#include "driver/Driver.h"
#include "include/vextora.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/usb/DeviceDescription.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"
#include "tools/vxsim/MachineRig.h"
#include "tools/vxsim/Requests.h"
#include "tools/vxsim/StatusNames.h"
#include "tools/vxsim/WmiAccess.h"

namespace vx {
namespace {

const char *MajorName(UCHAR major)
{
    static const char *names[] = {"CREATE",         "CREATE_NAMED_PIPE", "CLOSE",          "READ",
                                  "WRITE",          "QUERY_INFORMATION", "SET_INFORMATION", "QUERY_EA",
                                  "SET_EA",         "FLUSH_BUFFERS",     "QUERY_VOLUME",    "SET_VOLUME",
                                  "DIRECTORY",      "FILE_SYSTEM",       "DEVICE_CONTROL",  "INTERNAL_DEVICE_CONTROL",
                                  "SHUTDOWN",       "LOCK_CONTROL",      "CLEANUP",         "CREATE_MAILSLOT",
                                  "QUERY_SECURITY", "SET_SECURITY",      "POWER",           "SYSTEM_CONTROL",
                                  "DEVICE_CHANGE",  "QUERY_QUOTA",       "SET_QUOTA",       "PNP"};
    return major < std::size(names) ? names[major] : "?";
}

const char *PowerName(DEVICE_POWER_STATE state)
{
    static const char *names[] = {"unspecified", "D0", "D1", "D2", "D3"};
    return state >= 0 && state < 5 ? names[state] : "?";
}

// Prints every IRP that reaches a device of the driver under test, and its
// completion.
class Tracer : public sim::IrpObserver {
public:
    Tracer(std::ostream &out, sim::Machine &machine, PDRIVER_OBJECT driver)
        : out_(out), machine_(machine), driver_(driver)
    {
    }
    void OnCallDriver(PDEVICE_OBJECT target, PIRP irp, sim::CallPath) override
    {
        if (target->DriverObject != driver_)
            return;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        Line("-> IRP %p %s minor 0x%02X", static_cast<void *>(irp), MajorName(stack->MajorFunction),
             stack->MinorFunction);
    }
    void OnComplete(PDEVICE_OBJECT completer, PIRP irp, NTSTATUS status) override
    {
        if (completer == nullptr || completer->DriverObject != driver_)
            return;
        Line("<- IRP %p completed %s, information %" PRIu64, static_cast<void *>(irp), StatusName(status).c_str(),
             static_cast<uint64_t>(irp->IoStatus.Information));
    }

private:
    template <class... A> void Line(const char *fmt, A... args)
    {
        char text[256];
        std::snprintf(text, sizeof text, fmt, args...);
        std::lock_guard lock(mutex_);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%12.6f s]    ", machine_.Now() / 1e7);
        out_ << stamp << text << "\n";
    }
    std::ostream &out_;
    sim::Machine &machine_;
    PDRIVER_OBJECT driver_;
    std::mutex mutex_;
};

struct StepFailure {
    std::string message;
};

}  // namespace

struct Session::Impl {
    RunOptions options;
    std::ostream &out;
    // Before the rig: the machine goes first, while the tracer it may still
    // call is there.
    std::unique_ptr<Tracer> tracer;
    std::unique_ptr<MachineRig> rig;
    Summary summary;

    struct Device {
        std::string name;
        vextora::usb::UsbPort *port = nullptr;
        std::u16string link;
        bool unplugged = false;
    };
    std::vector<Device> devices;

    struct OpenHandle {
        vxio::Handle handle = vxio::kInvalidHandle;
        size_t device = 0;
    };
    std::map<std::string, OpenHandle> handles;

    struct AsyncRead {
        std::shared_ptr<vxio::Request> request;
        std::vector<uint8_t> buffer;
    };
    std::map<std::string, AsyncRead> reads;

    // What was written to the loopback device and not yet read back.
    std::deque<uint8_t> expected;

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
        if (options.idleSuspend)
            rigOptions.Parameters = {{u"VextoraEnable", 1}};
        rigOptions.Image = options.image;
        rig = std::make_unique<MachineRig>(rigOptions);
        if (rig->Driver() == nullptr)
            throw StepFailure{rig->LoadError().empty() ? "DriverEntry failed" : rig->LoadError()};
        RegisterDriverClasses(Machine());
        if (options.trace) {
            tracer = std::make_unique<Tracer>(out, Machine(), rig->Driver());
            rig->AddIrpObserver(tracer.get());
        }
        Line("machine up, seed " + std::to_string(Machine().Seed()) + ", driver loaded");
    }

    void Line(const std::string &text)
    {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%12.6f s] ", rig ? Machine().Now() / 1e7 : 0.0);
        out << stamp << text << "\n";
        out.flush();
    }

    Device &Current(const Step &step)
    {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it)
            if (!it->unplugged)
                return *it;
        throw StepFailure{step.Where() + "no device is plugged in"};
    }

    OpenHandle &HandleNamed(const Step &step, const std::string &name)
    {
        auto it = handles.find(name);
        if (it == handles.end())
            throw StepFailure{step.Where() + "no open handle named '" + name + "'"};
        return it->second;
    }

    static int32_t Expected(const Step &step)
    {
        auto text = step.Option("expect");
        if (!text)
            return 0;
        auto status = StatusFromName(*text);
        if (!status)
            throw StepFailure{step.Where() + "'" + *text + "' is not a status name or number"};
        return *status;
    }

    static uint64_t Number(const Step &step, const std::string &word, const char *what)
    {
        auto value = ParseNumber(word);
        if (!value)
            throw StepFailure{step.Where() + "expected " + what + ", found '" + word + "'"};
        return *value;
    }

    void CheckStatus(const Step &step, int32_t status, const std::string &what)
    {
        int32_t expected = Expected(step);
        bool ok = step.Option("expect") ? status == expected : status >= 0;
        if (!ok)
            throw StepFailure{step.Where() + what + " returned " + StatusName(status) + ", expected " +
                              (step.Option("expect") ? StatusName(expected) : std::string("success"))};
    }

    void CheckBytes(const Step &step, uint64_t actual)
    {
        if (auto text = step.Option("bytes")) {
            uint64_t wanted = Number(step, *text, "a byte count");
            if (wanted != actual)
                throw StepFailure{step.Where() + std::to_string(actual) + " byte(s) moved, expected " +
                                  std::to_string(wanted)};
        }
    }

    void Verify(const Step &step, const std::vector<uint8_t> &data)
    {
        if (data.size() > expected.size())
            throw StepFailure{step.Where() + "read " + std::to_string(data.size()) + " byte(s) but only " +
                              std::to_string(expected.size()) + " were written and not yet read"};
        for (size_t i = 0; i < data.size(); ++i) {
            if (data[i] != expected[i]) {
                char text[160];
                std::snprintf(text, sizeof text, "byte %zu read back as 0x%02X, written as 0x%02X", i, data[i],
                              expected[i]);
                throw StepFailure{step.Where() + text};
            }
        }
        expected.erase(expected.begin(), expected.begin() + static_cast<long>(data.size()));
        summary.bytesVerified += data.size();
    }

    void Plug(const Step &step)
    {
        std::unique_ptr<vextora::usb::DeviceModel> model;
        std::string what = step.args[0];
        if (what == "loopback") {
            model = vextora::usb::MakeModel("loopback", vextora::usb::LoopbackDescriptors());
        } else if (what == "source-sink") {
            model = vextora::usb::MakeModel("source-sink", vextora::usb::LoopbackDescriptors());
        } else if (what == "file") {
            if (step.args.size() < 2)
                throw StepFailure{step.Where() + "plug file needs a path"};
            try {
                model = vextora::usb::MakeModel(vextora::usb::LoadDeviceDescription(step.args[1]));
            } catch (const std::exception &e) {
                throw StepFailure{step.Where() + e.what()};
            }
            what = step.args[1];
        } else {
            throw StepFailure{step.Where() + "expected loopback, source-sink or file PATH, found '" + what + "'"};
        }
        vextora::usb::PortOptions portOptions;
        // Transfers complete from the host controller thread after the bus
        // time they take, as on a real high-speed bus.
        portOptions.Completion = vextora::usb::CompletionMode::HostController;
        if (!options.pcap.empty())
            portOptions.Capture = options.pcap;
        Device device;
        device.name = step.Option("as").value_or(what);
        device.port = &rig->Plug(std::move(model), portOptions);
        sim::NodeState state = Pnp().State(device.port->Pdo());
        if (rig->Link().empty())
            throw StepFailure{step.Where() + "the device did not start (PnP state " + sim::NodeStateName(state) +
                              ")"};
        device.link = rig->Link();
        devices.push_back(device);
        Line("plugged " + device.name + ": started, interface " + ToUtf8(device.link));
    }

    void Open(const Step &step)
    {
        Device &device = Current(step);
        std::u16string fileName = step.args.size() > 1 ? ToU16(step.args[1]) : std::u16string();
        while (!fileName.empty() && fileName.front() == u'\\')
            fileName.erase(fileName.begin());
        vxio::Handle handle = vxio::kInvalidHandle;
        vxio::Status status = Io().Open(device.link, fileName, &handle);
        ++summary.requests;
        CheckStatus(step, status, "open");
        std::string label = step.args.size() > 1 ? "\"" + step.args[1] + "\"" : std::string("the device");
        if (status >= 0) {
            if (handles.count(step.args[0]))
                throw StepFailure{step.Where() + "a handle named '" + step.args[0] + "' is already open"};
            handles[step.args[0]] = OpenHandle{handle, devices.size() - 1};
            Line("open " + label + " as " + step.args[0] + ": " + StatusName(status));
        } else {
            Line("open " + label + ": refused with " + StatusName(status) + " as expected");
        }
    }

    void Close(const Step &step)
    {
        OpenHandle handle = HandleNamed(step, step.args[0]);
        vxio::Status status = Io().Close(handle.handle);
        ++summary.requests;
        handles.erase(step.args[0]);
        Pnp().WaitIdle();
        std::string after;
        const Device &device = devices[handle.device];
        if (device.unplugged && Pnp().State(device.port->Pdo()) == sim::NodeState::Removed)
            after = "; that was the last handle: removal delivered, device object deleted";
        Line("close " + step.args[0] + ": " + StatusName(status) + after);
    }

    void Write(const Step &step)
    {
        OpenHandle handle = HandleNamed(step, step.args[0]);
        uint64_t size = Number(step, step.args[1], "a size");
        uint64_t seed = step.Option("pattern") ? Number(step, *step.Option("pattern"), "a pattern seed") : 1;
        std::vector<uint8_t> data(size);
        FillPattern(data, seed, summary.bytesWritten);
        uint32_t moved = 0;
        vxio::Status status = Io().WriteSync(handle.handle, data.data(), static_cast<uint32_t>(size), &moved);
        ++summary.requests;
        CheckStatus(step, status, "write");
        CheckBytes(step, moved);
        if (status >= 0) {
            summary.bytesWritten += moved;
            expected.insert(expected.end(), data.begin(), data.begin() + moved);
        }
        Line("write " + step.args[0] + " " + std::to_string(size) + " bytes: " + StatusName(status) +
             (status >= 0 ? ", " + std::to_string(moved) + " written" : std::string(" as expected")));
    }

    void FinishRead(const Step &step, const std::string &what, vxio::Status status, std::vector<uint8_t> &buffer,
                    uint64_t moved)
    {
        CheckStatus(step, status, what);
        CheckBytes(step, moved);
        buffer.resize(std::min<uint64_t>(moved, buffer.size()));
        if (status >= 0)
            summary.bytesRead += buffer.size();
        std::string verified;
        if (step.Has("verify") && status >= 0) {
            Verify(step, buffer);
            verified = ", every byte verified";
        }
        Line(what + ": " + StatusName(status) + ", " + std::to_string(buffer.size()) + " bytes read" + verified);
    }

    void Read(const Step &step)
    {
        OpenHandle handle = HandleNamed(step, step.args[0]);
        uint64_t size = Number(step, step.args[1], "a size");
        if (step.Has("async")) {
            auto name = step.Option("as");
            if (!name)
                throw StepFailure{step.Where() + "an async read needs 'as NAME'"};
            AsyncRead read;
            read.buffer.resize(size);
            read.request = Io().Read(handle.handle, read.buffer.data(), static_cast<uint32_t>(size));
            ++summary.requests;
            reads[*name] = std::move(read);
            Line("read " + step.args[0] + " " + std::to_string(size) + " bytes as " + *name + ": in flight");
            return;
        }
        std::vector<uint8_t> buffer(size);
        uint32_t moved = 0;
        vxio::Status status = Io().ReadSync(handle.handle, buffer.data(), static_cast<uint32_t>(size), &moved);
        ++summary.requests;
        FinishRead(step, "read " + step.args[0] + " " + std::to_string(size), status, buffer, moved);
    }

    void Wait(const Step &step)
    {
        auto it = reads.find(step.args[0]);
        if (it == reads.end())
            throw StepFailure{step.Where() + "no read named '" + step.args[0] + "' is in flight"};
        AsyncRead read = std::move(it->second);
        reads.erase(it);
        vxio::Status status = read.request->Wait();
        FinishRead(step, "wait " + step.args[0], status, read.buffer, read.request->Information());
    }

    void Cancel(const Step &step)
    {
        OpenHandle handle = HandleNamed(step, step.args[0]);
        vxio::Status status = Io().CancelIo(handle.handle);
        Line("cancel " + step.args[0] + ": " + StatusName(status));
    }

    void Ioctl(const Step &step)
    {
        OpenHandle handle = HandleNamed(step, step.args[0]);
        auto code = ControlCodeFromName(step.args[1]);
        if (!code)
            throw StepFailure{step.Where() + "'" + step.args[1] + "' is not a control code name or number"};
        std::vector<std::string> hexWords(step.args.begin() + 2, step.args.end());
        auto input = ParseHexBytes(hexWords);
        if (!input)
            throw StepFailure{step.Where() + "the input must be hex bytes such as 02 00 09 04"};
        uint32_t outLength =
            step.Option("out") ? static_cast<uint32_t>(Number(step, *step.Option("out"), "an output length")) : 0;
        ControlAnswer answer = Control(Io(), handle.handle, *code, *input, outLength);
        ++summary.requests;
        CheckStatus(step, answer.status, ControlCodeName(*code));
        if (auto info = step.Option("info")) {
            uint64_t wanted = Number(step, *info, "an information value");
            if (wanted != answer.information)
                throw StepFailure{step.Where() + "information " + std::to_string(answer.information) +
                                  ", expected " + std::to_string(wanted)};
        }
        Line(ControlCodeName(*code) + " on " + step.args[0] + ": " + StatusName(answer.status) + ", information " +
             std::to_string(answer.information));
        if (step.Has("show") && answer.status >= 0)
            out << DescribeAnswer(*code, *input, answer);
    }

    void PnpAction(const Step &step)
    {
        Device &device = Current(step);
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
        else if (action == "enable")
            status = Pnp().Plug(pdo);
        else
            throw StepFailure{step.Where() + "unknown PnP action '" + action + "'"};
        Pnp().WaitIdle();
        CheckStatus(step, status, "pnp " + action);
        if (action == "start" || action == "rebalance" || action == "enable") {
            auto links = Io().Interfaces(sim::ToInterfaceClass(VextoraInterfaceClassGuid));
            if (!links.empty())
                device.link = links.back();
        }
        Line("pnp " + action + ": " + StatusName(status) + ", state " + sim::NodeStateName(Pnp().State(pdo)));
    }

    void Sleep(const Step &step)
    {
        Device &device = Current(step);
        const std::string &name = step.args[0];
        if (name.size() != 2 || name[0] != 'S' || name[1] < '1' || name[1] > '4')
            throw StepFailure{step.Where() + "expected S1, S2, S3 or S4, found '" + name + "'"};
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
    // seconds have gone by.
    template <class F> bool WaitFor(F done, double limitSeconds)
    {
        uint64_t until = Machine().Now() + static_cast<uint64_t>(limitSeconds * 1e7);
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
            throw StepFailure{step.Where() + "the device cannot signal wake-up now (it must be suspended and armed; "
                                             "power " + PowerName(device.port->PowerState()) + ")"};
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
        double limit = step.Option("within") ? static_cast<double>(Number(step, *step.Option("within"), "seconds")) : 30;
        bool suspended = WaitFor([&] { return device.port->PowerState() != PowerDeviceD0; }, limit);
        if (!suspended)
            throw StepFailure{step.Where() + "the device was not suspended within " + std::to_string(int(limit)) +
                              " s of virtual time"};
        ++summary.powerTransitions;
        Line(std::string("device idle: selectively suspended to ") + PowerName(device.port->PowerState()));
    }

    void Advance(const Step &step)
    {
        uint64_t seconds = Number(step, step.args[0], "seconds");
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
        const std::string &verb = step.args[0];
        const std::string &property = step.args[1];
        if (verb == "get") {
            uint32_t value = 0;
            NTSTATUS status = WmiGet(Machine(), pdo, property, &value);
            ++summary.requests;
            CheckStatus(step, status, "wmi get " + property);
            if (step.args.size() > 2) {
                uint64_t wanted = Number(step, step.args[2], "a value");
                if (wanted != value)
                    throw StepFailure{step.Where() + property + " is " + std::to_string(value) + ", expected " +
                                      std::to_string(wanted)};
            }
            Line("wmi " + property + " = " + std::to_string(value));
        } else if (verb == "set") {
            if (step.args.size() < 3)
                throw StepFailure{step.Where() + "wmi set needs a value"};
            uint64_t value = Number(step, step.args[2], "a value");
            NTSTATUS status = WmiSet(Machine(), pdo, property, static_cast<uint32_t>(value));
            ++summary.requests;
            CheckStatus(step, status, "wmi set " + property);
            Line("wmi " + property + " := " + std::to_string(value) + ": " + StatusName(status));
        } else {
            throw StepFailure{step.Where() + "expected 'wmi get' or 'wmi set', found '" + verb + "'"};
        }
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
        if (step.args[0] == "pool-fail" && step.args.size() == 2) {
            sim::FaultPlan plan;
            plan.Mode = sim::FaultMode::FailNth;
            plan.N = Number(step, step.args[1], "an allocation count");
            Machine().SetFaultPlan(plan);
            Line("fault: allocation " + step.args[1] + " from now fails");
            return;
        }
        throw StepFailure{step.Where() + "expected 'fault pool-fail N'"};
    }

    void Execute(const Step &step)
    {
        const std::string &v = step.verb;
        if (v == "plug") Plug(step);
        else if (v == "open") Open(step);
        else if (v == "close") Close(step);
        else if (v == "write") Write(step);
        else if (v == "read") Read(step);
        else if (v == "wait") Wait(step);
        else if (v == "cancel") Cancel(step);
        else if (v == "ioctl") Ioctl(step);
        else if (v == "pnp") PnpAction(step);
        else if (v == "sleep") Sleep(step);
        else if (v == "resume") Resume(step);
        else if (v == "remote-wake") RemoteWake(step);
        else if (v == "idle") Idle(step);
        else if (v == "advance") Advance(step);
        else if (v == "expect-power") ExpectPower(step);
        else if (v == "wmi") Wmi(step);
        else if (v == "unplug") Unplug(step);
        else if (v == "fault") Fault(step);
        else if (v == "echo") {
            std::string text;
            for (const auto &a : step.args)
                text += (text.empty() ? "" : " ") + a;
            Line(text);
        } else
            throw StepFailure{step.Where() + "step '" + v + "' is not implemented"};
    }

    // Closes what the scenario left open, removes every device, unloads the
    // driver and checks that nothing is left.
    void Shutdown()
    {
        for (auto &[name, read] : reads)
            read.request->Wait();
        reads.clear();
        for (auto &[name, handle] : handles)
            Io().Close(handle.handle);
        handles.clear();
        // The last close of an unplugged device lets the PnP manager remove
        // it; the close IRPs go out on the I/O manager's own thread.
        Io().WaitIdle();
        Pnp().WaitIdle();
        for (auto &device : devices) {
            PDEVICE_OBJECT pdo = device.port->Pdo();
            if (!device.unplugged && Pnp().Knows(pdo) && Pnp().State(pdo) != sim::NodeState::Removed)
                Pnp().Remove(pdo);
        }
        Pnp().WaitIdle();
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
    try {
        s.Boot();
        for (const auto &step : steps)
            s.Execute(step);
    } catch (const StepFailure &failure) {
        stepsPassed = false;
        s.out << "FAILED: " << failure.message << "\n";
        if (s.rig)
            s.out << "seed " << s.Machine().Seed() << "\n";
    }
    if (s.rig && !stepsPassed && s.Machine().Controlled())
        s.out << s.Machine().ScheduleTrail();
    if (s.rig)
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
}

}  // namespace vx
