// Timers and DPCs: the timers the clock fires, the DPC queue and the
// thread that delivers it at DISPATCH_LEVEL.
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Controlled.h"

#include <cstring>

// Wait blocks live on the waiting thread's stack and are linked into an
// object's wait list only while that thread is blocked in Block(); they are
// always unlinked before the frame returns, which GCC cannot see.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

namespace sim {

void Machine::Impl::FireTimer(PKTIMER Timer)
{
    __atomic_store_n(&Timer->Header.SignalState, 1, __ATOMIC_RELAXED);
    auto **head = reinterpret_cast<WaitBlock **>(&Timer->Header.WaitListHead);
    if (IsSynchronization(&Timer->Header)) {
        if (*head != nullptr) {
            __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_RELAXED);
            Wake(*head, STATUS_SUCCESS);
        }
    } else {
        WakeAll(head, STATUS_SUCCESS);
    }
    if (Timer->Dpc != nullptr) {
        QueueDpcLocked(Timer->Dpc, nullptr, nullptr);
    }
    if (Timer->Period > 0) {
        Timer->DueTime += static_cast<uint64_t>(Timer->Period) * kTicksPerMs;
        Deadlines.emplace(Timer->DueTime, Deadline{Deadline::Timer, Timer});
    } else {
        Timer->Header.Inserted = 0;
        PendingWork -= ArmedTimers.erase(Timer);
    }
}

bool Machine::Impl::DpcOwnerLocked(const KDPC *Dpc, PDRIVER_OBJECT *Owner) const
{
    auto it = DpcOwners.find(Dpc);
    if (it == DpcOwners.end()) {
        return false;
    }
    *Owner = it->second;
    return true;
}

bool Machine::Impl::QueueDpcLocked(PKDPC Dpc, PVOID Arg1, PVOID Arg2)
{
    if (Dpc->DpcData != nullptr) {
        return false;
    }
    Dpc->SystemArgument1 = Arg1;
    Dpc->SystemArgument2 = Arg2;
    Dpc->DpcData = &DpcQueue;
    PendingWork += 1;
    PLIST_ENTRY tail = DpcQueue.Blink;
    Dpc->DpcListEntry.Flink = &DpcQueue;
    Dpc->DpcListEntry.Blink = tail;
    tail->Flink = &Dpc->DpcListEntry;
    DpcQueue.Blink = &Dpc->DpcListEntry;
    if (DpcWaiters != nullptr) {
        Wake(DpcWaiters, STATUS_SUCCESS);
    }
    return true;
}

static void RemoveDpcEntry(Machine::Impl &K, PKDPC Dpc)
{
    Dpc->DpcListEntry.Blink->Flink = Dpc->DpcListEntry.Flink;
    Dpc->DpcListEntry.Flink->Blink = Dpc->DpcListEntry.Blink;
    Dpc->DpcData = nullptr;
    K.PendingWork -= 1;
}

void Machine::Impl::DpcLoop()
{
    SimThread *me = Self();
    std::unique_lock lock(Sched);
    for (;;) {
        PKDPC dpc = nullptr;
        while ((dpc = NextDpcLocked()) == nullptr && !Stopping) {
            WaitBlock wb;
            wb.What = "the DPC queue";
            Enqueue(&DpcWaiters, wb);
            Block(lock, me, wb);
        }
        if (dpc == nullptr) {
            return;
        }
        RemoveDpcEntry(*this, dpc);
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID a1 = dpc->SystemArgument1;
        PVOID a2 = dpc->SystemArgument2;
        PDRIVER_OBJECT owner = nullptr;
        (void)DpcOwnerLocked(dpc, &owner);
        DpcRunning = true;
        lock.unlock();
        if (Ctl) {
            ControlledPoint(*this, me, "the delivery of a DPC", dpc);
        }
        me->Irql = DISPATCH_LEVEL;
        {
            FrameScope frame(FrameKind::Dpc, owner, nullptr, nullptr, reinterpret_cast<const void *>(routine));
            routine(dpc, context, a1, a2);
        }
        me->Irql = PASSIVE_LEVEL;
        lock.lock();
        DpcRunning = false;
        if (DpcQueue.Flink == &DpcQueue) {
            WakeAll(&FlushWaiters, STATUS_SUCCESS);
        }
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    Self();
    memset(static_cast<void *>(Timer), 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? kTimerNotification : kTimerSynchronization;
    Timer->Header.Initialized = 1;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

static void CancelTimerLocked(Machine::Impl &k, PKTIMER Timer)
{
    auto range = k.Deadlines.equal_range(Timer->DueTime);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.Type == Deadline::Timer && it->second.Item == Timer) {
            k.Deadlines.erase(it);
            break;
        }
    }
    Timer->Header.Inserted = 0;
    k.PendingWork -= k.ArmedTimers.erase(Timer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::WaitIrql, nullptr, nullptr, "KeSetTimerEx above DISPATCH_LEVEL");
    }
    if (Timer->Header.Initialized != 1 || !IsTimer(&Timer->Header) || Period < 0) {
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr,
                            "KeSetTimerEx on an uninitialized timer or with a negative period");
        return FALSE;
    }
    if (k.Ctl) {
        ControlledPoint(k, me, "KeSetTimer", Timer);
    }
    std::unique_lock lock(k.Sched);
    PDRIVER_OBJECT dpcOwner = nullptr;
    if (Dpc != nullptr && !k.DpcOwnerLocked(Dpc, &dpcOwner)) {
        lock.unlock();
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr,
                            "KeSetTimerEx with a DPC that KeInitializeDpc did not initialize");
        return FALSE;
    }
    BOOLEAN wasArmed = Timer->Header.Inserted != 0;
    if (wasArmed) {
        CancelTimerLocked(k, Timer);
    }
    __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_RELAXED);
    Timer->DueTime = AbsoluteDue(k, DueTime.QuadPart);
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Owner = CurrentDriver();
    Timer->Header.Inserted = 1;
    k.PendingWork += k.ArmedTimers.insert(Timer).second ? 1 : 0;
    k.Deadlines.emplace(Timer->DueTime, Deadline{Deadline::Timer, Timer});
    k.ClockCv.notify_all();
    return wasArmed;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    Machine::Impl &k = Kernel();
    if (k.Ctl) {
        ControlledPoint(k, Self(), "KeCancelTimer", Timer);
    }
    std::unique_lock lock(k.Sched);
    if (Timer->Header.Inserted == 0) {
        return FALSE;
    }
    CancelTimerLocked(k, Timer);
    return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    Self();
    return (__atomic_load_n(&Timer->Header.SignalState, __ATOMIC_RELAXED) & ~kEventLockBit) != 0;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Machine::Impl &k = Kernel();
    memset(static_cast<void *>(Dpc), 0, sizeof(*Dpc));
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    PDRIVER_OBJECT owner = CurrentDriver();
    std::unique_lock lock(k.Sched);
    k.DpcOwners[Dpc] = owner;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    Machine::Impl &k = Kernel();
    if (k.Ctl) {
        ControlledPoint(k, Self(), "KeInsertQueueDpc", Dpc);
    }
    std::unique_lock lock(k.Sched);
    PDRIVER_OBJECT owner = nullptr;
    if (Dpc->DeferredRoutine == nullptr || !k.DpcOwnerLocked(Dpc, &owner)) {
        lock.unlock();
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr, "KeInsertQueueDpc on an uninitialized DPC");
        return FALSE;
    }
    return k.QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    Machine::Impl &k = Kernel();
    std::unique_lock lock(k.Sched);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    RemoveDpcEntry(k, Dpc);
    if (k.DpcQueue.Flink == &k.DpcQueue && !k.DpcRunning) {
        k.WakeAll(&k.FlushWaiters, STATUS_SUCCESS);
    }
    return TRUE;
}

VOID NTAPI KeFlushQueuedDpcs(void)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql != PASSIVE_LEVEL) {
        k.M.ReportViolation(checks::WaitIrql, nullptr, nullptr, "KeFlushQueuedDpcs above PASSIVE_LEVEL");
        return;
    }
    if (me == k.DpcThread) {
        return;
    }
    std::unique_lock lock(k.Sched);
    while (k.DpcQueue.Flink != &k.DpcQueue || k.DpcRunning) {
        WaitBlock wb;
        wb.What = "queued DPCs to finish";
        k.Enqueue(&k.FlushWaiters, wb);
        k.Block(lock, me, wb);
    }
}

}  // extern "C"
