// Bulk and interrupt transfers: reads and writes on pipe handles, sent to the
// bus driver straight from the caller's locked pages.
#include "driver/Driver.h"
#include "io/Io.h"
#include "io/PoolBlock.h"

namespace {

// Frees an MDL of IoAllocateMdl unless it has been handed on.
class MdlBlock {
public:
    explicit MdlBlock(PMDL Allocated) : Mdl(Allocated) {}
    ~MdlBlock()
    {
        if (Mdl != nullptr) {
            IoFreeMdl(Mdl);
        }
    }
    MdlBlock(const MdlBlock &) = delete;
    MdlBlock &operator=(const MdlBlock &) = delete;
    explicit operator bool() const { return Mdl != nullptr; }
    PMDL Get() const { return Mdl; }
    PMDL Release()
    {
        PMDL mdl = Mdl;
        Mdl = nullptr;
        return mdl;
    }

private:
    PMDL Mdl;
};

bool IsTransferPipe(const USBD_PIPE_INFORMATION *Pipe)
{
    return Pipe->PipeType == UsbdPipeTypeBulk || Pipe->PipeType == UsbdPipeTypeInterrupt;
}

// Builds the transfer for Irp and sends it down. Returns STATUS_PENDING once
// the IRP is the lower driver's, else the status to refuse it with. The
// caller holds an I/O count across the call, which keeps Pipe (and the
// configuration it lives in) valid for the recovery after a refused transfer.
NTSTATUS SendTransfer(PDEVICE_OBJECT DeviceObject, DeviceExtension *Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const bool read = stack->MajorFunction == IRP_MJ_READ;

    // A stop may have run between the first state check and our count;
    // seeing Working again under the count settles it.
    if (CurrentDeviceState(Extension) != Working) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    if (PipeOfHandle(Extension, stack->FileObject, &pipe) != HandleKind::Pipe || !IsTransferPipe(pipe)) {
        return STATUS_INVALID_HANDLE;
    }

    PoolBlock<TransferContext> context(sizeof(TransferContext));
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
    MdlBlock partial(IoAllocateMdl(address, length, FALSE, FALSE, nullptr));
    if (!partial) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(callerMdl, partial.Get(), address, length);
    PoolBlock<URB> urb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb.Get(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    struct _URB_BULK_OR_INTERRUPT_TRANSFER &transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe->PipeHandle;
    transfer.TransferFlags = USBD_SHORT_TRANSFER_OK | (read ? USBD_TRANSFER_DIRECTION_IN : 0);
    transfer.TransferBufferLength = length;
    transfer.TransferBuffer = nullptr;
    transfer.TransferBufferMDL = partial.Get();
    transfer.UrbLink = nullptr;

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
    IncrementIoCount(Extension);
    NTSTATUS lower = IoCallDriver(Extension->LowerDevice, Irp);

    // The request has been completed with this status already; the resets
    // are for the transfers that follow. A cancelled transfer or a vanished
    // device needs none.
    if (!NT_SUCCESS(lower) && lower != STATUS_CANCELLED && lower != STATUS_DEVICE_NOT_CONNECTED) {
        if (!NT_SUCCESS(ResetPipe(DeviceObject, pipe))) {
            (void)ResetDevice(DeviceObject);
        }
    }
    return STATUS_PENDING;
}

} // namespace

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
        IncrementIoCount(extension);
        status = SendTransfer(DeviceObject, extension, Irp);
        DecrementIoCount(extension);
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
    if (NT_SUCCESS(status)) {
        // Never report more than the caller's buffer, whatever the bus says.
        ULONG moved = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        ULONG asked = MmGetMdlByteCount(context->Mdl);
        Irp->IoStatus.Information = moved < asked ? moved : asked;
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    DeviceExtension *extension = context->Extension;
    ExFreePool(context->Urb);
    IoFreeMdl(context->Mdl);
    ExFreePool(context);
    // Last: once the count is back, a removal may go ahead and check that
    // nothing of this device is left.
    DecrementIoCount(extension);
    return status;
}
