// The control interface of vxbus.sys, shared by the bus driver and the
// harness's user-mode tool (vxwine.exe). Include after <ddk/wdm.h> or after
// <windows.h> and <winioctl.h>.
#pragma once

// {C2D1B0F4-5E0B-4F0E-9D2B-6A8E1F3C7B45}: the bus FDO's interface.
static const GUID GUID_DEVINTERFACE_VXBUS = {
    0xC2D1B0F4, 0x5E0B, 0x4F0E, {0x9D, 0x2B, 0x6A, 0x8E, 0x1F, 0x3C, 0x7B, 0x45}};

// No input, no output. UNPLUG takes the device off the port (the PnP
// manager then surprise-removes and removes it); PLUG puts it back, and
// fails with STATUS_DEVICE_BUSY while the previous child still exists.
#define IOCTL_VXBUS_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VXBUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: VXBUS_STATE.
#define IOCTL_VXBUS_STATE CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct VXBUS_STATE {
    unsigned long Plugged;        // the device is on the port
    unsigned long ChildExists;    // its PDO exists
    unsigned long ChildStarted;   // the PDO is started
    unsigned long ChildAttached;  // a function driver is attached to the PDO
} VXBUS_STATE;

// No input. Output: VXBUS_UNLOAD. After the child's removal: counts the
// device objects the function driver above it still has and, when none is
// left, unloads that driver (Wine never does by itself). The harness's own
// check; see FunctionDriverWatch.h.
#define IOCTL_VXBUS_UNLOAD CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct VXBUS_UNLOAD {
    unsigned long Watched;           // a function driver was seen at a child's start
    unsigned long DeviceObjects;     // its device objects left before the unload
    long UnloadStatus;               // ZwUnloadDriver's status (not called while device objects are left)
    unsigned long UnloadRoutineRan;  // its DriverUnload was called
} VXBUS_UNLOAD;
