#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "pnp/StateChange.h"

namespace {

// Query-stop and query-remove: stop admitting application requests, let the
// ones in flight finish, then pass the query down. They never fail.
NTSTATUS QueryAndDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp, enum DeviceState PendingState)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    // The state changes first so nothing new is admitted while we drain; the
    // count DispatchPnp took goes back before the wait, or the count could
    // never fall to 1. Transfers still with the bus are aborted rather than
    // waited for: a read waiting for data that never comes would hold the
    // PnP thread for ever. They end with STATUS_CANCELLED, as they do at a
    // power-down; a cancel-stop or cancel-remove finds the handles usable.
    // NoIoInFlightEvent is set by the DecrementIoCount of the last request.
    EnterDeviceState(extension, PendingState);
    DecrementIoCount(extension);
    AbortTransfersAndWait(extension, &extension->NoIoInFlightEvent);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

// Cancel-stop and cancel-remove. In the matching pending state the lower
// drivers are waited for and the IRP is returned to DispatchPnp to complete;
// otherwise it is passed down with success and belongs to the lower drivers.
NTSTATUS CancelQuery(PDEVICE_OBJECT DeviceObject, PIRP Irp, enum DeviceState PendingState)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (CurrentDeviceState(extension) == PendingState) {
        const NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
        if (NT_SUCCESS(status)) {
            RestorePreviousDeviceState(extension);
        }
        return status;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

}  // namespace

// IRP_MN_QUERY_STOP_DEVICE. PASSIVE_LEVEL; blocks until the requests admitted
// before it have finished. Releases DispatchPnp's count itself, passes the
// IRP down and returns the lower driver's status.
NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return QueryAndDrain(DeviceObject, Irp, PendingStop);
}

// IRP_MN_QUERY_REMOVE_DEVICE. As HandleQueryStop, entering PendingRemove.
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return QueryAndDrain(DeviceObject, Irp, PendingRemove);
}

// IRP_MN_CANCEL_STOP_DEVICE. PASSIVE_LEVEL, blocks. In PendingStop the IRP
// comes back not completed with the lower drivers' status (DispatchPnp
// completes it) and, on success, the state before the query is restored.
// Otherwise it has been passed down and the lower driver's status returns.
NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CancelQuery(DeviceObject, Irp, PendingStop);
}

// IRP_MN_CANCEL_REMOVE_DEVICE. As HandleCancelStop, for PendingRemove.
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CancelQuery(DeviceObject, Irp, PendingRemove);
}
