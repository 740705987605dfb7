#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "pnp/StateChange.h"
#include "power/Power.h"
#include "wmi/Wmi.h"

namespace {

// What surprise removal does, and removal when no surprise removal came
// first. Every result is ignored: these steps always run to the end.
void DisconnectFromSystem(DeviceExtension *Extension)
{
    (void)IoSetDeviceInterfaceState(&Extension->InterfaceLinkName, FALSE);
    RtlFreeUnicodeString(&Extension->InterfaceLinkName);
    (void)DeregisterWmi(Extension);
    (void)AbortOpenPipes(Extension->DeviceObject);
}

void StopIdleIfActive(DeviceExtension *Extension)
{
    if (Extension->WdmLevel == 0 && ReadULongNoFence(&Extension->IdleSuspendActive) != 0) {
        StopIdleDetection(Extension);
    }
}

}  // namespace

NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    DisarmWaitWake(extension);
    StopIdleIfActive(extension);
    EnterDeviceState(extension, SurpriseRemoved);
    DisconnectFromSystem(extension);

    return PassDown(DeviceObject, Irp, STATUS_SUCCESS);
}

NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    // Also after a surprise removal, which disarmed already: the device
    // object must not go while a wait-wake callback may still run on it.
    DisarmWaitWake(extension);
    if (CurrentDeviceState(extension) != SurpriseRemoved) {
        StopIdleIfActive(extension);
        DisconnectFromSystem(extension);
    }

    // Removed before the counts go, so nothing new takes one; the wait
    // before the frees, so no request still reads the records.
    EnterDeviceState(extension, Removed);
    CancelDevicePowerUpRetry(extension);
    DecrementIoCount(extension);
    DecrementIoCount(extension);
    (void)KeWaitForSingleObject(&extension->RemoveReadyEvent, Executive, KernelMode, FALSE, nullptr);
    ReleaseConfiguration(DeviceObject);

    const NTSTATUS status = PassDown(DeviceObject, Irp, STATUS_SUCCESS);

    IoDetachDevice(extension->LowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}
