#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "pnp/DescriptorCheck.h"

namespace {

// Bytes of a USBD_INTERFACE_INFORMATION that holds Pipes pipe entries.
SIZE_T InterfaceInformationBytes(ULONG Pipes)
{
    return FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + static_cast<SIZE_T>(Pipes) * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

NTSTATUS SelectInterfaces(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    const ULONG interfaceCount = ConfigurationDescriptor->bNumInterfaces;
    if (interfaceCount == 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    PoolPointer<USBD_INTERFACE_LIST_ENTRY> list(
        AllocateNonPaged<USBD_INTERFACE_LIST_ENTRY>((interfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (!list) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Interface numbers are one byte: past 255 nothing more can match, so a
    // descriptor that announces more interfaces than it holds ends here.
    ULONG filled = 0;
    for (ULONG number = 0; number < DescriptorCheck::kInterfaceNumberCount && filled < interfaceCount; ++number) {
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, static_cast<LONG>(number), 0, -1, -1, -1);
        if (found != nullptr) {
            list.Get()[filled].InterfaceDescriptor = found;
            list.Get()[filled].Interface = nullptr;
            ++filled;
        }
    }
    if (filled < interfaceCount) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    list.Get()[interfaceCount].InterfaceDescriptor = nullptr;
    list.Get()[interfaceCount].Interface = nullptr;

    PoolPointer<URB> urb(USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.Get()));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG pipe = 0; pipe < first->NumberOfPipes; ++pipe) {
        first->Pipes[pipe].MaximumTransferSize = PipeMaxTransferSize;
    }

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb.Get());
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Readers index Pipes by NumberOfPipes; the copy must really hold them.
    const ULONG pipeCount = first->NumberOfPipes;
    if (first->Length < InterfaceInformationBytes(pipeCount)) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    PUSBD_INTERFACE_INFORMATION interfaceInfo = AllocateNonPaged<USBD_INTERFACE_INFORMATION>(first->Length);
    if (interfaceInfo != nullptr) {
        RtlMoveMemory(interfaceInfo, first, first->Length);
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }

    LONG *pipeOpenCounts = nullptr;
    if (pipeCount != 0) {
        pipeOpenCounts = AllocateNonPaged<LONG>(pipeCount * sizeof(LONG));
        if (pipeOpenCounts != nullptr) {
            RtlZeroMemory(pipeOpenCounts, pipeCount * sizeof(LONG));
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    // A new generation: handles opened under earlier records no longer
    // match and never reach these through a stale FsContext.
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->ConfigurationLock, &oldIrql);
    extension->InterfaceInfo = interfaceInfo;
    extension->PipeOpenCounts = pipeOpenCounts;
    ++extension->ConfigurationGeneration;
    KeReleaseSpinLock(&extension->ConfigurationLock, oldIrql);
    return status;
}
