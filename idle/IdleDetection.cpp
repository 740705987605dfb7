#include "driver/Driver.h"
#include "idle/Idle.h"

namespace {

VOID ArmIdleTimer(DeviceExtension *Extension)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = IdleCheckDueTime;
    (void)KeSetTimerEx(&Extension->IdleTimer, dueTime, IdleCheckPeriodMs, &Extension->IdleTimerDpc);
}

// Hands NoIdleWorkEvent back to the next tick. The event is set before the
// flag is cleared: a tick in between sees the flag and leaves the event alone.
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
}

VOID StartIdleDetection(DeviceExtension *Extension)
{
    const ULONG configured = Extension->IdleSuspendConfigured;
    WriteULongNoFence(&Extension->IdleSuspendActive, configured);
    if (configured != 0) {
        (void)InterlockedExchange(&Extension->IdleIrpReleaseCount, 0);
        (void)InterlockedExchange(&Extension->IdlePowerDownState, 0);
        ArmIdleTimer(Extension);
    }
}

VOID StopIdleDetection(DeviceExtension *Extension)
{
    // Cleared first, so that a tick or a request completion from here on
    // neither queues work nor re-arms the timer.
    WriteULongNoFence(&Extension->IdleSuspendActive, 0);
    (void)KeCancelTimer(&Extension->IdleTimer);
    // A DPC queued before the cancel may still clear NoIdleWorkEvent and queue
    // a worker: let it run before waiting on the event.
    KeFlushQueuedDpcs();
    WaitFor(&Extension->NoIdleWorkEvent);
    WaitFor(&Extension->NoIdleRequestEvent);
    // A request completion that read IdleSuspendActive before it was cleared
    // re-armed the timer before it released the request (the wait above ended
    // after that): cancel it again and drain the DPC it may have queued.
    (void)KeCancelTimer(&Extension->IdleTimer);
    KeFlushQueuedDpcs();
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

    // A worker from an earlier tick is still pending: it owns the event.
    if (InterlockedExchange(&extension->IdleWorkQueued, 1) != 0) {
        return;
    }
    KeClearEvent(&extension->NoIdleWorkEvent);
    if (ReadULongNoFence(&extension->IdleSuspendActive) != 0 && CanSuspend(extension)) {
        PIO_WORKITEM workItem = IoAllocateWorkItem(deviceObject);
        if (workItem != nullptr) {
            IoQueueWorkItem(workItem, IdleWorker, DelayedWorkQueue, workItem);
            return;
        }
    }
    EndIdleWork(extension);
}

VOID NTAPI IdleWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    if (ReadULongNoFence(&extension->IdleSuspendActive) != 0 && CanSuspend(extension)) {
        (void)SubmitIdleRequest(extension);
    }
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
    EndIdleWork(extension);
}
