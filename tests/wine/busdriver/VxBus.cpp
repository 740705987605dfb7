// vxbus.sys: a root-enumerated USB "bus" with one port, on which the loopback
// device of LoopbackDevice.h is plugged. It exists so that the real
// vextora.sys can run on a third-party Windows kernel (Wine) without USB
// hardware: the bus FDO reports one child PDO with the device's USB hardware
// IDs, and the child serves the internal requests a USB function driver
// sends to its PDO (URBs, port status, port reset, idle notification).
//
// The bus FDO also offers a small control interface (GUID_DEVINTERFACE_VXBUS)
// through which the harness unplugs and replugs the device and, after the
// child's removal, unloads the function driver; the PnP manager then
// surprise-removes and removes the child, as it does on a real hub.
//
// Pipe gates. Wine opens no file below a device (a pipe's "\PIPE01" never
// reaches the driver), so while its child is started the bus offers one
// small device per pipe, \Device\VxPipeN reachable as \\.\VxPipeN. A gate
// stamps "\PIPE0N" as the file name of each create it receives and passes
// every request on its handles to the top of the child's stack, the function
// driver, as if the application had opened the pipe under the device. A
// handle whose create the driver refused (Wine hands it to the application
// all the same) gets no further request through to the driver: its requests
// end with STATUS_INVALID_HANDLE and its close stays with the gate, as
// Windows never sends a close for a refused create.
//
// Execution: requests complete before the dispatch routine returns, except
// those passed down the bus FDO's stack or through a gate, and bulk IN
// transfers that find the loopback FIFO empty: those wait, cancellable, until
// a write brings data, an abort or unplug ends them.
#include "platform/Platform.h"
#include "tests/wine/busdriver/FunctionDriverWatch.h"
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

enum class Kind { Bus, Child, Gate };

struct Common {
    Kind Is;
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

// A gate: the stand-in for "<interface>\PIPE0N" under Wine.
constexpr ULONG kMaxGates = 8;

struct ChildExtension {
    Common Header;
    BusExtension *Bus;
    PDEVICE_OBJECT Self;
    bool Started;
    bool Reported;  // still reported by the bus; a removed PDO that is not goes away
    uint8_t *Fifo;
    alignas(vxbus::LoopbackDevice) uint8_t DeviceStorage[sizeof(vxbus::LoopbackDevice)];
    vxbus::Port Port;  // Port.Connected goes false at the unplug
    KSPIN_LOCK Lock;   // Port and Waiting
    // Bulk IN transfers the device NAKed, in order, by
    // Irp->Tail.Overlay.ListEntry; each has WaitingCancel as cancel routine.
    LIST_ENTRY Waiting;
    PDEVICE_OBJECT Gates[kMaxGates];  // created at start, deleted at removal
    ULONG GateCount;
};

struct GateExtension {
    Common Header;
    ChildExtension *Child;  // outlives the gate
    ULONG Index;
    UNICODE_STRING Link;
    WCHAR LinkBuffer[24];
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

// ---------------------------------------------------------------- waiting transfers

// Ends a transfer with a USBD status: the URB's, and the IRP's as the bus
// completes it.
void EndTransfer(PIRP irp, USBD_STATUS usbd, NTSTATUS status)
{
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = usbd;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    Complete(irp, status);
}

VOID NTAPI WaitingCancel(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *child = static_cast<ChildExtension *>(pdo->DeviceExtension);
    KIRQL irql;
    KeAcquireSpinLock(&child->Lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&child->Lock, irql);
    EndTransfer(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// Queues a transfer the device NAKed. Lock held; returns STATUS_PENDING, or
// what to complete it with at once when it was cancelled already.
NTSTATUS Wait(ChildExtension *child, PIRP irp)
{
    IoMarkIrpPending(irp);
    InsertTailList(&child->Waiting, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, WaitingCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        return STATUS_CANCELLED;
    }
    // Cancelled meanwhile with the routine already called: it takes the IRP
    // off the list once the lock is free.
    return STATUS_PENDING;
}

// Takes the waiting transfers `which` selects off the list onto `taken`, at
// most `limit`, oldest first, except those whose cancel routine is about to
// run. Lock held.
template <class Which> void TakeWaiting(ChildExtension *child, LIST_ENTRY *taken, Which which, ULONG limit = ~0u)
{
    for (LIST_ENTRY *entry = child->Waiting.Flink; entry != &child->Waiting && limit != 0;) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (!which(irp) || IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(taken, &irp->Tail.Overlay.ListEntry);
        --limit;
    }
}

// Ends every waiting transfer `which` selects with `usbd` (an abort, an
// unplug, a removal). Any IRQL up to DISPATCH_LEVEL.
template <class Which> void EndWaiting(ChildExtension *child, USBD_STATUS usbd, NTSTATUS status, Which which)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    KeAcquireSpinLock(&child->Lock, &irql);
    TakeWaiting(child, &taken, which);
    KeReleaseSpinLock(&child->Lock, irql);
    while (!IsListEmpty(&taken))
        EndTransfer(CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry), usbd, status);
}

PURB UrbOf(PIRP irp)
{
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// After data came: carries out the waiting transfers, oldest first, while
// the device has data for them. Lock held; what finished goes on `done`.
void ServeWaiting(ChildExtension *child, LIST_ENTRY *done)
{
    while (!IsListEmpty(&child->Waiting)) {
        LIST_ENTRY next;
        InitializeListHead(&next);
        TakeWaiting(child, &next, [](PIRP) { return true; }, 1);
        if (IsListEmpty(&next))
            return;
        PIRP irp = CONTAINING_RECORD(next.Flink, IRP, Tail.Overlay.ListEntry);
        const NTSTATUS status = vxbus::SubmitUrb(&child->Port, UrbOf(irp));
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        if (status == STATUS_PENDING) {
            // Still nothing for it: back to the head, cancellable again.
            InsertHeadList(&child->Waiting, &irp->Tail.Overlay.ListEntry);
            IoSetCancelRoutine(irp, WaitingCancel);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(&irp->Tail.Overlay.ListEntry);
                UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
                UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                irp->IoStatus.Status = STATUS_CANCELLED;
                InsertTailList(done, &irp->Tail.Overlay.ListEntry);
            }
            return;
        }
        irp->IoStatus.Status = status;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

// Submits one URB from the function driver: at once, or waiting for data.
NTSTATUS SubmitFromDriver(ChildExtension *child, PIRP irp)
{
    PURB urb = UrbOf(irp);
    if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        // The pipe's waiting transfers end first, as a hub's abort ends them.
        const USBD_PIPE_HANDLE pipe = urb->UrbPipeRequest.PipeHandle;
        EndWaiting(child, USBD_STATUS_CANCELED, STATUS_CANCELLED,
                   [pipe](PIRP waiting) { return vxbus::TransferPipe(UrbOf(waiting)) == pipe; });
    }
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&child->Lock, &irql);
    NTSTATUS status = vxbus::SubmitUrb(&child->Port, urb);
    if (status == STATUS_PENDING) {
        status = Wait(child, irp);
    } else if (NT_SUCCESS(status) && vxbus::TransferPipe(urb) != nullptr &&
               (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
        ServeWaiting(child, &done);  // a write may have brought what reads wait for
    }
    KeReleaseSpinLock(&child->Lock, irql);
    while (!IsListEmpty(&done)) {
        PIRP served = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        Complete(served, served->IoStatus.Status);
    }
    if (status == STATUS_PENDING)
        return STATUS_PENDING;
    if (status == STATUS_CANCELLED) {
        // Marked pending by Wait, cancelled before it was queued.
        EndTransfer(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    return Complete(irp, status);
}

// The device leaves the port: what waits for data ends as on a real hub.
void Disconnect(ChildExtension *child)
{
    KIRQL irql;
    KeAcquireSpinLock(&child->Lock, &irql);
    child->Port.Connected = false;
    KeReleaseSpinLock(&child->Lock, irql);
    EndWaiting(child, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, [](PIRP) { return true; });
}

// ---------------------------------------------------------------- pipe gates

PDEVICE_OBJECT FunctionDriverDevice(ChildExtension *child)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(child->Self);
    if (top == child->Self) {
        ObDereferenceObject(top);
        return nullptr;  // no function driver above the PDO
    }
    return top;
}

// The file name a gate gives its handles: "\PIPE0N", in pool that the
// gate frees at the handle's close (or at once when the driver refused it).
bool StampFileName(PFILE_OBJECT file, ULONG index)
{
    auto *name = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, 8 * sizeof(WCHAR), kPoolTag));
    if (name == nullptr)
        return false;
    const WCHAR text[] = {L'\\', L'P', L'I', L'P', L'E', static_cast<WCHAR>(L'0' + index / 10),
                          static_cast<WCHAR>(L'0' + index % 10), L'\0'};
    RtlCopyMemory(name, text, sizeof text);
    file->FileName.Buffer = name;
    file->FileName.Length = 7 * sizeof(WCHAR);
    file->FileName.MaximumLength = 8 * sizeof(WCHAR);
    return true;
}

void ForgetFileName(PFILE_OBJECT file)
{
    if (file->FileName.Buffer != nullptr)
        ExFreePool(file->FileName.Buffer);
    file->FileName.Buffer = nullptr;
    file->FileName.Length = 0;
    file->FileName.MaximumLength = 0;
}

NTSTATUS NTAPI GateCreateDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    // Refused: the handle is not the driver's, and its name marks that.
    if (!NT_SUCCESS(irp->IoStatus.Status))
        ForgetFileName(static_cast<PFILE_OBJECT>(context));
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS GateDispatch(GateExtension *gate, PIRP irp)
{
    // Read before the IRP is passed on: it may be gone when IoCallDriver
    // returns.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    if (major != IRP_MJ_CREATE && file->FileName.Length == 0) {
        // A handle the driver refused: nothing of it reaches the driver.
        return Complete(irp, major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP ? STATUS_SUCCESS
                                                                              : STATUS_INVALID_HANDLE);
    }
    PDEVICE_OBJECT top = FunctionDriverDevice(gate->Child);
    if (top == nullptr) {
        if (major == IRP_MJ_CLOSE)
            ForgetFileName(file);
        return Complete(irp, major == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
    }
    NTSTATUS status;
    if (major == IRP_MJ_CREATE) {
        if (!StampFileName(file, gate->Index)) {
            ObDereferenceObject(top);
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, GateCreateDone, file, TRUE, TRUE, TRUE);
        status = IoCallDriver(top, irp);
    } else {
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(top, irp);
        // The driver's close completes before it returns; the name it read
        // is not needed any more. The file object lives until this routine
        // returns.
        if (major == IRP_MJ_CLOSE)
            ForgetFileName(file);
    }
    ObDereferenceObject(top);
    return status;
}

// One gate per pipe of the interface the function driver opens (the first),
// once a function driver sits above the child. PASSIVE_LEVEL.
void CreateGates(ChildExtension *child)
{
    if (child->GateCount != 0)
        return;
    PDEVICE_OBJECT top = FunctionDriverDevice(child);
    if (top == nullptr)
        return;
    const uint8_t *interface = child->Port.Device->FindInterface(
        child->Port.Device->Described().Configuration[9 + 2], 0);
    const ULONG pipes = interface != nullptr ? interface[4] : 0;
    for (ULONG k = 0; k < pipes && k < kMaxGates; ++k) {
        WCHAR deviceText[] = L"\\Device\\VxPipe0";
        deviceText[sizeof deviceText / sizeof deviceText[0] - 2] = static_cast<WCHAR>(L'0' + k);
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, deviceText);
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(child->Self->DriverObject, sizeof(GateExtension), &deviceName,
                                       FILE_DEVICE_UNKNOWN, 0, FALSE, &device)))
            break;
        auto *gate = static_cast<GateExtension *>(device->DeviceExtension);
        RtlZeroMemory(gate, sizeof *gate);
        gate->Header.Is = Kind::Gate;
        gate->Child = child;
        gate->Index = k;
        static const WCHAR linkText[] = L"\\DosDevices\\VxPipe0";
        RtlCopyMemory(gate->LinkBuffer, linkText, sizeof linkText);
        gate->LinkBuffer[sizeof linkText / sizeof linkText[0] - 2] = static_cast<WCHAR>(L'0' + k);
        RtlInitUnicodeString(&gate->Link, gate->LinkBuffer);
        if (!NT_SUCCESS(IoCreateSymbolicLink(&gate->Link, &deviceName))) {
            IoDeleteDevice(device);
            break;
        }
        // Room for the stack it passes requests to, and the same way of
        // handing over buffers as the function driver asks for.
        device->StackSize = static_cast<CCHAR>(top->StackSize + 1);
        device->Flags |= top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        child->Gates[child->GateCount++] = device;
    }
    ObDereferenceObject(top);
}

void DeleteGates(ChildExtension *child)
{
    for (ULONG k = 0; k < child->GateCount; ++k) {
        auto *gate = static_cast<GateExtension *>(child->Gates[k]->DeviceExtension);
        IoDeleteSymbolicLink(&gate->Link);
        IoDeleteDevice(child->Gates[k]);
        child->Gates[k] = nullptr;
    }
    child->GateCount = 0;
}

// ---------------------------------------------------------------- internal requests

NTSTATUS ChildInternalControl(ChildExtension *child, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitFromDriver(child, irp);
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
        // The function driver is attached by now.
        if (PDEVICE_OBJECT top = FunctionDriverDevice(child)) {
            vxbus::WatchFunctionDriver(pdo->AttachedDevice->DriverObject);
            ObDereferenceObject(top);
        }
        CreateGates(child);
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
        EndWaiting(child, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, [](PIRP) { return true; });
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        child->Started = false;
        EndWaiting(child, USBD_STATUS_CANCELED, STATUS_CANCELLED, [](PIRP) { return true; });
        DeleteGates(child);
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
    child->Header.Is = Kind::Child;
    child->Bus = bus;
    child->Self = pdo;
    child->Reported = true;
    KeInitializeSpinLock(&child->Lock);
    InitializeListHead(&child->Waiting);
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
            Disconnect(extension);
            DeleteGates(extension);
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
    if (code == IOCTL_VXBUS_UNLOAD) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VXBUS_UNLOAD))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        ExAcquireFastMutex(&bus->Lock);
        const bool childLeft = bus->Child != nullptr;
        ExReleaseFastMutex(&bus->Lock);
        if (childLeft)
            return Complete(irp, STATUS_DEVICE_BUSY);  // only after the child's removal
        const NTSTATUS status =
            vxbus::UnloadFunctionDriver(static_cast<VXBUS_UNLOAD *>(irp->AssociatedIrp.SystemBuffer));
        return Complete(irp, status, NT_SUCCESS(status) ? sizeof(VXBUS_UNLOAD) : 0);
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
    // The child stays until the PnP manager removes it, which the
    // invalidation below starts.
    PDEVICE_OBJECT leaving = change && !plug ? bus->Child : nullptr;
    ExReleaseFastMutex(&bus->Lock);
    // Off the port at once, as on a hub: what waits for data ends now, the
    // PnP manager learns of it after.
    if (leaving != nullptr)
        Disconnect(static_cast<ChildExtension *>(leaving->DeviceExtension));
    if (busy)
        return Complete(irp, STATUS_DEVICE_BUSY);
    if (change)
        IoInvalidateDeviceRelations(bus->Pdo, BusRelations);
    return Complete(irp, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- dispatch

Kind KindOf(PDEVICE_OBJECT device)
{
    return static_cast<Common *>(device->DeviceExtension)->Is;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    switch (KindOf(device)) {
    case Kind::Bus:
        return BusPnp(static_cast<BusExtension *>(device->DeviceExtension), irp);
    case Kind::Child:
        return ChildPnp(device, static_cast<ChildExtension *>(device->DeviceExtension), irp);
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    if (KindOf(device) == Kind::Gate)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (KindOf(device) == Kind::Bus) {
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
    if (KindOf(device) != Kind::Child)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return ChildInternalControl(static_cast<ChildExtension *>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    switch (KindOf(device)) {
    case Kind::Bus:
        return BusControl(static_cast<BusExtension *>(device->DeviceExtension), irp);
    case Kind::Gate:
        return GateDispatch(static_cast<GateExtension *>(device->DeviceExtension), irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Create, close, cleanup, read and write: a gate's, or the bus's control
// handle (create and close only).
NTSTATUS NTAPI DispatchHandle(PDEVICE_OBJECT device, PIRP irp)
{
    if (KindOf(device) == Kind::Gate)
        return GateDispatch(static_cast<GateExtension *>(device->DeviceExtension), irp);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    const bool busHandle = KindOf(device) == Kind::Bus &&
                           (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP);
    return Complete(irp, busHandle ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    if (KindOf(device) == Kind::Bus) {
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
    bus->Header.Is = Kind::Bus;
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
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchHandle;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchHandle;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchHandle;
    driver->MajorFunction[IRP_MJ_READ] = DispatchHandle;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchHandle;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    return STATUS_SUCCESS;
}
