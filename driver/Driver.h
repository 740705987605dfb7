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
VOID IncrementIoCount(DeviceExtension *Extension);
VOID DecrementIoCount(DeviceExtension *Extension);

// Synchronous requests to the bus driver. PASSIVE_LEVEL only; they block until
// the bus driver has finished. The caller owns the URB before and after.
[[nodiscard]] NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
[[nodiscard]] NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
[[nodiscard]] NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
[[nodiscard]] NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS ResetDevice(PDEVICE_OBJECT DeviceObject);
