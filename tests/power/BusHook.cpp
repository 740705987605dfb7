#include "tests/power/BusHook.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace vxtest {

namespace {

std::mutex gHooksLock;
std::map<PDRIVER_OBJECT, BusHook *> gHooks;

BusHook *HookOf(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard lock(gHooksLock);
    return gHooks.at(DeviceObject->DriverObject);
}

void CompleteWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

bool IsIdleRequest(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
}

PDEVICE_OBJECT OwnerOf(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
}

}  // namespace

BusHook::BusHook(sim::Machine &Machine) : machine_(Machine) {}

BusHook::~BusHook()
{
    std::lock_guard lock(gHooksLock);
    if (bus_ != nullptr) {
        gHooks.erase(bus_);
    }
}

void BusHook::Install(PDRIVER_OBJECT BusDriver)
{
    bus_ = BusDriver;
    {
        std::lock_guard lock(gHooksLock);
        gHooks[bus_] = this;
    }
    for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_POWER), static_cast<UCHAR>(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
        original_[major] = bus_->MajorFunction[major];
        bus_->MajorFunction[major] = Dispatch;
    }
}

void BusHook::SetTransparent(bool Transparent)
{
    std::lock_guard lock(mutex_);
    transparent_ = Transparent;
}

void BusHook::SetPowerStatus(NTSTATUS Status)
{
    std::lock_guard lock(mutex_);
    powerStatus_ = Status;
}

void BusHook::HoldPower(bool Hold)
{
    std::lock_guard lock(mutex_);
    holdPower_ = Hold;
}

bool BusHook::ReleasePower(NTSTATUS Status)
{
    PIRP irp;
    {
        std::lock_guard lock(mutex_);
        if (heldPower_.empty()) {
            return false;
        }
        irp = heldPower_.front();
        heldPower_.pop_front();
    }
    FinishPower(irp, Status);
    return true;
}

size_t BusHook::HeldPowerCount()
{
    std::lock_guard lock(mutex_);
    return heldPower_.size();
}

std::vector<PowerRecord> BusHook::PowerLog()
{
    std::lock_guard lock(mutex_);
    return powerLog_;
}

std::vector<LONG> BusHook::DeviceSets()
{
    std::lock_guard lock(mutex_);
    std::vector<LONG> sets;
    for (const PowerRecord &record : powerLog_) {
        if (record.Minor == IRP_MN_SET_POWER && record.Type == static_cast<ULONG>(DevicePowerState)) {
            sets.push_back(record.State);
        }
    }
    return sets;
}

void BusHook::SetWaitWakeCancelMode(CancelMode Mode)
{
    std::lock_guard lock(mutex_);
    waitWakeCancel_ = Mode;
}

void BusHook::SetWaitWakeAnswer(NTSTATUS Status)
{
    std::lock_guard lock(mutex_);
    waitWakeAnswer_ = Status;
}

bool BusHook::CompleteWaitWake(NTSTATUS Status)
{
    PIRP irp;
    if (!TakeForCompletion(waitWake_, waitWakeCancelled_, &irp)) {
        return false;
    }
    FinishPower(irp, Status);
    return true;
}

size_t BusHook::WaitWakeCount()
{
    std::lock_guard lock(mutex_);
    return waitWakeCount_;
}

bool BusHook::WaitWakePending()
{
    std::lock_guard lock(mutex_);
    return !waitWake_.empty() || !waitWakeCancelled_.empty();
}

void BusHook::SetIdleAnswer(NTSTATUS Status)
{
    std::lock_guard lock(mutex_);
    idleAnswer_ = Status;
}

void BusHook::SetIdleCancelMode(CancelMode Mode)
{
    std::lock_guard lock(mutex_);
    idleCancel_ = Mode;
}

size_t BusHook::IdleCount()
{
    std::lock_guard lock(mutex_);
    return idleCount_;
}

bool BusHook::IdlePending()
{
    std::lock_guard lock(mutex_);
    return !idle_.empty() || !idleCancelled_.empty();
}

bool BusHook::CompleteIdle(NTSTATUS Status)
{
    PIRP irp;
    if (!TakeForCompletion(idle_, idleCancelled_, &irp)) {
        return false;
    }
    sim::FrameScope frame(sim::FrameKind::Other, bus_, OwnerOf(irp), irp);
    CompleteWith(irp, Status);
    return true;
}

sim::SimThread *BusHook::StartIdleCallback()
{
    USB_IDLE_CALLBACK callback;
    PVOID context;
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard lock(mutex_);
        // A hub may call back for a request whose cancel it has not answered.
        std::deque<PIRP> &queue = idle_.empty() ? idleCancelled_ : idle_;
        if (queue.empty()) {
            return nullptr;
        }
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(queue.front());
        pdo = stack->DeviceObject;
        auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        callback = info->IdleCallback;
        context = info->IdleContext;
    }
    // Driver code called by the bus, in the hub's own thread.
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    return machine_.StartThread("hub-idle-callback", [fdo, callback, context] {
        sim::FrameScope frame(sim::FrameKind::Other, fdo->DriverObject, fdo, nullptr,
                              reinterpret_cast<const void *>(callback));
        callback(context);
    });
}

void BusHook::HoldTransfers(bool Hold)
{
    std::lock_guard lock(mutex_);
    holdTransfers_ = Hold;
}

size_t BusHook::HeldTransferCount()
{
    std::lock_guard lock(mutex_);
    return transfers_.size();
}

void BusHook::ReleaseTransfers()
{
    std::deque<PIRP> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(transfers_);
    }
    for (PIRP irp : held) {
        auto *urb = static_cast<PURB>(URB_FROM_IRP(irp));
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        sim::FrameScope frame(sim::FrameKind::Other, bus_, OwnerOf(irp), irp);
        CompleteWith(irp, STATUS_SUCCESS);
    }
}

// ---------------------------------------------------------------------------

NTSTATUS NTAPI BusHook::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusHook *hook = HookOf(DeviceObject);
    bool transparent;
    {
        std::lock_guard lock(hook->mutex_);
        transparent = hook->transparent_;
    }
    const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (transparent) {
        return hook->original_[major](DeviceObject, Irp);
    }
    return major == IRP_MJ_POWER ? hook->DispatchPowerIrp(DeviceObject, Irp)
                                 : hook->DispatchInternal(DeviceObject, Irp);
}

NTSTATUS BusHook::Pend(PIRP Irp, std::deque<PIRP> &Queue, bool Cancellable)
{
    IoMarkIrpPending(Irp);
    bool cancelNow = false;
    {
        std::lock_guard lock(mutex_);
        Queue.push_back(Irp);
        if (Cancellable) {
            IoSetCancelRoutine(Irp, CancelPending);
            if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
                Queue.erase(std::find(Queue.begin(), Queue.end(), Irp));
                cancelNow = true;
            }
        }
    }
    if (cancelNow) {
        if (!IsIdleRequest(Irp)) {
            PoStartNextPowerIrp(Irp);
        }
        CompleteWith(Irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

bool BusHook::TakeForCompletion(std::deque<PIRP> &Queue, std::deque<PIRP> &Deferred, PIRP *Irp)
{
    std::lock_guard lock(mutex_);
    if (!Deferred.empty()) {
        *Irp = Deferred.front();
        Deferred.pop_front();
        return true;
    }
    if (Queue.empty()) {
        return false;
    }
    // NULL back: the cancel routine is about to run and takes the IRP itself.
    if (IoSetCancelRoutine(Queue.front(), nullptr) == nullptr) {
        return false;
    }
    *Irp = Queue.front();
    Queue.pop_front();
    return true;
}

VOID NTAPI BusHook::CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusHook *hook = HookOf(DeviceObject);
    const bool idle = IsIdleRequest(Irp);
    CancelMode mode;
    {
        std::lock_guard lock(hook->mutex_);
        std::deque<PIRP> &queue = idle ? hook->idle_ : hook->waitWake_;
        queue.erase(std::remove(queue.begin(), queue.end(), Irp), queue.end());
        mode = idle ? hook->idleCancel_ : hook->waitWakeCancel_;
        if (mode == CancelMode::Defer) {
            (idle ? hook->idleCancelled_ : hook->waitWakeCancelled_).push_back(Irp);
        }
    }
    if (mode != CancelMode::Defer) {
        if (!idle) {
            PoStartNextPowerIrp(Irp);
        }
        CompleteWith(Irp, mode == CancelMode::WakeAtOnce ? STATUS_SUCCESS : STATUS_CANCELLED);
    }
}

void BusHook::FinishPower(PIRP Irp, NTSTATUS Status)
{
    sim::FrameScope frame(sim::FrameKind::Other, bus_, OwnerOf(Irp), Irp);
    PoStartNextPowerIrp(Irp);
    CompleteWith(Irp, Status);
}

NTSTATUS BusHook::DispatchPowerIrp(PDEVICE_OBJECT /*Pdo*/, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    bool hold;
    NTSTATUS waitWakeAnswer;
    {
        std::lock_guard lock(mutex_);
        waitWakeAnswer = waitWakeAnswer_;
        if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
            powerLog_.push_back({stack->MinorFunction, SystemPowerState,
                                 static_cast<LONG>(stack->Parameters.WaitWake.PowerState)});
            ++waitWakeCount_;
        } else {
            ULONG type;
            LONG state;
            std::memcpy(&type, &stack->Parameters.Power.Type, sizeof(type));
            std::memcpy(&state, &stack->Parameters.Power.State, sizeof(state));
            powerLog_.push_back({stack->MinorFunction, type, state});
        }
        status = powerStatus_;
        hold = holdPower_;
    }
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        if (waitWakeAnswer != STATUS_PENDING) {
            PoStartNextPowerIrp(Irp);
            CompleteWith(Irp, waitWakeAnswer);
            return waitWakeAnswer;
        }
        return Pend(Irp, waitWake_, true);
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        if (hold) {
            return Pend(Irp, heldPower_, false);
        }
        PoStartNextPowerIrp(Irp);
        CompleteWith(Irp, status);
        return status;
    default:
        // Other power requests: a bus driver completes them as they are.
        status = Irp->IoStatus.Status;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
}

NTSTATUS BusHook::DispatchInternal(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION) {
        NTSTATUS answer;
        {
            std::lock_guard lock(mutex_);
            ++idleCount_;
            answer = idleAnswer_;
        }
        if (answer != STATUS_PENDING) {
            CompleteWith(Irp, answer);
            return answer;
        }
        return Pend(Irp, idle_, true);
    }
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto *urb = static_cast<PURB>(URB_FROM_IRP(Irp));
        bool hold;
        {
            std::lock_guard lock(mutex_);
            hold = holdTransfers_;
        }
        if (hold && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return Pend(Irp, transfers_, false);
        }
    }
    return original_[IRP_MJ_INTERNAL_DEVICE_CONTROL](Pdo, Irp);
}

}  // namespace vxtest
