#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "pnp/StateChange.h"
#include "power/Power.h"

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
    ReleaseConfiguration(DeviceObject);
    const NTSTATUS deconfigureStatus = DeconfigureDevice(DeviceObject);

    return PassDown(DeviceObject, Irp, deconfigureStatus);
}
