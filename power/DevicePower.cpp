#include "driver/Driver.h"
#include "power/Power.h"

namespace {

LONG RequestedDeviceState(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState; }

VOID RecordDevicePower(PDEVICE_OBJECT DeviceObject, DeviceExtension *Extension, PIRP Irp)
{
    POWER_STATE state;
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(RequestedDeviceState(Irp));
    WriteNoFence(reinterpret_cast<volatile LONG *>(&Extension->DevicePower), state.DeviceState);
    PoSetPowerState(DeviceObject, DevicePowerState, state);
}

[[nodiscard]] NTSTATUS PassDeviceIrpDown(DeviceExtension *Extension, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Completion, Extension, TRUE, TRUE, TRUE);
    (void)PoCallDriver(Extension->LowerDevice, Irp);
    return STATUS_PENDING;
}

[[nodiscard]] NTSTATUS FailHeldIrp(DeviceExtension *Extension, PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(Extension);
    return Status;
}

}  // namespace

NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    const LONG requested = RequestedDeviceState(Irp);
    const LONG current = CurrentDevicePower(extension);

    if (requested < current) {
        return PassDeviceIrpDown(extension, Irp, DevicePowerUpCompletion);
    }
    if (current == PowerDeviceD0 && requested > current) {
        const NTSTATUS held = HoldIoForPowerDown(DeviceObject, Irp);
        if (NT_SUCCESS(held)) {
            return STATUS_PENDING;
        }
        return FailHeldIrp(extension, Irp, held);
    }
    return PassDeviceIrpDown(extension, Irp, DevicePowerDownCompletion);
}

NTSTATUS HandleDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    // A query only asks whether the device could go there. It neither waits
    // for I/O nor cancels any: it may be followed by a return to the working
    // state, and a read waiting for data would hold it for ever. The set
    // that actually lowers the device drains (HoldIoWorker).
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = PoCallDriver(extension->LowerDevice, Irp);
    DecrementIoCount(extension);
    return status;
}

NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        DecrementIoCount(extension);
        return STATUS_SUCCESS;
    }
    FinishDevicePowerUp(DeviceObject, Irp, extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID FinishDevicePowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, DeviceExtension *Extension)
{
    RecordDevicePower(DeviceObject, Extension, Irp);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(Extension);
}

NTSTATUS NTAPI DevicePowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status) && IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        RecordDevicePower(DeviceObject, extension, Irp);
    }
    PoStartNextPowerIrp(Irp);
    DecrementIoCount(extension);
    return STATUS_SUCCESS;
}

NTSTATUS HoldIoForPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *context =
        static_cast<HoldIoContext *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(HoldIoContext), VEXTORA_POOL_TAG));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_WORKITEM workItem = IoAllocateWorkItem(DeviceObject);
    if (workItem == nullptr) {
        ExFreePool(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->DeviceObject = DeviceObject;
    context->Irp = Irp;
    context->WorkItem = workItem;
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(workItem, HoldIoWorker, DelayedWorkQueue, context);
    return STATUS_PENDING;
}

VOID NTAPI HoldIoWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    auto *context = static_cast<HoldIoContext *>(Context);
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PIRP irp = context->Irp;

    // What the bus still holds is cancelled rather than waited for: a read
    // waiting for data would otherwise hold the power-down for ever. The
    // application gets STATUS_CANCELLED and can ask again.
    //
    // Only device I/O is waited for. This IRP's own count, its requester's
    // and those of other PnP and power requests stay held: their holders
    // (an idle callback, a system IRP waiting for its D-IRP, a PnP request
    // stopping idle detection) may be waiting for this very power-down.
    // NoDeviceIoEvent is set by EndDeviceIo when the last transfer, control
    // request or bus request ends.
    AbortTransfersAndWait(extension, &extension->NoDeviceIoEvent);

    // Freed before the IRP goes down: its completion can release a removal,
    // and the driver's unload after it, while this thread is still here.
    IoFreeWorkItem(context->WorkItem);
    ExFreePool(context);

    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DevicePowerDownCompletion, extension, TRUE, TRUE, TRUE);
    (void)PoCallDriver(extension->LowerDevice, irp);
}
