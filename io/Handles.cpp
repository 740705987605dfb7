// Opening, closing and cleaning up handles on the device and on its pipes.
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "io/Io.h"
#include "io/PipeName.h"

namespace {

PipeNameIndex IndexOfName(PCUNICODE_STRING FileName)
{
    return PipeIndexFromName(FileName->Buffer, static_cast<unsigned int>(FileName->Length / 2));
}

// FsContext2 of a pipe handle: the generation of the configuration it was
// opened on, shifted left by one; bit 0 is set by its cleanup.
constexpr ULONG_PTR kCleanedUp = 1;

PVOID GenerationTag(ULONG Generation) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Generation) << 1); }

// Whether a pipe handle was opened on the configuration of Generation.
[[nodiscard]] bool OpenedOn(PFILE_OBJECT FileObject, ULONG Generation)
{
    const auto tag = reinterpret_cast<ULONG_PTR>(ReadPointerNoFence(&FileObject->FsContext2));
    return (tag & ~kCleanedUp) == reinterpret_cast<ULONG_PTR>(GenerationTag(Generation));
}

// FsContext2 of an accepted device handle. Only accepted creates are closed
// on Windows, but a close for a refused create (Wine sends one) must not give
// back the exclusive slot of the handle that holds it.
PVOID DeviceHandleTag(DeviceExtension *Extension) { return Extension; }

// The pipe index a name denotes in the present configuration, or -1.
// Caller holds ConfigurationLock.
LONG PipeIndexInConfiguration(const DeviceExtension *Extension, PipeNameIndex Index)
{
    if (!Index.Found || Index.Value >= PipeSlotLimit || Extension->PipeOpenCounts == nullptr ||
        Extension->InterfaceInfo == nullptr || Index.Value >= Extension->InterfaceInfo->NumberOfPipes) {
        return -1;
    }
    return static_cast<LONG>(Index.Value);
}

// Lowers a handle counter that someone else (AbortOpenPipes) may have set to
// 0 meanwhile; it never goes below 0.
void DecrementIfAboveZero(LONG volatile *Counter)
{
    LONG seen = ReadNoFence(Counter);
    while (seen > 0) {
        LONG before = InterlockedCompareExchange(Counter, seen - 1, seen);
        if (before == seen) {
            break;
        }
        seen = before;
    }
}

// Claims the exclusive slot of a counter; FALSE when it was already taken.
[[nodiscard]] bool ClaimExclusive(LONG volatile *Counter)
{
    if (InterlockedIncrement(Counter) > 1) {
        InterlockedDecrement(Counter);
        return false;
    }
    return true;
}

[[nodiscard]] NTSTATUS OpenHandle(DeviceExtension *Extension, PFILE_OBJECT FileObject)
{
    if (CurrentDeviceState(Extension) != Working) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The name's buffer may be paged: read it before raising IRQL.
    bool deviceHandle = true;
    PipeNameIndex index{false, 0};
    if (FileObject != nullptr && FileObject->FileName.Length != 0) {
        deviceHandle = false;
        index = IndexOfName(&FileObject->FileName);
    }

    // Under ConfigurationLock a stop cannot release InterfaceInfo and
    // PipeOpenCounts while they are looked at, and a pipe handle learns the
    // generation of exactly the records it was opened on.
    NTSTATUS status;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ConfigurationLock, &irql);
    if (Extension->InterfaceInfo == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (FileObject == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        FileObject->FsContext = nullptr;
        FileObject->FsContext2 = nullptr;
        if (deviceHandle) {
            status = ClaimExclusive(&Extension->DeviceHandleCount) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
            if (status == STATUS_SUCCESS) {
                FileObject->FsContext2 = DeviceHandleTag(Extension);
            }
        } else {
            LONG pipe = PipeIndexInConfiguration(Extension, index);
            if (pipe < 0) {
                status = STATUS_INVALID_PARAMETER;
            } else if (!ClaimExclusive(&Extension->PipeOpenCounts[pipe])) {
                status = STATUS_ACCESS_DENIED;
            } else {
                FileObject->FsContext = &Extension->InterfaceInfo->Pipes[pipe];
                FileObject->FsContext2 = GenerationTag(Extension->ConfigurationGeneration);
                status = STATUS_SUCCESS;
            }
        }
    }
    KeReleaseSpinLock(&Extension->ConfigurationLock, irql);

    if (status == STATUS_SUCCESS) {
        // Raised before CancelIdleRequest: the open handle is what makes
        // CanSuspend false, so a pending idle request is cancelled.
        InterlockedIncrement(&Extension->OpenHandleCount);
        if (ReadULongNoFence(&Extension->IdleSuspendActive) != 0) {
            CancelIdleRequest(Extension);
        }
    }
    return status;
}

// Gives back what an accepted handle holds; FALSE for a file object this
// device never accepted, which holds nothing.
[[nodiscard]] bool CloseHandle(DeviceExtension *Extension, PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr) {
        return false;
    }
    if (FileObject->FsContext == nullptr) {
        if (FileObject->FsContext2 != DeviceHandleTag(Extension)) {
            return false;
        }
        InterlockedDecrement(&Extension->DeviceHandleCount);
        return true;
    }
    if (FileObject->FileName.Length == 0) {
        return true;
    }
    PipeNameIndex index = IndexOfName(&FileObject->FileName);

    KIRQL irql;
    KeAcquireSpinLock(&Extension->ConfigurationLock, &irql);
    // A handle from a released configuration owns no counter of the present
    // one: lowering it would let a newer handle's pipe be opened twice.
    if (OpenedOn(FileObject, Extension->ConfigurationGeneration)) {
        LONG pipe = PipeIndexInConfiguration(Extension, index);
        if (pipe >= 0) {
            DecrementIfAboveZero(&Extension->PipeOpenCounts[pipe]);
        }
    }
    KeReleaseSpinLock(&Extension->ConfigurationLock, irql);
    return true;
}

VOID CompleteHandleRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    const NTSTATUS status = OpenHandle(ExtensionOf(DeviceObject), fileObject);
    CompleteHandleRequest(Irp, status);
    return status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    const bool accepted = CloseHandle(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    CompleteHandleRequest(Irp, STATUS_SUCCESS);
    if (accepted) {
        InterlockedDecrement(&extension->OpenHandleCount);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BeginDeviceIo(extension);

    // The handle is gone: what it still has with the bus is ended here, or a
    // read waiting for data would keep the pipe open, the device busy and a
    // removal waiting for ever. A pipe is open on one handle only, so every
    // transfer on it is this handle's. The mark comes first: a transfer sent
    // after the abort sees it and aborts the pipe itself (SendTransfer).
    // The pipe's record is read only in Working, seen under our count: a
    // stop frees the configuration, and the query before it waits for this
    // count, while one that came first has already ended every transfer.
    if (fileObject != nullptr && fileObject->FsContext != nullptr) {
        MarkHandleCleanedUp(fileObject);
    }
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    if (CurrentDeviceState(extension) == Working && PipeOfHandle(extension, fileObject, &pipe) == HandleKind::Pipe) {
        // A cleanup cannot fail; a transfer the abort missed sees the mark.
        (void)AbortPipe(DeviceObject, pipe->PipeHandle);
    }
    CompleteHandleRequest(Irp, STATUS_SUCCESS);
    EndDeviceIo(extension);
    return STATUS_SUCCESS;
}

VOID MarkHandleCleanedUp(PFILE_OBJECT FileObject)
{
    PVOID seen = ReadPointerNoFence(&FileObject->FsContext2);
    for (;;) {
        PVOID marked = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(seen) | kCleanedUp);
        PVOID before = InterlockedCompareExchangePointer(&FileObject->FsContext2, marked, seen);
        if (before == seen) {
            return;
        }
        seen = before;
    }
}

BOOLEAN HandleCleanedUp(PFILE_OBJECT FileObject)
{
    // Ordered with the mark, which the bus requests after it make visible to
    // any transfer they could have missed.
    PVOID tag = InterlockedCompareExchangePointer(&FileObject->FsContext2, nullptr, nullptr);
    return (reinterpret_cast<ULONG_PTR>(tag) & kCleanedUp) != 0 && FileObject->FsContext != nullptr;
}

HandleKind PipeOfHandle(DeviceExtension *Extension, PFILE_OBJECT FileObject, PUSBD_PIPE_INFORMATION *Pipe)
{
    if (FileObject == nullptr || FileObject->FsContext == nullptr) {
        return HandleKind::Device;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ConfigurationLock, &irql);
    bool current = Extension->InterfaceInfo != nullptr && OpenedOn(FileObject, Extension->ConfigurationGeneration);
    KeReleaseSpinLock(&Extension->ConfigurationLock, irql);
    if (!current) {
        return HandleKind::StalePipe;
    }
    *Pipe = static_cast<PUSBD_PIPE_INFORMATION>(FileObject->FsContext);
    return HandleKind::Pipe;
}
