// Idle detection and USB selective suspend.
#pragma once

#include "driver/DeviceExtension.h"

// PASSIVE_LEVEL, from AddDevice.
VOID PrepareIdleDetection(DeviceExtension *Extension, PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL, from the PnP handlers. StopIdleDetection blocks until no idle
// work and no idle request remain.
VOID StartIdleDetection(DeviceExtension *Extension);
VOID StopIdleDetection(DeviceExtension *Extension);
// Any IRQL up to DISPATCH_LEVEL; never blocks.
VOID CancelIdleRequest(DeviceExtension *Extension);
BOOLEAN CanSuspend(DeviceExtension *Extension);
