// What the Wine harness's bus does to the function driver above its child
// beyond serving its requests: a stand-in for a kernel service Wine lacks,
// bound into the driver's image, and the unload check. Neither is Wine's nor
// the driver's: docs/wine.md says which part of each check they are.
#pragma once

#include "platform/Platform.h"
#include "tests/wine/busdriver/VxBusControl.h"

namespace vxbus {

// At the child's start, with the driver whose device is attached to it.
// Binds the partial-MDL stand-in into the driver image's import table in
// place of ntoskrnl's IoBuildPartialMdl (a stub in Wine that ends the driver
// host), wraps the driver's DriverUnload to see whether it runs, and keeps a
// reference on the driver object. Once per driver object; a second call for
// the same one does nothing. PASSIVE_LEVEL.
void WatchFunctionDriver(PDRIVER_OBJECT driver);

// After the child's removal: counts the device objects the watched driver
// still has and, when none is left, unloads it with ZwUnloadDriver (Wine
// never unloads a driver whose last device has gone), then lets go of the
// driver object. Fills *result; STATUS_SUCCESS when it could look, whatever
// it found. PASSIVE_LEVEL.
NTSTATUS UnloadFunctionDriver(VXBUS_UNLOAD *result);

}  // namespace vxbus
