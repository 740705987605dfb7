#include "driver/Driver.h"
#include "power/Power.h"

namespace {

[[nodiscard]] NTSTATUS PassDownUntouched(DeviceExtension *Extension, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Extension->LowerDevice, Irp);
}

// Read as a plain number: a value outside the enumeration is exactly what
// has to be recognised here.
ULONG PowerTypeOf(PIO_STACK_LOCATION Stack)
{
    static_assert(sizeof(POWER_STATE_TYPE) == sizeof(ULONG), "POWER_STATE_TYPE is 32 bits wide");
    ULONG type;
    RtlCopyMemory(&type, &Stack->Parameters.Power.Type, sizeof(type));
    return type;
}

}  // namespace

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    // Counted before the state is read: a removal that enters Removed after
    // this read then waits for the count; one that entered it before is seen.
    IncrementIoCount(extension);
    const enum DeviceState state = CurrentDeviceState(extension);
    NTSTATUS status;
    if (state == Removed) {
        // The count goes first: the removal may be over, and the reference
        // the sender holds on the device object may be the last, dropped as
        // the IRP completes.
        DecrementIoCount(extension);
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    if (state == NotStarted) {
        status = PassDownUntouched(extension, Irp);
        DecrementIoCount(extension);
        return status;
    }

    // From here the count belongs to the IRP and is given back exactly once,
    // by whichever routine finishes with it.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        // No count is held while the request waits in the bus driver: an armed
        // device must still look idle and let a power-down drain.
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, WaitWakeCompletion, extension, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(Irp);
        (void)PoCallDriver(extension->LowerDevice, Irp);
        DecrementIoCount(extension);
        status = STATUS_PENDING;
        break;
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: {
        const ULONG type = PowerTypeOf(stack);
        if (type != SystemPowerState && type != DevicePowerState) {
            // A type this driver has no policy for is the bus driver's to
            // answer: failing it here could veto a transition the rest of the
            // stack understands.
            status = PassDownUntouched(extension, Irp);
            DecrementIoCount(extension);
            break;
        }
        const bool isSet = stack->MinorFunction == IRP_MN_SET_POWER;
        if (type == SystemPowerState) {
            status = isSet ? HandleSystemSetPower(DeviceObject, Irp) : HandleSystemQueryPower(DeviceObject, Irp);
        } else {
            status = isSet ? HandleDeviceSetPower(DeviceObject, Irp) : HandleDeviceQueryPower(DeviceObject, Irp);
        }
        break;
    }
    default:
        status = PassDownUntouched(extension, Irp);
        DecrementIoCount(extension);
        break;
    }
    return status;
}

namespace {

[[nodiscard]] NTSTATUS PassSystemIrpDown(DeviceExtension *Extension, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SystemPowerCompletion, Extension, TRUE, TRUE, TRUE);
    (void)PoCallDriver(Extension->LowerDevice, Irp);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PassSystemIrpDown(ExtensionOf(DeviceObject), Irp);
}

NTSTATUS HandleSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    const LONG queried = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;

    // Going to sleep: arm the device if it can wake the system from there,
    // disarm it if that state is too deep for it.
    if (queried > ReadNoFence(reinterpret_cast<const volatile LONG *>(&extension->SystemPower)) &&
        extension->RemoteWakeSupported != 0) {
        if (queried > static_cast<LONG>(extension->Capabilities.SystemWake)) {
            CancelWaitWake(extension);
        } else {
            // The sleep goes ahead whether or not the device could be armed.
            (void)IssueWaitWake(extension);
        }
    }
    return PassSystemIrpDown(extension, Irp);
}

NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        if (Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
        PoStartNextPowerIrp(Irp);
        DecrementIoCount(extension);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        // Read without a lock by PowerUpRetryDpc.
        WriteNoFence(reinterpret_cast<volatile LONG *>(&extension->SystemPower),
                     stack->Parameters.Power.State.SystemState);
    }
    SendDevicePowerIrp(DeviceObject, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

constexpr LONG kSenderDone = 1;
constexpr LONG kCallbackDone = 2;

// The S-IRP carries its D-IRP's status already.
VOID FinishSystemIrp(PowerRequestContext *Context)
{
    DeviceExtension *extension = ExtensionOf(Context->DeviceObject);
    PIRP systemIrp = Context->SystemIrp;
    ExFreePool(Context);
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Information = 0;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    DecrementIoCount(extension);
}

}  // namespace

VOID SendDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP SystemIrp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(SystemIrp);
    const LONG systemState = stack->Parameters.Power.State.SystemState;
    NTSTATUS status;

    if (systemState < 0 || systemState >= static_cast<LONG>(PowerSystemMaximum)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        auto *context = static_cast<PowerRequestContext *>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequestContext), VEXTORA_POOL_TAG));
        if (context == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            context->DeviceObject = DeviceObject;
            context->SystemIrp = SystemIrp;
            context->Handoff = 0;
            POWER_STATE deviceState;
            deviceState.DeviceState = extension->Capabilities.DeviceState[systemState];
            // The S-IRP's own count is the requester's count of the D-IRP.
            status = PoRequestPowerIrp(extension->PhysicalDevice, stack->MinorFunction, deviceState, DevicePowerIrpDone,
                                       context, nullptr);
            if (status == STATUS_PENDING) {
                // The D-IRP can finish on another thread before this completion
                // routine has returned STATUS_MORE_PROCESSING_REQUIRED; the
                // S-IRP is completed only once both are done with it.
                if (InterlockedExchange(&context->Handoff, kSenderDone) == kCallbackDone) {
                    FinishSystemIrp(context);
                }
                return;
            }
            ExFreePool(context);
            // No IRP was sent, so no callback will finish the S-IRP; a success
            // status here must not pass for a finished transition.
            if (NT_SUCCESS(status)) {
                status = STATUS_UNSUCCESSFUL;
            }
        }
    }

    // The system is back in the working state but the device would stay in
    // its sleep state, handles open and every transfer failing, with nobody
    // left to ask for D0: ask again shortly. The S-IRP still reports the
    // failure; the power manager does not undo a resume for it. Armed before
    // the S-IRP's count goes, while the device surely still exists.
    if (stack->MinorFunction == IRP_MN_SET_POWER && systemState == PowerSystemWorking &&
        CurrentDevicePower(extension) != PowerDeviceD0) {
        RetryDevicePowerUp(extension);
    }
    PoStartNextPowerIrp(SystemIrp);
    SystemIrp->IoStatus.Information = 0;
    SystemIrp->IoStatus.Status = status;
    IoCompleteRequest(SystemIrp, IO_NO_INCREMENT);
    DecrementIoCount(extension);
}

VOID NTAPI DevicePowerIrpDone(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/, POWER_STATE /*PowerState*/,
                              PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    auto *context = static_cast<PowerRequestContext *>(Context);
    context->SystemIrp->IoStatus.Status = IoStatus->Status;
    if (InterlockedExchange(&context->Handoff, kCallbackDone) == kSenderDone) {
        FinishSystemIrp(context);
    }
}
