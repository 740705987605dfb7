#include "driver/Driver.h"
#include "power/Power.h"

// A D0 request that cannot be made leaves the device in D1-D3 with nothing
// left to bring it back: handles stay open and every transfer fails. So it
// is made again from a timer, which needs no allocation to be armed, every
// kRetryInterval while the power manager refuses. An armed retry holds no
// I/O count (a query-remove or a power-down drain must not wait for it);
// instead the removal cancels it, or waits for its DPC to end, before the
// device object can go.

namespace {

// 100 ms, relative, in 100 ns units.
constexpr LONGLONG kRetryInterval = -100LL * 10000;

[[nodiscard]] bool IsRemoved(DeviceExtension *Extension) { return CurrentDeviceState(Extension) == Removed; }

// Under PowerLock. The removal sets Removed before it takes the lock to
// cancel, so a retry is either armed before that and cancelled there, or
// sees Removed and is not armed.
VOID ArmTimerLocked(DeviceExtension *Extension)
{
    LARGE_INTEGER due;
    due.QuadPart = kRetryInterval;
    (void)KeSetTimerEx(&Extension->PowerUpRetryTimer, due, 0, &Extension->PowerUpRetryDpc);
}

VOID ArmRetry(DeviceExtension *Extension)
{
    if (ReadNoFence(&Extension->PowerManagementPrepared) == 0) {
        // Never started: in D0 from creation, nothing to bring back.
        return;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->PowerLock, &oldIrql);
    // Already armed: that retry asks for D0 for both.
    if (Extension->PowerUpRetryArmed == 0 && !IsRemoved(Extension)) {
        Extension->PowerUpRetryArmed = 1;
        KeClearEvent(&Extension->NoPowerUpRetryEvent);
        ArmTimerLocked(Extension);
    }
    KeReleaseSpinLock(&Extension->PowerLock, oldIrql);
}

// TRUE when the power manager took the request; the requester count taken
// here then belongs to ReleaseCountOnPowerDone.
[[nodiscard]] bool SendPowerUp(DeviceExtension *Extension)
{
    IncrementIoCount(Extension);
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    const NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_SET_POWER, powerState,
                                              ReleaseCountOnPowerDone, Extension, nullptr);
    // Anything but STATUS_PENDING means no IRP was sent and no callback will
    // give the count back.
    if (status != STATUS_PENDING) {
        DecrementIoCount(Extension);
        return false;
    }
    return true;
}

}  // namespace

NTSTATUS RequestDevicePowerUp(DeviceExtension *Extension)
{
    if (SendPowerUp(Extension)) {
        return STATUS_PENDING;
    }
    ArmRetry(Extension);
    return STATUS_INSUFFICIENT_RESOURCES;
}

VOID RetryDevicePowerUp(DeviceExtension *Extension) { ArmRetry(Extension); }

VOID CancelDevicePowerUpRetry(DeviceExtension *Extension)
{
    if (ReadNoFence(&Extension->PowerManagementPrepared) == 0) {
        return;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->PowerLock, &oldIrql);
    // TRUE: the timer was still set, so no DPC will run for this arming.
    // Otherwise a DPC is queued or running and ends the retry itself.
    if (Extension->PowerUpRetryArmed != 0 && KeCancelTimer(&Extension->PowerUpRetryTimer)) {
        Extension->PowerUpRetryArmed = 0;
        KeSetEvent(&Extension->NoPowerUpRetryEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&Extension->PowerLock, oldIrql);
    (void)KeWaitForSingleObject(&Extension->NoPowerUpRetryEvent, Executive, KernelMode, FALSE, nullptr);
}

VOID NTAPI PowerUpRetryDpc(PKDPC /*Dpc*/, PVOID Context, PVOID /*SystemArgument1*/, PVOID /*SystemArgument2*/)
{
    auto *extension = static_cast<DeviceExtension *>(Context);

    // The removal cannot give up its counts while this retry is armed, so
    // this one is safe to take; it keeps the device until the DPC is done
    // with the lock, after the event that releases the removal is set.
    IncrementIoCount(extension);
    const enum DeviceState state = CurrentDeviceState(extension);
    // A system that went to sleep meanwhile brings the device back with its
    // own S0 request; powering up now would undo the sleep's D-IRP.
    const bool wanted =
        state != Removed && state != SurpriseRemoved && CurrentDevicePower(extension) != PowerDeviceD0 &&
        ReadNoFence(reinterpret_cast<const volatile LONG *>(&extension->SystemPower)) == PowerSystemWorking;
    const bool again = wanted && !SendPowerUp(extension);

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PowerLock, &oldIrql);
    if (again && !IsRemoved(extension)) {
        ArmTimerLocked(extension);
    } else {
        extension->PowerUpRetryArmed = 0;
        KeSetEvent(&extension->NoPowerUpRetryEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->PowerLock, oldIrql);
    DecrementIoCount(extension);
}

VOID NTAPI ReleaseCountOnPowerDone(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/, POWER_STATE /*PowerState*/,
                                   PVOID Context, PIO_STATUS_BLOCK /*IoStatus*/)
{
    DecrementIoCount(static_cast<DeviceExtension *>(Context));
}
