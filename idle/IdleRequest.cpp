#include "driver/Driver.h"
#include "idle/Idle.h"
#include "power/Power.h"

// Who frees the idle IRP: IdleIrp is taken out only by exchange with NULL
// under IdleLock. The side that sent the IRP (IdleRequestCompletion, or the
// withdrawal in SubmitIdleRequest when it was never sent) frees it at once if
// it gets the pointer back. Once CancelIdleRequest has taken the pointer, the
// IRP has two owners, counted in IdleIrpReleaseCount; each decrements it when
// done and the one that reaches 0 frees the IRP and sets NoIdleRequestEvent.

namespace {

PIRP TakeIdleIrp(DeviceExtension *Extension)
{
    return static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Extension->IdleIrp), nullptr));
}

VOID FreeIdleIrp(DeviceExtension *Extension, PIRP Irp)
{
    IoFreeIrp(Irp);
    KeSetEvent(&Extension->NoIdleRequestEvent, IO_NO_INCREMENT, FALSE);
}

// The sending side lets go of the IRP: the pointer it took back (NULL when a
// cancel holds the IRP) decides whether it frees it alone or shares.
VOID ReleaseIdleIrp(DeviceExtension *Extension, PIRP Irp, PIRP TakenBack)
{
    if (TakenBack != nullptr || InterlockedDecrement(&Extension->IdleIrpReleaseCount) == 0) {
        FreeIdleIrp(Extension, Irp);
    }
}

}  // namespace

NTSTATUS SubmitIdleRequest(DeviceExtension *Extension)
{
    if (CurrentDevicePower(Extension) != PowerDeviceD0) {
        ArmIdleTimer(Extension);
        return STATUS_POWER_STATE_INVALID;
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleLock, &oldIrql);
    if (InterlockedExchange(&Extension->IdleRequestPending, 1) != 0) {
        KeReleaseSpinLock(&Extension->IdleLock, oldIrql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&Extension->NoIdleRequestEvent);

    auto *callbackInfo = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO), VEXTORA_POOL_TAG));
    PIRP irp = nullptr;
    if (callbackInfo != nullptr) {
        irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
    }
    if (irp == nullptr) {
        KeSetEvent(&Extension->NoIdleRequestEvent, IO_NO_INCREMENT, FALSE);
        (void)InterlockedExchange(&Extension->IdleRequestPending, 0);
        KeReleaseSpinLock(&Extension->IdleLock, oldIrql);
        if (callbackInfo != nullptr) {
            ExFreePool(callbackInfo);
        }
        ArmIdleTimer(Extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    callbackInfo->IdleCallback = IdleNotificationCallback;
    callbackInfo->IdleContext = Extension;
    Extension->IdleCallbackInfo = callbackInfo;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    next->Parameters.DeviceIoControl.Type3InputBuffer = callbackInfo;
    IoSetCompletionRoutine(irp, IdleRequestCompletion, Extension, TRUE, TRUE, TRUE);

    (void)InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Extension->IdleIrp), irp);
    (void)InterlockedExchange(&Extension->IdleIrpReleaseCount, 2);
    KeReleaseSpinLock(&Extension->IdleLock, oldIrql);

    if (CanSuspend(Extension) && CurrentDevicePower(Extension) == PowerDeviceD0) {
        // No check while the request is out; its end arms the timer again.
        CancelIdleTimer(Extension);
        return IoCallDriver(Extension->LowerDevice, irp);
    }

    // Withdraw. An open in the meantime may have taken IdleIrp and be calling
    // IoCancelIrp on it right now; the IRP is then freed by whichever of the
    // two lets go last.
    KeAcquireSpinLock(&Extension->IdleLock, &oldIrql);
    PIRP takenBack = TakeIdleIrp(Extension);
    Extension->IdleCallbackInfo = nullptr;
    (void)InterlockedExchange(&Extension->IdleRequestPending, 0);
    KeReleaseSpinLock(&Extension->IdleLock, oldIrql);
    ExFreePool(callbackInfo);
    // Before the release, which may set NoIdleRequestEvent and let a
    // StopIdleDetection waiting on it go on to delete the device.
    ArmIdleTimer(Extension);
    ReleaseIdleIrp(Extension, irp, takenBack);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI IdleRequestCompletion(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);
    const NTSTATUS status = Irp->IoStatus.Status;

    // While IdleNotificationCallback is still lowering the power, D0 cannot be
    // asked for yet (DevicePower still reads D0); the callback does it once its
    // power-down has finished.
    if (InterlockedCompareExchange(&extension->IdlePowerDownState, 2, 1) != 1 && !NT_SUCCESS(status) &&
        status != STATUS_NOT_SUPPORTED && status != STATUS_POWER_STATE_INVALID &&
        CurrentDevicePower(extension) != PowerDeviceD0) {
        // Refused, it is retried by RequestDevicePowerUp itself.
        (void)RequestDevicePowerUp(extension);
    }

    // Armed before the IRP is released: a StopIdleDetection whose wait ends
    // with that release has either cleared IdleSuspendActive first (nothing
    // is armed) or cancels this arming itself.
    ArmIdleTimer(extension);

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->IdleLock, &oldIrql);
    PUSB_IDLE_CALLBACK_INFO callbackInfo = extension->IdleCallbackInfo;
    extension->IdleCallbackInfo = nullptr;
    PIRP takenBack = TakeIdleIrp(extension);
    (void)InterlockedExchange(&extension->IdleRequestPending, 0);
    KeReleaseSpinLock(&extension->IdleLock, oldIrql);

    if (callbackInfo != nullptr) {
        ExFreePool(callbackInfo);
    }
    ReleaseIdleIrp(extension, Irp, takenBack);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelIdleRequest(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleLock, &oldIrql);
    PIRP irp = CanSuspend(Extension) ? nullptr : TakeIdleIrp(Extension);
    KeReleaseSpinLock(&Extension->IdleLock, oldIrql);

    if (irp == nullptr) {
        return;
    }
    (void)IoCancelIrp(irp);
    if (InterlockedDecrement(&Extension->IdleIrpReleaseCount) == 0) {
        FreeIdleIrp(Extension, irp);
    }
}
