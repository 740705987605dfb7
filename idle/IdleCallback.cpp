#include "driver/Driver.h"
#include "idle/Idle.h"
#include "power/Power.h"

VOID IdleNotificationCallback(PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    if (CurrentDeviceState(extension) != Working) {
        return;
    }
    if (extension->RemoteWakeSupported != 0) {
        // Without wake-up armed the device still suspends; an open or a
        // request brings it back.
        (void)IssueWaitWake(extension);
    }
    auto *context = static_cast<IdlePowerContext *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(IdlePowerContext), VEXTORA_POOL_TAG));
    if (context == nullptr) {
        return;
    }

    KEVENT powerDownDone;
    KeInitializeEvent(&powerDownDone, NotificationEvent, FALSE);
    context->Extension = extension;
    context->Event = &powerDownDone;

    // From here until the power-down is over, an idle request that ends
    // leaves the return to D0 to this thread (see IdleRequestCompletion).
    (void)InterlockedExchange(&extension->IdlePowerDownState, 1);
    // The requester's count is kept past IdlePowerDownDone, until this thread
    // no longer touches the device, so a removal cannot delete it under us.
    IncrementIoCount(extension);
    POWER_STATE idleState;
    idleState.DeviceState = extension->IdlePowerState;
    const NTSTATUS status =
        PoRequestPowerIrp(extension->PhysicalDevice, IRP_MN_SET_POWER, idleState, IdlePowerDownDone, context, nullptr);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&powerDownDone, Executive, KernelMode, FALSE, nullptr);
    }
    ExFreePool(context);

    // The request ended (an open cancelled it) while the power went down: its
    // completion saw D0 and asked for nothing, so the device would stay low
    // with a handle open and no request left to bring it back.
    if (InterlockedExchange(&extension->IdlePowerDownState, 0) == 2 && CurrentDevicePower(extension) != PowerDeviceD0) {
        // Refused, it is retried by RequestDevicePowerUp itself.
        (void)RequestDevicePowerUp(extension);
    }
    DecrementIoCount(extension);
}

VOID NTAPI IdlePowerDownDone(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/, POWER_STATE /*PowerState*/,
                             PVOID Context, PIO_STATUS_BLOCK /*IoStatus*/)
{
    auto *context = static_cast<IdlePowerContext *>(Context);
    if (context == nullptr) {
        return;
    }
    // The waiting callback frees the context and gives back the count.
    KeSetEvent(context->Event, IO_NO_INCREMENT, FALSE);
}
