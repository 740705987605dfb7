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
    // The controlled mode keeps the slow path, which holds its scheduling point.
    impl_->HasReleaseHook.store(static_cast<bool>(Hook) || impl_->Ctl != nullptr, std::memory_order_release);
    impl_->ReleaseHook = std::move(Hook);
}

void Machine::SetSpinLockAcquireHook(SpinLockReleaseHook Hook)
{
    std::lock_guard lock(impl_->ReleaseHookMutex);
    impl_->HasAcquireHook.store(static_cast<bool>(Hook) || impl_->Ctl != nullptr, std::memory_order_release);
    impl_->AcquireHook = std::move(Hook);
}

void Machine::StopAfterSet(PKEVENT Event, PKEVENT Stopped)
{
    std::unique_lock lock(impl_->Sched);
    impl_->StopSetSignal = Stopped;
    impl_->StopSetHeld = false;
    impl_->StopSetEvent.store(Event, std::memory_order_relaxed);
}

void Machine::ResumeAfterSet(PKEVENT Event)
{
    std::unique_lock lock(impl_->Sched);
    if (impl_->StopSetEvent.load(std::memory_order_relaxed) == Event) {
        impl_->StopSetEvent.store(nullptr, std::memory_order_relaxed);
    }
    impl_->StopSetHeld = false;
    impl_->WakeAll(&impl_->StopSetWaiters, STATUS_SUCCESS);
}

void Machine::Impl::StopAfterSetHere(PKEVENT Event)
{
    SimThread *me = Self();
    PKEVENT stopped;
    {
        std::unique_lock lock(Sched);
        if (StopSetEvent.load(std::memory_order_relaxed) != Event) {
            return;  // another thread stopped there first
        }
        StopSetEvent.store(nullptr, std::memory_order_relaxed);
        StopSetHeld = true;
        stopped = StopSetSignal;
    }
    if (stopped != nullptr) {
        SetEventInternal(stopped);
    }
    // The scheduler holds the thread, as a stalled processor: no IRQL rule
    // applies to this wait.
    std::unique_lock lock(Sched);
    while (StopSetHeld) {
        WaitBlock wb;
        wb.What = "ResumeAfterSet (stopped right after a KeSetEvent)";
        wb.Object = Event;
        Enqueue(&StopSetWaiters, wb);
        Block(lock, me, wb);
    }
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
