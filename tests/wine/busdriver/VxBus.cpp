// vxbus.sys: a root-enumerated USB "bus" with one port, on which the loopback
// device of LoopbackDevice.h is plugged. It exists so that the real
// vextora.sys can run on a third-party Windows kernel (Wine) without USB
// hardware: the bus FDO reports one child PDO with the device's USB hardware
// IDs, and the child serves the internal requests a USB function driver
// sends to its PDO (URBs, port status, port reset, idle notification).
//
// The bus FDO also offers a small control interface (GUID_DEVINTERFACE_VXBUS)
// through which the harness unplugs and replugs the device; the PnP manager
// then surprise-removes and removes the child, as it does on a real hub.
//
// Execution: everything runs at PASSIVE_LEVEL in the requesting thread; all
// requests are completed before the dispatch routine returns, except those
// passed down the bus FDO's stack.
#include "platform/Platform.h"
#include "tests/wine/busdriver/LoopbackDevice.h"
#include "tests/wine/busdriver/UrbServer.h"
#include "tests/wine/busdriver/VxBusControl.h"

// Placement new for the device model inside the child's extension (no C++
// runtime in a kernel image).
inline void *operator new(size_t, void *where) noexcept { return where; }

namespace {

// The device's descriptors, generated from tests/wine/loopback-wine.json.
#include "LoopbackDescriptors.inc"

constexpr ULONG kPoolTag = 'suBV';

struct Common {
    bool IsBus;
};

struct ChildExtension;

struct BusExtension {
    Common Header;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;    // the root-enumerated PDO below
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Child;  // the child PDO while it exists
    bool Plugged;          // the device is on the port (reported in BusRelations)
    bool Removed;
    UNICODE_STRING ControlLink;
    FAST_MUTEX Lock;  // Child, Plugged
};

struct ChildExtension {
    Common Header;
    BusExtension *Bus;
    bool Started;
    bool Reported;  // still reported by the bus; a removed PDO that is not goes away
    uint8_t *Fifo;
    alignas(vxbus::LoopbackDevice) uint8_t DeviceStorage[sizeof(vxbus::LoopbackDevice)];
    vxbus::Port Port;  // Port.Connected follows Reported
};

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

// Sends irp down and waits for it; the IRP is ours again afterwards.
NTSTATUS ForwardAndWait(BusExtension *bus, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(bus->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(BusExtension *bus, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->Lower, irp);
}

// ---------------------------------------------------------------- IDs

// A multi-string of the given ASCII strings, from paged pool (the PnP
// manager frees it). Each piece may hold "%v", "%p", "%r" and "%c", "%s",
// "%o" for the VID, PID, bcdDevice and the interface class triple, in hex.
PWCHAR BuildIds(const char *const *pieces, ULONG count)
{
    const uint8_t *d = kDescriptors.Device;
    const uint8_t *i = kDescriptors.Configuration + 9;
    auto value = [&](char what, int *digits) -> ULONG {
        *digits = 4;
        switch (what) {
        case 'v': return d[8] | (d[9] << 8);
        case 'p': return d[10] | (d[11] << 8);
        case 'r': return d[12] | (d[13] << 8);
        }
        *digits = 2;
        switch (what) {
        case 'c': return i[5];
        case 's': return i[6];
        default: return i[7];
        }
    };
    ULONG length = 1;
    for (ULONG k = 0; k < count; ++k) {
        for (const char *c = pieces[k]; *c != '\0'; ++c)
            length += (c[0] == '%' && c[1] != '\0') ? (++c, 4) : 1;
        length += 1;
    }
    auto *out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, length * sizeof(WCHAR), kPoolTag));
    if (out == nullptr)
        return nullptr;
    static const char hex[] = "0123456789ABCDEF";
    PWCHAR at = out;
    for (ULONG k = 0; k < count; ++k) {
        for (const char *c = pieces[k]; *c != '\0'; ++c) {
            if (c[0] == '%' && c[1] != '\0') {
                int digits = 0;
                const ULONG v = value(*++c, &digits);
                for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
                    *at++ = static_cast<WCHAR>(hex[(v >> shift) & 0xF]);
            } else {
                *at++ = static_cast<WCHAR>(*c);
            }
        }
        *at++ = L'\0';
    }
    *at = L'\0';
    return out;
}

// The serial number string (index iSerialNumber) as ASCII, or "1".
PWCHAR BuildInstanceId()
{
    const uint8_t index = kDescriptors.Device[16];
    const uint8_t *serial = index < vxbus::Descriptors::kStringSlots ? kDescriptors.Strings[index] : nullptr;
    const ULONG chars = serial != nullptr && serial[0] > 2 ? (serial[0] - 2) / 2 : 0;
    auto *out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (chars + 2) * sizeof(WCHAR), kPoolTag));
    if (out == nullptr)
        return nullptr;
    if (chars == 0) {
        out[0] = L'1';
        out[1] = L'\0';
        return out;
    }
    for (ULONG k = 0; k < chars; ++k)
        out[k] = static_cast<WCHAR>(serial[2 + 2 * k] | (serial[3 + 2 * k] << 8));
    out[chars] = L'\0';
    return out;
}

NTSTATUS QueryId(PIRP irp, BUS_QUERY_ID_TYPE type)
{
    PWCHAR ids = nullptr;
    switch (type) {
    case BusQueryDeviceID: {
        static const char *const pieces[] = {"USB\\VID_%v&PID_%p"};
        ids = BuildIds(pieces, 1);
        break;
    }
    case BusQueryHardwareIDs: {
        static const char *const pieces[] = {"USB\\VID_%v&PID_%p&REV_%r", "USB\\VID_%v&PID_%p"};
        ids = BuildIds(pieces, 2);
        break;
    }
    case BusQueryCompatibleIDs: {
        static const char *const pieces[] = {"USB\\Class_%c&SubClass_%s&Prot_%o", "USB\\Class_%c&SubClass_%s",
                                             "USB\\Class_%c"};
        ids = BuildIds(pieces, 3);
        break;
    }
    case BusQueryInstanceID:
        ids = BuildInstanceId();
        break;
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (ids == nullptr)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(ids));
}

// ---------------------------------------------------------------- internal requests

NTSTATUS ChildInternalControl(ChildExtension *child, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return Complete(irp, vxbus::SubmitUrb(&child->Port, static_cast<PURB>(stack->Parameters.Others.Argument1)));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (status == nullptr)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        *status = child->Reported ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        if (!child->Reported)
            return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        // The hub puts the device back into the configuration it had, so
        // pipe handles stay valid across the reset.
        return Complete(irp, STATUS_SUCCESS);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        // No selective suspend on this bus.
        return Complete(irp, STATUS_NOT_SUPPORTED);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// ---------------------------------------------------------------- child PnP

// Frees what the child owns beside its device object.
void DeleteChild(ChildExtension *child)
{
    if (child->Fifo != nullptr) {
        ExFreePoolWithTag(child->Fifo, kPoolTag);
        child->Fifo = nullptr;
    }
}

NTSTATUS ChildPnp(PDEVICE_OBJECT pdo, ChildExtension *child, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        child->Started = true;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        child->Started = false;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        child->Started = false;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        child->Started = false;
        BusExtension *bus = child->Bus;
        ExAcquireFastMutex(&bus->Lock);
        // A child the bus still reports stays (it was disabled, not
        // unplugged); one it no longer reports is deleted now.
        const bool gone = !child->Reported;
        if (gone && bus->Child == pdo)
            bus->Child = nullptr;
        ExReleaseFastMutex(&bus->Lock);
        Complete(irp, STATUS_SUCCESS);
        if (gone) {
            DeleteChild(child);
            IoDeleteDevice(pdo);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
        return QueryId(irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
            return Complete(irp, STATUS_UNSUCCESSFUL);
        caps->LockSupported = FALSE;
        caps->EjectSupported = FALSE;
        caps->Removable = TRUE;
        caps->DockDevice = FALSE;
        caps->UniqueID = TRUE;
        caps->SilentInstall = FALSE;
        caps->RawDeviceOK = FALSE;
        caps->SurpriseRemovalOK = FALSE;  // the user is told when it goes
        caps->WakeFromD0 = FALSE;
        caps->WakeFromD1 = FALSE;
        caps->WakeFromD2 = FALSE;
        caps->WakeFromD3 = FALSE;
        caps->DeviceD1 = FALSE;
        caps->DeviceD2 = TRUE;
        caps->Address = 1;  // the port number
        caps->UINumber = 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
        // The device has no remote wake-up.
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto *relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
            if (relations == nullptr)
                return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = pdo;
            ObReferenceObject(pdo);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_TEXT: {
        if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        static const char *const pieces[] = {"Vextora loopback device"};
        PWCHAR text = BuildIds(pieces, 1);
        if (text == nullptr)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
    }
    default:
        // Not ours to answer: the status the PnP manager set stays.
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS CreateChild(BusExtension *bus, PDEVICE_OBJECT *result)
{
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(bus->Self->DriverObject, sizeof(ChildExtension), nullptr, FILE_DEVICE_USB,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    auto *child = static_cast<ChildExtension *>(pdo->DeviceExtension);
    RtlZeroMemory(child, sizeof *child);
    child->Header.IsBus = false;
    child->Bus = bus;
    child->Reported = true;
    child->Fifo = static_cast<uint8_t *>(
        ExAllocatePoolWithTag(NonPagedPool, vxbus::LoopbackDevice::kFifoBytes, kPoolTag));
    if (child->Fifo == nullptr) {
        IoDeleteDevice(pdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    child->Port.Device = new (child->DeviceStorage) vxbus::LoopbackDevice(kDescriptors, child->Fifo);
    child->Port.Connected = true;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    *result = pdo;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- bus FDO

NTSTATUS ReportBusRelations(BusExtension *bus, PIRP irp)
{
    ExAcquireFastMutex(&bus->Lock);
    NTSTATUS status = STATUS_SUCCESS;
    if (bus->Plugged && !bus->Removed && bus->Child == nullptr)
        status = CreateChild(bus, &bus->Child);
    if (!bus->Plugged && bus->Child != nullptr) {
        // Unplugged: the PnP manager removes the child once it is missing
        // from the list; the PDO is deleted at that removal.
        auto *leaving = static_cast<ChildExtension *>(bus->Child->DeviceExtension);
        leaving->Reported = false;
        leaving->Port.Connected = false;
    }
    PDEVICE_OBJECT report = bus->Plugged && NT_SUCCESS(status) ? bus->Child : nullptr;
    ExReleaseFastMutex(&bus->Lock);
    if (!NT_SUCCESS(status))
        return Complete(irp, status);

    // Relations from filters above are kept; ours is added.
    auto *previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    const ULONG before = previous != nullptr ? previous->Count : 0;
    const ULONG count = before + (report != nullptr ? 1 : 0);
    auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT), kPoolTag));
    if (relations == nullptr)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = count;
    for (ULONG k = 0; k < before; ++k)
        relations->Objects[k] = previous->Objects[k];
    if (report != nullptr) {
        relations->Objects[before] = report;
        ObReferenceObject(report);
    }
    if (previous != nullptr)
        ExFreePool(previous);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return PassDown(bus, irp);
}

NTSTATUS BusPnp(BusExtension *bus, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(bus, irp);
        if (NT_SUCCESS(status) && bus->ControlLink.Buffer != nullptr)
            IoSetDeviceInterfaceState(&bus->ControlLink, TRUE);
        Complete(irp, status);
        // A started bus reports its children: ask to be enumerated.
        if (NT_SUCCESS(status))
            IoInvalidateDeviceRelations(bus->Pdo, BusRelations);
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
            return ReportBusRelations(bus, irp);
        return PassDown(bus, irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (bus->ControlLink.Buffer != nullptr) {
            IoSetDeviceInterfaceState(&bus->ControlLink, FALSE);
            RtlFreeUnicodeString(&bus->ControlLink);
        }
        ExAcquireFastMutex(&bus->Lock);
        bus->Removed = true;
        PDEVICE_OBJECT child = bus->Child;
        bus->Child = nullptr;
        ExReleaseFastMutex(&bus->Lock);
        // The PnP manager removed the child before its parent; a PDO it was
        // never told about is deleted here.
        if (child != nullptr) {
            auto *extension = static_cast<ChildExtension *>(child->DeviceExtension);
            extension->Reported = false;
            extension->Port.Connected = false;
            DeleteChild(extension);
            IoDeleteDevice(child);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(bus, irp);
        IoDetachDevice(bus->Lower);
        IoDeleteDevice(bus->Self);
        return status;
    }
    default:
        return PassDown(bus, irp);
    }
}

NTSTATUS BusControl(BusExtension *bus, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_VXBUS_STATE) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VXBUS_STATE))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        auto *state = static_cast<VXBUS_STATE *>(irp->AssociatedIrp.SystemBuffer);
        ExAcquireFastMutex(&bus->Lock);
        state->Plugged = bus->Plugged ? 1 : 0;
        state->ChildExists = bus->Child != nullptr ? 1 : 0;
        state->ChildStarted =
            bus->Child != nullptr && static_cast<ChildExtension *>(bus->Child->DeviceExtension)->Started ? 1 : 0;
        state->ChildAttached = bus->Child != nullptr && bus->Child->AttachedDevice != nullptr ? 1 : 0;
        ExReleaseFastMutex(&bus->Lock);
        return Complete(irp, STATUS_SUCCESS, sizeof(VXBUS_STATE));
    }
    if (code != IOCTL_VXBUS_PLUG && code != IOCTL_VXBUS_UNPLUG)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    const bool plug = code == IOCTL_VXBUS_PLUG;
    ExAcquireFastMutex(&bus->Lock);
    const bool change = bus->Plugged != plug;
    // A replug before the old child is gone would report two children
    // with one instance ID.
    const bool busy = plug && bus->Child != nullptr;
    if (change && !busy)
        bus->Plugged = plug;
    ExReleaseFastMutex(&bus->Lock);
    if (busy)
        return Complete(irp, STATUS_DEVICE_BUSY);
    if (change)
        IoInvalidateDeviceRelations(bus->Pdo, BusRelations);
    return Complete(irp, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- dispatch

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto *common = static_cast<Common *>(device->DeviceExtension);
    if (common->IsBus)
        return BusPnp(static_cast<BusExtension *>(device->DeviceExtension), irp);
    return ChildPnp(device, static_cast<ChildExtension *>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    auto *common = static_cast<Common *>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    if (common->IsBus) {
        auto *bus = static_cast<BusExtension *>(device->DeviceExtension);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(bus->Lower, irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        return Complete(irp, STATUS_NOT_SUPPORTED);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp)
{
    auto *common = static_cast<Common *>(device->DeviceExtension);
    if (common->IsBus)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return ChildInternalControl(static_cast<ChildExtension *>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    auto *common = static_cast<Common *>(device->DeviceExtension);
    if (!common->IsBus)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return BusControl(static_cast<BusExtension *>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    auto *common = static_cast<Common *>(device->DeviceExtension);
    return Complete(irp, common->IsBus ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    auto *common = static_cast<Common *>(device->DeviceExtension);
    if (common->IsBus) {
        auto *bus = static_cast<BusExtension *>(device->DeviceExtension);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(bus->Lower, irp);
    }
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN,
                       FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto *bus = static_cast<BusExtension *>(fdo->DeviceExtension);
    RtlZeroMemory(bus, sizeof *bus);
    bus->Header.IsBus = true;
    bus->Self = fdo;
    bus->Pdo = pdo;
    bus->Plugged = true;
    ExInitializeFastMutex(&bus->Lock);
    // Without the control interface the harness cannot unplug, but the bus
    // still works; the failure is not fatal.
    if (!NT_SUCCESS(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_VXBUS, nullptr, &bus->ControlLink)))
        bus->ControlLink.Buffer = nullptr;
    bus->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (bus->Lower == nullptr) {
        if (bus->ControlLink.Buffer != nullptr)
            RtlFreeUnicodeString(&bus->ControlLink);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    return STATUS_SUCCESS;
}
