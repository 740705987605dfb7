#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "driver/UrbBuilders.h"

NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(struct _URB_SELECT_CONFIGURATION)));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildDeconfigureRequest(urb.Get());
    return SubmitUrbSync(DeviceObject, urb.Get());
}

NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    PUSBD_INTERFACE_INFORMATION interfaceInfo = extension->InterfaceInfo;
    LONG *pipeOpenCounts = extension->PipeOpenCounts;
    if (interfaceInfo == nullptr || pipeOpenCounts == nullptr) {
        return STATUS_SUCCESS;
    }

    for (ULONG pipe = 0; pipe < interfaceInfo->NumberOfPipes; ++pipe) {
        if (ReadNoFence(&pipeOpenCounts[pipe]) <= 0) {
            continue;
        }
        const NTSTATUS status = AbortPipe(DeviceObject, interfaceInfo->Pipes[pipe].PipeHandle);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            return status;
        }
        if (NT_SUCCESS(status)) {
            WriteNoFence(&pipeOpenCounts[pipe], 0);
        }
    }
    return STATUS_SUCCESS;
}

VOID ReleaseConfiguration(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->ConfigurationLock, &oldIrql);
    PVOID records[] = {extension->ConfigurationDescriptor, extension->InterfaceInfo, extension->PipeOpenCounts};
    extension->ConfigurationDescriptor = nullptr;
    extension->ConfigurationDescriptorLength = 0;
    extension->InterfaceInfo = nullptr;
    extension->PipeOpenCounts = nullptr;
    if (records[0] != nullptr || records[1] != nullptr || records[2] != nullptr) {
        ++extension->ConfigurationGeneration;
    }
    KeReleaseSpinLock(&extension->ConfigurationLock, oldIrql);

    for (PVOID record : records) {
        if (record != nullptr) {
            ExFreePool(record);
        }
    }
}
