#include "driver/Driver.h"
#include "power/Power.h"

// PowerRequesterCounts packs two things that must change together: how many
// requester counts are held (bits 0-15) and whether HoldIoWorker has lent one
// of them out (bit 16). Only one D-IRP at a time can be in HoldIoWorker (the
// power manager sends the next set or query only after PoStartNextPowerIrp,
// which DevicePowerDownCompletion calls), so one bit is enough.
//
// The lent count may belong to a request whose D-IRP is still queued behind
// the one being held, and that requester may give its count back (its
// PoRequestPowerIrp failed) while it is lent. The count then no longer
// exists: the requester does not decrement it a second time, and
// HoldIoWorker does not take it back.

namespace {

constexpr LONG kHeldMask = 0xFFFF;
constexpr LONG kLent = 0x10000;

LONG ReadCounts(DeviceExtension *Extension)
{
    return ReadNoFence(&Extension->PowerRequesterCounts);
}

}  // namespace

VOID TakeRequesterCount(DeviceExtension *Extension)
{
    IncrementIoCount(Extension);
    InterlockedIncrement(&Extension->PowerRequesterCounts);
}

VOID AdoptRequesterCount(DeviceExtension *Extension)
{
    InterlockedIncrement(&Extension->PowerRequesterCounts);
}

VOID ReleaseRequesterCount(DeviceExtension *Extension)
{
    for (;;) {
        const LONG old = ReadCounts(Extension);
        const LONG held = old & kHeldMask;
        // The last held count while one is lent is the lent one.
        const bool releasesLent = (old & kLent) != 0 && held <= 1;
        const LONG updated = releasesLent ? held - 1 : old - 1;
        if (InterlockedCompareExchange(&Extension->PowerRequesterCounts, updated, old) == old) {
            if (!releasesLent) {
                DecrementIoCount(Extension);
            }
            return;
        }
    }
}

BOOLEAN LendRequesterCount(DeviceExtension *Extension)
{
    for (;;) {
        const LONG old = ReadCounts(Extension);
        if ((old & kLent) != 0 || (old & kHeldMask) == 0) {
            return FALSE;
        }
        if (InterlockedCompareExchange(&Extension->PowerRequesterCounts, old | kLent, old) == old) {
            DecrementIoCount(Extension);
            return TRUE;
        }
    }
}

VOID ReturnRequesterCount(DeviceExtension *Extension)
{
    // Taken back before the lent mark is cleared, so the count never dips
    // below what the holders of the device rely on.
    IncrementIoCount(Extension);
    for (;;) {
        const LONG old = ReadCounts(Extension);
        if ((old & kLent) == 0) {
            // Its requester gave it back while it was lent: it is gone.
            DecrementIoCount(Extension);
            return;
        }
        if (InterlockedCompareExchange(&Extension->PowerRequesterCounts, old & ~kLent, old) == old) {
            return;
        }
    }
}

VOID NTAPI ReleaseCountOnPowerDone(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/,
                                   POWER_STATE /*PowerState*/, PVOID Context,
                                   PIO_STATUS_BLOCK /*IoStatus*/)
{
    ReleaseRequesterCount(static_cast<DeviceExtension *>(Context));
}
