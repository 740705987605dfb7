// WMI registration and the driver's one data block.
#pragma once

#include "driver/DeviceExtension.h"

// Driver-wide debug output level, WMI data item 1; starts at 1.
extern ULONG DebugPrintLevel;

// The data block {78A8A1B8-6FF9-48B9-87FA-D1CAF6922D9D}, WMI class
// ZelmoraDeviceInformation; GUID index 0 of every device's registration.
extern const GUID VextoraWmiGuid;

// Fills Extension->WmiLibInfo and registers the device's FDO as a WMI data
// provider. PASSIVE_LEVEL. Returns IoWMIRegistrationControl's status; on
// failure nothing stays registered and the caller deletes the device.
[[nodiscard]] NTSTATUS RegisterWmi(DeviceExtension *Extension);

// Withdraws the registration made by RegisterWmi. PASSIVE_LEVEL. Returns
// IoWMIRegistrationControl's status, which callers may ignore.
[[nodiscard]] NTSTATUS DeregisterWmi(DeviceExtension *Extension);

// IRP_MJ_SYSTEM_CONTROL. PASSIVE_LEVEL, may block only as long as the WMI
// library or the lower driver does. The IRP is completed here (through the
// WMI library for requests of this provider) or passed to LowerDevice, whose
// status is returned. A Removed device gets STATUS_DELETE_PENDING.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
