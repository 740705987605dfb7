#include "driver/Driver.h"

// The lock keeps each change of a count together with its event change, so
// no increment to 2 can slip between a decrement to 1 and the setting of
// NoIoInFlightEvent, and none of device I/O between its last end and the
// setting of NoDeviceIoEvent.

namespace {

enum class CountKind { Presence, DeviceIo };

VOID Increment(DeviceExtension *Extension, CountKind Kind)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->OutstandingIoLock, &oldIrql);
    if (InterlockedIncrement(&Extension->OutstandingIo) == 2) {
        KeClearEvent(&Extension->NoIoInFlightEvent);
    }
    if (Kind == CountKind::DeviceIo && InterlockedIncrement(&Extension->DeviceIoCount) == 1) {
        KeClearEvent(&Extension->NoDeviceIoEvent);
    }
    KeReleaseSpinLock(&Extension->OutstandingIoLock, oldIrql);
}

VOID Decrement(DeviceExtension *Extension, CountKind Kind)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->OutstandingIoLock, &oldIrql);
    if (Kind == CountKind::DeviceIo && InterlockedDecrement(&Extension->DeviceIoCount) == 0) {
        KeSetEvent(&Extension->NoDeviceIoEvent, IO_NO_INCREMENT, FALSE);
    }
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

}  // namespace

VOID IncrementIoCount(DeviceExtension *Extension) { Increment(Extension, CountKind::Presence); }

VOID DecrementIoCount(DeviceExtension *Extension) { Decrement(Extension, CountKind::Presence); }

VOID BeginDeviceIo(DeviceExtension *Extension) { Increment(Extension, CountKind::DeviceIo); }

VOID EndDeviceIo(DeviceExtension *Extension) { Decrement(Extension, CountKind::DeviceIo); }
