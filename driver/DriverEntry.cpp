#include "driver/Driver.h"
#include "io/Io.h"
#include "pnp/Pnp.h"
#include "power/Power.h"
#include "wmi/Wmi.h"

// The system's entry point. PASSIVE_LEVEL, system thread. Returns
// STATUS_SUCCESS with the dispatch table, DriverUnload and AddDevice
// installed; STATUS_INSUFFICIENT_RESOURCES (no pool for the registry path
// copy) or STATUS_INVALID_PARAMETER (a path too long to copy with a
// terminator) with nothing installed, so the load fails.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // MaximumLength is a USHORT: a path whose Length leaves no room for the
    // terminator would wrap it and the copy would overrun the buffer.
    if (RegistryPath->Length > 0xFFFF - sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    SavedRegistryPath.Length = RegistryPath->Length;
    SavedRegistryPath.MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
    SavedRegistryPath.Buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, SavedRegistryPath.MaximumLength, VEXTORA_POOL_TAG));
    if (SavedRegistryPath.Buffer == nullptr) {
        SavedRegistryPath.Length = 0;
        SavedRegistryPath.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(SavedRegistryPath.Buffer, SavedRegistryPath.MaximumLength);
    RtlMoveMemory(SavedRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Every device object has been removed by now; only the
// registry path copy is left to give back.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (SavedRegistryPath.Buffer != nullptr) {
        ExFreePool(SavedRegistryPath.Buffer);
        SavedRegistryPath.Buffer = nullptr;
        SavedRegistryPath.Length = 0;
        SavedRegistryPath.MaximumLength = 0;
    }
}
