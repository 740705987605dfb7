#include "driver/Driver.h"

// The lock keeps each change of the count together with its event change, so
// no increment to 2 can slip between a decrement to 1 and the setting of
// NoIoInFlightEvent.

VOID IncrementIoCount(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->OutstandingIoLock, &oldIrql);
    if (InterlockedIncrement(&Extension->OutstandingIo) == 2) {
        KeClearEvent(&Extension->NoIoInFlightEvent);
    }
    KeReleaseSpinLock(&Extension->OutstandingIoLock, oldIrql);
}

VOID DecrementIoCount(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->OutstandingIoLock, &oldIrql);
    const LONG remaining = InterlockedDecrement(&Extension->OutstandingIo);
    if (remaining == 1) {
        KeSetEvent(&Extension->NoIoInFlightEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&Extension->OutstandingIoLock, oldIrql);
    // The last count: the removal waiting for it frees this extension, the
    // lock included, as soon as it runs. So the event is set after the lock
    // is released, and nothing of the extension is touched after it. No
    // increment can follow a count of 0, so nothing needs the lock's order.
    if (remaining == 0) {
        KeSetEvent(&Extension->RemoveReadyEvent, IO_NO_INCREMENT, FALSE);
    }
}
