#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "idle/Idle.h"

namespace {

// How a PnP request leaves DispatchPnp.
enum class Finish {
    Complete,         // complete it here with the handler's status, then release the count
    Passed,           // passed down by the handler or here; release the count
    CountReleased,    // passed down by a handler that gave the count back itself
    CompleteRemoved,  // device already removed: complete, no count was taken
};

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    Finish finish;

    if (CurrentDeviceState(extension) == Removed) {
        status = STATUS_DELETE_PENDING;
        finish = Finish::CompleteRemoved;
    } else {
        IncrementIoCount(extension);
        const UCHAR minorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

        // Taken after the count: with OutstandingIo at 2 or more the device
        // cannot suspend, so a pending idle request is always cancelled.
        if (minorFunction != IRP_MN_START_DEVICE && ReadULongNoFence(&extension->IdleSuspendActive) != 0) {
            CancelIdleRequest(extension);
        }

        switch (minorFunction) {
        case IRP_MN_START_DEVICE:
            status = HandleStartDevice(DeviceObject, Irp);
            finish = Finish::Complete;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            status = HandleQueryStop(DeviceObject, Irp);
            finish = Finish::CountReleased;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            status = HandleQueryRemove(DeviceObject, Irp);
            finish = Finish::CountReleased;
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = HandleRemoveDevice(DeviceObject, Irp);
            finish = Finish::CountReleased;
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            // Only a cancel that finds the pending state waits for the lower
            // drivers and comes back to be completed here.
            finish = CurrentDeviceState(extension) == PendingStop ? Finish::Complete : Finish::Passed;
            status = HandleCancelStop(DeviceObject, Irp);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            finish = CurrentDeviceState(extension) == PendingRemove ? Finish::Complete : Finish::Passed;
            status = HandleCancelRemove(DeviceObject, Irp);
            break;
        case IRP_MN_STOP_DEVICE:
            status = HandleStopDevice(DeviceObject, Irp);
            finish = Finish::Passed;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            status = HandleSurpriseRemoval(DeviceObject, Irp);
            finish = Finish::Passed;
            break;
        case IRP_MN_QUERY_CAPABILITIES:
            status = HandleQueryCapabilities(DeviceObject, Irp);
            finish = Finish::Complete;
            break;
        default:
            IoSkipCurrentIrpStackLocation(Irp);
            status = IoCallDriver(extension->LowerDevice, Irp);
            finish = Finish::Passed;
            break;
        }
    }

    if (finish == Finish::Complete || finish == Finish::CompleteRemoved) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    if (finish == Finish::Complete || finish == Finish::Passed) {
        DecrementIoCount(extension);
    }
    return status;
}
