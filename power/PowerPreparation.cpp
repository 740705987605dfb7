#include "driver/Driver.h"
#include "power/Power.h"

VOID PreparePowerManagement(DeviceExtension *Extension)
{
    // A restart finds them initialised already, and a retry or a wait-wake
    // request of the last start may still be using them.
    if (ReadNoFence(&Extension->PowerManagementPrepared) != 0) {
        return;
    }
    KeInitializeSpinLock(&Extension->PowerLock);
    KeInitializeEvent(&Extension->NoWaitWakeEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&Extension->NoPowerUpRetryEvent, NotificationEvent, TRUE);
    KeInitializeTimerEx(&Extension->PowerUpRetryTimer, NotificationTimer);
    KeInitializeDpc(&Extension->PowerUpRetryDpc, PowerUpRetryDpc, Extension);
    WriteNoFence(&Extension->PowerManagementPrepared, 1);
}
