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
    } else if (remaining == 0) {
        KeSetEvent(&Extension->RemoveReadyEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&Extension->OutstandingIoLock, oldIrql);
}
