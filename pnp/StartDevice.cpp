#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "pnp/StateChange.h"
#include "power/Power.h"

namespace {

// Whether the device is started and still configured: Working, or a query
// that the PnP manager answers with a start instead of a stop or a cancel.
[[nodiscard]] bool StillStarted(DeviceExtension *Extension)
{
    const enum DeviceState state = CurrentDeviceState(Extension);
    return (state == Working || state == PendingStop || state == PendingRemove) && Extension->InterfaceInfo != nullptr;
}

}  // namespace

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (StillStarted(extension)) {
        // Configuring again would free the records that open handles and
        // transfers in flight use, forget the outstanding wait-wake request
        // (a second one is refused, and the next removal waits for ever for
        // the first) and reset the idle bookkeeping under a pending request.
        const NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
        if (NT_SUCCESS(status) && CurrentDeviceState(extension) != Working) {
            EnterDeviceState(extension, Working);
        }
        return status;
    }

    PreparePowerManagement(extension);

    // The records are normally gone already (never configured, or freed by
    // the stop). A start that follows a failed start still holds what that
    // one stored; free it instead of dropping the pointers.
    ReleaseConfiguration(DeviceObject);

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
        // Wake-up is a convenience: a device that cannot be armed still
        // starts, and the next system query or idle callback tries again.
        (void)IssueWaitWake(extension);
    }
    if (extension->WdmLevel == 0) {
        StartIdleDetection(extension);
    }
    return status;
}
