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

// The power manager stores the IRP in WaitWakeIrp before it sends it, so
// WaitWakeCompletion always finds it there. Should a completion ever come
// first, WaitWakeCompletion finds NULL, sets WaitWakeCancelled and holds the
// IRP as if a cancel owned it; the pointer stored afterwards is then that of
// a held IRP. Nobody would finish it before the next CancelWaitWake, and a
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

}  // namespace

NTSTATUS IssueWaitWake(DeviceExtension *Extension)
{
    if (InterlockedExchange(&Extension->WaitWakeOutstanding, 1) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    (void)InterlockedExchange(&Extension->WaitWakeCancelled, 0);

    POWER_STATE wakeState;
    wakeState.SystemState = Extension->Capabilities.SystemWake;
    const NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_WAIT_WAKE, wakeState,
                                              WaitWakeCallback, Extension, &Extension->WaitWakeIrp);
    // Anything but STATUS_PENDING means no request exists and no callback
    // will clear the flag.
    if (status != STATUS_PENDING) {
        (void)InterlockedExchange(&Extension->WaitWakeOutstanding, 0);
        return status;
    }
    FinishEarlyCompletedWaitWake(Extension);
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

VOID NTAPI WaitWakeCallback(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/,
                            POWER_STATE /*PowerState*/, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    (void)InterlockedExchange(&extension->WaitWakeOutstanding, 0);
    if (!NT_SUCCESS(IoStatus->Status) || CurrentDevicePower(extension) == PowerDeviceD0) {
        return;
    }
    (void)RequestDevicePowerUp(extension);
    if (extension->RemoteWakeSupported != 0) {
        (void)IssueWaitWake(extension);
    }
}
