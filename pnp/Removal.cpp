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

// IRP_MN_SURPRISE_REMOVAL. PASSIVE_LEVEL, blocks. Never fails: cancels
// wait-wake and waits until its request has ended, stops idle detection,
// enters SurpriseRemoved, disables and frees the interface link, deregisters
// WMI and aborts pipes with open handles, then passes the IRP down with success and returns the lower driver's
// status. The configuration records stay until the removal.
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    DisarmWaitWake(extension);
    StopIdleIfActive(extension);
    EnterDeviceState(extension, SurpriseRemoved);
    DisconnectFromSystem(extension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

// IRP_MN_REMOVE_DEVICE. PASSIVE_LEVEL; blocks until every outstanding request,
// a wait-wake request and a power-up retry included, has finished. Releases
// DispatchPnp's count and the base count, passes the IRP down with success,
// detaches and deletes the FDO (the DeviceExtension ends with it) and returns
// the lower driver's status.
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
    (void)KeWaitForSingleObject(&extension->RemoveReadyEvent, Executive, KernelMode, FALSE,
                                nullptr);
    (void)ReleaseConfiguration(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lowerDevice = extension->LowerDevice;
    const NTSTATUS status = IoCallDriver(lowerDevice, Irp);

    IoDetachDevice(lowerDevice);
    IoDeleteDevice(DeviceObject);
    return status;
}
