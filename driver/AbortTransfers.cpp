#include "driver/Driver.h"

// A read that waits for data the device has not produced would hold a drain
// for ever: a power-down's, and with it the system's sleep (Windows ends that
// with a DRIVER_POWER_STATE_FAILURE bug check), or a PnP query's, and with it
// the PnP thread. Transfers still with the bus are therefore aborted before
// such a drain; they complete with STATUS_CANCELLED. The handles stay open.
BOOLEAN AbortPendingTransfers(DeviceExtension *Extension)
{
    USBD_PIPE_HANDLE handles[PipeSlotLimit];
    ULONG count = 0;

    // Snapshot the open pipes under the lock that orders the configuration
    // records against their release; the aborts go out after it is dropped.
    // A handle that went stale meanwhile is refused by the bus.
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->ConfigurationLock, &oldIrql);
    const PUSBD_INTERFACE_INFORMATION interfaceInfo = Extension->InterfaceInfo;
    LONG *const pipeOpenCounts = Extension->PipeOpenCounts;
    if (interfaceInfo != nullptr && pipeOpenCounts != nullptr) {
        const ULONG pipes = interfaceInfo->NumberOfPipes < PipeSlotLimit ? interfaceInfo->NumberOfPipes : PipeSlotLimit;
        for (ULONG pipe = 0; pipe < pipes; ++pipe) {
            if (ReadNoFence(&pipeOpenCounts[pipe]) > 0) {
                handles[count++] = interfaceInfo->Pipes[pipe].PipeHandle;
            }
        }
    }
    KeReleaseSpinLock(&Extension->ConfigurationLock, oldIrql);

    BOOLEAN allSent = TRUE;
    for (ULONG i = 0; i < count; ++i) {
        if (AbortPipe(Extension->DeviceObject, handles[i]) == STATUS_INSUFFICIENT_RESOURCES) {
            allSent = FALSE;
        }
    }
    return allSent;
}

VOID AbortTransfersAndWait(DeviceExtension *Extension, PKEVENT Drained)
{
    // A transfer that was on its way to the bus during one abort (it passed
    // its checks before the caller stopped admitting it, or the caller admits
    // new ones) is caught by the next. Each round waits at most this long.
    LARGE_INTEGER interval;
    interval.QuadPart = -100LL * 10000;  // 100 ms, relative
    do {
        // An abort that could not be sent now is sent again next round.
        (void)AbortPendingTransfers(Extension);
    } while (KeWaitForSingleObject(Drained, Executive, KernelMode, FALSE, &interval) == STATUS_TIMEOUT);
}
