// Driver entry, device creation, I/O accounting and the synchronous bus
// requests that the rest of the driver builds on.
#pragma once

#include "driver/DeviceExtension.h"

// Copy of the service registry path given to DriverEntry (paged pool).
extern UNICODE_STRING SavedRegistryPath;

// Device interface class under which every device is registered.
extern const GUID VextoraInterfaceClassGuid;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Reads one REG_DWORD under an absolute key path of at most 255 characters.
// PASSIVE_LEVEL. Stores the value, or 0 when the key or value is absent, is
// not a 4-byte REG_DWORD, or the query fails (then returns
// STATUS_UNSUCCESSFUL); a longer key path stores 0 and returns
// STATUS_INVALID_PARAMETER.
[[nodiscard]] NTSTATUS QueryRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value);

// Outstanding-I/O accounting. Any IRQL up to DISPATCH_LEVEL; never block.
// A count keeps the device: removal waits until every count is back.
VOID IncrementIoCount(DeviceExtension *Extension);
VOID DecrementIoCount(DeviceExtension *Extension);
// A count that is also device I/O (a transfer, a control request, a cleanup,
// a bus request): a power-down from D0 waits until none is held.
VOID BeginDeviceIo(DeviceExtension *Extension);
VOID EndDeviceIo(DeviceExtension *Extension);

// Aborts the transfers pending on every pipe that has an open handle, so
// that a drain can finish; they complete with STATUS_CANCELLED. Handles and
// pipe counters are left as they are. PASSIVE_LEVEL; blocks for the abort
// requests. FALSE when an abort could not be sent for want of resources, so
// the caller should try again.
[[nodiscard]] BOOLEAN AbortPendingTransfers(DeviceExtension *Extension);
// Aborts the pending transfers and waits until Drained is signalled,
// aborting again every 100 ms until then. Drained is set when the last of
// the I/O the caller drains has ended (NoIoInFlightEvent, NoDeviceIoEvent).
// PASSIVE_LEVEL; blocks until then.
VOID AbortTransfersAndWait(DeviceExtension *Extension, PKEVENT Drained);

// Synchronous requests to the bus driver. PASSIVE_LEVEL only; they block until
// the bus driver has finished. The caller owns the URB before and after.
[[nodiscard]] NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
[[nodiscard]] NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
// Ends every transfer pending on the pipe (URB_FUNCTION_ABORT_PIPE); they
// complete with STATUS_CANCELLED before it returns. The request block lives
// on the stack, so only the IRP that carries it can be short of resources
// (STATUS_INSUFFICIENT_RESOURCES); otherwise the bus driver's status (a
// stale handle is refused by the bus).
[[nodiscard]] NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
[[nodiscard]] NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
[[nodiscard]] NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS ResetDevice(PDEVICE_OBJECT DeviceObject);
