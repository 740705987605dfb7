#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "power/Power.h"

// A read that waits for data the device has not produced would hold a
// power-down's drain for ever, and with it the system's sleep (Windows ends
// that with a DRIVER_POWER_STATE_FAILURE bug check). Transfers still with the
// bus when the device is to leave D0 are therefore aborted; they complete with
// STATUS_CANCELLED and the drain can finish. The handles stay open and usable
// after the device is back in D0.
VOID AbortTransfersForPowerDown(DeviceExtension *Extension)
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

    for (ULONG i = 0; i < count; ++i) {
        PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(struct _URB_PIPE_REQUEST)));
        if (!urb) {
            return;
        }
        RtlZeroMemory(urb.Get(), sizeof(struct _URB_PIPE_REQUEST));
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = handles[i];
        (void)SubmitUrbSync(Extension->DeviceObject, urb.Get());
    }
}
