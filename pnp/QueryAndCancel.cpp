#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "pnp/StateChange.h"

namespace {

// Query-stop and query-remove: stop admitting application requests, let the
// ones in flight finish, then pass the query down. They never fail.
[[nodiscard]] NTSTATUS QueryAndDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp, enum DeviceState PendingState)
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

    return PassDown(DeviceObject, Irp, STATUS_SUCCESS);
}

// Cancel-stop and cancel-remove. In the matching pending state the lower
// drivers are waited for and the IRP is returned to DispatchPnp to complete;
// otherwise it is passed down with success and belongs to the lower drivers.
[[nodiscard]] NTSTATUS CancelQuery(PDEVICE_OBJECT DeviceObject, PIRP Irp, enum DeviceState PendingState)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (CurrentDeviceState(extension) == PendingState) {
        const NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
        if (NT_SUCCESS(status)) {
            RestorePreviousDeviceState(extension);
        }
        return status;
    }

    return PassDown(DeviceObject, Irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return QueryAndDrain(DeviceObject, Irp, PendingStop);
}

NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return QueryAndDrain(DeviceObject, Irp, PendingRemove);
}

NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CancelQuery(DeviceObject, Irp, PendingStop); }

NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CancelQuery(DeviceObject, Irp, PendingRemove);
}
