#include "driver/Driver.h"
#include "idle/Idle.h"

namespace {

// Hands NoIdleWorkEvent back to the next tick. The event is set before the
// flag is cleared: a tick in between sees the flag and leaves the event alone.
// The work item keeps the device object referenced until IdleWorker returns.
VOID EndIdleWork(DeviceExtension *Extension)
{
    KeSetEvent(&Extension->NoIdleWorkEvent, IO_NO_INCREMENT, FALSE);
    (void)InterlockedExchange(&Extension->IdleWorkQueued, 0);
}

VOID WaitFor(PKEVENT Event) { KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr); }

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
    ContinueIdleTimerCycle(extension, workQueued);
}

VOID NTAPI IdleWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (ReadULongNoFence(&extension->IdleSuspendActive) != 0 && CanSuspend(extension)) {
        // Whatever the outcome, the timer is armed again by the request's
        // end or, when nothing was sent, by SubmitIdleRequest itself.
        (void)SubmitIdleRequest(extension);
    } else {
        ArmIdleTimer(extension);
    }
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
    EndIdleWork(extension);
}
