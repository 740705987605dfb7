#include "ToyStack.h"

#include <cstring>
#include <new>

#include <gtest/gtest.h>
#include <deque>
#include <mutex>

namespace toy {

namespace {

Config g_config;
std::mutex g_readsLock;
std::deque<PIRP> g_pendingReads;
std::atomic<bool> g_holdDevicePower{false};
std::atomic<int> g_devicePowerSeen{0};
std::mutex g_heldPowerLock;
std::vector<PIRP> g_heldPower;

UNICODE_STRING g_registryPath = {
    static_cast<USHORT>(sizeof(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\toy") - 2),
    static_cast<USHORT>(sizeof(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\toy")),
    const_cast<PWSTR>(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\toy")};

// ---------------------------------------------------------------------------
// The bus driver's PDO
// ---------------------------------------------------------------------------
struct PdoExtension {
    Bus *Owner;
    PVOID volatile WaitWake;
};

VOID NTAPI WaitWakeCancel(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto *ext = static_cast<PdoExtension *>(Device->DeviceExtension);
    (void)InterlockedCompareExchangePointer(&ext->WaitWake, nullptr, Irp);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI PdoDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    auto *ext = static_cast<PdoExtension *>(Device->DeviceExtension);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (location->MajorFunction) {
    case IRP_MJ_PNP:
        switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
                caps->DeviceState[s] = PowerDeviceD3;
            }
            caps->SystemWake = PowerSystemSleeping3;
            caps->DeviceWake = PowerDeviceD2;
            caps->Removable = 1;
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;
        }
        break;
    case IRP_MJ_POWER:
        if (location->MinorFunction == IRP_MN_WAIT_WAKE) {
            IoMarkIrpPending(Irp);
            (void)IoSetCancelRoutine(Irp, WaitWakeCancel);
            (void)InterlockedExchangePointer(&ext->WaitWake, Irp);
            if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
                (void)InterlockedCompareExchangePointer(&ext->WaitWake, nullptr, Irp);
                Irp->IoStatus.Status = STATUS_CANCELLED;
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
            }
            return STATUS_PENDING;
        }
        if (location->Parameters.Power.Type == DevicePowerState &&
            (location->MinorFunction == IRP_MN_SET_POWER ||
             location->MinorFunction == IRP_MN_QUERY_POWER)) {
            ++g_devicePowerSeen;
            if (g_holdDevicePower.load()) {
                IoMarkIrpPending(Irp);
                std::lock_guard lock(g_heldPowerLock);
                g_heldPower.push_back(Irp);
                return STATUS_PENDING;
            }
        }
        PoStartNextPowerIrp(Irp);
        if (location->MinorFunction == IRP_MN_SET_POWER ||
            location->MinorFunction == IRP_MN_QUERY_POWER) {
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------
// The function driver
// ---------------------------------------------------------------------------
struct ToyExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    UNICODE_STRING Link;
    KTIMER Timer;
    KDPC Dpc;
    KEVENT WorkDone;
    LONG WorkQueued;
    LONG Detached;
    WMILIB_CONTEXT Wmi;
    WMIGUIDREGINFO WmiGuid;
};

ToyExtension *Ext(PDEVICE_OBJECT Device) { return static_cast<ToyExtension *>(Device->DeviceExtension); }

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PassDown(ToyExtension *ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->Lower, Irp);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(ToyExtension *ext, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->Lower, Irp);
    if (status == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

VOID NTAPI TimerDpc(PKDPC, PVOID, PVOID, PVOID) { ++g_config.Record.TimerFires; }

VOID NTAPI Worker(PDEVICE_OBJECT Device, PVOID Context)
{
    auto *item = static_cast<PIO_WORKITEM>(Context);
    ++g_config.Record.WorkItems;
    IoFreeWorkItem(item);
    KeSetEvent(&Ext(Device)->WorkDone, IO_NO_INCREMENT, FALSE);
}

void StopActivity(ToyExtension *ext)
{
    (void)KeCancelTimer(&ext->Timer);
    (void)KeRemoveQueueDpc(&ext->Dpc);
    KeFlushQueuedDpcs();
    if (InterlockedExchange(&ext->WorkQueued, 0) != 0) {
        (void)KeWaitForSingleObject(&ext->WorkDone, Executive, KernelMode, FALSE, nullptr);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    ToyExtension *ext = Ext(Device);
    const Faults &fault = g_config.Fault;
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    g_config.Record.PnpMinors.push_back(minor);
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status) && fault.FailStart) {
            status = STATUS_UNSUCCESSFUL;
        }
        if (NT_SUCCESS(status)) {
            status = IoSetDeviceInterfaceState(&ext->Link, TRUE);
        }
        if (NT_SUCCESS(status) && g_config.StartTimer) {
            LARGE_INTEGER due;
            due.QuadPart = -50000000LL;
            (void)KeSetTimerEx(&ext->Timer, due, 5000, &ext->Dpc);
        }
        if (NT_SUCCESS(status) && g_config.QueueWorkItem) {
            PIO_WORKITEM item = IoAllocateWorkItem(Device);
            if (item != nullptr) {
                KeClearEvent(&ext->WorkDone);
                (void)InterlockedExchange(&ext->WorkQueued, 1);
                IoQueueWorkItem(item, Worker, DelayedWorkQueue, item);
            }
        }
        return Complete(Irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if ((minor == IRP_MN_QUERY_STOP_DEVICE && fault.FailQueryStop) ||
            (minor == IRP_MN_QUERY_REMOVE_DEVICE && fault.FailQueryRemove)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (fault.FailCancelStop) {
            return Complete(Irp, STATUS_UNSUCCESSFUL);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, Irp);
    case IRP_MN_STOP_DEVICE:
        StopActivity(ext);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        if (fault.FailSurpriseRemoval) {
            return Complete(Irp, STATUS_UNSUCCESSFUL);
        }
        StopActivity(ext);
        (void)IoSetDeviceInterfaceState(&ext->Link, FALSE);
        if (fault.DetachOnSurprise) {
            (void)InterlockedExchange(&ext->Detached, 1);
            IoDetachDevice(ext->Lower);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (fault.FailRemove) {
            return Complete(Irp, STATUS_UNSUCCESSFUL);
        }
        StopActivity(ext);
        (void)IoSetDeviceInterfaceState(&ext->Link, FALSE);
        RtlFreeUnicodeString(&ext->Link);
        if (!fault.SkipWmiDeregister) {
            (void)IoWMIRegistrationControl(Device, WMIREG_ACTION_DEREGISTER);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->Lower;
        IoSkipCurrentIrpStackLocation(Irp);
        const NTSTATUS status = IoCallDriver(lower, Irp);
        if (!fault.KeepDeviceOnRemove) {
            if (InterlockedExchange(&ext->Detached, 1) == 0) {
                IoDetachDevice(lower);
            }
            IoDeleteDevice(Device);
        }
        return status;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        if (fault.NestedPnp) {
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
            PIRP own = IoAllocateIrp(top->StackSize, FALSE);
            if (own != nullptr) {
                KEVENT done;
                KeInitializeEvent(&done, NotificationEvent, FALSE);
                own->IoStatus.Status = STATUS_NOT_SUPPORTED;
                PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
                next->MajorFunction = IRP_MJ_PNP;
                next->MinorFunction = IRP_MN_QUERY_ID;
                IoSetCompletionRoutine(own, SignalEvent, &done, TRUE, TRUE, TRUE);
                if (IoCallDriver(top, own) == STATUS_PENDING) {
                    (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
                }
                IoFreeIrp(own);
            }
            ObDereferenceObject(top);
        }
        return PassDown(ext, Irp);
    default:
        return PassDown(ext, Irp);
    }
}

VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK Status)
{
    auto *systemIrp = static_cast<PIRP>(Context);
    systemIrp->IoStatus.Status = Status->Status;
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemSetDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    const SYSTEM_POWER_STATE s = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    g_config.Record.LastSystemState = s;
    POWER_STATE d;
    d.DeviceState = s == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    const NTSTATUS status =
        PoRequestPowerIrp(Ext(Device)->Pdo, IRP_MN_SET_POWER, d, DevicePowerDone, Irp, nullptr);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    ToyExtension *ext = Ext(Device);
    const Faults &fault = g_config.Fault;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = location->MinorFunction;
    const bool setOrQuery = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
    g_config.Record.PowerIrps.push_back(
        {minor, location->Parameters.Power.Type,
         minor == IRP_MN_WAIT_WAKE ? static_cast<ULONG>(location->Parameters.WaitWake.PowerState)
                                   : static_cast<ULONG>(location->Parameters.Power.State.SystemState)});
    if (minor == IRP_MN_SET_POWER && location->Parameters.Power.Type == SystemPowerState &&
        g_config.PowerPolicyOwner && !fault.SkipStartNext && !fault.StartNextLate &&
        !fault.StartNextTwice && !fault.PowerWithIofCallDriver) {
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SystemSetDone, nullptr, TRUE, TRUE, TRUE);
        (void)PoCallDriver(ext->Lower, Irp);
        return STATUS_PENDING;
    }
    if (minor == IRP_MN_SET_POWER && location->Parameters.Power.Type == DevicePowerState) {
        g_config.Record.DevicePowerSets.push_back(location->Parameters.Power.State.DeviceState);
        (void)PoSetPowerState(Device, DevicePowerState, location->Parameters.Power.State);
    }
    if (!setOrQuery || (!fault.SkipStartNext && !fault.StartNextLate)) {
        PoStartNextPowerIrp(Irp);
        if (setOrQuery && fault.StartNextTwice) {
            PoStartNextPowerIrp(Irp);
        }
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = fault.PowerWithIofCallDriver ? IoCallDriver(ext->Lower, Irp)
                                                   : PoCallDriver(ext->Lower, Irp);
    if (setOrQuery && fault.StartNextLate) {
        // The fault under test: the IRP belongs to the lower driver now.
        PoStartNextPowerIrp(Irp);
    }
    return status;
}

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT Device, PULONG Flags, PUNICODE_STRING,
                            PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName,
                            PDEVICE_OBJECT *Pdo)
{
    *Flags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &g_registryPath;
    RtlInitUnicodeString(MofResourceName, u"MofResourceName");
    *Pdo = Ext(Device)->Pdo;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT Device, PIRP Irp, ULONG GuidIndex, ULONG, ULONG,
                              PULONG Lengths, ULONG Available, PUCHAR Buffer)
{
    if (GuidIndex != 0) {
        return WmiCompleteRequest(Device, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
    if (Available < sizeof(ULONG)) {
        return WmiCompleteRequest(Device, Irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
    }
    const ULONG value = g_config.Record.DebugLevel.load();
    std::memcpy(Buffer, &value, sizeof(value));
    Lengths[0] = sizeof(ULONG);
    return WmiCompleteRequest(Device, Irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT Device, PIRP Irp, ULONG GuidIndex, ULONG, ULONG Size,
                            PUCHAR Buffer)
{
    if (GuidIndex != 0) {
        return WmiCompleteRequest(Device, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
    if (Size != sizeof(ULONG)) {
        return WmiCompleteRequest(Device, Irp, STATUS_INFO_LENGTH_MISMATCH, 0, IO_NO_INCREMENT);
    }
    ULONG value = 0;
    std::memcpy(&value, Buffer, sizeof(value));
    g_config.Record.DebugLevel = value;
    return WmiCompleteRequest(Device, Irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT Device, PIRP Irp, ULONG GuidIndex, ULONG Instance,
                           ULONG ItemId, ULONG Size, PUCHAR Buffer)
{
    if (GuidIndex == 0 && ItemId != 1) {
        return WmiCompleteRequest(Device, Irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
    return SetDataBlock(Device, Irp, GuidIndex, Instance, Size, Buffer);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    ToyExtension *ext = Ext(Device);
    SYSCTL_IRP_DISPOSITION disposition = IrpNotWmi;
    NTSTATUS status = WmiSystemControl(&ext->Wmi, Device, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IrpForward:
        if (g_config.Fault.WmiCompletesForeign) {
            status = WmiCompleteRequest(Device, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
            break;
        }
        status = PassDown(ext, Irp);
        break;
    default:
        status = PassDown(ext, Irp);
        break;
    }
    return status;
}

NTSTATUS NTAPI DispatchFile(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    g_config.Record.FileMajors.push_back(location->MajorFunction);
    if (location->MajorFunction == IRP_MJ_CREATE) {
        const UNICODE_STRING &name = location->FileObject->FileName;
        g_config.Record.CreateNames.emplace_back(name.Buffer == nullptr ? u"" : name.Buffer,
                                                 name.Length / sizeof(WCHAR));
    }
    return Complete(Irp, STATUS_SUCCESS);
}

VOID NTAPI ReadCancel(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    {
        std::lock_guard lock(g_readsLock);
        std::erase(g_pendingReads, Irp);
    }
    (void)Complete(Irp, STATUS_CANCELLED);
}

void FillPattern(PIRP Irp, ULONG Bytes)
{
    if (Irp->MdlAddress == nullptr) {
        return;
    }
    auto *data = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    g_config.Record.ReadMdlAddresses.push_back(data);
    for (ULONG i = 0; i < Bytes; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    }
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT, PIRP Irp)
{
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (g_config.PendReads) {
        IoMarkIrpPending(Irp);
        {
            std::lock_guard lock(g_readsLock);
            g_pendingReads.push_back(Irp);
        }
        (void)IoSetCancelRoutine(Irp, ReadCancel);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            {
                std::lock_guard lock(g_readsLock);
                std::erase(g_pendingReads, Irp);
            }
            (void)Complete(Irp, STATUS_CANCELLED);
        }
        ++g_config.Record.ReadsQueued;
        return STATUS_PENDING;
    }
    FillPattern(Irp, length);
    return Complete(Irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT, PIRP Irp)
{
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    if (Irp->MdlAddress != nullptr) {
        auto *data = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
        g_config.Record.Written.assign(data, data + length);
    } else {
        g_config.Record.Written.clear();
    }
    return Complete(Irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<uint8_t *>(Irp->AssociatedIrp.SystemBuffer);
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlEcho: {
        const ULONG n = in < out ? in : out;
        for (ULONG i = 0; i < n; ++i) {
            buffer[i] = static_cast<uint8_t>(buffer[i] + 1);
        }
        return Complete(Irp, STATUS_SUCCESS, n);
    }
    case kIoctlOverclaim:
        if (buffer != nullptr) {
            std::memset(buffer, 0x5A, out > in ? out : in);
        }
        return Complete(Irp, STATUS_SUCCESS, out + 8);
    case kIoctlFail:
        if (buffer != nullptr) {
            std::memset(buffer, 0xEE, out > in ? out : in);
        }
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    const Faults &fault = g_config.Fault;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ToyExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ToyExtension *ext = Ext(device);
    ext->Self = device;
    ext->Pdo = Pdo;
    KeInitializeTimerEx(&ext->Timer, NotificationTimer);
    KeInitializeDpc(&ext->Dpc, TimerDpc, ext);
    KeInitializeEvent(&ext->WorkDone, NotificationEvent, FALSE);
    ext->WmiGuid.Guid = &kWmiBlock;
    ext->WmiGuid.InstanceCount = 1;
    ext->Wmi.GuidCount = 1;
    ext->Wmi.GuidList = &ext->WmiGuid;
    ext->Wmi.QueryWmiRegInfo = QueryRegInfo;
    ext->Wmi.QueryWmiDataBlock = QueryDataBlock;
    ext->Wmi.SetWmiDataBlock = SetDataBlock;
    ext->Wmi.SetWmiDataItem = SetDataItem;
    status = IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    if (NT_SUCCESS(status) && fault.RegisterWmiTwice) {
        status = IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    }
    if (NT_SUCCESS(status) && fault.FailAddDeviceKeepingWmi) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    status = IoRegisterDeviceInterface(Pdo, &kInterfaceClass, nullptr, &ext->Link);
    if (ext->Lower == nullptr || !NT_SUCCESS(status)) {
        (void)IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
        if (ext->Lower != nullptr) {
            IoDetachDevice(ext->Lower);
        }
        IoDeleteDevice(device);
        return ext->Lower == nullptr ? STATUS_NO_SUCH_DEVICE : status;
    }
    device->Flags |= DO_DIRECT_IO;
    if (!fault.DropPowerPagable) {
        device->Flags |= Pdo->Flags & DO_POWER_PAGABLE;
    } else {
        device->Flags &= ~DO_POWER_PAGABLE;
    }
    if (!fault.LeaveInitializing) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = Unload;
    Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    Driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    Driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    Driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    Driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    Driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    return STATUS_SUCCESS;
}

}  // namespace

Config &Current() { return g_config; }

Bus::Bus(sim::Machine &machine) : machine_(machine)
{
    driver_ = machine_.CreateSystemDriver(u"\\Driver\\toybus");
    for (auto &entry : driver_->MajorFunction) {
        entry = PdoDispatch;
    }
}

PDEVICE_OBJECT Bus::CreatePdo()
{
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
        return nullptr;
    }
    auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
    ext->Owner = this;
    ext->WaitWake = nullptr;
    pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

bool Bus::SignalWake(NTSTATUS Status)
{
    for (PDEVICE_OBJECT pdo = driver_->DeviceObject; pdo != nullptr; pdo = pdo->NextDevice) {
        auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
        auto *irp = static_cast<PIRP>(InterlockedExchangePointer(&ext->WaitWake, nullptr));
        if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            sim::DispatchLevelScope dispatch;
            (void)Complete(irp, Status);
            return true;
        }
    }
    return false;
}

void Bus::DeletePdo(PDEVICE_OBJECT Pdo) { IoDeleteDevice(Pdo); }

void Bus::HoldDevicePower(bool Hold) { g_holdDevicePower = Hold; }

size_t Bus::ReleaseHeldPower()
{
    std::vector<PIRP> held;
    {
        std::lock_guard lock(g_heldPowerLock);
        held.swap(g_heldPower);
    }
    for (PIRP irp : held) {
        sim::FrameScope frame(sim::FrameKind::Other, driver_, IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
        PoStartNextPowerIrp(irp);
        (void)Complete(irp, STATUS_SUCCESS);
    }
    return held.size();
}

int Bus::DevicePowerIrpsSeen() const { return g_devicePowerSeen.load(); }

PDRIVER_OBJECT LoadFunctionDriver(sim::Machine &machine)
{
    PDRIVER_OBJECT driver = machine.LoadDriver(
        u"\\Driver\\toy", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\toy");
    machine.Component<sim::PnpManager>().RegisterFunctionDriver(driver);
    return driver;
}

bool CompletePendingRead(ULONG Bytes)
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(g_readsLock);
        if (g_pendingReads.empty()) {
            return false;
        }
        irp = g_pendingReads.front();
        g_pendingReads.pop_front();
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return false;  // the cancel routine has it
    }
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    const ULONG bytes = Bytes < length ? Bytes : length;
    FillPattern(irp, bytes);
    (void)Complete(irp, STATUS_SUCCESS, bytes);
    return true;
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace toy

namespace toy {

void Reset()
{
    g_config.~Config();
    new (&g_config) Config();
    {
        std::lock_guard lock(g_readsLock);
        g_pendingReads.clear();
    }
    g_holdDevicePower = false;
    g_devicePowerSeen = 0;
    std::lock_guard lock(g_heldPowerLock);
    g_heldPower.clear();
}

Stack::Stack()
{
    Reset();
    sim::MachineOptions options;
    options.Seed = 1;
    machine_ = std::make_unique<sim::Machine>(options);
    scope_ = std::make_unique<sim::ThreadScope>(*machine_);
    bus_ = std::make_unique<toy::Bus>(*machine_);
    driver_ = LoadFunctionDriver(*machine_);
    pdo_ = bus_->CreatePdo();
}

NTSTATUS Stack::Plug() { return Pnp().Plug(pdo_, u"TOY\\VID_F00D&PID_0001\\1"); }

std::u16string Stack::Link()
{
    auto links = Io().Interfaces(sim::ToInterfaceClass(kInterfaceClass));
    return links.empty() ? std::u16string() : links.front();
}

void Stack::ForceDelete()
{
    PDEVICE_OBJECT fdo = Fdo();
    if (fdo == nullptr) {
        return;
    }
    for (PDEVICE_OBJECT d = driver_->DeviceObject; d != nullptr; d = d->NextDevice) {
        if (d == fdo) {
            sim::FrameScope frame(sim::FrameKind::Other, driver_, fdo);
            RtlFreeUnicodeString(&Ext(fdo)->Link);
            if (pdo_->AttachedDevice == fdo) {
                IoDetachDevice(pdo_);
            }
            (void)Machine().Component<sim::WmiService>().Registration(fdo, WMIREG_ACTION_DEREGISTER);
            IoDeleteDevice(fdo);
            break;
        }
    }
}

Stack::~Stack()
{
    auto &pnp = Pnp();
    const sim::NodeState state = pnp.State(pdo_);
    if (state != sim::NodeState::Removed && state != sim::NodeState::AddFailed &&
        state != sim::NodeState::Arrived) {
        (void)pnp.Disable(pdo_);
    }
    pnp.WaitIdle();
    Io().WaitIdle();
    Power().WaitIdle();
    bus_->DeletePdo(pdo_);
    machine_->UnloadDriver(driver_);
    machine_->CheckForLeaks();
    EXPECT_EQ(Io().Outstanding(), 0u);
    EXPECT_EQ(machine_->ReportText(), "");
    scope_.reset();
    machine_.reset();
}

}  // namespace toy
