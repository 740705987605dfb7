#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "pnp/StateChange.h"
#include "power/Power.h"

// IRP_MN_START_DEVICE, from DispatchPnp, which completes the IRP with the
// returned status. PASSIVE_LEVEL, blocks. On success the device is configured,
// its interface enabled, DeviceState is Working, wait-wake is armed when the
// configuration supports remote wake-up and idle detection is started. On
// failure (the lower drivers' status, a configuration status, or the
// interface's) DeviceState is unchanged and nothing is started.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    PreparePowerManagement(extension);

    // The records are normally gone already (never configured, or freed by
    // the stop). A start that follows a failed start still holds what that
    // one stored; free it instead of dropping the pointers.
    (void)ReleaseConfiguration(DeviceObject);

    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadDescriptorsAndConfigure(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoSetDeviceInterfaceState(&extension->InterfaceLinkName, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    EnterDeviceState(extension, Working);

    // The last stop waited until its wait-wake request had ended, so nothing
    // else touches these fields now; then requests may be made again.
    (void)InterlockedExchange(&extension->WaitWakeOutstanding, 0);
    (void)InterlockedExchange(&extension->WaitWakeCancelled, 0);
    WritePointerNoFence(reinterpret_cast<PVOID volatile *>(&extension->WaitWakeIrp), nullptr);
    AllowWaitWake(extension);
    if (extension->RemoteWakeSupported != 0) {
        (void)IssueWaitWake(extension);
    }
    if (extension->WdmLevel == 0) {
        StartIdleDetection(extension);
    }
    return status;
}
