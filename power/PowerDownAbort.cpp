#include "driver/Driver.h"
#include "power/Power.h"

// A read that waits for data the device has not produced would hold a
// power-down's drain for ever, and with it the system's sleep (Windows ends
// that with a DRIVER_POWER_STATE_FAILURE bug check). Transfers still with the
// bus when the device is to leave D0 are therefore aborted; they complete with
// STATUS_CANCELLED and the drain can finish. The handles stay open and usable
// after the device is back in D0.
BOOLEAN AbortTransfersForPowerDown(DeviceExtension *Extension)
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

    // The URB lives on this stack rather than in pool: the abort is what lets
    // a sleep proceed, so it must not depend on memory being available. Only
    // the request that carries it can still fail for want of resources.
    BOOLEAN allSent = TRUE;
    struct _URB_PIPE_REQUEST urb;
    for (ULONG i = 0; i < count; ++i) {
        RtlZeroMemory(&urb, sizeof(urb));
        urb.Hdr.Length = sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
        urb.PipeHandle = handles[i];
        if (SubmitUrbSync(Extension->DeviceObject, reinterpret_cast<PURB>(&urb)) == STATUS_INSUFFICIENT_RESOURCES) {
            allSent = FALSE;
        }
    }
    return allSent;
}
