#include "pnp/Pnp.h"

NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (capabilities == nullptr || capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }

    capabilities->SurpriseRemovalOK = TRUE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = ForwardAndWait(DeviceObject, Irp);

    DEVICE_POWER_STATE idleState = PowerDeviceUnspecified;
    if (NT_SUCCESS(status)) {
        RtlMoveMemory(&extension->Capabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
        // The shallowest device state the bus maps a sleep state to, read
        // from S1 to S3; the last one that is above D3 wins.
        const SYSTEM_POWER_STATE sleepStates[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3};
        for (SYSTEM_POWER_STATE sleepState : sleepStates) {
            const DEVICE_POWER_STATE mapped = extension->Capabilities.DeviceState[sleepState];
            if (static_cast<LONG>(mapped) < static_cast<LONG>(PowerDeviceD3)) {
                idleState = mapped;
            }
        }
        // A lower driver may have cleared it on the way back.
        capabilities->SurpriseRemovalOK = TRUE;
    }
    if (idleState == PowerDeviceUnspecified || idleState == PowerDeviceD0) {
        idleState = PowerDeviceD2;
    }
    extension->IdlePowerState = idleState;
    return status;
}
