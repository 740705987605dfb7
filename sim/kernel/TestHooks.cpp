// Hooks that let tests force an order of events: a DPC kept queued, and a
// call at the end of every spin-lock release. Both are off by default.
#include "sim/kernel/MachineImpl.h"

namespace sim {

PKDPC Machine::Impl::NextDpcLocked()
{
    for (PLIST_ENTRY entry = DpcQueue.Flink; entry != &DpcQueue; entry = entry->Flink) {
        PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        if (HeldDpcs.empty() || HeldDpcs.count(dpc) == 0) {
            return dpc;
        }
    }
    return nullptr;
}

void Machine::HoldDpc(PKDPC Dpc)
{
    std::unique_lock lock(impl_->Sched);
    impl_->HeldDpcs.insert(Dpc);
}

void Machine::ReleaseDpc(PKDPC Dpc)
{
    std::unique_lock lock(impl_->Sched);
    if (impl_->HeldDpcs.erase(Dpc) != 0) {
        impl_->WakeAll(&impl_->DpcWaiters, STATUS_SUCCESS);
    }
}

void Machine::SetSpinLockReleaseHook(SpinLockReleaseHook Hook)
{
    std::lock_guard lock(impl_->ReleaseHookMutex);
    impl_->HasReleaseHook.store(static_cast<bool>(Hook), std::memory_order_release);
    impl_->ReleaseHook = std::move(Hook);
}

void Machine::SetSpinLockAcquireHook(SpinLockReleaseHook Hook)
{
    std::lock_guard lock(impl_->ReleaseHookMutex);
    impl_->HasAcquireHook.store(static_cast<bool>(Hook), std::memory_order_release);
    impl_->AcquireHook = std::move(Hook);
}

void Machine::Impl::RunAcquireHook(PKSPIN_LOCK Lock)
{
    Machine::SpinLockReleaseHook hook;
    {
        std::lock_guard lock(ReleaseHookMutex);
        hook = AcquireHook;
    }
    if (hook) {
        hook(Lock);
    }
}

void Machine::Impl::RunReleaseHook(PKSPIN_LOCK Lock)
{
    if (!HasReleaseHook.load(std::memory_order_acquire)) {
        return;
    }
    Machine::SpinLockReleaseHook hook;
    {
        std::lock_guard lock(ReleaseHookMutex);
        hook = ReleaseHook;
    }
    if (hook) {
        hook(Lock);
    }
}

}  // namespace sim
