#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "pnp/StateChange.h"
#include "power/Power.h"

// IRP_MN_STOP_DEVICE. PASSIVE_LEVEL, blocks. Stops idle detection and
// wait-wake (waiting until a wait-wake request has ended), enters Stopped,
// frees the configuration records and unconfigures the device; the
// unconfigure status goes down in the IRP, which is passed to LowerDevice.
// Returns the lower driver's status. The device interface stays enabled and
// no pipe is aborted: the query-stop drained in-flight I/O.
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (extension->WdmLevel == 0 && ReadULongNoFence(&extension->IdleSuspendActive) != 0) {
        StopIdleDetection(extension);
    }
    // Waits for the request's end: the next start zeroes its fields.
    DisarmWaitWake(extension);
    EnterDeviceState(extension, Stopped);

    // The records go before the unconfigure request, so nothing can look up
    // a pipe whose handle the bus driver is about to close.
    (void)ReleaseConfiguration(DeviceObject);
    const NTSTATUS deconfigureStatus = DeconfigureDevice(DeviceObject);

    Irp->IoStatus.Status = deconfigureStatus;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}
