// The two ways a PnP handler hands its IRP to the lower drivers: passed on
// for good, or sent down and waited for.
#include "pnp/Pnp.h"

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ExtensionOf(DeviceObject)->LowerDevice, Irp);
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    // The waiting dispatch routine owns the IRP again and completes it; the
    // pending flag is not propagated because nobody returned STATUS_PENDING
    // for it above us.
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(ExtensionOf(DeviceObject)->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        // Set by SignalEventCompletion when the lower drivers complete the IRP.
        (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}
