// WMI registration, the system-control dispatch routine and the callbacks
// that serve the one data block (the debug output level).
#include "wmi/Wmi.h"

#include "driver/Driver.h"

ULONG DebugPrintLevel = 1;

// {78A8A1B8-6FF9-48B9-87FA-D1CAF6922D9D}, class ZelmoraDeviceInformation.
const GUID VextoraWmiGuid = {0x78A8A1B8, 0x6FF9, 0x48B9, {0x87, 0xFA, 0xD1, 0xCA, 0xF6, 0x92, 0x2D, 0x9D}};

namespace {

// GUID index 0 of every device's registration. WMILIB_CONTEXT wants a
// non-const pointer; nobody writes through it.
WMIGUIDREGINFO WmiGuidList[] = {
    {&VextoraWmiGuid, 1, 0},
};

constexpr ULONG DebugLevelGuidIndex = 0;
constexpr ULONG DebugLevelItemId = 1;
constexpr ULONG DebugLevelSize = sizeof(ULONG);

// Two devices of the driver may read and write the shared level at the same
// time from different WMI requests; a torn value is impossible for an aligned
// ULONG, and the NoFence accessors say so to the compiler and the race checker.
ULONG LoadDebugPrintLevel() { return ReadULongNoFence(&DebugPrintLevel); }

void StoreDebugPrintLevel(const UCHAR *Buffer)
{
    // WMI hands us the caller's bytes with no alignment promise.
    ULONG value;
    RtlCopyMemory(&value, Buffer, sizeof(value));
    WriteULongNoFence(&DebugPrintLevel, value);
}

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                            PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName, PDEVICE_OBJECT *Pdo)
{
    (void)InstanceName;  // WMI names the instance after the PDO
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &SavedRegistryPath;
    RtlInitUnicodeString(MofResourceName, VX_TEXT("MofResourceName"));
    *Pdo = extension->PhysicalDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                              ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer)
{
    (void)InstanceIndex;  // one instance per device: nothing to choose
    (void)InstanceCount;
    NTSTATUS status;
    ULONG size;

    if (GuidIndex != DebugLevelGuidIndex) {
        status = STATUS_WMI_GUID_NOT_FOUND;
        size = 0;
    } else if (BufferAvail < DebugLevelSize || Buffer == nullptr || InstanceLengthArray == nullptr) {
        // Report the size needed so that WMI can retry with a larger buffer.
        status = STATUS_BUFFER_TOO_SMALL;
        size = DebugLevelSize;
    } else {
        ULONG value = LoadDebugPrintLevel();
        RtlCopyMemory(Buffer, &value, sizeof(value));
        InstanceLengthArray[0] = DebugLevelSize;
        status = STATUS_SUCCESS;
        size = DebugLevelSize;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                            ULONG BufferSize, PUCHAR Buffer)
{
    (void)InstanceIndex;
    NTSTATUS status;
    ULONG size;

    if (GuidIndex != DebugLevelGuidIndex) {
        status = STATUS_WMI_GUID_NOT_FOUND;
        size = 0;
    } else if (BufferSize != DebugLevelSize || Buffer == nullptr) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        size = 0;
    } else {
        StoreDebugPrintLevel(Buffer);
        status = STATUS_SUCCESS;
        size = DebugLevelSize;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                           ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    (void)InstanceIndex;
    NTSTATUS status;
    ULONG size;

    if (GuidIndex != DebugLevelGuidIndex) {
        status = STATUS_WMI_GUID_NOT_FOUND;
        size = 0;
    } else if (DataItemId != DebugLevelItemId) {
        status = STATUS_WMI_ITEMID_NOT_FOUND;
        size = 0;
    } else if (BufferSize != DebugLevelSize || Buffer == nullptr) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        size = 0;
    } else {
        StoreDebugPrintLevel(Buffer);
        status = STATUS_SUCCESS;
        size = DebugLevelSize;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

}  // namespace

NTSTATUS RegisterWmi(DeviceExtension *Extension)
{
    WMILIB_CONTEXT &wmi = Extension->WmiLibInfo;
    wmi.GuidCount = sizeof(WmiGuidList) / sizeof(WmiGuidList[0]);
    wmi.GuidList = WmiGuidList;
    wmi.QueryWmiRegInfo = QueryRegInfo;
    wmi.QueryWmiDataBlock = QueryDataBlock;
    wmi.SetWmiDataBlock = SetDataBlock;
    wmi.SetWmiDataItem = SetDataItem;
    wmi.ExecuteWmiMethod = nullptr;
    wmi.WmiFunctionControl = nullptr;
    return IoWMIRegistrationControl(Extension->DeviceObject, WMIREG_ACTION_REGISTER);
}

NTSTATUS DeregisterWmi(DeviceExtension *Extension)
{
    return IoWMIRegistrationControl(Extension->DeviceObject, WMIREG_ACTION_DEREGISTER);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    SYSCTL_IRP_DISPOSITION disposition = IrpNotCompleted;

    // Counted before the state is read: a removal that enters Removed after
    // this read then waits for the count; one that entered it before is seen.
    IncrementIoCount(extension);
    if (CurrentDeviceState(extension) == Removed) {
        // The device object is about to go, or gone already but for the
        // sender's reference, which completing the IRP may drop: the count
        // goes back first, and nothing reaches WMI.
        DecrementIoCount(extension);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    status = WmiSystemControl(&extension->WmiLibInfo, DeviceObject, Irp, &disposition);

    switch (disposition) {
    case IrpProcessed:
        // The library has completed the IRP through one of our callbacks.
        break;
    case IrpNotCompleted:
        // The library served the request itself (registration info) and
        // left the completion, status set, to us.
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    default:
        // Not for this provider: the lower driver may know it.
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(extension->LowerDevice, Irp);
        break;
    }

    DecrementIoCount(extension);
    return status;
}
