#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "driver/UrbBuilders.h"

namespace {

// What a bus request is to the I/O accounting while it is out: a URB for
// the device is device I/O, which a power-down from D0 waits for (it holds a
// BeginDeviceIo count); a request about the hub's port holds none.
enum class BusRequestKind { DeviceIo, PortRequest };

// Sends one internal device-control request to the lower device and waits
// for it. The I/O manager owns and frees the IRP; the event and status block
// stay valid because we return only after the IRP has completed.
[[nodiscard]] NTSTATUS CallLowerAndWait(DeviceExtension *Extension, ULONG IoControlCode, PVOID Argument1,
                                        BusRequestKind Kind)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->LowerDevice, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;

    if (Kind == BusRequestKind::DeviceIo) {
        BeginDeviceIo(Extension);
    }
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        // Set by the I/O manager when the bus driver completes the IRP.
        (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    if (Kind == BusRequestKind::DeviceIo) {
        EndDeviceIo(Extension);
    }
    return status;
}

}  // namespace

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return CallLowerAndWait(ExtensionOf(DeviceObject), IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, BusRequestKind::DeviceIo);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe)
{
    PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(struct _URB_PIPE_REQUEST)));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildPipeRequest(&urb->UrbPipeRequest, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe->PipeHandle);

    const NTSTATUS status = SubmitUrbSync(DeviceObject, urb.Get());
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    // On the stack rather than in pool: an abort is what lets a power-down,
    // a PnP query or a cleanup finish, so it must not depend on free memory.
    struct _URB_PIPE_REQUEST urb;
    BuildPipeRequest(&urb, URB_FUNCTION_ABORT_PIPE, PipeHandle);
    return SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(&urb));
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus)
{
    *PortStatus = 0;
    return CallLowerAndWait(ExtensionOf(DeviceObject), IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus,
                            BusRequestKind::PortRequest);
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject)
{
    return CallLowerAndWait(ExtensionOf(DeviceObject), IOCTL_INTERNAL_USB_RESET_PORT, nullptr,
                            BusRequestKind::PortRequest);
}

NTSTATUS ResetDevice(PDEVICE_OBJECT DeviceObject)
{
    ULONG portStatus = 0;
    const NTSTATUS status = GetPortStatus(DeviceObject, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Only a device that is attached but whose port the hub has disabled
    // (after an error) needs the port reset; anything else is left alone.
    if ((portStatus & USBD_PORT_ENABLED) == 0 && (portStatus & USBD_PORT_CONNECTED) != 0) {
        return ResetPort(DeviceObject);
    }
    return status;
}
