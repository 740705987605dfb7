#include "tools/passthrough/PassThrough.h"

namespace passthrough {

const GUID InterfaceClass = {0x3c1f7a52, 0x8d0e, 0x4b6f, {0x9a, 0x41, 0x27, 0x5e, 0xc3, 0x10, 0x6b, 0xd8}};

namespace {

constexpr ULONG kTag = 0x73736150;  // "Pass"
constexpr ULONG kMaxPipes = 8;

struct Extension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    UNICODE_STRING InterfaceName;
    PUSBD_INTERFACE_INFORMATION Interface;  // pool copy while started
    PUSB_CONFIGURATION_DESCRIPTOR Configuration;
};

Extension *Ext(PDEVICE_OBJECT device) { return static_cast<Extension *>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends irp (its next location set up) down and waits for it.
NTSTATUS CallAndWait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS SubmitUrb(Extension *ext, PURB urb)
{
    PIRP irp = IoAllocateIrp(ext->LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    const NTSTATUS status = CallAndWait(ext->LowerDevice, irp);
    IoFreeIrp(irp);
    return status;
}

void Unconfigure(Extension *ext)
{
    if (ext->Interface != nullptr) {
        ExFreePool(ext->Interface);
        ext->Interface = nullptr;
    }
    if (ext->Configuration != nullptr) {
        ExFreePool(ext->Configuration);
        ext->Configuration = nullptr;
    }
}

// Reads the configuration descriptor and selects it with the first
// interface; keeps a copy of the interface information for the pipes.
NTSTATUS Configure(Extension *ext)
{
    URB urb{};
    USB_CONFIGURATION_DESCRIPTOR head{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, nullptr, sizeof head, nullptr);
    NTSTATUS status = SubmitUrb(ext, &urb);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (head.wTotalLength < sizeof head) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    ext->Configuration =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, head.wTotalLength, kTag));
    if (ext->Configuration == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, ext->Configuration, nullptr,
                                 head.wTotalLength, nullptr);
    status = SubmitUrb(ext, &urb);
    if (!NT_SUCCESS(status) || urb.UrbControlDescriptorRequest.TransferBufferLength != head.wTotalLength) {
        Unconfigure(ext);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(ext->Configuration, ext->Configuration, -1, -1, -1, -1, -1);
    if (iface == nullptr || iface->bNumEndpoints > kMaxPipes) {
        Unconfigure(ext);
        return STATUS_DEVICE_DATA_ERROR;
    }
    USBD_INTERFACE_LIST_ENTRY list[2] = {{iface, nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(ext->Configuration, list);
    if (select == nullptr) {
        Unconfigure(ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SubmitUrb(ext, select);
    if (NT_SUCCESS(status)) {
        const USHORT length = list[0].Interface->Length;
        ext->Interface = static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, length, kTag));
        if (ext->Interface == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(ext->Interface, list[0].Interface, length);
        }
    }
    ExFreePool(select);
    if (!NT_SUCCESS(status)) {
        Unconfigure(ext);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension *ext = Ext(fdo);
    ext->Self = fdo;
    ext->Pdo = pdo;
    ext->LowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->LowerDevice == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoRegisterDeviceInterface(pdo, &InterfaceClass, nullptr, &ext->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->LowerDevice);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(Extension *ext, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->LowerDevice, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = Ext(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = CallAndWait(ext->LowerDevice, irp);
        if (NT_SUCCESS(status)) {
            status = Configure(ext);
        }
        if (NT_SUCCESS(status)) {
            (void)IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
        }
        return Complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        (void)IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
        (void)IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
        RtlFreeUnicodeString(&ext->InterfaceName);
        Unconfigure(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = PassDown(ext, irp);
        IoDetachDevice(ext->LowerDevice);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; return PassDown(ext, irp);
    default: return PassDown(ext, irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->LowerDevice, irp);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) { return PassDown(Ext(device), irp); }

// The pipe is the value of the file name's last character, a digit.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = Ext(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr || ext->Interface == nullptr) {
        return Complete(irp, STATUS_INVALID_DEVICE_STATE);
    }
    file->FsContext = nullptr;
    const USHORT chars = file->FileName.Length / sizeof(WCHAR);
    if (chars > 0) {
        const WCHAR last = file->FileName.Buffer[chars - 1];
        const ULONG index = static_cast<ULONG>(last - '0');
        if (last < '0' || last > '9' || index >= ext->Interface->NumberOfPipes) {
            return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
        }
        file->FsContext = &ext->Interface->Pipes[index];
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCloseOrCleanup(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI ReadWriteDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    PURB urb = static_cast<PURB>(context);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    ExFreePool(urb);
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto *pipe = stack->FileObject ? static_cast<PUSBD_PIPE_INFORMATION>(stack->FileObject->FsContext) : nullptr;
    if (pipe == nullptr) {
        return Complete(irp, STATUS_INVALID_HANDLE);
    }
    if (irp->MdlAddress == nullptr) {
        return Complete(irp, STATUS_SUCCESS);
    }
    auto *urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTag));
    if (urb == nullptr) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    const ULONG flags = USBD_SHORT_TRANSFER_OK | (stack->MajorFunction == IRP_MJ_READ ? USBD_TRANSFER_DIRECTION_IN : 0);
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle,
                                           nullptr, irp->MdlAddress, MmGetMdlByteCount(irp->MdlAddress), flags,
                                           nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, ReadWriteDone, urb, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    (void)IoCallDriver(ext->LowerDevice, irp);
    return STATUS_PENDING;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCloseOrCleanup;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCloseOrCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    return STATUS_SUCCESS;
}

}  // namespace passthrough
