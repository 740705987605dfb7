// Changes of DeviceState, always together with PreviousDeviceState and
// under StateLock. PASSIVE_LEVEL or DISPATCH_LEVEL; never block.
#pragma once

#include "driver/DeviceExtension.h"

// Saves the current state as the previous one and enters NewState.
inline void EnterDeviceState(DeviceExtension *Extension, enum DeviceState NewState)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StateLock, &oldIrql);
    Extension->PreviousDeviceState = Extension->DeviceState;
    // Other contexts read DeviceState without the lock.
    WriteNoFence(reinterpret_cast<volatile LONG *>(&Extension->DeviceState), NewState);
    KeReleaseSpinLock(&Extension->StateLock, oldIrql);
}

// Returns to the state saved by the last EnterDeviceState (a cancelled query).
inline void RestorePreviousDeviceState(DeviceExtension *Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StateLock, &oldIrql);
    WriteNoFence(reinterpret_cast<volatile LONG *>(&Extension->DeviceState), Extension->PreviousDeviceState);
    KeReleaseSpinLock(&Extension->StateLock, oldIrql);
}
