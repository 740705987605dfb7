// WMI registration and the driver's one data block.
#pragma once

#include "driver/DeviceExtension.h"

// Driver-wide debug output level, WMI data item 1; starts at 1.
extern ULONG DebugPrintLevel;

[[nodiscard]] NTSTATUS RegisterWmi(DeviceExtension *Extension);
NTSTATUS DeregisterWmi(DeviceExtension *Extension);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
