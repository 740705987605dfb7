// The device-control interface: eight METHOD_BUFFERED codes, each served to
// the end in the caller's thread.
#include "driver/Driver.h"
#include "io/ControlAnswers.h"
#include "io/Io.h"

namespace {

// Input the application must supply for IOCTL_GET_STRING_DESCRIPTOR: index,
// a byte not read, and the LANGID.
constexpr ULONG StringRequestInputLength = 4;
static_assert(sizeof(VEXTORA_STRING_REQUEST) == StringRequestInputLength, "public string request layout");

[[nodiscard]] NTSTATUS CopyConfigurationDescriptor(DeviceExtension *Extension, ULONG OutputLength, PVOID SystemBuffer,
                                                   PULONG Information)
{
    const UCHAR *stored = reinterpret_cast<const UCHAR *>(Extension->ConfigurationDescriptor);
    AnswerLength copy = ConfigurationDescriptorCopyLength(stored, Extension->ConfigurationDescriptorLength);
    if (copy.Verdict != AnswerVerdict::Accepted) {
        return STATUS_UNSUCCESSFUL;
    }
    if (OutputLength < copy.Length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (copy.Length != 0) {
        RtlCopyMemory(SystemBuffer, stored, copy.Length);
    }
    *Information = copy.Length;
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS ResetHandlePipe(PDEVICE_OBJECT DeviceObject, DeviceExtension *Extension, PFILE_OBJECT FileObject)
{
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    switch (PipeOfHandle(Extension, FileObject, &pipe)) {
    case HandleKind::Device: return STATUS_INVALID_PARAMETER;
    case HandleKind::StalePipe: return STATUS_INVALID_HANDLE;
    case HandleKind::Pipe: break;
    }
    return ResetPipe(DeviceObject, pipe);
}

// Serves one code. The caller holds an I/O count and saw Working after
// taking it, so the configuration records stay until it gives the count back.
[[nodiscard]] NTSTATUS ServeControl(PDEVICE_OBJECT DeviceObject, DeviceExtension *Extension, PIRP Irp,
                                    PULONG Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (code) {
    case IOCTL_GET_CONFIG_DESCRIPTOR:
    case IOCTL_RESET_DEVICE:
    case IOCTL_RESET_PIPE:
    case IOCTL_CLASS_READ_BLOCK:
    case IOCTL_CLASS_READ:
    case IOCTL_CLASS_OTHER_WRITE:
    case IOCTL_GET_DEVICE_DESCRIPTOR:
    case IOCTL_GET_STRING_DESCRIPTOR: break;
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
    // METHOD_BUFFERED gives a system buffer whenever either length is not 0.
    if (outputLength != 0 && buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (code) {
    case IOCTL_GET_CONFIG_DESCRIPTOR: return CopyConfigurationDescriptor(Extension, outputLength, buffer, Information);
    case IOCTL_RESET_DEVICE: return ResetDevice(DeviceObject);
    case IOCTL_RESET_PIPE: return ResetHandlePipe(DeviceObject, Extension, stack->FileObject);
    case IOCTL_CLASS_READ_BLOCK: return HandleClassReadBlock(DeviceObject, outputLength, buffer, Information);
    case IOCTL_CLASS_READ: return HandleClassRead(DeviceObject, outputLength, buffer, Information);
    case IOCTL_CLASS_OTHER_WRITE:
        // The data is the input; its length is the output length. Sending
        // more than the caller supplied would put stale system-buffer bytes
        // on the bus.
        if (inputLength < outputLength) {
            return STATUS_INVALID_PARAMETER;
        }
        return HandleClassOtherWrite(DeviceObject, outputLength, buffer);
    case IOCTL_GET_DEVICE_DESCRIPTOR: return HandleGetDeviceDescriptor(DeviceObject, outputLength, buffer, Information);
    case IOCTL_GET_STRING_DESCRIPTOR:
        if (inputLength < StringRequestInputLength || buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        return HandleGetStringDescriptor(DeviceObject, outputLength, buffer, Information);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    ULONG information = 0;
    NTSTATUS status;
    bool counted = false;
    if (CurrentDeviceState(extension) != Working) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        // No count is held while waiting, as for reads and writes: the idle
        // request ends only after the idle callback has returned, and that
        // callback waits for a power-down that drains device I/O. The open of
        // this handle cancelled the request, so the bus ends it.
        if (ReadULongNoFence(&extension->IdleSuspendActive) != 0) {
            KeWaitForSingleObject(&extension->NoIdleRequestEvent, Executive, KernelMode, FALSE, nullptr);
        }
        BeginDeviceIo(extension);
        counted = true;
        // A stop may have run between the state check and the count.
        if (CurrentDeviceState(extension) != Working) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            status = ServeControl(DeviceObject, extension, Irp, &information);
        }
    }
    if (status != STATUS_SUCCESS) {
        information = 0;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (counted) {
        EndDeviceIo(extension);
    }
    return status;
}
