// Idle detection and USB selective suspend.
#pragma once

#include "driver/DeviceExtension.h"

// Time from one idle check to the next.
constexpr LONGLONG IdleCheckDueTime = -50000000LL;  // 5 s, relative, 100 ns units

// PASSIVE_LEVEL, from AddDevice, only when idle suspend is configured:
// initialises the idle timer, its DPC and the two idle events.
VOID PrepareIdleDetection(DeviceExtension *Extension, PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL, from the PnP handlers. StartIdleDetection arms the check,
// 5 s from now and every 5 s after, when idle suspend is configured.
// StopIdleDetection blocks until no idle work and no idle request remain,
// and returns with the idle timer cancelled and no idle DPC queued or
// running, so the device object may be deleted afterwards; it uses only
// services Windows 2000 has. A pending request must have been cancelled
// first (CancelIdleRequest) or the wait lasts until the bus driver ends it.
// After a stop, StartIdleDetection may start detection again.
VOID StartIdleDetection(DeviceExtension *Extension);
VOID StopIdleDetection(DeviceExtension *Extension);
// Up to DISPATCH_LEVEL; never blocks. ArmIdleTimer schedules the next idle
// check 5 s from now while detection is active (nothing otherwise); when a
// check is already scheduled or its DPC is under way, that DPC schedules the
// next one as it ends. CancelIdleTimer withdraws a scheduled check that has
// not expired yet and any arming asked of the DPC under way (which still
// schedules the next check itself when its tick queued no work).
VOID ArmIdleTimer(DeviceExtension *Extension);
VOID CancelIdleTimer(DeviceExtension *Extension);
// The end of each IdleTimerDpcRoutine run (DISPATCH_LEVEL, from that DPC
// only): schedules the next check while detection is active, unless the
// tick queued work (WorkQueued) and nobody asked for an arming meanwhile;
// otherwise ends the timer's cycle and sets NoIdleTimerEvent.
VOID ContinueIdleTimerCycle(DeviceExtension *Extension, BOOLEAN WorkQueued);
// Any IRQL up to DISPATCH_LEVEL; never blocks. Cancels the outstanding idle
// request unless the device can still suspend (no handle open, no request
// in flight); the caller must hold a handle or an I/O count for that.
VOID CancelIdleRequest(DeviceExtension *Extension);
// TRUE when no handle is open and no request is in flight, read without a
// lock. Any IRQL.
[[nodiscard]] inline BOOLEAN CanSuspend(DeviceExtension *Extension)
{
    return ReadNoFence(&Extension->OpenHandleCount) == 0 && ReadNoFence(&Extension->OutstandingIo) == 1;
}

// The idle machinery, exposed for the routines that call it.
// DPC of IdleTimer (DISPATCH_LEVEL); deferred context the device object.
VOID NTAPI IdleTimerDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
// Work-item routine queued by the DPC (PASSIVE_LEVEL); context its own
// IO_WORKITEM, which it frees.
VOID NTAPI IdleWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
// Sends the bus driver an idle notification. PASSIVE_LEVEL. Returns
// STATUS_POWER_STATE_INVALID (not in D0), STATUS_DEVICE_BUSY (one is under
// way), STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL (the device became
// busy or left D0 before sending; nothing was sent) or the bus driver's
// status. The IRP is the driver's own and is freed when the request ends.
// The idle timer is cancelled when the request is sent and armed again when
// it ends; after the first four results (nothing sent) it is armed again at
// once, except after STATUS_DEVICE_BUSY, whose request under way does it.
[[nodiscard]] NTSTATUS SubmitIdleRequest(DeviceExtension *Extension);
// The USB idle callback (PASSIVE_LEVEL, in the bus driver's thread; blocks
// until the device has reached IdlePowerState, or not left D0).
VOID IdleNotificationCallback(PVOID Context);
// Power-request callback of the idle power-down; context an IdlePowerContext.
VOID NTAPI IdlePowerDownDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                             PIO_STATUS_BLOCK IoStatus);
// Completion routine of the idle notification IRP (up to DISPATCH_LEVEL);
// context the DeviceExtension. Always STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI IdleRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// One per idle power-down: the device and the event its callback waits on.
struct IdlePowerContext {
    DeviceExtension *Extension;
    PKEVENT Event;
};
