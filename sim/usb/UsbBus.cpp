#include "sim/usb/UsbBus.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <map>
#include <string>

#include "sim/kernel/FutexLock.h"
#include "sim/kernel/PnpManager.h"

namespace vextora::usb {

namespace {

constexpr uintptr_t kPipeTag = 0x7A00000000000000ull;
constexpr uintptr_t kInterfaceTag = 0x7B00000000000000ull;
constexpr uintptr_t kConfigurationTag = 0x7C00000000000000ull;

PVOID Token(uintptr_t tag, uint64_t serial) { return reinterpret_cast<PVOID>(tag | serial); }

// The DDK declares the idle callback without NTAPI, so it takes the
// platform's default convention: the host's in the driver built into the
// simulator, the Windows x64 one in a kernel image, as every routine there.
void CallIdleCallback(sim::Machine &Machine, const USB_IDLE_CALLBACK_INFO &Info)
{
    if (Machine.InImage(reinterpret_cast<const void *>(Info.IdleCallback))) {
        using WindowsIdleCallback = VOID(NTAPI *)(PVOID Context);
        reinterpret_cast<WindowsIdleCallback>(Info.IdleCallback)(Info.IdleContext);
        return;
    }
    Info.IdleCallback(Info.IdleContext);
}

// The NTSTATUS the stack returns with a USBD status.
NTSTATUS NtStatusFor(USBD_STATUS usbd)
{
    switch (usbd) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INAVLID_PIPE_FLAGS:
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_ERROR_BUSY:
        return STATUS_DEVICE_BUSY;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

struct Pipe {
    EndpointInfo Endpoint;
    USBD_PIPE_TYPE Type;
    // What the client asked for at selection; enforced only on releases
    // before Windows XP (see EnforcesMaximumTransferSize).
    ULONG MaximumTransferSize;
    uint8_t Interface;  // bInterfaceNumber of the interface it belongs to
};

// Windows 2000's USB driver (and Windows 98's and Me's) refuses a transfer
// longer than the MaximumTransferSize its pipe was selected with; from
// Windows XP on the stack ignores the field. The machine's WDM version says
// which release is being played (1.20 is Windows XP).
bool EnforcesMaximumTransferSize(const sim::Machine &Machine)
{
    const sim::MachineOptions &options = Machine.Options();
    return options.WdmMajor == 1 && options.WdmMinor < 0x20;
}

enum class TransferState { Queued, Active, Finished };

struct Transfer {
    PIRP Irp = nullptr;
    PURB Urb = nullptr;
    bool IsControl = false;
    EndpointInfo Endpoint;
    PVOID PipeHandle = nullptr;
    SetupPacket Setup;
    UCHAR *Data = nullptr;
    ULONG Length = 0;
    ULONG Done = 0;
    bool In = false;
    bool ShortOk = false;
    bool ThroughMdl = false;
    TransferState State = TransferState::Active;
    bool CancelRequested = false;
    bool NeedsAttempt = true;
    bool Pended = false;
    // The final result once known.
    bool HasResult = false;
    NTSTATUS Status = STATUS_PENDING;
    USBD_STATUS Usbd = USBD_STATUS_PENDING;
    ULONG Actual = 0;
    uint64_t DelayNs = 0;
    bool Disconnect = false;
    // Host-controller ports: queued on the bus timeline and not yet moved;
    // and the machine time before which the device's own delay keeps it.
    bool OnTimeline = false;
    uint64_t DueNs = 0;
    // Answered EndpointFault::Nak: NAKed until it is cancelled or aborted.
    bool NakForever = false;
    uint64_t CaptureId = 0;  // the IRP id of its capture records
};

struct ArmedFault {
    EndpointFault Kind;
    uint32_t ShortBytes;
};

// The port whose lock the calling thread holds while it runs a model, and
// the port whose service thread the calling thread is.
thread_local const void *tInsideModelOf = nullptr;
thread_local const void *tPortThread = nullptr;

struct InsideModel {
    explicit InsideModel(const void *port) { tInsideModelOf = port; }
    ~InsideModel() { tInsideModelOf = nullptr; }
};

enum class IdleState { None, Waiting, CallbackRunning, CallbackDone };

}  // namespace

// ---------------------------------------------------------------------------
// Port internals
// ---------------------------------------------------------------------------
struct UsbPort::Impl {
    Impl(UsbPort &port, sim::Machine &machine, PortOptions options)
        : Port(port), Machine(machine), Options(std::move(options)),
          Timing(port.model_->DeviceSpeed())
    {
    }

    UsbPort &Port;
    sim::Machine &Machine;
    PortOptions Options;

    mutable sim::FutexLock M;
    // Changed under M; read without it where a stale answer is settled
    // again under M (a submission's first check).
    std::atomic<bool> Connected{true};
    bool Enabled = true;
    bool Removed = false;      // IRP_MN_REMOVE_DEVICE seen
    bool PdoDeleted = false;
    bool Reported = false;
    DEVICE_POWER_STATE Power = PowerDeviceD0;
    bool Configured = false;
    uint8_t ConfigurationValue = 0;
    PVOID ConfigurationHandle = nullptr;
    std::map<PVOID, Pipe> Pipes;
    uint64_t NextSerial = 1;
    std::list<std::unique_ptr<Transfer>> Transfers;
    bool Kicked = false;

    PIRP IdleIrp = nullptr;
    USB_IDLE_CALLBACK_INFO IdleInfo{};
    PDRIVER_OBJECT IdleDriver = nullptr;
    PDEVICE_OBJECT IdleDevice = nullptr;
    IdleState Idle = IdleState::None;
    bool IdleCancelRequested = false;
    std::optional<NTSTATUS> IdleDeferred;
    uint64_t IdleDue = 0;  // 100 ns units of machine time
    unsigned IdleCallbacks = 0;

    PIRP WaitWakeIrp = nullptr;

    std::vector<UrbRecord> Records;
    BusTiming Timing;
    std::shared_ptr<UsbPcapWriter> Pcap;
    // Faults armed for the next request, by endpoint address (0x00 for the
    // default pipe in both directions).
    std::map<uint8_t, ArmedFault> Faults;
    unsigned DirectionMismatches = 0;

    sim::SimThread *HcThread = nullptr;
    sim::SimThread *HubThread = nullptr;
    KEVENT HcEvent;
    KEVENT HubEvent;
    bool Stopping = false;

    // ---- helpers (M held unless said otherwise) --------------------------
    PVOID NewToken(uintptr_t tag) { return Token(tag, NextSerial++); }

    uint64_t NowNs() const { return Machine.Now() * 100; }

    Transfer *Find(PIRP irp)
    {
        for (auto &t : Transfers) {
            if (t->Irp == irp) {
                return t.get();
            }
        }
        return nullptr;
    }
    std::unique_ptr<Transfer> Take(Transfer *t)
    {
        // From the newest: a transfer completed at once is the last one, and
        // many older ones may be waiting for data.
        for (auto it = Transfers.rbegin(); it != Transfers.rend(); ++it) {
            if (it->get() == t) {
                auto owned = std::move(*it);
                if (owned->NakForever) {
                    // The transfers queued behind it on its endpoint go on.
                    Kicked = true;
                }
                Transfers.erase(std::next(it).base());
                return owned;
            }
        }
        return nullptr;
    }

    // Runs the device model for a transfer; fills the result or leaves it
    // pending (NAK).
    void Attempt(Transfer &t)
    {
        Result r;
        if (!Connected) {
            r = Result::Gone();
        } else if (t.NakForever || BehindNakForever(t)) {
            r = Result::NotReady();
        } else if (auto fault = TakeFault(t)) {
            r = AnswerFault(t, *fault);
        } else {
            InsideModel inside(this);
            if (t.IsControl) {
                r = Port.model_->Control(t.Setup, std::span<uint8_t>(t.Data, t.Length));
            } else {
                r = Port.model_->Transfer(t.Endpoint, std::span<uint8_t>(t.Data + t.Done, t.Length - t.Done));
            }
        }
        t.DelayNs = r.DelayNs;
        switch (r.Kind) {
        case Outcome::Done: {
            const ULONG actual = t.IsControl ? std::min<ULONG>(r.Actual, t.Length)
                                             : std::min<ULONG>(t.Done + r.Actual, t.Length);
            SetResult(t, USBD_STATUS_SUCCESS, actual);
            if (t.In && actual < t.Length && !t.ShortOk) {
                // Without USBD_SHORT_TRANSFER_OK a short packet ends the
                // transfer in error.
                SetResult(t, USBD_STATUS_ERROR_SHORT_TRANSFER, actual);
            }
            // Written only when it changes: two processors completing
            // transfers would otherwise pass its line back and forth.
            if (!Kicked && !Port.model_->AnswersIndependently()) {
                Kicked = true;
            }
            break;
        }
        case Outcome::Nak:
            t.Done = std::min<ULONG>(t.Done + r.Actual, t.Length);
            t.NeedsAttempt = false;
            if (r.Actual > 0 && !Port.model_->AnswersIndependently()) {
                Kicked = true;
            }
            break;
        case Outcome::Stall:
            SetResult(t, USBD_STATUS_STALL_PID, t.Done);
            break;
        case Outcome::Error:
            SetResult(t, USBD_ERROR(r.UsbdStatus) ? r.UsbdStatus : USBD_STATUS_DEV_NOT_RESPONDING, t.Done);
            break;
        case Outcome::Disconnect:
            SetResult(t, USBD_STATUS_DEVICE_GONE, 0);
            t.Disconnect = Connected;
            break;
        }
        if (t.HasResult && t.Usbd == USBD_STATUS_SUCCESS && !t.IsControl) {
            const BusTiming::Id id = reinterpret_cast<uintptr_t>(t.Irp);
            if (Options.Completion == CompletionMode::HostController) {
                // Every transfer of the port shares one timeline in machine
                // time; the host controller completes it when its last
                // packet has gone out.
                AdvanceTimeline();
                Timing.Enqueue(id, t.Endpoint.Address, t.Actual);
                t.OnTimeline = true;
            } else {
                // Completed in the submitter's thread: the timeline only
                // keeps the endpoint figures.
                (void)Timing.RunAlone(id, t.Endpoint.Address, t.Actual);
            }
        }
    }

    static uint8_t FaultKey(const Transfer &t) { return t.IsControl ? 0x00 : t.Endpoint.Address; }

    // A transfer on the endpoint of t that the device NAKs for ever holds up
    // those queued after it, as the host controller serves an endpoint's
    // queue in order. M held.
    bool BehindNakForever(const Transfer &t) const
    {
        for (const auto &other : Transfers) {
            if (other.get() != &t && other->NakForever && FaultKey(*other) == FaultKey(t) &&
                other->IsControl == t.IsControl) {
                return true;
            }
        }
        return false;
    }

    // The fault armed for t's endpoint, taken out; a short packet waits for
    // an IN request. M held.
    std::optional<ArmedFault> TakeFault(const Transfer &t)
    {
        auto it = Faults.find(FaultKey(t));
        if (it == Faults.end() || (it->second.Kind == EndpointFault::Short && !t.In)) {
            return std::nullopt;
        }
        const ArmedFault fault = it->second;
        Faults.erase(it);
        return fault;
    }

    // The device's answer to t under an armed fault. M held, inside the model.
    Result AnswerFault(Transfer &t, const ArmedFault &fault)
    {
        switch (fault.Kind) {
        case EndpointFault::Stall:
            if (!t.IsControl) {
                Port.model_->HaltEndpoint(t.Endpoint.Address);
            }
            return Result::Stalled();
        case EndpointFault::Error:
            return Result::Failed(USBD_STATUS_XACT_ERROR);
        case EndpointFault::Nak:
            t.NakForever = true;
            return Result::NotReady();
        case EndpointFault::Disconnect:
            return Result::Gone();
        case EndpointFault::Short:
            break;
        }
        // The device's own data, cut to N bytes: a short packet ends the
        // transfer. A device with nothing to send yet keeps the fault for
        // the attempt that finds data.
        InsideModel inside(this);
        Result r;
        if (t.IsControl) {
            r = Port.model_->Control(t.Setup, std::span<uint8_t>(t.Data, std::min(t.Length, fault.ShortBytes)));
        } else {
            const ULONG left = t.Length - t.Done;
            r = Port.model_->Transfer(t.Endpoint, std::span<uint8_t>(t.Data + t.Done, std::min(left, fault.ShortBytes)));
        }
        if (r.Kind == Outcome::Nak && r.Actual == 0) {
            Faults.emplace(FaultKey(t), fault);
        } else if (r.Kind == Outcome::Nak) {
            r.Kind = Outcome::Done;
        }
        return r;
    }

    uint64_t FrameNs() const { return BudgetFor(Port.model_->DeviceSpeed()).FrameNs; }

    // Brings the bus timeline of a host-controller port up to the machine's
    // time: the frames that have fully elapsed are run, and an idle bus
    // starts its next transfer at the next frame boundary. Transfers whose
    // last packet went out leave the timeline. M held.
    void AdvanceTimeline()
    {
        const uint64_t now = NowNs();
        for (BusTiming::Id id : Timing.AdvanceTo(now / FrameNs())) {
            for (auto &t : Transfers) {
                if (reinterpret_cast<uintptr_t>(t->Irp) == id) {
                    t->OnTimeline = false;
                    break;
                }
            }
        }
        if (!Timing.Busy() && now % FrameNs() != 0) {
            (void)Timing.AdvanceTo(now / FrameNs() + 1);
        }
    }

    // Capture timestamps: a host-controller port's bus time is machine
    // time; an inline port's runs beside it.
    uint64_t CaptureNs() const
    {
        return Options.Completion == CompletionMode::HostController ? NowNs() : NowNs() + Timing.NowNs();
    }

    static void SetResult(Transfer &t, USBD_STATUS usbd, ULONG actual)
    {
        t.HasResult = true;
        t.Usbd = usbd;
        t.Status = NtStatusFor(usbd);
        t.Actual = actual;
    }

    // Writes the result into the URB and records it. M held.
    void Record(const Transfer &t, bool pended)
    {
        t.Urb->UrbHeader.Status = t.Usbd;
        if (t.IsControl) {
            t.Urb->UrbControlTransfer.TransferBufferLength = t.Actual;
        } else {
            t.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t.Actual;
        }
        if (Options.RecordUrbs) {
            UrbRecord rec;
            rec.Function = t.Urb->UrbHeader.Function;
            rec.Length = t.Urb->UrbHeader.Length;
            rec.Endpoint = t.IsControl ? (t.In ? 0x80 : 0x00) : t.Endpoint.Address;
            rec.TransferFlags = t.IsControl ? t.Urb->UrbControlTransfer.TransferFlags
                                            : t.Urb->UrbBulkOrInterruptTransfer.TransferFlags;
            rec.Requested = t.Length;
            rec.Actual = t.Actual;
            rec.UsbdStatus = t.Usbd;
            rec.IrpStatus = t.Status;
            if (t.IsControl) {
                rec.Setup = t.Setup;
            }
            rec.Data = t.Data;
            rec.ThroughMdl = t.ThroughMdl;
            rec.Pended = pended;
            rec.CompletionIrql = KeGetCurrentIrql();
            Records.push_back(rec);
        }
        if (Pcap && t.CaptureId != 0) {
            std::span<const uint8_t> in;
            if (t.In && t.Data) {
                in = std::span<const uint8_t>(t.Data, t.Actual);
            }
            if (t.IsControl) {
                Pcap->ControlComplete(Device(), t.CaptureId, CaptureNs(), t.Urb->UrbHeader.Function, t.Usbd,
                                      t.In ? 0x80 : 0x00, in);
            } else {
                Pcap->TransferComplete(Device(), t.CaptureId, CaptureNs(), PcapType(t), t.Endpoint.Address, t.Usbd,
                                       in);
            }
        }
    }

    static UsbPcapWriter::Transfer PcapType(const Transfer &t)
    {
        return t.Endpoint.Type() == EndpointType::Interrupt ? UsbPcapWriter::Transfer::Interrupt
                                                            : UsbPcapWriter::Transfer::Bulk;
    }

    uint16_t Device() const { return static_cast<uint16_t>(Port.number_); }

    void CaptureSubmit(Transfer &t)
    {
        if (!Pcap) {
            return;
        }
        t.CaptureId = Pcap->NewIrpId();
        std::span<const uint8_t> out;
        if (!t.In && t.Data) {
            out = std::span<const uint8_t>(t.Data, t.Length);
        }
        if (t.IsControl) {
            Pcap->ControlSubmit(Device(), t.CaptureId, CaptureNs(), t.Urb->UrbHeader.Function, t.Setup, out);
        } else {
            Pcap->TransferSubmit(Device(), t.CaptureId, CaptureNs(), PcapType(t), t.Endpoint.Address, out);
        }
    }

    // A URB the stack carries out itself, recorded as USBPcap shows it: the
    // control transfer it puts on the wire (a configuration or interface
    // selection). M held.
    void CaptureStackControl(USHORT function, const SetupPacket &setup, USBD_STATUS usbd)
    {
        if (Pcap) {
            const uint64_t id = Pcap->NewIrpId();
            Pcap->ControlSubmit(Device(), id, CaptureNs(), function, setup, {});
            Pcap->ControlComplete(Device(), id, CaptureNs(), function, usbd, 0x00, {});
        }
    }

    // Fails every transfer matching pred with usbd. Returns the IRPs to
    // complete once M is released (their cancel routines are cleared).
    std::vector<std::unique_ptr<Transfer>> FailTransfers(const std::function<bool(const Transfer &)> &pred,
                                                         USBD_STATUS usbd)
    {
        std::vector<std::unique_ptr<Transfer>> out;
        for (auto it = Transfers.begin(); it != Transfers.end();) {
            Transfer &t = **it;
            if (!pred(t)) {
                ++it;
                continue;
            }
            if (t.State == TransferState::Active) {
                // The host controller is running it; it finishes it.
                t.CancelRequested = true;
                ++it;
                continue;
            }
            if (t.State == TransferState::Finished) {
                ++it;  // its cancel routine completes it
                continue;
            }
            if (IoSetCancelRoutine(t.Irp, nullptr) == nullptr) {
                ++it;  // being cancelled: the cancel routine completes it
                continue;
            }
            SetResult(t, usbd, t.Done);
            Record(t, true);
            out.push_back(std::move(*it));
            it = Transfers.erase(it);
        }
        return out;
    }

    // Takes the idle IRP to complete with status, or defers. M held.
    PIRP TakeIdleIrp(NTSTATUS status)
    {
        if (IdleIrp == nullptr) {
            return nullptr;
        }
        if (Idle == IdleState::CallbackRunning) {
            if (!IdleDeferred) {
                IdleDeferred = status;
            }
            return nullptr;
        }
        if (IoSetCancelRoutine(IdleIrp, nullptr) == nullptr) {
            return nullptr;  // its cancel routine completes it
        }
        PIRP irp = IdleIrp;
        IdleIrp = nullptr;
        Idle = IdleState::None;
        IdleDeferred.reset();
        return irp;
    }

    PIRP TakeWaitWakeIrp()
    {
        if (WaitWakeIrp == nullptr || IoSetCancelRoutine(WaitWakeIrp, nullptr) == nullptr) {
            return nullptr;
        }
        PIRP irp = WaitWakeIrp;
        WaitWakeIrp = nullptr;
        return irp;
    }

    // ---- dispatch routines of the PDO --------------------------------------
    static Impl &Of(PDEVICE_OBJECT device) { return *(*static_cast<UsbPort **>(device->DeviceExtension))->impl_; }

    static void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    // Completes transfers taken out of the port at DISPATCH_LEVEL, as the
    // host controller's DPC would. M not held.
    static void CompleteTransfers(std::vector<std::unique_ptr<Transfer>> &done)
    {
        if (done.empty()) {
            return;
        }
        sim::DispatchLevelScope dpc;
        for (auto &t : done) {
            CompleteIrp(t->Irp, t->Status);
        }
        done.clear();
    }

    void Wake()
    {
        KeSetEvent(&HcEvent, IO_NO_INCREMENT, FALSE);
    }

    static VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Impl &p = Of(device);
        std::unique_ptr<Transfer> done;
        {
            std::lock_guard lock(p.M);
            Transfer *t = p.Find(irp);
            if (t == nullptr) {
                return;
            }
            if (t->State == TransferState::Active) {
                t->CancelRequested = true;  // the host controller completes it
            } else {
                if (t->State == TransferState::Queued) {
                    SetResult(*t, USBD_STATUS_CANCELED, t->Done);
                }
                // Finished: completed with the result it already has, so that
                // no data the device moved is lost.
                p.Record(*t, true);
                done = p.Take(t);
            }
        }
        if (!done) {
            p.Wake();
            return;
        }
        const bool heldOthers = done->NakForever;
        CompleteIrp(done->Irp, done->Status);
        if (heldOthers) {
            p.Wake();
        }
    }

    static VOID NTAPI CancelIdle(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Impl &p = Of(device);
        {
            std::lock_guard lock(p.M);
            if (p.IdleIrp != irp) {
                return;
            }
            if (p.Idle == IdleState::CallbackRunning) {
                // Completed by the hub thread when the callback has returned:
                // the driver's callback context must outlive the callback.
                p.IdleCancelRequested = true;
                return;
            }
            p.IdleIrp = nullptr;
            p.Idle = IdleState::None;
            p.IdleDeferred.reset();
        }
        CompleteIrp(irp, STATUS_CANCELLED);
    }

    static VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Impl &p = Of(device);
        {
            std::lock_guard lock(p.M);
            if (p.WaitWakeIrp != irp) {
                return;
            }
            p.WaitWakeIrp = nullptr;
            p.Disarm();
        }
        PoStartNextPowerIrp(irp);
        CompleteIrp(irp, STATUS_CANCELLED);
    }

    // A standard request the stack itself sends to the device. M held.
    Result StackRequest(const SetupPacket &setup)
    {
        InsideModel inside(this);
        return Port.model_->Control(setup, {});
    }

    void Disarm()
    {
        if (Connected && Port.model_->RemoteWakeupEnabled()) {
            SetupPacket clear{0x00, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, 0};
            (void)StackRequest(clear);
        }
    }

    // Queues t (already in Transfers) as pending with its cancel routine.
    // Returns a transfer to complete at once when the IRP was cancelled
    // before the routine was set. M held.
    std::unique_ptr<Transfer> Pend(Transfer &t)
    {
        t.State = TransferState::Queued;
        t.Pended = true;
        IoMarkIrpPending(t.Irp);
        IoSetCancelRoutine(t.Irp, CancelTransfer);
        if (t.Irp->Cancel && IoSetCancelRoutine(t.Irp, nullptr) != nullptr) {
            SetResult(t, USBD_STATUS_CANCELED, t.Done);
            Record(t, true);
            return Take(&t);
        }
        return nullptr;
    }

    // Ends an attempt made by the host controller: completes t, leaves it to
    // its cancel routine, or queues it again. M held; returns what to
    // complete after releasing it.
    std::unique_ptr<Transfer> EndAttempt(Transfer &t)
    {
        if (t.CancelRequested) {
            // Set by the cancel routine (IoCancelIrp cleared it already) or
            // by FailTransfers (abort, reset, unplug), which leaves it set:
            // an IRP must not be completed with its cancel routine still
            // set. A cancel routine that runs now finds the transfer taken.
            (void)IoSetCancelRoutine(t.Irp, nullptr);
        }
        if (!t.HasResult) {
            if (t.CancelRequested) {
                SetResult(t, Connected ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE, t.Done);
                Record(t, true);
                return Take(&t);
            }
            t.State = TransferState::Queued;
            return nullptr;
        }
        if (t.CancelRequested || IoSetCancelRoutine(t.Irp, nullptr) != nullptr) {
            Record(t, true);
            return Take(&t);
        }
        t.State = TransferState::Finished;  // its cancel routine completes it
        return nullptr;
    }

    // ---- the host controller thread ----------------------------------------
    // Attempts the queued transfers against the model, then completes each
    // answered one when its time has come: when its last packet has gone
    // out on the port's one bus timeline (host-controller ports) and the
    // device's own delay has passed. It sleeps until the next such time or
    // until a submission, a cancel or a kick wakes it.
    void HostControllerBody()
    {
        tPortThread = this;
        constexpr uint64_t kNever = ~uint64_t{0};
        std::vector<Transfer *> answered;  // Active, waiting for their time
        uint64_t wakeNs = kNever;
        for (;;) {
            LARGE_INTEGER timeout;
            PLARGE_INTEGER wait = nullptr;
            if (wakeNs != kNever) {
                const uint64_t now = NowNs();
                // Machine time is kept in 100 ns units: round the wait up so
                // that the frame has ended when the thread wakes.
                timeout.QuadPart = wakeNs > now ? -static_cast<LONGLONG>((wakeNs - now + 99) / 100) : 0;
                wait = &timeout;
            }
            if (wait == nullptr || wait->QuadPart != 0) {
                (void)KeWaitForSingleObject(&HcEvent, Executive, KernelMode, FALSE, wait);
            }
            for (;;) {
                std::vector<Transfer *> batch;
                bool unplug = false;
                {
                    std::lock_guard lock(M);
                    if (Stopping) {
                        return;
                    }
                    if (Kicked) {
                        Kicked = false;
                        for (auto &t : Transfers) {
                            t->NeedsAttempt = true;
                        }
                    }
                    const bool running = Connected && Enabled && Power == PowerDeviceD0;
                    for (auto &t : Transfers) {
                        if (t->State == TransferState::Queued &&
                            (t->HasResult || (running && t->NeedsAttempt))) {
                            t->State = TransferState::Active;
                            batch.push_back(t.get());
                        }
                    }
                    for (Transfer *t : batch) {
                        if (!t->HasResult) {
                            Attempt(*t);
                            unplug = unplug || t->Disconnect;
                        }
                        t->DueNs = NowNs() + t->DelayNs;
                        answered.push_back(t);
                    }
                }
                std::vector<std::unique_ptr<Transfer>> done;
                {
                    // The host controller's completion runs as its DPC would.
                    sim::DispatchLevelScope dpc;
                    std::lock_guard lock(M);
                    if (Options.Completion == CompletionMode::HostController) {
                        AdvanceTimeline();
                    }
                    const uint64_t now = NowNs();
                    wakeNs = kNever;
                    for (auto it = answered.begin(); it != answered.end();) {
                        Transfer &t = **it;
                        if (!t.CancelRequested && (t.OnTimeline || t.DueNs > now)) {
                            if (!t.OnTimeline) {
                                wakeNs = std::min(wakeNs, t.DueNs);
                            }
                            ++it;
                            continue;
                        }
                        if (t.OnTimeline) {
                            // Cancelled while its packets were still going
                            // out: it ends with what the device moved.
                            Timing.Remove(reinterpret_cast<uintptr_t>(t.Irp));
                            t.OnTimeline = false;
                        }
                        t.DelayNs = 0;
                        it = answered.erase(it);
                        if (auto d = EndAttempt(t)) {
                            done.push_back(std::move(d));
                        }
                    }
                    if (Timing.Busy() && Options.Completion == CompletionMode::HostController) {
                        wakeNs = std::min(wakeNs, (Timing.Frames() + Timing.FramesToNextCompletion()) * FrameNs());
                    }
                }
                const bool progress = !batch.empty() || !done.empty();
                // A device that vanished mid-transfer is gone (and the PnP
                // manager told) before that transfer's failure reaches its
                // caller, as the hub reports the disconnect first.
                if (unplug) {
                    Port.bus_.Unplug(Port);
                }
                CompleteTransfers(done);
                if (!progress) {
                    break;
                }
            }
        }
    }

    // ---- the hub thread: idle notifications --------------------------------
    void HubBody()
    {
        tPortThread = this;
        for (;;) {
            LARGE_INTEGER timeout;
            PLARGE_INTEGER wait = nullptr;
            if (ReapPdo()) {
                return;
            }
            {
                std::lock_guard lock(M);
                if (Stopping) {
                    return;
                }
                if (Removed && !Connected) {
                    timeout.QuadPart = -10'000;  // look again in a millisecond
                    wait = &timeout;
                } else if (Idle == IdleState::Waiting && Power == PowerDeviceD0) {
                    const uint64_t now = Machine.Now();
                    if (now < IdleDue) {
                        timeout.QuadPart = -static_cast<LONGLONG>(IdleDue - now);
                        wait = &timeout;
                    } else {
                        timeout.QuadPart = 0;
                        wait = &timeout;
                    }
                }
            }
            if (wait == nullptr || wait->QuadPart != 0) {
                (void)KeWaitForSingleObject(&HubEvent, Executive, KernelMode, FALSE, wait);
            }
            USB_IDLE_CALLBACK_INFO info{};
            PDRIVER_OBJECT driver = nullptr;
            PDEVICE_OBJECT device = nullptr;
            {
                std::lock_guard lock(M);
                if (Stopping) {
                    return;
                }
                // The hub suspends only a device that is in D0.
                if (Idle != IdleState::Waiting || Machine.Now() < IdleDue || IdleIrp == nullptr ||
                    Power != PowerDeviceD0) {
                    continue;
                }
                Idle = IdleState::CallbackRunning;
                info = IdleInfo;
                driver = IdleDriver;
                device = IdleDevice;
                IdleCallbacks++;
            }
            Machine.SchedulingPoint("the hub's idle notification callback", device);
            {
                // The callback is driver code: it runs at PASSIVE_LEVEL and
                // may block until the device has reached its low-power state.
                sim::FrameScope frame(sim::FrameKind::Other, driver, device, nullptr,
                                      reinterpret_cast<const void *>(info.IdleCallback));
                CallIdleCallback(Machine, info);
            }
            PIRP complete = nullptr;
            NTSTATUS status = STATUS_SUCCESS;
            {
                std::lock_guard lock(M);
                Idle = IdleState::CallbackDone;
                if (IdleCancelRequested) {
                    complete = IdleIrp;  // its cancel routine has already run
                    status = STATUS_CANCELLED;
                } else if (IdleDeferred) {
                    status = *IdleDeferred;
                    if (IoSetCancelRoutine(IdleIrp, nullptr) != nullptr) {
                        complete = IdleIrp;
                    }
                }
                if (complete != nullptr) {
                    IdleIrp = nullptr;
                    Idle = IdleState::None;
                    IdleCancelRequested = false;
                    IdleDeferred.reset();
                }
            }
            if (complete != nullptr) {
                CompleteIrp(complete, status);
            }
        }
    }

    // ---- IRP_MJ_INTERNAL_DEVICE_CONTROL --------------------------------------
    static NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp)
    {
        Impl &p = Of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return p.SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto *out = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (out == nullptr) {
                CompleteIrp(irp, STATUS_INVALID_PARAMETER);
                return STATUS_INVALID_PARAMETER;
            }
            {
                std::lock_guard lock(p.M);
                *out = (p.Connected ? USBD_PORT_CONNECTED : 0) |
                       (p.Connected && p.Enabled ? USBD_PORT_ENABLED : 0);
            }
            CompleteIrp(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return p.ResetPort(irp);
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
            return p.SubmitIdle(irp, stack);
        default: {
            const NTSTATUS status = STATUS_NOT_SUPPORTED;
            CompleteIrp(irp, status);
            return status;
        }
        }
    }

    NTSTATUS Refuse(PIRP irp, PURB urb, USBD_STATUS usbd)
    {
        {
            std::lock_guard lock(M);
            RecordRefusalLocked(urb, usbd);
        }
        const NTSTATUS status = NtStatusFor(usbd);
        CompleteIrp(irp, status);
        return status;
    }

    // Fails a URB that never became a transfer with usbd, and records it. M held.
    void RecordRefusalLocked(PURB urb, USBD_STATUS usbd)
    {
        urb->UrbHeader.Status = usbd;
        if (Options.RecordUrbs) {
            UrbRecord rec;
            rec.Function = urb->UrbHeader.Function;
            rec.Length = urb->UrbHeader.Length;
            rec.UsbdStatus = usbd;
            rec.IrpStatus = NtStatusFor(usbd);
            rec.CompletionIrql = KeGetCurrentIrql();
            Records.push_back(rec);
        }
    }

    NTSTATUS Succeed(PIRP irp, PURB urb)
    {
        return Refuse(irp, urb, USBD_STATUS_SUCCESS);
    }

    // The buffer of a transfer: TransferBuffer or TransferBufferMDL, exactly
    // one of them when there is data.
    static USBD_STATUS ResolveBuffer(ULONG length, PVOID buffer, PMDL mdl, UCHAR **data, bool *throughMdl)
    {
        *data = nullptr;
        *throughMdl = false;
        if (buffer != nullptr && mdl != nullptr) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (length == 0) {
            return USBD_STATUS_SUCCESS;
        }
        if (mdl != nullptr) {
            if (MmGetMdlByteCount(mdl) < length) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            *data = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
            *throughMdl = true;
            return *data ? USBD_STATUS_SUCCESS : USBD_STATUS_INSUFFICIENT_RESOURCES;
        }
        if (buffer == nullptr) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        *data = static_cast<UCHAR *>(buffer);
        return USBD_STATUS_SUCCESS;
    }

    NTSTATUS SubmitUrb(PIRP irp, PURB urb)
    {
        if (urb == nullptr) {
            CompleteIrp(irp, STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
        if (!Connected.load(std::memory_order_acquire)) {
            return Refuse(irp, urb, USBD_STATUS_DEVICE_GONE);
        }
        const USHORT function = urb->UrbHeader.Function;
        const USHORT length = urb->UrbHeader.Length;
        switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectConfiguration(irp, urb);
        case URB_FUNCTION_SELECT_INTERFACE:
            return SelectInterface(irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            if (length != sizeof(struct _URB_PIPE_REQUEST)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return PipeRequest(irp, urb);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return DataTransfer(irp, urb);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
            if (length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return ControlTransfer(irp, urb);
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
            if (length != sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return ControlTransfer(irp, urb);
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
            if (length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return ControlTransfer(irp, urb);
        case URB_FUNCTION_CONTROL_TRANSFER:
            if (length != sizeof(struct _URB_CONTROL_TRANSFER)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return ControlTransfer(irp, urb);
        default:
            return Refuse(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
        }
    }

    // ---- configuration -------------------------------------------------------
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb)
    {
        auto &sel = urb->UrbSelectConfiguration;
        const USHORT length = urb->UrbHeader.Length;
        if (sel.ConfigurationDescriptor == nullptr) {
            if (length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            std::vector<std::unique_ptr<Transfer>> done;
            {
                std::lock_guard lock(M);
                done = Unconfigure();
                SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
                (void)StackRequest(set);
                CaptureStackControl(URB_FUNCTION_SELECT_CONFIGURATION, set, USBD_STATUS_SUCCESS);
            }
            CompleteTransfers(done);
            return Succeed(irp, urb);
        }

        PUSB_CONFIGURATION_DESCRIPTOR desc = sel.ConfigurationDescriptor;
        ConfigurationInfo given;
        try {
            given = ParseConfiguration(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(desc),
                                                                desc->wTotalLength));
        } catch (const DescriptorError &) {
            return Refuse(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        }
        const ConfigurationInfo &device = Port.model_->Configuration();
        if (given.Value != device.Value || given.DeclaredInterfaces == 0) {
            return Refuse(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        }

        // One interface information per interface of the configuration, each
        // Length bytes long, all inside the URB.
        std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceInfo *>> entries;
        size_t offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
        for (unsigned k = 0; k < given.DeclaredInterfaces; k++) {
            if (offset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > length) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(urb) + offset);
            const InterfaceInfo *iface = device.Find(info->InterfaceNumber, info->AlternateSetting);
            if (iface == nullptr) {
                return Refuse(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
            }
            for (const auto &e : entries) {
                if (e.second->Number == iface->Number) {
                    return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
                }
            }
            const size_t need = GET_USBD_INTERFACE_SIZE(iface->Endpoints.size());
            if (info->Length < need || offset + info->Length > length) {
                return Refuse(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
            }
            for (size_t i = 0; i < iface->Endpoints.size(); i++) {
                if (info->Pipes[i].PipeFlags & ~static_cast<ULONG>(USBD_PF_VALID_MASK)) {
                    return Refuse(irp, urb, USBD_STATUS_INAVLID_PIPE_FLAGS);
                }
            }
            entries.emplace_back(info, iface);
            offset += info->Length;
        }

        std::vector<std::unique_ptr<Transfer>> done;
        bool ok = true;
        {
            std::lock_guard lock(M);
            done = Unconfigure();
            SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, given.Value, 0, 0};
            ok = StackRequest(set).Kind == Outcome::Done;
            for (const auto &[info, iface] : entries) {
                if (!ok) {
                    break;
                }
                if (iface->AlternateSetting != 0) {
                    SetupPacket alt{0x01, USB_REQUEST_SET_INTERFACE, iface->AlternateSetting, iface->Number, 0};
                    ok = StackRequest(alt).Kind == Outcome::Done;
                }
                info->Class = iface->Class;
                info->SubClass = iface->SubClass;
                info->Protocol = iface->Protocol;
                info->InterfaceHandle = NewToken(kInterfaceTag);
                info->NumberOfPipes = static_cast<ULONG>(iface->Endpoints.size());
                for (size_t i = 0; i < iface->Endpoints.size(); i++) {
                    const EndpointInfo &ep = iface->Endpoints[i];
                    USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
                    pipe.MaximumPacketSize = ep.MaxPacketSize;
                    pipe.EndpointAddress = ep.Address;
                    pipe.Interval = ep.Interval;
                    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep.Type());
                    pipe.PipeHandle = NewToken(kPipeTag);
                    Pipes[pipe.PipeHandle] = Pipe{ep, pipe.PipeType, pipe.MaximumTransferSize, iface->Number};
                    Timing.AddEndpoint(ep);
                }
            }
            if (ok) {
                Configured = true;
                ConfigurationValue = given.Value;
                ConfigurationHandle = NewToken(kConfigurationTag);
                sel.ConfigurationHandle = ConfigurationHandle;
            } else {
                Pipes.clear();
            }
            CaptureStackControl(URB_FUNCTION_SELECT_CONFIGURATION, set,
                                ok ? USBD_STATUS_SUCCESS : USBD_STATUS_SET_CONFIG_FAILED);
        }
        CompleteTransfers(done);
        return ok ? Succeed(irp, urb) : Refuse(irp, urb, USBD_STATUS_SET_CONFIG_FAILED);
    }

    // Closes every pipe: their transfers end with STATUS_CANCELLED. M held.
    std::vector<std::unique_ptr<Transfer>> Unconfigure()
    {
        auto done = FailTransfers([](const Transfer &t) { return !t.IsControl; }, USBD_STATUS_CANCELED);
        Pipes.clear();
        Timing.ClearEndpoints();
        Configured = false;
        ConfigurationValue = 0;
        ConfigurationHandle = nullptr;
        return done;
    }

    // Selects another alternate setting of one interface of the present
    // configuration: its pipes close (their transfers end with
    // STATUS_CANCELLED), SET_INTERFACE goes to the device, and the new
    // setting's pipes open and are described in the URB as at configuration.
    NTSTATUS SelectInterface(PIRP irp, PURB urb)
    {
        auto &sel = urb->UrbSelectInterface;
        const USHORT length = urb->UrbHeader.Length;
        if (length < FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                         FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
            return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        PUSBD_INTERFACE_INFORMATION info = &sel.Interface;
        const InterfaceInfo *iface =
            Port.model_->Configuration().Find(info->InterfaceNumber, info->AlternateSetting);
        std::vector<std::unique_ptr<Transfer>> done;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        {
            std::lock_guard lock(M);
            if (!Configured || sel.ConfigurationHandle != ConfigurationHandle) {
                usbd = USBD_STATUS_INVALID_PARAMETER;
            } else if (iface == nullptr) {
                usbd = USBD_STATUS_INTERFACE_NOT_FOUND;
            } else if (info->Length < GET_USBD_INTERFACE_SIZE(iface->Endpoints.size()) ||
                       FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) + info->Length > length) {
                usbd = USBD_STATUS_BUFFER_TOO_SMALL;
            } else {
                for (size_t i = 0; i < iface->Endpoints.size(); i++) {
                    if (info->Pipes[i].PipeFlags & ~static_cast<ULONG>(USBD_PF_VALID_MASK)) {
                        usbd = USBD_STATUS_INAVLID_PIPE_FLAGS;
                    }
                }
            }
            if (usbd == USBD_STATUS_SUCCESS) {
                const uint8_t number = iface->Number;
                done = FailTransfers(
                    [this, number](const Transfer &t) {
                        auto it = Pipes.find(t.PipeHandle);
                        return !t.IsControl && it != Pipes.end() && it->second.Interface == number;
                    },
                    USBD_STATUS_CANCELED);
                std::erase_if(Pipes, [number](const auto &entry) { return entry.second.Interface == number; });
                SetupPacket alt{0x01, USB_REQUEST_SET_INTERFACE, iface->AlternateSetting, number, 0};
                if (StackRequest(alt).Kind != Outcome::Done) {
                    usbd = USBD_STATUS_STALL_PID;
                } else {
                    info->Class = iface->Class;
                    info->SubClass = iface->SubClass;
                    info->Protocol = iface->Protocol;
                    info->InterfaceHandle = NewToken(kInterfaceTag);
                    info->NumberOfPipes = static_cast<ULONG>(iface->Endpoints.size());
                    for (size_t i = 0; i < iface->Endpoints.size(); i++) {
                        const EndpointInfo &ep = iface->Endpoints[i];
                        USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
                        pipe.MaximumPacketSize = ep.MaxPacketSize;
                        pipe.EndpointAddress = ep.Address;
                        pipe.Interval = ep.Interval;
                        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep.Type());
                        pipe.PipeHandle = NewToken(kPipeTag);
                        Pipes[pipe.PipeHandle] = Pipe{ep, pipe.PipeType, pipe.MaximumTransferSize, number};
                        Timing.AddEndpoint(ep);
                    }
                }
                CaptureStackControl(URB_FUNCTION_SELECT_INTERFACE, alt, usbd);
            }
        }
        CompleteTransfers(done);
        return usbd == USBD_STATUS_SUCCESS ? Succeed(irp, urb) : Refuse(irp, urb, usbd);
    }

    NTSTATUS PipeRequest(PIRP irp, PURB urb)
    {
        const PVOID handle = urb->UrbPipeRequest.PipeHandle;
        std::vector<std::unique_ptr<Transfer>> done;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        {
            std::lock_guard lock(M);
            auto it = Pipes.find(handle);
            if (it == Pipes.end()) {
                usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
            } else if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
                done = FailTransfers([handle](const Transfer &t) { return t.PipeHandle == handle; },
                                     USBD_STATUS_CANCELED);
                InsideModel inside(this);
                Port.model_->OnAbort(it->second.Endpoint.Address);
            } else {
                // A pipe reset with transfers still queued on it is refused:
                // the caller aborts the pipe first.
                const bool busy = std::any_of(Transfers.begin(), Transfers.end(),
                                              [handle](const auto &t) { return t->PipeHandle == handle; });
                if (busy) {
                    usbd = USBD_STATUS_ERROR_BUSY;
                } else if (!Enabled) {
                    usbd = USBD_STATUS_DEV_NOT_RESPONDING;
                } else if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) {
                    // Clearing the halt is a CLEAR_FEATURE(ENDPOINT_HALT) on
                    // the wire (USB 2.0, 9.4.1).
                    SetupPacket clear{0x02, USB_REQUEST_CLEAR_FEATURE, 0, it->second.Endpoint.Address, 0};
                    (void)StackRequest(clear);
                }
            }
            if (Pcap && it != Pipes.end()) {
                Pcap->PipeRequest(Device(), Pcap->NewIrpId(), CaptureNs(), urb->UrbHeader.Function,
                                  it->second.Endpoint.Address, usbd);
            }
        }
        CompleteTransfers(done);
        return usbd == USBD_STATUS_SUCCESS ? Succeed(irp, urb) : Refuse(irp, urb, usbd);
    }

    // ---- transfers -----------------------------------------------------------
    NTSTATUS DataTransfer(PIRP irp, PURB urb)
    {
        auto &x = urb->UrbBulkOrInterruptTransfer;
        auto t = std::make_unique<Transfer>();
        t->Irp = irp;
        t->Urb = urb;
        // The pipe is looked up in the same hold of M that starts the
        // transfer: one acquisition per transfer instead of two.
        return Start(std::move(t), [&](Transfer &t) {
            auto it = Pipes.find(x.PipeHandle);
            if (it == Pipes.end()) {
                return USBD_STATUS_INVALID_PIPE_HANDLE;
            }
            if (it->second.Type != UsbdPipeTypeBulk && it->second.Type != UsbdPipeTypeInterrupt) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            if (x.TransferFlags & ~static_cast<ULONG>(VALID_TRANSFER_FLAGS_MASK)) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            if (EnforcesMaximumTransferSize(Machine) && x.TransferBufferLength > it->second.MaximumTransferSize) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            t.Endpoint = it->second.Endpoint;
            t.PipeHandle = x.PipeHandle;
            t.In = t.Endpoint.IsIn();
            if (((x.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != t.In) {
                DirectionMismatches++;
                if (Options.Direction == DirectionPolicy::Refuse) {
                    return USBD_STATUS_INVALID_PARAMETER;
                }
                x.TransferFlags = (x.TransferFlags & ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN)) |
                                  (t.In ? USBD_TRANSFER_DIRECTION_IN : 0);
            }
            const USBD_STATUS buffer =
                ResolveBuffer(x.TransferBufferLength, x.TransferBuffer, x.TransferBufferMDL, &t.Data, &t.ThroughMdl);
            if (buffer != USBD_STATUS_SUCCESS) {
                return buffer;
            }
            t.Length = x.TransferBufferLength;
            t.ShortOk = (x.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
            return USBD_STATUS_SUCCESS;
        });
    }

    NTSTATUS ControlTransfer(PIRP irp, PURB urb)
    {
        auto t = std::make_unique<Transfer>();
        t->Irp = irp;
        t->Urb = urb;
        t->IsControl = true;
        auto &c = urb->UrbControlTransfer;  // the common prefix of every control URB
        const USHORT function = urb->UrbHeader.Function;
        ULONG flags = c.TransferFlags;
        SetupPacket s;
        s.Length = static_cast<uint16_t>(c.TransferBufferLength);
        auto classOrVendor = [&](uint8_t type, uint8_t recipient) {
            const auto &v = urb->UrbControlVendorClassRequest;
            s.RequestType = static_cast<uint8_t>(((flags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) |
                                                 (type << 5) | recipient | v.RequestTypeReservedBits);
            s.Request = v.Request;
            s.Value = v.Value;
            s.Index = v.Index;
        };
        switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
            const auto &d = urb->UrbControlDescriptorRequest;
            const uint8_t recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                                      : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                                               : 2;
            s.RequestType = static_cast<uint8_t>(0x80 | recipient);
            s.Request = USB_REQUEST_GET_DESCRIPTOR;
            s.Value = static_cast<uint16_t>(d.DescriptorType << 8 | d.Index);
            s.Index = d.LanguageId;
            // The stack reads descriptors IN, and a shorter descriptor than
            // asked for is no error.
            flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
            break;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
            s.RequestType = static_cast<uint8_t>(0x80 | (function - URB_FUNCTION_GET_STATUS_FROM_DEVICE));
            if (function == URB_FUNCTION_GET_STATUS_FROM_OTHER) {
                s.RequestType = 0x83;
            }
            s.Request = USB_REQUEST_GET_STATUS;
            s.Index = urb->UrbControlGetStatusRequest.Index;
            flags = USBD_TRANSFER_DIRECTION_IN;
            if (c.TransferBufferLength != 2) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            break;
        case URB_FUNCTION_VENDOR_DEVICE: classOrVendor(2, 0); break;
        case URB_FUNCTION_VENDOR_INTERFACE: classOrVendor(2, 1); break;
        case URB_FUNCTION_VENDOR_ENDPOINT: classOrVendor(2, 2); break;
        case URB_FUNCTION_VENDOR_OTHER: classOrVendor(2, 3); break;
        case URB_FUNCTION_CLASS_DEVICE: classOrVendor(1, 0); break;
        case URB_FUNCTION_CLASS_INTERFACE: classOrVendor(1, 1); break;
        case URB_FUNCTION_CLASS_ENDPOINT: classOrVendor(1, 2); break;
        case URB_FUNCTION_CLASS_OTHER: classOrVendor(1, 3); break;
        case URB_FUNCTION_CONTROL_TRANSFER: {
            const UCHAR *b = c.SetupPacket;
            s.RequestType = b[0];
            s.Request = b[1];
            s.Value = static_cast<uint16_t>(b[2] | b[3] << 8);
            s.Index = static_cast<uint16_t>(b[4] | b[5] << 8);
            s.Length = static_cast<uint16_t>(b[6] | b[7] << 8);
            if (c.PipeHandle != nullptr || (s.IsIn() != ((flags & USBD_TRANSFER_DIRECTION_IN) != 0)) ||
                s.Length != c.TransferBufferLength) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            break;
        }
        default:
            return Refuse(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
        }
        if (c.TransferBufferLength > 0xffff || (flags & ~static_cast<ULONG>(VALID_TRANSFER_FLAGS_MASK))) {
            return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        const USBD_STATUS usbd =
            ResolveBuffer(c.TransferBufferLength, c.TransferBuffer, c.TransferBufferMDL, &t->Data, &t->ThroughMdl);
        if (usbd != USBD_STATUS_SUCCESS) {
            return Refuse(irp, urb, usbd);
        }
        t->Setup = s;
        t->In = s.IsIn();
        t->Length = c.TransferBufferLength;
        t->ShortOk = (flags & USBD_SHORT_TRANSFER_OK) != 0;
        t->Endpoint.Address = t->In ? 0x80 : 0x00;
        return Start(std::move(t));
    }

    // Runs a validated transfer: at once when the port completes inline and
    // the device answers, otherwise later from the host controller.
    NTSTATUS Start(std::unique_ptr<Transfer> owned)
    {
        return Start(std::move(owned), [](Transfer &) { return USBD_STATUS_SUCCESS; });
    }

    // Starts a transfer. Admit runs first under M and fills in what the
    // transfer needs from the port's state; a status other than success
    // refuses the URB with it, as Refuse does.
    template <typename AdmitFn>
    NTSTATUS Start(std::unique_ptr<Transfer> owned, AdmitFn &&Admit)
    {
        Transfer &t = *owned;
        std::unique_ptr<Transfer> now;
        bool unplug = false;
        bool kick = false;
        USBD_STATUS refused = USBD_STATUS_SUCCESS;
        {
            std::lock_guard lock(M);
            refused = Admit(t);
            if (refused != USBD_STATUS_SUCCESS) {
                RecordRefusalLocked(t.Urb, refused);
            } else {
                if (!Connected) {
                    SetResult(t, USBD_STATUS_DEVICE_GONE, 0);
                } else if (!Enabled) {
                    SetResult(t, USBD_STATUS_DEV_NOT_RESPONDING, 0);
                } else if (Power != PowerDeviceD0) {
                    SetResult(t, USBD_STATUS_DEV_NOT_RESPONDING, 0);
                    t.Status = STATUS_DEVICE_POWERED_OFF;
                }
                if (t.HasResult) {
                    Record(t, false);
                    now = std::move(owned);
                } else {
                    CaptureSubmit(t);
                    if (Options.Completion == CompletionMode::Inline) {
                        // The model cannot call back into the port, so no
                        // one can look for the transfer while it runs: one
                        // that completes at once never joins Transfers.
                        Attempt(t);
                        unplug = t.Disconnect;
                    }
                    if (t.HasResult && t.DelayNs == 0) {
                        Record(t, false);
                        now = std::move(owned);
                    } else {
                        Transfers.push_back(std::move(owned));
                        now = Pend(t);
                    }
                    kick = Kicked || (t.State == TransferState::Queued);
                }
            }
        }
        if (refused != USBD_STATUS_SUCCESS) {
            const NTSTATUS status = NtStatusFor(refused);
            CompleteIrp(t.Irp, status);
            return status;
        }
        if (kick) {
            Wake();
        }
        if (unplug) {
            Port.bus_.Unplug(Port);
        }
        if (now) {
            const NTSTATUS status = now->Status;
            const bool pended = now->Pended;
            CompleteIrp(now->Irp, status);
            return pended ? STATUS_PENDING : status;
        }
        return STATUS_PENDING;
    }

    // ---- port reset ----------------------------------------------------------
    NTSTATUS ResetPort(PIRP irp)
    {
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<std::unique_ptr<Transfer>> done;
        {
            std::lock_guard lock(M);
            if (!Connected) {
                status = STATUS_DEVICE_NOT_CONNECTED;
            } else if (Power != PowerDeviceD0) {
                status = STATUS_DEVICE_POWERED_OFF;
            } else {
                done = FailTransfers([](const Transfer &) { return true; }, USBD_STATUS_CANCELED);
                {
                    InsideModel inside(this);
                    Port.model_->OnPortReset();
                }
                Enabled = true;
                // The hub restores the configuration after the reset, so the
                // client's pipe handles stay valid.
                if (Configured) {
                    SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, ConfigurationValue, 0, 0};
                    (void)StackRequest(set);
                }
            }
        }
        CompleteTransfers(done);
        CompleteIrp(irp, status);
        return status;
    }

    // ---- idle notification ---------------------------------------------------
    NTSTATUS SubmitIdle(PIRP irp, PIO_STACK_LOCATION stack)
    {
        auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        // The callback runs as code of the driver on top of the stack.
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Port.pdo_);
        PDRIVER_OBJECT topDriver = top->DriverObject;
        ObDereferenceObject(top);
        NTSTATUS status = STATUS_PENDING;
        {
            std::lock_guard lock(M);
            if (Options.Idle == IdleSupport::NotSupported) {
                status = STATUS_NOT_SUPPORTED;
            } else if (info == nullptr ||
                       stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) ||
                       info->IdleCallback == nullptr) {
                status = STATUS_INVALID_PARAMETER;
            } else if (!Connected) {
                status = STATUS_DEVICE_NOT_CONNECTED;
            } else if (IdleIrp != nullptr) {
                status = STATUS_DEVICE_BUSY;
            } else if (Power != PowerDeviceD0) {
                status = STATUS_POWER_STATE_INVALID;
            } else {
                IdleIrp = irp;
                IdleInfo = *info;
                IdleDevice = top;
                IdleDriver = topDriver;
                Idle = IdleState::Waiting;
                IdleCancelRequested = false;
                IdleDeferred.reset();
                IdleDue = Machine.Now() + static_cast<uint64_t>(Options.IdleDelay.count() / 100);
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, CancelIdle);
                if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                    IdleIrp = nullptr;
                    Idle = IdleState::None;
                    status = STATUS_CANCELLED;
                }
            }
        }
        if (status == STATUS_PENDING) {
            KeSetEvent(&HubEvent, IO_NO_INCREMENT, FALSE);
            return STATUS_PENDING;
        }
        CompleteIrp(irp, status);
        return status == STATUS_CANCELLED ? STATUS_PENDING : status;
    }

    // ---- PnP -------------------------------------------------------------------
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
    {
        Impl &p = Of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            std::lock_guard lock(p.M);
            status = p.Connected ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
            break;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            p.EndPendingWork(STATUS_CANCELLED);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            p.EndPendingWork(STATUS_CANCELLED);
            bool gone;
            std::vector<std::unique_ptr<Transfer>> done;
            {
                std::lock_guard lock(p.M);
                p.Removed = true;
                gone = !p.Connected;
                // Nothing may stay pending on a removed stack.
                done = p.FailTransfers([](const Transfer &) { return true; }, USBD_STATUS_CANCELED);
            }
            CompleteTransfers(done);
            CompleteIrp(irp, STATUS_SUCCESS);
            if (gone) {
                // The device has left the bus: its PDO goes with the removal,
                // once the function driver has detached from it.
                KeSetEvent(&p.HubEvent, IO_NO_INCREMENT, FALSE);
            }
            return STATUS_SUCCESS;
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            p.FillCapabilities(caps);
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;  // not ours to answer: the status stays as it came
        }
        CompleteIrp(irp, status, irp->IoStatus.Information);
        return status;
    }

    void FillCapabilities(PDEVICE_CAPABILITIES caps)
    {
        const bool wake = Port.model_->Configuration().RemoteWakeup();
        caps->DeviceD1 = 1;
        caps->DeviceD2 = 1;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = Port.model_->Descriptors().Device[16] != 0 ? 1 : 0;
        caps->WakeFromD0 = wake ? 1 : 0;
        caps->WakeFromD1 = wake ? 1 : 0;
        caps->WakeFromD2 = wake ? 1 : 0;
        caps->WakeFromD3 = 0;
        caps->Address = Port.number_;
        caps->UINumber = Port.number_;
        for (int s = 0; s < PowerSystemMaximum; s++) {
            caps->DeviceState[s] = Options.DeviceState[s];
        }
        caps->SystemWake = wake ? Options.SystemWake : PowerSystemUnspecified;
        caps->DeviceWake = wake ? Options.DeviceWake : PowerDeviceUnspecified;
    }

    // Surprise removal and removal end the idle notification and wait-wake.
    void EndPendingWork(NTSTATUS idleStatus)
    {
        PIRP idle;
        PIRP waitWake;
        {
            std::lock_guard lock(M);
            idle = TakeIdleIrp(idleStatus);
            waitWake = TakeWaitWakeIrp();
        }
        if (idle) {
            CompleteIrp(idle, idleStatus);
        }
        if (waitWake) {
            PoStartNextPowerIrp(waitWake);
            CompleteIrp(waitWake, STATUS_NO_SUCH_DEVICE);
        }
    }

    void DeletePdo();

    // Deletes the PDO of a device that left the bus once its stack is
    // removed and nothing is attached above it any more. Hub thread only.
    bool ReapPdo()
    {
        {
            std::lock_guard lock(M);
            if (!Removed || Connected || PdoDeleted) {
                return false;
            }
        }
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Port.pdo_);
        const bool alone = top == Port.pdo_;
        ObDereferenceObject(top);
        if (!alone) {
            return false;
        }
        {
            std::lock_guard lock(M);
            PdoDeleted = true;
            Stopping = true;
        }
        {
            sim::FrameScope frame(sim::FrameKind::Other, Port.bus_.driver_, Port.pdo_);
            IoDeleteDevice(Port.pdo_);
        }
        KeSetEvent(&HcEvent, IO_NO_INCREMENT, FALSE);
        return true;
    }

    // ---- power ---------------------------------------------------------------
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
    {
        Impl &p = Of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        switch (stack->MinorFunction) {
        case IRP_MN_WAIT_WAKE:
            return p.WaitWake(irp, stack);
        case IRP_MN_SET_POWER:
            if (stack->Parameters.Power.Type == DevicePowerState) {
                p.SetDevicePower(stack->Parameters.Power.State.DeviceState);
            }
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_POWER:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
        PoStartNextPowerIrp(irp);
        CompleteIrp(irp, status, irp->IoStatus.Information);
        return status;
    }

    void SetDevicePower(DEVICE_POWER_STATE state)
    {
        PIRP idle = nullptr;
        NTSTATUS idleStatus = STATUS_SUCCESS;
        bool kick = false;
        {
            std::lock_guard lock(M);
            const DEVICE_POWER_STATE old = Power;
            Power = state;
            if (state == PowerDeviceD0 && old != PowerDeviceD0) {
                if (Connected) {
                    InsideModel inside(this);
                    Port.model_->OnResume();
                }
                Kicked = true;
                kick = true;
                // The device is back in D0: the idle notification has done
                // its work.
                if (Idle == IdleState::CallbackDone || Idle == IdleState::CallbackRunning) {
                    idle = TakeIdleIrp(STATUS_SUCCESS);
                }
            } else if (state != PowerDeviceD0 && old == PowerDeviceD0) {
                if (Connected) {
                    InsideModel inside(this);
                    Port.model_->OnSuspend();
                }
            }
            if (state == PowerDeviceD3) {
                idleStatus = STATUS_POWER_STATE_INVALID;
                idle = TakeIdleIrp(idleStatus);
            }
        }
        POWER_STATE ps;
        ps.DeviceState = state;
        (void)PoSetPowerState(Port.pdo_, DevicePowerState, ps);
        if (idle) {
            CompleteIrp(idle, idleStatus);
        }
        if (kick) {
            Wake();
            KeSetEvent(&HubEvent, IO_NO_INCREMENT, FALSE);
        }
    }

    NTSTATUS WaitWake(PIRP irp, PIO_STACK_LOCATION stack)
    {
        NTSTATUS status = STATUS_PENDING;
        {
            std::lock_guard lock(M);
            if (!Connected) {
                status = STATUS_NO_SUCH_DEVICE;
            } else if (WaitWakeIrp != nullptr) {
                status = STATUS_DEVICE_BUSY;
            } else if (!Port.model_->Configuration().RemoteWakeup() || Options.DeviceWake == PowerDeviceUnspecified) {
                status = STATUS_NOT_SUPPORTED;
            } else if (stack->Parameters.WaitWake.PowerState > Options.SystemWake) {
                status = STATUS_INVALID_DEVICE_STATE;
            } else {
                // Arming is SET_FEATURE(DEVICE_REMOTE_WAKEUP) (USB 2.0, 9.4.9).
                SetupPacket arm{0x00, USB_REQUEST_SET_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, 0};
                (void)StackRequest(arm);
                WaitWakeIrp = irp;
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, CancelWaitWake);
                if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                    WaitWakeIrp = nullptr;
                    Disarm();
                    status = STATUS_CANCELLED;
                }
            }
        }
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
        CompleteIrp(irp, status);
        return status == STATUS_CANCELLED ? STATUS_PENDING : status;
    }

    // ---- everything else -------------------------------------------------------
    static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT, PIRP irp)
    {
        const NTSTATUS status = irp->IoStatus.Status;
        CompleteIrp(irp, status, irp->IoStatus.Information);
        return status;
    }

    static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP irp)
    {
        CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    void StopThreads();
};

// ---------------------------------------------------------------------------
// UsbPort
// ---------------------------------------------------------------------------
UsbPort::UsbPort(UsbBus &bus, unsigned number, std::unique_ptr<DeviceModel> model, PortOptions options)
    : bus_(bus), number_(number), model_(std::move(model))
{
    impl_ = std::make_unique<Impl>(*this, bus.machine_, std::move(options));
}

UsbPort::~UsbPort() = default;

void UsbPort::Impl::DeletePdo()
{
    StopThreads();
    bool del = false;
    {
        std::lock_guard lock(M);
        del = !PdoDeleted;
        PdoDeleted = true;
    }
    if (del) {
        sim::FrameScope frame(sim::FrameKind::Other, Port.bus_.driver_, Port.pdo_);
        IoDeleteDevice(Port.pdo_);
    }
}

void UsbPort::Impl::StopThreads()
{
    sim::SimThread *hc;
    sim::SimThread *hub;
    {
        std::lock_guard lock(M);
        Stopping = true;
        hc = HcThread;
        hub = HubThread;
        HcThread = nullptr;
        HubThread = nullptr;
    }
    if (hc == nullptr && hub == nullptr) {
        return;
    }
    if (tPortThread == this) {
        // Called from one of the port's own threads (a device that vanished
        // mid-transfer): they are told to stop and joined at shutdown.
        std::lock_guard lock(M);
        HcThread = hc;
        HubThread = hub;
        KeSetEvent(&HcEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&HubEvent, IO_NO_INCREMENT, FALSE);
        return;
    }
    std::unique_ptr<sim::ThreadScope> scope;
    if (sim::Machine::CurrentOrNull() != &Machine) {
        scope = std::make_unique<sim::ThreadScope>(Machine, "usb-shutdown");
    }
    KeSetEvent(&HcEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&HubEvent, IO_NO_INCREMENT, FALSE);
    if (hc) {
        Machine.Join(hc);
    }
    if (hub) {
        Machine.Join(hub);
    }
}

bool UsbPort::SignalRemoteWake()
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(impl_->M);
        if (impl_->Power == PowerDeviceD0 || !impl_->Connected || !model_->RemoteWakeupEnabled()) {
            return false;
        }
        irp = impl_->TakeWaitWakeIrp();
    }
    if (irp == nullptr) {
        return false;
    }
    sim::DispatchLevelScope dpc;
    PoStartNextPowerIrp(irp);
    Impl::CompleteIrp(irp, STATUS_SUCCESS);
    return true;
}

void UsbPort::DisablePort()
{
    std::lock_guard lock(impl_->M);
    impl_->Enabled = false;
}

std::string UsbPort::InjectFault(uint8_t endpointAddress, EndpointFault fault, uint32_t shortBytes)
{
    const bool control = (endpointAddress & 0x7f) == 0;
    bool known = control;
    bool in = (endpointAddress & 0x80) != 0;
    for (const auto &iface : model_->Configuration().Interfaces) {
        for (const auto &ep : iface.Endpoints) {
            known = known || ep.Address == endpointAddress;
        }
    }
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", endpointAddress);
    if (!known) {
        return std::string("the device has no endpoint ") + address + " in its configuration";
    }
    if (fault == EndpointFault::Short && !control && !in) {
        return std::string("a short packet ends an IN transfer; endpoint ") + address + " is OUT";
    }
    {
        std::lock_guard lock(impl_->M);
        if (!impl_->Connected) {
            return "the device is not connected";
        }
        impl_->Faults[control ? 0x00 : endpointAddress] = ArmedFault{fault, shortBytes};
        // A request already waiting on the endpoint meets the fault at once.
        impl_->Kicked = true;
    }
    impl_->Wake();
    return {};
}

void UsbPort::Poll()
{
    {
        std::lock_guard lock(impl_->M);
        impl_->Kicked = true;
    }
    impl_->Wake();
}

std::vector<UrbRecord> UsbPort::Urbs() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Records;
}

size_t UsbPort::PendingTransfers() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Transfers.size();
}

bool UsbPort::Connected() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Connected;
}

bool UsbPort::Enabled() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Enabled;
}

bool UsbPort::Configured() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Configured;
}

DEVICE_POWER_STATE UsbPort::PowerState() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Power;
}

bool UsbPort::IdleIrpPending() const
{
    std::lock_guard lock(impl_->M);
    return impl_->IdleIrp != nullptr;
}

bool UsbPort::WaitWakePending() const
{
    std::lock_guard lock(impl_->M);
    return impl_->WaitWakeIrp != nullptr;
}

unsigned UsbPort::IdleCallbacks() const
{
    std::lock_guard lock(impl_->M);
    return impl_->IdleCallbacks;
}

unsigned UsbPort::DirectionMismatches() const
{
    std::lock_guard lock(impl_->M);
    return impl_->DirectionMismatches;
}

BusTiming::EndpointStats UsbPort::EndpointStats(uint8_t endpointAddress) const
{
    std::lock_guard lock(impl_->M);
    return impl_->Timing.StatsOf(endpointAddress);
}

uint64_t UsbPort::BusTimeNs() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Timing.NowNs();
}

// ---------------------------------------------------------------------------
// UsbBus
// ---------------------------------------------------------------------------
UsbBus::UsbBus(sim::Machine &machine) : machine_(machine)
{
    std::unique_ptr<sim::ThreadScope> scope;
    if (sim::Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<sim::ThreadScope>(machine_, "usb-init");
    }
    driver_ = machine_.CreateSystemDriver(u"\\Driver\\usbhub");
    for (auto &f : driver_->MajorFunction) {
        f = UsbPort::Impl::DispatchOther;
    }
    driver_->MajorFunction[IRP_MJ_PNP] = UsbPort::Impl::DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = UsbPort::Impl::DispatchPower;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UsbPort::Impl::DispatchInternalDeviceControl;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = UsbPort::Impl::DispatchSystemControl;
}

UsbBus::~UsbBus()
{
    Shutdown();
}

void UsbBus::Shutdown()
{
    // The ports themselves stay until the bus goes, so that references the
    // tests hold remain valid; their threads and PDOs end here.
    std::vector<UsbPort *> ports;
    {
        std::lock_guard lock(mutex_);
        for (auto &port : ports_) {
            ports.push_back(port.get());
        }
    }
    if (ports.empty()) {
        return;
    }
    std::unique_ptr<sim::ThreadScope> scope;
    if (sim::Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<sim::ThreadScope>(machine_, "usb-shutdown");
    }
    for (UsbPort *port : ports) {
        port->impl_->DeletePdo();
    }
}

UsbPort &UsbBus::Plug(std::unique_ptr<DeviceModel> model, PortOptions options)
{
    unsigned number;
    {
        std::lock_guard lock(mutex_);
        number = static_cast<unsigned>(ports_.size() + 1);
    }
    std::unique_ptr<UsbPort> port(new UsbPort(*this, number, std::move(model), std::move(options)));
    UsbPort::Impl &p = *port->impl_;
    if (!p.Options.Capture.empty()) {
        // One file per path for the whole bus, as USBPcap captures a root
        // hub: a second writer would truncate what the first wrote.
        std::lock_guard lock(mutex_);
        const auto key = std::filesystem::absolute(p.Options.Capture).lexically_normal();
        p.Pcap = captures_[key].lock();
        if (!p.Pcap) {
            p.Pcap = std::make_shared<UsbPcapWriter>(p.Options.Capture, 1);
            captures_[key] = p.Pcap;
        }
    }
    port->model_->Kick = [&p] {
        // Inside a model call the port's lock is held: just note it.
        if (tInsideModelOf == &p) {
            p.Kicked = true;
        } else {
            p.Port.Poll();
        }
    };
    {
        sim::FrameScope frame(sim::FrameKind::Other, driver_);
        PDEVICE_OBJECT pdo = nullptr;
        const NTSTATUS status = IoCreateDevice(driver_, sizeof(UsbPort *), nullptr, FILE_DEVICE_UNKNOWN,
                                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status)) {
            throw std::runtime_error("the USB bus could not create a PDO");
        }
        *static_cast<UsbPort **>(pdo->DeviceExtension) = port.get();
        pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
        pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
        port->pdo_ = pdo;
    }
    KeInitializeEvent(&p.HcEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.HubEvent, SynchronizationEvent, FALSE);
    p.HcThread = machine_.StartThread("usb-hc-" + std::to_string(number), [&p] { p.HostControllerBody(); },
                                      sim::ThreadKind::Service);
    p.HubThread = machine_.StartThread("usb-hub-" + std::to_string(number), [&p] { p.HubBody(); },
                                       sim::ThreadKind::Service);
    UsbPort &ref = *port;
    {
        std::lock_guard lock(mutex_);
        ports_.push_back(std::move(port));
    }

    const auto &d = ref.model_->Descriptors().Device;
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", d[8] | d[9] << 8, d[10] | d[11] << 8);
    std::u16string hardwareId(id, id + std::strlen(id));
    const std::string portText = std::to_string(number);
    std::u16string instance = hardwareId + u"\\" + std::u16string(portText.begin(), portText.end());
    machine_.Component<sim::PnpManager>().DeviceArrived(ref.pdo_, instance, hardwareId);
    p.Reported = true;
    return ref;
}

void UsbBus::FlushCaptures()
{
    std::vector<std::shared_ptr<UsbPcapWriter>> writers;
    {
        std::lock_guard lock(mutex_);
        for (auto &[path, writer] : captures_) {
            if (auto w = writer.lock()) {
                writers.push_back(std::move(w));
            }
        }
    }
    for (auto &w : writers) {
        w->Flush();
    }
}

void UsbBus::Unplug(UsbPort &port)
{
    UsbPort::Impl &p = *port.impl_;
    std::vector<std::unique_ptr<Transfer>> done;
    bool removed;
    {
        std::lock_guard lock(p.M);
        if (!p.Connected) {
            return;
        }
        p.Connected = false;
        p.Enabled = false;
        done = p.FailTransfers([](const Transfer &) { return true; }, USBD_STATUS_DEVICE_GONE);
        removed = p.Removed;
    }
    UsbPort::Impl::CompleteTransfers(done);
    if (removed) {
        // The stack was removed while the device was still there (disable):
        // nothing is left to tell the PnP manager; the hub deletes the PDO.
        KeSetEvent(&p.HubEvent, IO_NO_INCREMENT, FALSE);
        return;
    }
    machine_.Component<sim::PnpManager>().DeviceVanished(port.pdo_);
}

}  // namespace vextora::usb
