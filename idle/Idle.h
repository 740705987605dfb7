// Idle detection and USB selective suspend.
#pragma once

#include "driver/DeviceExtension.h"

// Due time and period of the idle check.
constexpr LONGLONG IdleCheckDueTime = -50000000LL;  // 5 s, relative, 100 ns units
constexpr LONG IdleCheckPeriodMs = 5000;

// PASSIVE_LEVEL, from AddDevice, only when idle suspend is configured:
// initialises the idle timer, its DPC and the two idle events.
VOID PrepareIdleDetection(DeviceExtension *Extension, PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL, from the PnP handlers. StartIdleDetection arms the periodic
// check when idle suspend is configured. StopIdleDetection blocks until no
// idle work and no idle request remain, and returns with the idle timer
// cancelled and no idle DPC queued or running, so the device object may be
// deleted afterwards. A pending request must have been cancelled first
// (CancelIdleRequest) or the wait lasts until the bus driver ends it.
VOID StartIdleDetection(DeviceExtension *Extension);
VOID StopIdleDetection(DeviceExtension *Extension);
// Any IRQL up to DISPATCH_LEVEL; never blocks. Cancels the outstanding idle
// request unless the device can still suspend (no handle open, no request
// in flight); the caller must hold a handle or an I/O count for that.
VOID CancelIdleRequest(DeviceExtension *Extension);
// TRUE when no handle is open and no request is in flight, read without a
// lock. Any IRQL.
BOOLEAN CanSuspend(DeviceExtension *Extension);

// The idle machinery, exposed for the routines that call it.
// DPC of IdleTimer (DISPATCH_LEVEL); deferred context the device object.
VOID NTAPI IdleTimerDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
// Work-item routine queued by the DPC (PASSIVE_LEVEL); context its own
// IO_WORKITEM, which it frees.
VOID NTAPI IdleWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
// Sends the bus driver an idle notification. PASSIVE_LEVEL. Returns
// STATUS_POWER_STATE_INVALID (not in D0), STATUS_DEVICE_BUSY (one is under
// way), STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL (the device became
// busy or left D0 before sending; nothing was sent) or the bus driver's
// status. The IRP is the driver's own and is freed when the request ends.
[[nodiscard]] NTSTATUS SubmitIdleRequest(DeviceExtension *Extension);
// The USB idle callback (PASSIVE_LEVEL, in the bus driver's thread; blocks
// until the device has reached IdlePowerState, or not left D0).
VOID IdleNotificationCallback(PVOID Context);
// Power-request callback of the idle power-down; context an IdlePowerContext.
VOID NTAPI IdlePowerDownDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                             POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
// Completion routine of the idle notification IRP (up to DISPATCH_LEVEL);
// context the DeviceExtension. Always STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI IdleRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// One per idle power-down: the device and the event its callback waits on.
struct IdlePowerContext {
    DeviceExtension *Extension;
    PKEVENT Event;
};
