#include "tools/vxsim/Chaos.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <random>
#include <set>

#include "driver/Driver.h"
#include "include/vextora.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"
#include "sim/rig/MachineRig.h"
#include "tools/vxsim/Progress.h"
#include "tools/common/Requests.h"
#include "tools/common/StatusNames.h"

namespace vx {
namespace {

// Statuses an application can act on: everything the driver, the I/O
// manager and the bus are documented to return to it. Anything else is a
// failure of the run.
const std::set<uint32_t> kActionable = {
    0x00000000, 0x80000011, 0xC0000001, 0xC0000004, 0xC0000008, 0xC000000D, 0xC000000E,
    0xC0000010, 0xC0000022, 0xC0000023, 0xC0000034, 0xC0000056, 0xC000009A, 0xC000009C,
    0xC000009D, 0xC00000BB, 0xC0000120, 0xC0000184, 0xC0000185, 0xC0000182, 0xC0000001,
};

const char *const kNames[] = {"", "PIPE00", "PIPE01", "PIPE02", "PIPE1", "7\\2", "PIPE06", "pipe", "PIPE000000000001"};

// The loopback device as the run sees it: which port, its interface link,
// and a generation that moves whenever its FIFO may have been reset or
// handles invalidated (restart, unplug).
struct Shared {
    std::mutex mutex;
    vextora::usb::UsbPort *port = nullptr;
    std::u16string link;
    uint64_t generation = 0;
    std::atomic<uint64_t> appOps{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytesVerified{0};
    // The orders that hang a driver whose waits have no waker, counted for
    // the summary (ChaosResult).
    std::atomic<uint64_t> parkedReads{0};
    std::atomic<uint64_t> abandonedReads{0};
    std::atomic<uint64_t> idleTickOpens{0};
    std::atomic<bool> failed{false};
    std::string failure;
    std::atomic<unsigned> appsRunning{0};
    // Data may be left in the loopback FIFO (a write whose read back did not
    // finish). Shared: the pipes pass from thread to thread, and whoever
    // holds them next must drain before it compares data.
    std::atomic<bool> fifoDirty{true};

    sim::Machine *machine = nullptr;

    void Fail(const std::string &what)
    {
        // Controlled mode: each thread's last scheduling decisions, as they
        // were when the failure was seen.
        std::string trail = machine != nullptr ? machine->ScheduleTrail() : "";
        std::lock_guard lock(mutex);
        if (!failed.exchange(true))
            failure = what + (trail.empty()
                                  ? ""
                                  : "\nat scheduling step " + std::to_string(machine->ScheduleStep()) + ":\n" + trail);
    }
    std::u16string Link()
    {
        std::lock_guard lock(mutex);
        return link;
    }
    uint64_t Generation()
    {
        std::lock_guard lock(mutex);
        return generation;
    }
};

// The last requests of one thread, with their virtual time and outcome, for
// the failure report, and a digest of every one of them.
class OpLog {
public:
    explicit OpLog(sim::Machine &machine) : machine_(machine) {}

    void Note(uint64_t op, const std::string &what)
    {
        // FNV-1a over the operation number and what it met.
        for (char c : std::to_string(op) + ":" + what + "\n")
            digest_ = (digest_ ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "%10.3f ms  op %llu: ", static_cast<double>(machine_.Now()) / 10000.0,
                      static_cast<unsigned long long>(op));
        entries_.push_back(stamp + what);
        if (entries_.size() > kKept)
            entries_.pop_front();
    }

    void Print(const std::string &thread, std::string &into) const
    {
        into += "  " + thread + ", last " + std::to_string(entries_.size()) + " request(s):\n";
        for (const auto &e : entries_)
            into += "    " + e + "\n";
    }

    uint64_t Digest() const { return digest_; }

private:
    static constexpr size_t kKept = 12;
    sim::Machine &machine_;
    std::deque<std::string> entries_;
    uint64_t digest_ = 0xcbf29ce484222325ull;
};

// Each operation draws from a generator seeded by its thread's stream, so
// the choices of operation n do not depend on what earlier ones met.
uint64_t StreamSeed(uint64_t seed, uint64_t thread) { return seed * 1000003 + thread; }

class AppThread {
public:
    AppThread(sim::Machine &machine, Shared &shared, unsigned index, uint64_t seed, uint64_t quota)
        : machine_(machine), shared_(shared), index_(index), stream_(StreamSeed(seed, index)), quota_(quota),
          log_(machine)
    {
    }

    // One operation and the think time after it; false when the quota is
    // used up or the run failed (the handles are closed then).
    bool StepOnce()
    {
        if (shared_.failed || done_ == quota_) {
            CloseAll();
            return false;
        }
        rng_.seed(stream_());
        auto think = std::chrono::microseconds(rng_() % 10000);
        for (size_t p = 0; p < parked_.size();) {
            if (parked_[p].request->Done()) {
                Check(parked_[p].request->Result(), "read left waiting");
                parked_.erase(parked_.begin() + static_cast<long>(p));
            } else {
                ++p;
            }
        }
        Step();
        ++done_;
        ++shared_.appOps;
        // Applications think between requests; PnP and power move meanwhile.
        machine_.Sleep(think);
        return true;
    }

    void Run()
    {
        while (StepOnce()) {
        }
    }

    const OpLog &Log() const { return log_; }

private:
    struct Held {
        vxio::Handle handle = vxio::kInvalidHandle;
        std::string name;
        uint64_t generation = 0;
    };

    sim::IoManager &Io() { return machine_.Component<sim::IoManager>(); }

    void Check(vxio::Status status, const std::string &what)
    {
        ++shared_.requests;
        log_.Note(done_, what + ": " + StatusName(status));
        if (!kActionable.count(static_cast<uint32_t>(status)))
            shared_.Fail("thread " + std::to_string(index_) + ": " + what + " ended with " + StatusName(status) +
                         ", which no application can act on");
    }

    Held *Find(const std::string &name)
    {
        for (auto &h : held_)
            if (h.name == name)
                return &h;
        return nullptr;
    }

    void Open(const std::string &name)
    {
        if (Find(name))
            return;
        std::u16string link = shared_.Link();
        if (link.empty())
            return;
        uint64_t generation = shared_.Generation();
        vxio::Handle handle = vxio::kInvalidHandle;
        vxio::Status status = Io().Open(link, ToU16(name), &handle);
        Check(status, "open \"" + name + "\"");
        if (status >= 0)
            held_.push_back({handle, name, generation});
    }

    void Close(size_t i)
    {
        const vxio::Handle handle = held_[i].handle;
        Io().Close(handle);
        ++shared_.requests;
        log_.Note(done_, "close \"" + held_[i].name + "\"");
        held_.erase(held_.begin() + static_cast<long>(i));
        // A read still waiting on the handle is the driver's to end at the
        // cleanup: the application has closed it and will not cancel it.
        for (size_t p = 0; p < parked_.size();) {
            if (parked_[p].handle != handle) {
                ++p;
                continue;
            }
            EndWithin(parked_[p].request, std::chrono::seconds(2), "a read left waiting on a closed handle");
            parked_.erase(parked_.begin() + static_cast<long>(p));
        }
    }

    // Fails the run unless the request ends within `limit` of virtual time
    // without anyone cancelling it.
    void EndWithin(const std::shared_ptr<vxio::Request> &request, std::chrono::milliseconds limit, const char *what)
    {
        uint64_t until = machine_.Now() + static_cast<uint64_t>(limit.count()) * 10000;
        while (!request->Done() && machine_.Now() < until)
            machine_.Sleep(std::chrono::milliseconds(1));
        if (!request->Done()) {
            shared_.Fail("thread " + std::to_string(index_) + ": " + what + " never ended");
            return;
        }
        Check(request->Result(), what);
    }

    // A read on pipe 1 that the application leaves waiting for data while it
    // goes on: PnP and power must get through it, and closing the handle
    // must end it.
    void Park()
    {
        Held *in = Find("PIPE01");
        if (!in || parked_.size() >= 2)
            return;
        Parked p;
        p.handle = in->handle;
        p.buffer = std::make_shared<std::vector<uint8_t>>(1 + rng_() % 4096);
        p.request = Io().Read(in->handle, p.buffer->data(), static_cast<uint32_t>(p.buffer->size()));
        ++shared_.parkedReads;
        shared_.fifoDirty = true;  // it may take what a later cycle wrote
        log_.Note(done_, "read " + std::to_string(p.buffer->size()) + " left waiting");
        parked_.push_back(std::move(p));
    }

    // A read started and the handle closed at once, without a cancel.
    void Abandon()
    {
        Held *in = Find("PIPE01");
        if (!in)
            return;
        std::vector<uint8_t> buffer(512);
        auto read = Io().Read(in->handle, buffer.data(), static_cast<uint32_t>(buffer.size()));
        ++shared_.abandonedReads;
        shared_.fifoDirty = true;
        for (size_t i = 0; i < held_.size(); ++i)
            if (held_[i].name == "PIPE01") {
                Close(i);
                break;
            }
        EndWithin(read, std::chrono::seconds(2), "a read whose handle was closed");
    }

    // Everything closed, so the device can idle; then an open and a control
    // request right at the idle check, when the hub may be calling back.
    void OpenAtTheIdleTick()
    {
        CloseAll();
        machine_.Sleep(std::chrono::microseconds(4'950'000 + rng_() % 100'000));
        ++shared_.idleTickOpens;
        Open("");
        Control();
    }

    void CloseAll()
    {
        while (!held_.empty())
            Close(held_.size() - 1);
    }

    // A handle that a status says is finished with (device gone or
    // restarted): the application closes it.
    void Drop(const std::string &name, vxio::Status status)
    {
        uint32_t s = static_cast<uint32_t>(status);
        if (s == 0xC000009D || s == 0xC0000056 || s == 0xC0000008 || s == 0xC0000184 || s == 0xC000000E) {
            for (size_t i = 0; i < held_.size(); ++i)
                if (held_[i].name == name) {
                    Close(i);
                    return;
                }
        }
    }

    // Waits for a request in virtual time; cancels it when it takes longer
    // than `patience`, as an application with a time-out does.
    vxio::Status Finish(const std::shared_ptr<vxio::Request> &request, vxio::Handle handle,
                        std::chrono::milliseconds patience)
    {
        uint64_t until = machine_.Now() + static_cast<uint64_t>(patience.count()) * 10000;
        while (!request->Done() && machine_.Now() < until)
            machine_.Sleep(std::chrono::microseconds(500));
        if (!request->Done())
            Io().CancelIo(handle);
        return request->Wait();
    }

    // Writes a block on pipe 0 and reads it back on pipe 1; when nothing
    // reset the device meanwhile, what came back must be what went out.
    void Cycle()
    {
        Held *out = Find("PIPE00");
        Held *in = Find("PIPE01");
        if (!out || !in)
            return;
        vxio::Handle outHandle = out->handle, inHandle = in->handle;
        uint64_t generation = shared_.Generation();
        // A read left waiting may take what this cycle writes.
        bool clean =
            out->generation == generation && in->generation == generation && !shared_.fifoDirty && parked_.empty();
        size_t size = 1 + rng_() % (rng_() % 4 == 0 ? 0x40000 : 4096);
        std::vector<uint8_t> data(size), back(size);
        FillPattern(data, rng_(), 0);
        auto write = Io().Write(outHandle, data.data(), static_cast<uint32_t>(size));
        vxio::Status ws = Finish(write, outHandle, std::chrono::milliseconds(50));
        Check(ws, "write " + std::to_string(size));
        uint64_t written = write->Information();
        if (ws < 0 || written != size) {
            shared_.fifoDirty = true;
            Drop("PIPE00", ws);
            return;
        }
        auto read = Io().Read(inHandle, back.data(), static_cast<uint32_t>(size));
        vxio::Status rs = Finish(read, inHandle, std::chrono::milliseconds(50));
        Check(rs, "read " + std::to_string(size));
        uint64_t got = read->Information();
        if (rs < 0 || got != size) {
            shared_.fifoDirty = true;
            Drop("PIPE01", rs);
            return;
        }
        if (clean && shared_.Generation() == generation) {
            if (back != data) {
                size_t at = 0;
                while (at < size && back[at] == data[at])
                    ++at;
                shared_.Fail("thread " + std::to_string(index_) + ": " + std::to_string(size) +
                             " bytes written to pipe 0 came back different from byte " + std::to_string(at));
                return;
            }
            shared_.bytesVerified += size;
        }
    }

    void Drain()
    {
        Held *in = Find("PIPE01");
        if (!in)
            return;
        std::vector<uint8_t> sink(0x40000);
        for (int i = 0; i < 4; ++i) {
            auto read = Io().Read(in->handle, sink.data(), static_cast<uint32_t>(sink.size()));
            vxio::Status s = Finish(read, in->handle, std::chrono::milliseconds(5));
            Check(s, "drain read");
            if (s < 0) {
                if (static_cast<uint32_t>(s) == 0xC0000120 && parked_.empty())
                    shared_.fifoDirty = false;  // nothing left: the read waited in vain
                Drop("PIPE01", s);
                return;
            }
        }
    }

    void Control()
    {
        if (held_.empty())
            return;
        Held &h = held_[rng_() % held_.size()];
        const auto &codes = ControlCodes();
        uint32_t code = rng_() % 10 == 0 ? 0x220000u + 4u * (8 + rng_() % 4) : codes[rng_() % codes.size()].code;
        if (code == IOCTL_RESET_DEVICE && rng_() % 4)
            code = IOCTL_GET_DEVICE_DESCRIPTOR;
        static const uint32_t lengths[] = {0, 1, 2, 3, 4, 17, 18, 64, 255, 4096};
        std::vector<uint8_t> input(lengths[rng_() % std::size(lengths)]);
        for (auto &b : input)
            b = static_cast<uint8_t>(rng_());
        if (code == IOCTL_GET_STRING_DESCRIPTOR && input.size() >= 4 && rng_() % 2) {
            input[0] = static_cast<uint8_t>(rng_() % 5);
            input[2] = 0x09;
            input[3] = 0x04;
        }
        uint32_t outLength = lengths[rng_() % std::size(lengths)];
        std::vector<uint8_t> output(outLength);
        std::string name = h.name;
        vxio::Handle handle = h.handle;
        auto request =
            Io().Control(handle, code, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
                         output.empty() ? nullptr : output.data(), outLength);
        vxio::Status s = Finish(request, handle, std::chrono::milliseconds(100));
        Check(s, ControlCodeName(code));
        if (request->Information() > outLength)
            shared_.Fail(ControlCodeName(code) + " returned " + std::to_string(request->Information()) +
                         " bytes into a buffer of " + std::to_string(outLength));
        Drop(name, s);
    }

    void Step()
    {
        switch (rng_() % 16) {
        case 0: Open(kNames[rng_() % std::size(kNames)]); break;
        case 1:
            // Mostly the names a working application uses.
            Open(kNames[rng_() % 4]);
            break;
        case 2:
            if (!held_.empty())
                Close(rng_() % held_.size());
            break;
        case 3:
        case 4:
        case 5:
            if (shared_.fifoDirty)
                Drain();
            Cycle();
            break;
        case 6:
        case 7: Control(); break;
        case 8:
            if (!held_.empty()) {
                const Held &h = held_[rng_() % held_.size()];
                Io().CancelIo(h.handle);
                ++shared_.requests;
                log_.Note(done_, "cancel I/O on \"" + h.name + "\"");
            }
            break;
        case 12:
        case 13: Park(); break;
        case 14: Abandon(); break;
        case 15:
            if (rng_() % 8 == 0)
                OpenAtTheIdleTick();
            break;
        case 9:
            if (Held *irq = Find("PIPE02")) {
                uint8_t level[8];
                std::string name = irq->name;
                auto read = Io().Read(irq->handle, level, sizeof level);
                vxio::Status s = Finish(read, irq->handle, std::chrono::milliseconds(20));
                Check(s, "interrupt read");
                Drop(name, s);
            }
            break;
        default: machine_.Sleep(std::chrono::milliseconds(1 + rng_() % 20)); break;
        }
    }

    struct Parked {
        vxio::Handle handle = vxio::kInvalidHandle;
        std::shared_ptr<std::vector<uint8_t>> buffer;  // alive until the read ends
        std::shared_ptr<vxio::Request> request;
    };

    sim::Machine &machine_;
    Shared &shared_;
    unsigned index_;
    std::mt19937_64 stream_;  // one draw per operation
    std::mt19937_64 rng_;     // the choices of the current operation
    uint64_t quota_;
    uint64_t done_ = 0;
    OpLog log_;
    std::vector<Held> held_;
    std::vector<Parked> parked_;
};

class SystemThread {
public:
    SystemThread(sim::Machine &machine, Shared &shared, uint64_t seed, bool hostController)
        : machine_(machine), shared_(shared), stream_(seed), hostController_(hostController), log_(machine)
    {
    }

    // One operation and the pause after it.
    void StepOnce()
    {
        rng_.seed(stream_());
        auto pause = std::chrono::milliseconds(rng_() % 20);
        Step();
        ++ops_;
        machine_.Sleep(pause);
    }

    uint64_t Run()
    {
        while (!shared_.failed && shared_.appsRunning > 0)
            StepOnce();
        return ops_;
    }

    uint64_t Ops() const { return ops_; }
    uint64_t Replugs() const { return replugs_; }
    uint64_t Restarts() const { return restarts_; }
    uint64_t QueriesAnsweredByStart() const { return queriesAnsweredByStart_; }
    uint64_t PowerAtIdleTicks() const { return powerAtIdleTicks_; }
    const OpLog &Log() const { return log_; }

private:
    sim::PnpManager &Pnp() { return machine_.Component<sim::PnpManager>(); }
    sim::PowerManager &Power() { return machine_.Component<sim::PowerManager>(); }

    void Check(NTSTATUS status, const char *what)
    {
        log_.Note(ops_, std::string(what) + ": " + StatusName(status));
        if (status < 0 && static_cast<uint32_t>(status) != 0xC0000010 &&
            !kActionable.count(static_cast<uint32_t>(status)))
            shared_.Fail(std::string(what) + " ended with " + StatusName(status));
    }

    void Moved()
    {
        std::lock_guard lock(shared_.mutex);
        ++shared_.generation;
    }

    void Step()
    {
        PDEVICE_OBJECT pdo;
        {
            std::lock_guard lock(shared_.mutex);
            pdo = shared_.port ? shared_.port->Pdo() : nullptr;
        }
        if (pdo == nullptr)
            return;
        switch (rng_() % 12) {
        case 9:
            // A start the PnP manager sends to a device that is started.
            ++restarts_;
            Check(Pnp().Start(pdo), "start of a started device");
            break;
        case 10: {
            // A query answered with a start instead of a stop or a cancel.
            ++queriesAnsweredByStart_;
            const bool stop = rng_() % 2;
            Check(stop ? Pnp().QueryStop(pdo) : Pnp().QueryRemove(pdo), stop ? "query-stop" : "query-remove");
            Check(Pnp().Start(pdo), "start answering the query");
            break;
        }
        case 11: PowerAtIdleTick(pdo); break;
        case 0:
            Moved();
            Check(Pnp().Rebalance(pdo), "rebalance");
            Moved();
            break;
        case 1: {
            NTSTATUS s = Pnp().QueryStop(pdo);
            Check(s, "query-stop");
            Check(Pnp().CancelStop(pdo), "cancel-stop");
            break;
        }
        case 2: {
            NTSTATUS s = Pnp().QueryRemove(pdo);
            Check(s, "query-remove");
            Check(Pnp().CancelRemove(pdo), "cancel-remove");
            break;
        }
        case 3:
        case 4: {
            auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + rng_() % 4);
            Check(Power().SetSystemPower(pdo, state), "system sleep");
            if (rng_() % 2) {
                vextora::usb::UsbPort *port;
                {
                    std::lock_guard lock(shared_.mutex);
                    port = shared_.port;
                }
                log_.Note(ops_, "remote wake signalled");
                port->SignalRemoteWake();
            }
            Check(Power().SetSystemPower(pdo, PowerSystemWorking), "system resume");
            break;
        }
        case 5:
            // Idle ticks: time passes with whatever the applications do.
            log_.Note(ops_, "idle ticks");
            machine_.Sleep(std::chrono::milliseconds(500 + rng_() % 5500));
            break;
        case 6: Replug(); break;
        default: machine_.Sleep(std::chrono::milliseconds(rng_() % 200)); break;
        }
        Pnp().WaitIdle();
        Power().WaitIdle();
    }

    // Right at an idle check, when the hub may be calling back and the idle
    // power-down draining: a system request, or a device query from another
    // requester.
    void PowerAtIdleTick(PDEVICE_OBJECT pdo)
    {
        machine_.Sleep(std::chrono::microseconds(4'950'000 + rng_() % 100'000));
        ++powerAtIdleTicks_;
        switch (rng_() % 4) {
        case 0:
            Check(Power().SendSystemIrp(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3),
                  "system query S3 at the idle tick");
            break;
        case 1:
            Check(Power().SetSystemPower(pdo, PowerSystemSleeping3), "system sleep at the idle tick");
            Check(Power().SetSystemPower(pdo, PowerSystemWorking), "system resume");
            break;
        default: {
            const auto state = rng_() % 2 ? PowerDeviceD2 : PowerDeviceD0;
            Check(QueryDevicePower(pdo, state),
                  state == PowerDeviceD0 ? "device query D0 at the idle tick" : "device query D2 at the idle tick");
            break;
        }
        }
    }

    struct QueryWait {
        KEVENT done;
        NTSTATUS status;
    };

    static VOID NTAPI QueryDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
    {
        auto *wait = static_cast<QueryWait *>(context);
        wait->status = status->Status;
        KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
    }

    // A device power query of a requester other than the driver. Waits for
    // its end; PASSIVE_LEVEL.
    static NTSTATUS QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
    {
        QueryWait wait;
        KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
        wait.status = STATUS_PENDING;
        POWER_STATE power;
        power.DeviceState = state;
        const NTSTATUS sent = PoRequestPowerIrp(pdo, IRP_MN_QUERY_POWER, power, QueryDone, &wait, nullptr);
        if (sent != STATUS_PENDING)
            return sent;
        KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
        return wait.status;
    }

    void Replug()
    {
        auto &bus = machine_.Component<vextora::usb::UsbBus>();
        vextora::usb::UsbPort *old;
        {
            std::lock_guard lock(shared_.mutex);
            old = shared_.port;
            shared_.link.clear();
            ++shared_.generation;
        }
        bool hostController = hostController_ && rng_() % 2;
        log_.Note(ops_, std::string("replug, completing ") + (hostController ? "from the host controller" : "inline"));
        bus.Unplug(*old);
        ++replugs_;
        vextora::usb::PortOptions options;
        options.Completion =
            hostController ? vextora::usb::CompletionMode::HostController : vextora::usb::CompletionMode::Inline;
        auto &port = bus.Plug(vextora::usb::MakeModel("loopback", vextora::usb::LoopbackDescriptors()), options);
        Pnp().WaitIdle();
        auto links = machine_.Component<sim::IoManager>().Interfaces(sim::ToInterfaceClass(VextoraInterfaceClassGuid));
        std::lock_guard lock(shared_.mutex);
        shared_.port = &port;
        for (const auto &l : links)
            shared_.link = l;  // the newest device's link is the last
        ++shared_.generation;
    }

    sim::Machine &machine_;
    Shared &shared_;
    std::mt19937_64 stream_;
    std::mt19937_64 rng_;
    bool hostController_;  // false: every transfer completes in the submitting thread
    uint64_t ops_ = 0;
    uint64_t replugs_ = 0;
    uint64_t restarts_ = 0;
    uint64_t queriesAnsweredByStart_ = 0;
    uint64_t powerAtIdleTicks_ = 0;
    OpLog log_;
};

}  // namespace

std::string ChaosCommand(const ChaosOptions &options)
{
    std::string command = "vxsim --seed " + std::to_string(options.seed) +
                          (options.imagePath.empty() ? "" : " --image " + options.imagePath) + " chaos --ops " +
                          std::to_string(options.ops) + " --threads " + std::to_string(options.appThreads);
    if (!options.randomYields)
        command += " --no-yields";
    if (options.serial)
        command += " --serial";
    if (options.schedule.Controlled())
        command += " --schedule " + options.schedule.Text();
    return command;
}

ChaosResult RunChaos(const ChaosOptions &options, std::ostream &out)
{
    ChaosResult result;
    RigOptions rigOptions;
    rigOptions.Machine.Seed = options.seed;
    rigOptions.Machine.RandomYields = options.randomYields;
    rigOptions.Machine.Schedule = options.schedule;
    rigOptions.Machine.ReplayCommand = ChaosCommand(options);
    auto record = std::make_shared<sim::ScheduleRecord>();
    rigOptions.Machine.Record = record;
    rigOptions.ThreadName = "chaos";
    rigOptions.Parameters = {{u"VextoraEnable", 1}};
    rigOptions.Image = options.image;
    Shared shared;
    uint64_t systemOps = 0, replugs = 0;
    std::string reports;
    std::string logs;
    {
        MachineRig rig(rigOptions);
        sim::Machine &machine = rig.Machine();
        shared.machine = machine.Controlled() ? &machine : nullptr;
        vextora::usb::PortOptions portOptions;
        portOptions.Completion =
            options.serial ? vextora::usb::CompletionMode::Inline : vextora::usb::CompletionMode::HostController;
        shared.port = &rig.Plug(vextora::usb::MakeModel("loopback", vextora::usb::LoopbackDescriptors()), portOptions);
        if (rig.Link().empty()) {
            result.failure = "the loopback device did not start\nreproduce: " + ChaosCommand(options);
            out << "chaos seed " << options.seed << ": FAILED\n" << result.failure << "\n";
            return result;
        }
        shared.link = rig.Link();

        // Each application thread's share of the operations is fixed, so its
        // stream is the same whatever the others do.
        std::vector<std::unique_ptr<AppThread>> apps;
        for (unsigned i = 0; i < options.appThreads; ++i) {
            uint64_t quota = options.ops / options.appThreads + (i < options.ops % options.appThreads ? 1 : 0);
            apps.push_back(std::make_unique<AppThread>(machine, shared, i, options.seed, quota));
        }
        SystemThread system(machine, shared, options.seed ^ 0x5EED, !options.serial);
        ProgressBar bar(options.progress);
        auto progress = [&] { bar.Show(shared.appOps, options.ops); };

        if (options.serial) {
            // One thread runs every stream: the next operation's thread is
            // drawn from the run's random stream (the system thread one time in sixteen,
            // near the share it gets when the threads run side by side).
            std::mt19937_64 order(StreamSeed(options.seed, 0xC0FFEE));
            std::vector<AppThread *> running;
            running.reserve(apps.size());
            for (auto &app : apps)
                running.push_back(app.get());
            uint64_t steps = 0;
            while (!running.empty()) {
                if (order() % 16 == 0) {
                    system.StepOnce();
                } else {
                    size_t i = order() % running.size();
                    if (!running[i]->StepOnce())
                        running.erase(running.begin() + static_cast<long>(i));
                }
                if (++steps % 256 == 0)
                    progress();
            }
            systemOps = system.Ops();
        } else {
            std::vector<sim::SimThread *> threads;
            shared.appsRunning = options.appThreads;
            for (unsigned i = 0; i < options.appThreads; ++i) {
                AppThread *app = apps[i].get();
                threads.push_back(machine.StartThread("app" + std::to_string(i), [app, &shared] {
                    app->Run();
                    --shared.appsRunning;
                }));
            }
            sim::SimThread *systemThread = machine.StartThread("system", [&] { systemOps = system.Run(); });
            while (shared.appsRunning > 0) {
                machine.Sleep(std::chrono::milliseconds(100));
                progress();
            }
            for (auto *t : threads)
                machine.Join(t);
            machine.Join(systemThread);
        }
        bar.Clear();
        replugs = system.Replugs();
        result.restarts = system.Restarts();
        result.queriesAnsweredByStart = system.QueriesAnsweredByStart();
        result.powerAtIdleTicks = system.PowerAtIdleTicks();
        for (unsigned i = 0; i < apps.size(); ++i) {
            apps[i]->Log().Print("app" + std::to_string(i), logs);
            result.digest = result.digest * 31 + apps[i]->Log().Digest();
        }
        system.Log().Print("system", logs);
        result.digest = result.digest * 31 + system.Log().Digest();

        // The end: every handle closed, the device unplugged and removed,
        // the driver unloaded, nothing left behind. The port to unplug is
        // the one the system thread's last replug left in `shared`.
        rig.Io().WaitIdle();
        rig.Pnp().WaitIdle();
        {
            vextora::usb::UsbPort *port = shared.port;
            rig.Bus().Unplug(*port);
        }
        rig.Pnp().WaitIdle();
        if (rig.Io().ReportOutstanding() != 0 && !shared.failed)
            shared.Fail("application requests were never completed");
        shared.machine = nullptr;
        reports = rig.Shutdown();
        if (!reports.empty() && machine.Controlled())
            reports += machine.ScheduleTrail();
    }
    result.appOps = shared.appOps;
    result.systemOps = systemOps;
    result.replugs = replugs;
    result.requests = shared.requests;
    result.bytesVerified = shared.bytesVerified;
    result.parkedReads = shared.parkedReads;
    result.abandonedReads = shared.abandonedReads;
    result.idleTickOpens = shared.idleTickOpens;
    if (!reports.empty())
        shared.Fail("verifier reports:\n" + reports);
    result.passed = !shared.failed;
    if (!result.passed) {
        result.failure = shared.failure + "\n" + logs + "seed " + std::to_string(options.seed) +
                         "; reproduce: " + ChaosCommand(options);
        if (options.schedule.Controlled()) {
            const uint64_t at = record->ReportStep ? record->ReportStep : record->Steps;
            result.failure += "\n(the schedule replays exactly; to stop at step " + std::to_string(at) +
                              " under a debugger: VEXTORA_BREAK_AT_STEP=" + std::to_string(at) + " gdb --args " +
                              ChaosCommand(options) + ")";
        } else if (!options.serial) {
            result.failure += "\n(threads replay the same operations but not the same interleaving: add --repeat 20 "
                              "to rerun it, or try --serial)";
        }
    }
    result.scheduleSteps = record->Steps;
    result.scheduleHash = record->Hash;
    out << "chaos seed " << options.seed << ": " << result.appOps << " application operations, " << result.systemOps
        << " PnP/power/idle operations, " << result.replugs << " replugs, " << result.requests << " requests, "
        << result.bytesVerified << " bytes verified; " << result.parkedReads << " reads left waiting, "
        << result.abandonedReads << " closed under a read, " << result.idleTickOpens << " opens and "
        << result.powerAtIdleTicks << " power requests at the idle tick, " << result.restarts << " starts of a started "
        << "device, " << result.queriesAnsweredByStart << " queries answered by a start";
    if (options.serial) {
        char digest[24];
        std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(result.digest));
        out << ", operations digest " << digest;
    }
    out << ": " << (result.passed ? "passed" : "FAILED");
    if (options.schedule.Controlled()) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(result.scheduleHash));
        out << "; schedule " << options.schedule.Text() << ", " << result.scheduleSteps << " steps, decision hash "
            << hash;
    }
    out << "\n";
    if (!result.passed)
        out << result.failure << "\n";
    return result;
}

uint64_t RunChaosSeeds(const ChaosOptions &options, uint64_t seeds, uint64_t repeat, std::ostream &out,
                       ChaosSummary *summary)
{
    auto started = std::chrono::steady_clock::now();
    uint64_t runs = 0, failures = 0;
    for (uint64_t i = 0; i < seeds; ++i) {
        for (uint64_t r = 0; r < std::max<uint64_t>(repeat, 1); ++r) {
            ChaosOptions one = options;
            one.seed = options.seed + i;
            ++runs;
            ChaosResult result = RunChaos(one, out);
            if (!result.passed)
                ++failures;
            if (summary != nullptr)
                summary->runs.push_back({one.seed, std::move(result)});
            out << std::flush;
            if (failures != 0 && options.firstFailure) {
                out << "first failure at run " << runs << " (seed " << one.seed << ")\n";
                i = seeds;
                break;
            }
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (summary != nullptr) {
        summary->failures = failures;
        summary->seconds = seconds;
    }
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
    out << runs - failures << " passed, " << failures << " failed (" << runs << " run(s), " << elapsed << " s)\n";
    return failures;
}

std::string ChaosJson(const ChaosOptions &options, const ChaosSummary &summary)
{
    nlohmann::ordered_json j;
    j["ops"] = options.ops;
    j["threads"] = options.appThreads;
    j["serial"] = options.serial;
    j["random_yields"] = options.randomYields;
    j["runs"] = nlohmann::json::array();
    for (const auto &run : summary.runs) {
        const ChaosResult &r = run.result;
        nlohmann::ordered_json one;
        one["seed"] = run.seed;
        one["passed"] = r.passed;
        one["application_ops"] = r.appOps;
        one["system_ops"] = r.systemOps;
        one["replugs"] = r.replugs;
        one["requests"] = r.requests;
        one["bytes_verified"] = r.bytesVerified;
        one["reads_left_waiting"] = r.parkedReads;
        one["closed_under_a_read"] = r.abandonedReads;
        one["opens_at_idle_tick"] = r.idleTickOpens;
        one["power_requests_at_idle_tick"] = r.powerAtIdleTicks;
        one["starts_of_a_started_device"] = r.restarts;
        one["queries_answered_by_a_start"] = r.queriesAnsweredByStart;
        if (options.serial) {
            char digest[24];
            std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(r.digest));
            one["operations_digest"] = digest;
        }
        if (!r.passed)
            one["failure"] = r.failure;
        j["runs"].push_back(std::move(one));
    }
    j["passed"] = summary.runs.size() - summary.failures;
    j["failed"] = summary.failures;
    j["seconds"] = summary.seconds;
    return j.dump(2);
}

}  // namespace vx
