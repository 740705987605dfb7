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

// Hands NoIdleWorkEvent back to the next tick. The event is set before the
// flag is cleared: a tick in between sees the flag and leaves the event alone.
// The work item keeps the device object referenced until IdleWorker returns.
VOID EndIdleWork(DeviceExtension *Extension)
{
    KeSetEvent(&Extension->NoIdleWorkEvent, IO_NO_INCREMENT, FALSE);
    (void)InterlockedExchange(&Extension->IdleWorkQueued, 0);
}

VOID WaitFor(PKEVENT Event)
{
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace

VOID PrepareIdleDetection(DeviceExtension *Extension, PDEVICE_OBJECT DeviceObject)
{
    KeInitializeDpc(&Extension->IdleTimerDpc, IdleTimerDpcRoutine, DeviceObject);
    KeInitializeTimerEx(&Extension->IdleTimer, NotificationTimer);
    KeInitializeEvent(&Extension->NoIdleWorkEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&Extension->NoIdleRequestEvent, NotificationEvent, TRUE);
    KeInitializeSpinLock(&Extension->IdleTimerLock);
    KeInitializeEvent(&Extension->NoIdleTimerEvent, NotificationEvent, TRUE);
}

VOID StartIdleDetection(DeviceExtension *Extension)
{
    const ULONG configured = Extension->IdleSuspendConfigured;
    if (configured == 0) {
        // PrepareIdleDetection never ran: there is no timer or lock to touch.
        WriteULongNoFence(&Extension->IdleSuspendActive, 0);
        return;
    }
    (void)InterlockedExchange(&Extension->IdleIrpReleaseCount, 0);
    (void)InterlockedExchange(&Extension->IdlePowerDownState, 0);
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleTimerLock, &oldIrql);
    WriteULongNoFence(&Extension->IdleSuspendActive, configured);
    KeReleaseSpinLock(&Extension->IdleTimerLock, oldIrql);
    ArmIdleTimer(Extension);
}

VOID StopIdleDetection(DeviceExtension *Extension)
{
    // Cleared under the timer's lock: from here on nobody arms the timer, a
    // DPC under way ends its cycle, and a tick neither queues work nor does
    // a request completion re-arm.
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->IdleTimerLock, &oldIrql);
    WriteULongNoFence(&Extension->IdleSuspendActive, 0);
    KeReleaseSpinLock(&Extension->IdleTimerLock, oldIrql);
    CancelIdleTimer(Extension);

    // The DPC clears NoIdleWorkEvent before it ends its cycle, so once this
    // wait is over the work event covers any worker it queued.
    WaitFor(&Extension->NoIdleTimerEvent);
    WaitFor(&Extension->NoIdleWorkEvent);
    WaitFor(&Extension->NoIdleRequestEvent);

    // The DPC set NoIdleTimerEvent while holding the lock: once the lock is
    // ours it has let go of it, and it touches nothing of the device after.
    KeAcquireSpinLock(&Extension->IdleTimerLock, &oldIrql);
    KeReleaseSpinLock(&Extension->IdleTimerLock, oldIrql);
}

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

BOOLEAN CanSuspend(DeviceExtension *Extension)
{
    return ReadNoFence(&Extension->OpenHandleCount) == 0 && ReadNoFence(&Extension->OutstandingIo) == 1;
}

VOID NTAPI IdleTimerDpcRoutine(PKDPC /*Dpc*/, PVOID DeferredContext, PVOID /*SystemArgument1*/,
                               PVOID /*SystemArgument2*/)
{
    auto *deviceObject = static_cast<PDEVICE_OBJECT>(DeferredContext);
    DeviceExtension *extension = ExtensionOf(deviceObject);

    BOOLEAN workQueued = FALSE;
    // A worker from an earlier tick still pending owns the event.
    if (ReadULongNoFence(&extension->IdleSuspendActive) != 0 && CanSuspend(extension) &&
        InterlockedExchange(&extension->IdleWorkQueued, 1) == 0) {
        KeClearEvent(&extension->NoIdleWorkEvent);
        PIO_WORKITEM workItem = IoAllocateWorkItem(deviceObject);
        if (workItem != nullptr) {
            IoQueueWorkItem(workItem, IdleWorker, DelayedWorkQueue, workItem);
            workQueued = TRUE;
        } else {
            EndIdleWork(extension);
        }
    }

    // The worker decides about the next check: a request it sends keeps the
    // timer off until the request ends. Anything else carries this cycle on.
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->IdleTimerLock, &oldIrql);
    if (ReadULongNoFence(&extension->IdleSuspendActive) != 0 &&
        (!workQueued || extension->IdleTimerRearm != 0)) {
        extension->IdleTimerRearm = 0;
        SetIdleTimerLocked(extension);
    } else {
        EndTimerCycleLocked(extension);
    }
    KeReleaseSpinLock(&extension->IdleTimerLock, oldIrql);
}

VOID NTAPI IdleWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (ReadULongNoFence(&extension->IdleSuspendActive) != 0 && CanSuspend(extension)) {
        (void)SubmitIdleRequest(extension);
    } else {
        ArmIdleTimer(extension);
    }
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
    EndIdleWork(extension);
}
