// The state of one port of the simulated bus and the routines that work on
// it, shared by the bus's own files only (not included outside sim/usb):
//   Urb.cpp             URB intake and validation, configuration and pipes
//   HostController.cpp  transfers against the model, the bus timeline,
//                       completion and capture, the device leaving the bus
//   HubPdo.cpp          the hub's PDO: PnP, power, wait-wake, idle
//                       notification, port status and reset, its threads
//   UsbBus.cpp          the facade UsbBus.h describes
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sim/kernel/FutexLock.h"
#include "sim/usb/UsbBus.h"

namespace vextora::usb {

// The NTSTATUS the stack returns with a USBD status.
NTSTATUS NtStatusFor(USBD_STATUS usbd);

struct Pipe {
    EndpointInfo Endpoint;
    USBD_PIPE_TYPE Type;
    // What the client asked for at selection; enforced only on releases
    // before Windows XP (see EnforcesMaximumTransferSize in Urb.cpp).
    ULONG MaximumTransferSize;
    uint8_t Interface;  // bInterfaceNumber of the interface it belongs to
};

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

using TransferList = std::vector<std::unique_ptr<Transfer>>;

struct ArmedFault {
    EndpointFault Kind;
    uint32_t ShortBytes;
};

// The port whose lock the calling thread holds while it runs a model, and
// the port whose service thread the calling thread is.
extern thread_local const void *tInsideModelOf;
extern thread_local const void *tPortThread;

struct InsideModel {
    explicit InsideModel(const void *port) { tInsideModelOf = port; }
    ~InsideModel() { tInsideModelOf = nullptr; }
};

enum class IdleState { None, Waiting, CallbackRunning, CallbackDone };

struct UsbPort::Impl {
    Impl(UsbPort &port, sim::Machine &machine, PortOptions options)
        : Port(port), Machine(machine), Options(std::move(options)), Timing(port.model_->DeviceSpeed())
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
    bool Removed = false;  // IRP_MN_REMOVE_DEVICE seen
    bool PdoDeleted = false;
    bool Reported = false;
    DEVICE_POWER_STATE Power = PowerDeviceD0;
    bool Configured = false;
    uint8_t ConfigurationValue = 0;
    PVOID ConfigurationHandle = nullptr;
    std::map<PVOID, Pipe> Pipes;
    uint64_t NextSerial = 1;
    std::list<std::unique_ptr<Transfer>> Transfers;
    // How many of Transfers are NakForever: while there are none, no
    // transfer is held behind one, and nothing walks the list to find out
    // (with thousands of reads pending that walk was most of a transfer).
    size_t NakForeverTransfers = 0;
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

    // ---- common (M held unless said otherwise) ------------------------------
    static Impl &Of(PDEVICE_OBJECT device) { return *(*static_cast<UsbPort **>(device->DeviceExtension))->impl_; }
    uint64_t NowNs() const { return Machine.Now() * 100; }
    uint16_t Device() const { return static_cast<uint16_t>(Port.number_); }

    static void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    // Wakes the host controller thread. Any IRQL up to DISPATCH_LEVEL.
    void Wake() { KeSetEvent(&HcEvent, IO_NO_INCREMENT, FALSE); }
    // Wakes the hub thread. Any IRQL up to DISPATCH_LEVEL.
    void WakeHub() { KeSetEvent(&HubEvent, IO_NO_INCREMENT, FALSE); }

    // ---- the host controller (HostController.cpp) ----------------------------
    Transfer *Find(PIRP irp);
    std::unique_ptr<Transfer> Take(Transfer *t);
    // Runs the device model for a transfer; fills the result or leaves it
    // pending (NAK).
    void Attempt(Transfer &t);
    static uint8_t FaultKey(const Transfer &t) { return t.IsControl ? 0x00 : t.Endpoint.Address; }
    // A transfer on the endpoint of t that the device NAKs for ever holds up
    // those queued after it, as the host controller serves an endpoint's
    // queue in order. M held.
    bool BehindNakForever(const Transfer &t) const;
    // The fault armed for t's endpoint, taken out; a short packet waits for
    // an IN request. M held.
    std::optional<ArmedFault> TakeFault(const Transfer &t);
    // The device's answer to t under an armed fault. M held, inside the model.
    Result AnswerFault(Transfer &t, const ArmedFault &fault);
    uint64_t FrameNs() const { return BudgetFor(Port.model_->DeviceSpeed()).FrameNs; }
    // Brings the bus timeline of a host-controller port up to the machine's
    // time: the frames that have fully elapsed are run, and an idle bus
    // starts its next transfer at the next frame boundary. Transfers whose
    // last packet went out leave the timeline. M held.
    void AdvanceTimeline();
    // Capture timestamps: a host-controller port's bus time is machine
    // time; an inline port's runs beside it.
    uint64_t CaptureNs() const;
    static void SetResult(Transfer &t, USBD_STATUS usbd, ULONG actual);
    // Writes the result into the URB and records it. M held.
    void Record(const Transfer &t, bool pended);
    void CaptureSubmit(Transfer &t);
    // A URB the stack carries out itself, recorded as USBPcap shows it: the
    // control transfer it puts on the wire (a configuration or interface
    // selection). M held.
    void CaptureStackControl(USHORT function, const SetupPacket &setup, USBD_STATUS usbd);
    // Fails every transfer matching pred with usbd. Returns the IRPs to
    // complete once M is released (their cancel routines are cleared).
    TransferList FailTransfers(const std::function<bool(const Transfer &)> &pred, USBD_STATUS usbd);
    // Completes transfers taken out of the port at DISPATCH_LEVEL, as the
    // host controller's DPC would. M not held.
    static void CompleteTransfers(TransferList &done);
    static VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
    // A standard request the stack itself sends to the device. M held.
    Result StackRequest(const SetupPacket &setup);
    // Queues t (already in Transfers) as pending with its cancel routine.
    // Returns a transfer to complete at once when the IRP was cancelled
    // before the routine was set. M held.
    std::unique_ptr<Transfer> Pend(Transfer &t);
    // Ends an attempt made by the host controller: completes t, leaves it to
    // its cancel routine, or queues it again. M held; returns what to
    // complete after releasing it.
    std::unique_ptr<Transfer> EndAttempt(Transfer &t);
    // The device leaves the bus: pending transfers fail with
    // USBD_STATUS_DEVICE_GONE, the port reports disconnected and the PnP
    // manager is told, unless the stack is already removed (then the hub
    // thread deletes the PDO). M not held; PASSIVE_LEVEL.
    void Disconnect();
    // The host controller thread. Attempts the queued transfers against the
    // model, then completes each answered one when its time has come: when
    // its last packet has gone out on the port's one bus timeline
    // (host-controller ports) and the device's own delay has passed. It
    // sleeps until the next such time or until a submission, a cancel or a
    // kick wakes it.
    void HostControllerBody();

    // ---- URB intake and validation (Urb.cpp) ---------------------------------
    // IOCTL_INTERNAL_USB_SUBMIT_URB: validates the URB and carries it out,
    // as a transfer or as a request the stack answers itself.
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    // Completes a URB that never became a transfer with usbd (success
    // included), and records it. M not held.
    NTSTATUS Refuse(PIRP irp, PURB urb, USBD_STATUS usbd);
    // Fails a URB that never became a transfer with usbd, and records it. M held.
    void RecordRefusalLocked(PURB urb, USBD_STATUS usbd);
    NTSTATUS Succeed(PIRP irp, PURB urb);
    PVOID NewToken(uintptr_t tag);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    // Closes every pipe: their transfers end with STATUS_CANCELLED. M held.
    TransferList Unconfigure();
    // Selects another alternate setting of one interface of the present
    // configuration: its pipes close (their transfers end with
    // STATUS_CANCELLED), SET_INTERFACE goes to the device, and the new
    // setting's pipes open and are described in the URB as at configuration.
    NTSTATUS SelectInterface(PIRP irp, PURB urb);
    // Describes iface in info and opens its pipes. M held.
    void OpenInterface(USBD_INTERFACE_INFORMATION &info, const InterfaceInfo &iface);
    NTSTATUS PipeRequest(PIRP irp, PURB urb);
    NTSTATUS DataTransfer(PIRP irp, PURB urb);
    NTSTATUS ControlTransfer(PIRP irp, PURB urb);
    // Runs a validated transfer: at once when the port completes inline and
    // the device answers, otherwise later from the host controller.
    NTSTATUS Start(std::unique_ptr<Transfer> owned);
    // Starts a transfer. Admit runs first under M and fills in what the
    // transfer needs from the port's state; a status other than success
    // refuses the URB with it, as Refuse does.
    template <typename AdmitFn> NTSTATUS Start(std::unique_ptr<Transfer> owned, AdmitFn &&Admit);

    // ---- the hub's PDO (HubPdo.cpp) -------------------------------------------
    static NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT, PIRP irp);
    static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP irp);
    NTSTATUS ResetPort(PIRP irp);
    NTSTATUS SubmitIdle(PIRP irp, PIO_STACK_LOCATION stack);
    static VOID NTAPI CancelIdle(PDEVICE_OBJECT device, PIRP irp);
    // Takes the idle IRP to complete with status, or defers. M held.
    PIRP TakeIdleIrp(NTSTATUS status);
    // The hub thread: idle notification callbacks, and the PDO of a device
    // that left the bus.
    void HubBody();
    NTSTATUS WaitWake(PIRP irp, PIO_STACK_LOCATION stack);
    static VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
    // Takes the pending wait-wake IRP with its cancel routine cleared, or
    // returns null. M held.
    PIRP TakeWaitWakeIrp();
    // Clears the device's remote wake-up (CLEAR_FEATURE). M held.
    void Disarm();
    void SetDevicePower(DEVICE_POWER_STATE state);
    void FillCapabilities(PDEVICE_CAPABILITIES caps);
    // Surprise removal and removal end the idle notification and wait-wake.
    void EndPendingWork(NTSTATUS idleStatus);
    // Deletes the PDO of a device that left the bus once its stack is
    // removed and nothing is attached above it any more. Hub thread only.
    bool ReapPdo();
    // Ends the port's threads and deletes its PDO unless the hub thread
    // already did. PASSIVE_LEVEL.
    void DeletePdo();
    void StopThreads();
};

}  // namespace vextora::usb
