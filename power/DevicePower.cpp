#include "driver/Driver.h"
#include "power/Power.h"

namespace {

LONG RequestedDeviceState(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
}

VOID RecordDevicePower(PDEVICE_OBJECT DeviceObject, DeviceExtension *Extension, PIRP Irp)
{
    POWER_STATE state;
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(RequestedDeviceState(Irp));
    WriteNoFence(reinterpret_cast<volatile LONG *>(&Extension->DevicePower), state.DeviceState);
    PoSetPowerState(DeviceObject, DevicePowerState, state);
}

NTSTATUS PassDeviceIrpDown(DeviceExtension *Extension, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Completion, Extension, TRUE, TRUE, TRUE);
    (void)PoCallDriver(Extension->LowerDevice, Irp);
    return STATUS_PENDING;
}

NTSTATUS FailHeldIrp(DeviceExtension *Extension, PIRP Irp, NTSTATUS Status)
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
    NTSTATUS status = STATUS_SUCCESS;

    // A query for the current state or a lower one drains I/O like the
    // power-down it announces; a query to go up goes straight down.
    if (RequestedDeviceState(Irp) >= static_cast<LONG>(CurrentDevicePower(extension))) {
        status = HoldIoForPowerDown(DeviceObject, Irp);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
        return FailHeldIrp(extension, Irp, status);
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
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
    (void)FinishDevicePowerUp(DeviceObject, Irp, extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FinishDevicePowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, DeviceExtension *Extension)
{
    RecordDevicePower(DeviceObject, Extension, Irp);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(Extension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DevicePowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceExtension *extension = static_cast<DeviceExtension *>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status) &&
        IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        RecordDevicePower(DeviceObject, extension, Irp);
    }
    PoStartNextPowerIrp(Irp);
    DecrementIoCount(extension);
    return STATUS_SUCCESS;
}

NTSTATUS HoldIoForPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto *context = static_cast<HoldIoContext *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(HoldIoContext), VEXTORA_POOL_TAG));
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
    // waiting for data would otherwise hold the transition, set or query, for
    // ever. The application gets STATUS_CANCELLED and can ask again.
    BOOLEAN aborted = AbortTransfersForPowerDown(extension);

    // Give back the D-IRP's own count and, when this driver asked for a D-IRP
    // and still holds a requester count for it, that one too; a D-IRP from
    // another component has none, and giving back two would let the count
    // reach 0 and release a removal early.
    DecrementIoCount(extension);
    const BOOLEAN lent = LendRequesterCount(extension);
    // An abort that could not be sent is sent again until it goes out or the
    // I/O has drained anyway; until then the wait is bounded. (The event is a
    // synchronization event: one satisfied wait consumes it.)
    LARGE_INTEGER retryInterval;
    retryInterval.QuadPart = -100LL * 10000;  // 100 ms, relative
    while (KeWaitForSingleObject(&extension->NoIoInFlightEvent, Executive, KernelMode, FALSE,
                                 aborted ? nullptr : &retryInterval) == STATUS_TIMEOUT) {
        aborted = AbortTransfersForPowerDown(extension);
    }
    IncrementIoCount(extension);
    if (lent) {
        ReturnRequesterCount(extension);
    }

    // Freed before the IRP goes down: its completion can release a removal,
    // and the driver's unload after it, while this thread is still here.
    IoFreeWorkItem(context->WorkItem);
    ExFreePool(context);

    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DevicePowerDownCompletion, extension, TRUE, TRUE, TRUE);
    (void)PoCallDriver(extension->LowerDevice, irp);
}
