#include "driver/Driver.h"
#include "idle/Idle.h"

// The idle timer is one-shot. Each arming is accounted for in
// IdleTimerRunning from KeSetTimerEx until KeCancelTimer takes it back
// (TRUE: it never expired, so its DPC will not run) or until the end of the
// DPC it queued, which may carry it on by arming the timer again. The timer
// is armed from outside the DPC only when no arming is running: an arming
// whose DPC has expired but not yet run is indistinguishable from none at
// all, and a second expiry while the DPC is still queued would be swallowed
// by the queue. StopIdleDetection can therefore wait for the DPC on
// NoIdleTimerEvent, with nothing newer than Windows 2000.

namespace {

// IdleTimerLock held.
VOID SetIdleTimerLocked(DeviceExtension *Extension)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = IdleCheckDueTime;
    (void)KeSetTimerEx(&Extension->IdleTimer, dueTime, 0, &Extension->IdleTimerDpc);
}

// IdleTimerLock held. The event is set under the lock so that no arming can
// come between the count and the event; whoever waits on the event takes the
// lock once more before it lets the device go.
VOID EndTimerCycleLocked(DeviceExtension *Extension)
{
    Extension->IdleTimerRunning = 0;
    Extension->IdleTimerRearm = 0;
    KeSetEvent(&Extension->NoIdleTimerEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

VOID ArmIdleTimer(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleTimerLock, &oldIrql);
    if (ReadULongNoFence(&Extension->IdleSuspendActive) != 0) {
        if (Extension->IdleTimerRunning == 0) {
            Extension->IdleTimerRunning = 1;
            KeClearEvent(&Extension->NoIdleTimerEvent);
            SetIdleTimerLocked(Extension);
        } else {
            Extension->IdleTimerRearm = 1;
        }
    }
    KeReleaseSpinLock(&Extension->IdleTimerLock, oldIrql);
}

VOID CancelIdleTimer(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleTimerLock, &oldIrql);
    Extension->IdleTimerRearm = 0;
    if (KeCancelTimer(&Extension->IdleTimer)) {
        EndTimerCycleLocked(Extension);
    }
    KeReleaseSpinLock(&Extension->IdleTimerLock, oldIrql);
}

VOID ContinueIdleTimerCycle(DeviceExtension *Extension, BOOLEAN WorkQueued)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleTimerLock, &oldIrql);
    if (ReadULongNoFence(&Extension->IdleSuspendActive) != 0 && (!WorkQueued || Extension->IdleTimerRearm != 0)) {
        Extension->IdleTimerRearm = 0;
        SetIdleTimerLocked(Extension);
    } else {
        EndTimerCycleLocked(Extension);
    }
    KeReleaseSpinLock(&Extension->IdleTimerLock, oldIrql);
}
