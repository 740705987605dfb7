// Bulk and interrupt transfers: reads and writes on pipe handles, sent to the
// bus driver straight from the caller's locked pages.
#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "driver/UrbBuilders.h"
#include "io/Io.h"

namespace {

[[nodiscard]] bool IsTransferPipe(const USBD_PIPE_INFORMATION *Pipe)
{
    return Pipe->PipeType == UsbdPipeTypeBulk || Pipe->PipeType == UsbdPipeTypeInterrupt;
}

// A read needs an IN endpoint and a write an OUT one (USB 2.0, 9.6.6): the
// other way round the device would be sent the caller's read buffer, or the
// caller's write buffer overwritten.
[[nodiscard]] bool DirectionMatches(const USBD_PIPE_INFORMATION *Pipe, bool Read)
{
    return (USB_ENDPOINT_DIRECTION_IN(Pipe->EndpointAddress) != 0) == Read;
}

// The bytes a completed transfer moved, as the bus reported them in the
// request block, never more than the caller's buffer. The bus writes the
// count whenever it worked on the transfer, also when it then failed (a
// cancel half-way, a stall); a request it refused before moving anything
// (a request error of class 0x8xxxxxxx) or never saw (the status still the
// USBD_STATUS_PENDING it was sent with) moved nothing.
ULONG BytesMoved(const struct _URB_BULK_OR_INTERRUPT_TRANSFER &Transfer, NTSTATUS Status, ULONG Asked)
{
    const USBD_STATUS usbd = Transfer.Hdr.Status;
    if (!NT_SUCCESS(Status) && (USBD_PENDING(usbd) || (USBD_ERROR(usbd) && !USBD_HALTED(usbd)))) {
        return 0;
    }
    return Transfer.TransferBufferLength < Asked ? Transfer.TransferBufferLength : Asked;
}

// Builds the transfer for Irp and sends it down. Returns STATUS_PENDING once
// the IRP is the lower driver's, else the status to refuse it with. The
// caller holds an I/O count across the call, which keeps Pipe (and the
// configuration it lives in) valid for the recovery after a refused transfer.
[[nodiscard]] NTSTATUS SendTransfer(PDEVICE_OBJECT DeviceObject, DeviceExtension *Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const bool read = stack->MajorFunction == IRP_MJ_READ;
    // The I/O manager keeps the file object until this routine has returned,
    // however soon the IRP completes; the IRP itself is not touched after it
    // has been sent.
    PFILE_OBJECT fileObject = stack->FileObject;

    // A stop may have run between the first state check and our count;
    // seeing Working again under the count settles it.
    if (CurrentDeviceState(Extension) != Working) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    if (PipeOfHandle(Extension, fileObject, &pipe) != HandleKind::Pipe || !IsTransferPipe(pipe)) {
        return STATUS_INVALID_HANDLE;
    }
    if (!DirectionMatches(pipe, read)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The handle's cleanup has run: nothing may start on it any more.
    if (HandleCleanedUp(fileObject)) {
        return STATUS_CANCELLED;
    }

    PoolPointer<TransferContext> context(AllocateNonPaged<TransferContext>(sizeof(TransferContext)));
    if (!context) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PMDL callerMdl = Irp->MdlAddress;
    if (callerMdl == nullptr) {
        return STATUS_SUCCESS;
    }
    ULONG length = MmGetMdlByteCount(callerMdl);
    if (length > MaxTransferBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    PVOID address = MmGetMdlVirtualAddress(callerMdl);
    MdlPointer partial(IoAllocateMdl(address, length, FALSE, FALSE, nullptr));
    if (!partial) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(callerMdl, partial.Get(), address, length);
    PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    BuildTransferRequest(urb.Get(), pipe->PipeHandle, read, partial.Get(), length);

    TransferContext *owned = context.Release();
    owned->Urb = urb.Release();
    owned->Mdl = partial.Release();
    owned->Extension = Extension;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = owned->Urb;
    IoSetCompletionRoutine(Irp, ReadWriteCompletion, owned, TRUE, TRUE, TRUE);

    IoMarkIrpPending(Irp);
    BeginDeviceIo(Extension);
    NTSTATUS lower = IoCallDriver(Extension->LowerDevice, Irp);

    // The handle's cleanup may have aborted the pipe just before this
    // transfer reached the bus, and then nothing would end it. The cleanup
    // marks the handle before its abort, so a transfer the abort missed sees
    // the mark here. The pipe is this handle's alone.
    if (HandleCleanedUp(fileObject)) {
        // Nobody is left to tell: the handle is being closed.
        (void)AbortPipe(DeviceObject, pipe->PipeHandle);
    }

    // The request has been completed with this status already; the resets
    // are for the transfers that follow. A cancelled transfer or a vanished
    // device needs none.
    if (!NT_SUCCESS(lower) && lower != STATUS_CANCELLED && lower != STATUS_DEVICE_NOT_CONNECTED) {
        if (!NT_SUCCESS(ResetPipe(DeviceObject, pipe))) {
            // The last resort; the next transfer reports whatever is left.
            (void)ResetDevice(DeviceObject);
        }
    }
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    if (CurrentDeviceState(extension) != Working) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        // No count is held while waiting: an idle power-down that drains I/O
        // must not wait for a transfer that waits for the idle request.
        if (ReadULongNoFence(&extension->IdleSuspendActive) != 0) {
            KeWaitForSingleObject(&extension->NoIdleRequestEvent, Executive, KernelMode, FALSE, nullptr);
        }
        BeginDeviceIo(extension);
        status = SendTransfer(DeviceObject, extension, Irp);
        EndDeviceIo(extension);
    }
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI ReadWriteCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    TransferContext *context = static_cast<TransferContext *>(Context);
    NTSTATUS status = Irp->IoStatus.Status;
    // Also on failure: a write the device took half of before a cancel or a
    // stall must say so, or the application sends those bytes twice.
    Irp->IoStatus.Information =
        BytesMoved(context->Urb->UrbBulkOrInterruptTransfer, status, MmGetMdlByteCount(context->Mdl));
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    DeviceExtension *extension = context->Extension;
    ExFreePool(context->Urb);
    IoFreeMdl(context->Mdl);
    ExFreePool(context);
    // Last: once the count is back, a removal may go ahead and check that
    // nothing of this device is left.
    EndDeviceIo(extension);
    return status;
}
