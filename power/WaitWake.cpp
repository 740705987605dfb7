#include "driver/Driver.h"
#include "power/Power.h"

// Three fields settle who finishes the wait-wake IRP. WaitWakeIrp is taken out
// only by exchange against NULL, so exactly one of WaitWakeCompletion and
// CancelWaitWake holds it; once CancelWaitWake holds it, both exchange
// WaitWakeCancelled with 1 and the one that finds it already 1 finishes the
// IRP. CancelWaitWake thus calls IoCancelIrp only on an IRP that
// WaitWakeCompletion cannot yet have let go.

namespace {

PIRP TakeWaitWakeIrp(DeviceExtension *Extension)
{
    return static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Extension->WaitWakeIrp), nullptr));
}

VOID FinishHeldWaitWakeIrp(PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The power manager may write the IRP's address into WaitWakeIrp only after
// it has sent the IRP down. When the IRP completes before that,
// WaitWakeCompletion finds NULL, sets WaitWakeCancelled and holds the IRP as
// if a cancel owned it; the pointer stored afterwards is then that of a held
// IRP. Nobody would finish it before the next CancelWaitWake, and a
// wake-up would wait for that. Once PoRequestPowerIrp has returned, the
// pointer is surely stored: finish such an IRP here with the lower drivers'
// own status.
VOID FinishEarlyCompletedWaitWake(DeviceExtension *Extension)
{
    if (ReadNoFence(&Extension->WaitWakeCancelled) == 0) {
        return;
    }
    // WaitWakeCancelled is 1 and the pointer still there only when the
    // completion came first: a cancel would have taken the pointer out.
    PIRP irp = TakeWaitWakeIrp(Extension);
    if (irp == nullptr) {
        return;
    }
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// WaitWakeActive changes together with NoWaitWakeEvent under PowerLock,
// so that no new request can slip between the end of another and the
// setting of the event.
VOID EnterWaitWake(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->PowerLock, &oldIrql);
    if (InterlockedIncrement(&Extension->WaitWakeActive) == 1) {
        KeClearEvent(&Extension->NoWaitWakeEvent);
    }
    KeReleaseSpinLock(&Extension->PowerLock, oldIrql);
}

// The waiter this may release goes on to delete the device once the I/O
// counts are gone: the caller holds one across the call, so the lock is
// released before the extension can go.
VOID LeaveWaitWake(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->PowerLock, &oldIrql);
    if (InterlockedDecrement(&Extension->WaitWakeActive) == 0) {
        KeSetEvent(&Extension->NoWaitWakeEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&Extension->PowerLock, oldIrql);
}

// A read that is ordered with the exchanges on WaitWakeIrp.
[[nodiscard]] bool WaitWakeRefused(DeviceExtension *Extension)
{
    return InterlockedCompareExchange(&Extension->WaitWakeRefused, 0, 0) != 0;
}

}  // namespace

NTSTATUS IssueWaitWake(DeviceExtension *Extension)
{
    if (InterlockedExchange(&Extension->WaitWakeOutstanding, 1) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    // Counted before the refusal is looked at: a disarm that sets it later
    // then waits for this request.
    EnterWaitWake(Extension);
    if (WaitWakeRefused(Extension)) {
        (void)InterlockedExchange(&Extension->WaitWakeOutstanding, 0);
        LeaveWaitWake(Extension);
        return STATUS_INVALID_DEVICE_STATE;
    }
    (void)InterlockedExchange(&Extension->WaitWakeCancelled, 0);

    POWER_STATE wakeState;
    wakeState.SystemState = Extension->Capabilities.SystemWake;
    const NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_WAIT_WAKE, wakeState, WaitWakeCallback,
                                              Extension, &Extension->WaitWakeIrp);
    // Anything but STATUS_PENDING means no request exists and no callback
    // will clear the flag.
    if (status != STATUS_PENDING) {
        (void)InterlockedExchange(&Extension->WaitWakeOutstanding, 0);
        LeaveWaitWake(Extension);
        return status;
    }
    FinishEarlyCompletedWaitWake(Extension);
    // A disarm that began while the power manager had not yet stored the IRP
    // found nothing to cancel and now waits for this request: cancel it here.
    if (WaitWakeRefused(Extension)) {
        CancelWaitWake(Extension);
    }
    return status;
}

VOID CancelWaitWake(DeviceExtension *Extension)
{
    PIRP irp = TakeWaitWakeIrp(Extension);
    if (irp == nullptr) {
        return;
    }
    (void)IoCancelIrp(irp);
    if (InterlockedExchange(&Extension->WaitWakeCancelled, 1) == 0) {
        // WaitWakeCompletion has not run yet and will finish the IRP.
        return;
    }
    FinishHeldWaitWakeIrp(irp, STATUS_CANCELLED);
}

VOID DisarmWaitWake(DeviceExtension *Extension)
{
    // Nothing was ever initialised, so no request was ever made: the device
    // never got as far as a start.
    if (ReadNoFence(&Extension->PowerManagementPrepared) == 0) {
        return;
    }
    (void)InterlockedExchange(&Extension->WaitWakeRefused, 1);
    CancelWaitWake(Extension);
    // The bus driver may complete the cancelled IRP at any later time, and
    // its completion routine and callback use the device.
    (void)KeWaitForSingleObject(&Extension->NoWaitWakeEvent, Executive, KernelMode, FALSE, nullptr);
}

VOID AllowWaitWake(DeviceExtension *Extension) { (void)InterlockedExchange(&Extension->WaitWakeRefused, 0); }

NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (TakeWaitWakeIrp(extension) != nullptr) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    if (InterlockedExchange(&extension->WaitWakeCancelled, 1) == 0) {
        // CancelWaitWake holds the pointer and finishes the IRP.
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PoStartNextPowerIrp(Irp);
    return STATUS_CANCELLED;
}

VOID NTAPI WaitWakeCallback(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/, POWER_STATE /*PowerState*/,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    // Held until this callback has finished with the device: the stop or
    // removal that waits for the request may go on as soon as it ends.
    IncrementIoCount(extension);
    (void)InterlockedExchange(&extension->WaitWakeOutstanding, 0);
    if (NT_SUCCESS(IoStatus->Status) && CurrentDevicePower(extension) != PowerDeviceD0) {
        // A D0 request that cannot be made is retried by RequestDevicePowerUp
        // itself; a re-arm that fails leaves the device without wake-up
        // until the next system query or idle callback arms it.
        (void)RequestDevicePowerUp(extension);
        if (extension->RemoteWakeSupported != 0) {
            (void)IssueWaitWake(extension);
        }
    }
    LeaveWaitWake(extension);
    DecrementIoCount(extension);
}
