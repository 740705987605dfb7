// Threads, the virtual clock, dispatcher objects (events, timers), DPCs and
// the delayed work queue. Every blocking of a bound thread goes through
// Impl::Block so the clock knows when all of them are blocked.
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Controlled.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

// Wait blocks live on the waiting thread's stack and are linked into an
// object's wait list only while that thread is blocked in Block(); they are
// always unlinked before the frame returns, which GCC cannot see.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

namespace sim {

thread_local constinit SimThread *tlsThread = nullptr;

namespace {

enum ObjectType : UCHAR { kEventNotification = 1, kEventSynchronization = 2, kTimerNotification = 3, kTimerSynchronization = 4 };

bool IsTimer(const DISPATCHER_HEADER *H) { return H->Type == kTimerNotification || H->Type == kTimerSynchronization; }
bool IsSynchronization(const DISPATCHER_HEADER *H)
{
    return H->Type == kEventSynchronization || H->Type == kTimerSynchronization;
}

// Converts a kernel due time (negative: relative, positive: absolute system
// time) to an absolute virtual time.
// System time at boot: 2001-01-01 in 100 ns units since 1601.
constexpr LONGLONG kBootTime = 126227808000000000LL;

// An event's wait list head is read by KeSetEvent without Sched (under the
// event's own lock bit, below); every change of it is an atomic store.
void StoreHead(WaitBlock **Head, WaitBlock *Value) { __atomic_store_n(Head, Value, __ATOMIC_RELAXED); }

// An event's SignalState holds its lock bit beside the signal. The bit
// makes a set that finds no waiter independent of Sched: the setter takes
// the bit, sees the wait list empty, and stores the signal and the free bit
// at once, which is the last it writes to the event. A waiter checks the
// signal and links itself under Sched and the bit, so it either sees the
// signal or is seen by the setter. The order is Sched, then the bit.
// Timers are set and fired under Sched alone; their waiters take the bit
// as well, which costs nothing there and keeps one wait path.

LONG LockObject(DISPATCHER_HEADER *H)
{
    for (;;) {
        LONG state = __atomic_load_n(&H->SignalState, __ATOMIC_RELAXED);
        if ((state & kEventLockBit) == 0 &&
            __atomic_compare_exchange_n(&H->SignalState, &state, state | kEventLockBit, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return state;
        }
        __builtin_ia32_pause();
    }
}

// Releases the bit and leaves Signal as the state, in one store.
void UnlockObject(DISPATCHER_HEADER *H, LONG Signal) { __atomic_store_n(&H->SignalState, Signal, __ATOMIC_RELEASE); }

// Replaces the signal once the bit is free; returns the signal it replaced.
LONG ExchangeSignal(DISPATCHER_HEADER *H, LONG Signal)
{
    const LONG previous = LockObject(H);
    UnlockObject(H, Signal);
    return previous;
}

uint64_t AbsoluteDue(Machine::Impl &I, LONGLONG Due)
{
    uint64_t now = I.Now();
    if (Due < 0) {
        return now + static_cast<uint64_t>(-Due);
    }
    LONGLONG sinceBoot = Due - kBootTime;
    return sinceBoot > static_cast<LONGLONG>(now) ? static_cast<uint64_t>(sinceBoot) : now;
}

}  // namespace

void BindThread(SimThread *Thread) { tlsThread = Thread; }

void UnboundThread()
{
    std::fprintf(stderr,
                 "vextora sim: a kernel service was called from a thread that is not bound to a "
                 "simulated machine (use sim::ThreadScope or Machine::StartThread)\n");
    std::abort();
}

uint64_t Machine::Impl::Now() const
{
    if (Opt.Clock == ClockMode::RealTime) {
        auto d = std::chrono::steady_clock::now() - WallStart;
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100);
    }
    return VirtualNow.load(std::memory_order_acquire);
}

void Machine::Impl::Enqueue(WaitBlock **Head, WaitBlock &Wb)
{
    Wb.Head = Head;
    Wb.Next = nullptr;
    Wb.Prev = nullptr;
    if (*Head == nullptr) {
        Wb.Prev = &Wb;  // the head's Prev is the tail
        StoreHead(Head, &Wb);
        return;
    }
    WaitBlock *tail = (*Head)->Prev;
    tail->Next = &Wb;
    Wb.Prev = tail;
    (*Head)->Prev = &Wb;
}

static void Unlink(WaitBlock *Wb)
{
    WaitBlock **head = Wb->Head;
    if (head == nullptr) {
        return;
    }
    if (*head == Wb) {
        if (Wb->Next != nullptr) {
            Wb->Next->Prev = Wb->Prev;
        }
        StoreHead(head, Wb->Next);
    } else {
        Wb->Prev->Next = Wb->Next;
        if (Wb->Next != nullptr) {
            Wb->Next->Prev = Wb->Prev;
        } else {
            (*head)->Prev = Wb->Prev;
        }
    }
    Wb->Head = nullptr;
    Wb->Next = Wb->Prev = nullptr;
}

void Machine::Impl::AddWaitDeadline(WaitBlock &Wb, uint64_t When)
{
    Wb.HasDeadline = true;
    Wb.DeadlineIt = Deadlines.emplace(When, Deadline{Deadline::Wait, &Wb});
    ClockCv.notify_all();
}

void Machine::Impl::Wake(WaitBlock *Wb, NTSTATUS Result)
{
    Unlink(Wb);
    if (Wb->HasDeadline) {
        Deadlines.erase(Wb->DeadlineIt);
        Wb->HasDeadline = false;
    }
    Wb->Done = true;
    Wb->Result = Result;
    SimThread *t = Wb->Thread;
    if (t->Blocked) {
        t->Blocked = false;
        t->CurrentWait = nullptr;
        ++Runnable;
        if (t->IsWorker) {
            if (t->InWorkItem) {
                --BusyBlockedWorkers;
            } else {
                --IdleWorkers;
            }
        }
    }
    t->Cv.notify_one();
}

void Machine::Impl::WakeAll(WaitBlock **Head, NTSTATUS Result)
{
    while (*Head != nullptr) {
        Wake(*Head, Result);
    }
}

void Machine::Impl::Block(std::unique_lock<std::mutex> &Lock, SimThread *Me, WaitBlock &Wb)
{
    Wb.Thread = Me;
    if (Wb.Done) {
        return;
    }
    Me->Blocked = true;
    Me->CurrentWait = &Wb;
    Me->WaitStart = Now();
    --Runnable;
    if (Me->IsWorker) {
        if (Me->InWorkItem) {
            ++BusyBlockedWorkers;
            MaybeGrowWorkers();
        } else {
            ++IdleWorkers;
        }
    }
    if (Ctl && Ctl->Holds(Me)) {
        Ctl->PassTurnLocked(Me, Wb.What, Wb.Object);
        Ctl->AwaitTurnLocked(Lock, Me, &Wb.Done);
        return;
    }
    if (Runnable == 0) {
        ClockCv.notify_all();
    }
    while (!Wb.Done) {
        Me->Cv.wait(Lock);
    }
    if (Ctl) {
        Ctl->AwaitTurnLocked(Lock, Me);
    }
}

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

void Machine::Impl::FireDue()
{
    uint64_t now = Now();
    while (!Deadlines.empty() && Deadlines.begin()->first <= now) {
        auto it = Deadlines.begin();
        Deadline d = it->second;
        Deadlines.erase(it);
        if (d.Type == Deadline::Wait) {
            auto *wb = static_cast<WaitBlock *>(d.Item);
            wb->HasDeadline = false;
            Wake(wb, STATUS_TIMEOUT);
        } else {
            FireTimer(static_cast<PKTIMER>(d.Item));
        }
    }
}

std::string Machine::Impl::DescribeThreads()
{
    std::ostringstream out;
    for (SimThread *t : Threads) {
        out << "  thread '" << t->Name << "' (" << (t->Kind == ThreadKind::Service ? "service" : "normal")
            << ", IRQL " << int(t->Irql) << "): ";
        if (t->Blocked && t->CurrentWait != nullptr) {
            out << "waiting for " << t->CurrentWait->What;
            if (t->CurrentWait->Object != nullptr) {
                out << " " << Hex(reinterpret_cast<uintptr_t>(t->CurrentWait->Object));
            }
            out << (t->CurrentWait->HasDeadline ? " (timed)" : " (untimed)") << " since "
                << t->WaitStart / kTicksPerMs << " ms";
        } else if (t->SpinningOn != nullptr) {
            out << "spinning on the spin lock " << Hex(reinterpret_cast<uintptr_t>(t->SpinningOn))
                << " that another thread holds";
        } else {
            out << "running";
        }
        for (auto f = t->Frames.rbegin(); f != t->Frames.rend(); ++f) {
            out << "\n      in ";
            switch (f->Kind) {
            case FrameKind::Dispatch: out << "dispatch routine"; break;
            case FrameKind::Completion: out << "completion routine"; break;
            case FrameKind::Cancel: out << "cancel routine"; break;
            case FrameKind::Dpc: out << "DPC"; break;
            case FrameKind::WorkItem: out << "work item"; break;
            case FrameKind::DriverEntry: out << "DriverEntry"; break;
            case FrameKind::AddDevice: out << "AddDevice"; break;
            case FrameKind::Unload: out << "DriverUnload"; break;
            case FrameKind::PowerCallback: out << "power callback"; break;
            case FrameKind::Other: out << "driver code"; break;
            }
            if (f->Device != nullptr) {
                out << " of " << DeviceName(f->Device);
            }
            if (f->Irp != nullptr) {
                out << " for IRP " << Hex(reinterpret_cast<uintptr_t>(f->Irp));
            }
        }
        out << "\n";
    }
    return out.str();
}

void Machine::Impl::Hang(const std::string &Why)
{
    std::fprintf(stderr, "vextora sim: HANG at virtual time %llu ms (seed %llu): %s\n%s",
                 static_cast<unsigned long long>(Now() / kTicksPerMs),
                 static_cast<unsigned long long>(Seed), Why.c_str(), DescribeThreads().c_str());
    if (Ctl) {
        std::fprintf(stderr, "the schedule that led here:\n%s", Ctl->TrailLocked().c_str());
        if (!Opt.ReplayCommand.empty()) {
            std::fprintf(stderr, "replay: %s\nstop at the last step under a debugger: VEXTORA_BREAK_AT_STEP=%llu gdb --args %s\n",
                         Opt.ReplayCommand.c_str(), static_cast<unsigned long long>(Ctl->Step()),
                         Opt.ReplayCommand.c_str());
        }
    }
    std::fflush(stderr);
    if (Opt.OnHang) {
        Opt.OnHang();
    }
    std::abort();
}

void Machine::Impl::ClockLoop()
{
    std::unique_lock lock(Sched);
    const uint64_t limit =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Opt.UntimedWaitLimit).count() / 100);
    while (!ClockStop) {
        if (Ctl && Ctl->Active()) {
            // The thread with the turn moves the clock; this one only
            // watches that the turn keeps moving.
            ClockCv.wait_for(lock, std::chrono::seconds(1));
            Ctl->WatchLocked();
            continue;
        }
        FireDue();
        // Earliest moment a normal thread's untimed wait exceeds the limit.
        uint64_t limitAt = UINT64_MAX;
        SimThread *limitThread = nullptr;
        for (SimThread *t : Threads) {
            if (t->Kind == ThreadKind::Normal && t->Blocked && t->CurrentWait != nullptr &&
                !t->CurrentWait->HasDeadline && t->WaitStart + limit < limitAt) {
                limitAt = t->WaitStart + limit;
                limitThread = t;
            }
        }
        if (Opt.Clock == ClockMode::Virtual) {
            bool allBlocked = Runnable == 0 && NormalThreads > 0 && !Stopping;
            if (allBlocked) {
                uint64_t next = Deadlines.empty() ? UINT64_MAX : Deadlines.begin()->first;
                if (next == UINT64_MAX) {
                    Hang("every thread is blocked and nothing is due");
                }
                if (next <= limitAt) {
                    if (next > VirtualNow.load()) {
                        VirtualNow.store(next, std::memory_order_release);
                    }
                    continue;
                }
                VirtualNow.store(limitAt, std::memory_order_release);
                Hang("thread '" + limitThread->Name + "' has waited without a time-out for longer than the limit");
            }
            ClockCv.wait(lock);
        } else {
            uint64_t now = Now();
            if (limitThread != nullptr && now >= limitAt) {
                Hang("thread '" + limitThread->Name + "' has waited without a time-out for longer than the limit");
            }
            uint64_t next = Deadlines.empty() ? UINT64_MAX : Deadlines.begin()->first;
            next = std::min(next, limitAt);
            if (next == UINT64_MAX) {
                ClockCv.wait(lock);
            } else {
                ClockCv.wait_until(lock, WallStart + std::chrono::nanoseconds(next * 100));
            }
        }
    }
}

SimThread *Machine::Impl::StartThreadLocked(std::string Name, std::function<void()> Body, ThreadKind Kind)
{
    auto *t = new SimThread;
    t->M = &M;
    t->I = this;
    t->Name = std::move(Name);
    t->Kind = Kind;
    t->Id = NextThreadId++;
    t->Body = std::move(Body);
    t->Started = true;
    t->Frames.reserve(16);
    Threads.push_back(t);
    ++Runnable;
    if (Kind == ThreadKind::Normal) {
        ++NormalThreads;
    }
    if (Ctl) {
        Ctl->StartedLocked(t);
    }
    t->Os = std::thread([this, t] {
        tlsThread = t;
        if (Ctl) {
            std::unique_lock lock(Sched);
            Ctl->AwaitTurnLocked(lock, t);
        }
        t->Body();
        if (t->Irql != PASSIVE_LEVEL || !t->Held.empty()) {
            M.ReportViolation(checks::IrqlChanged, nullptr, nullptr,
                              "thread '" + t->Name + "' ended above PASSIVE_LEVEL or holding a spin lock");
        }
        std::unique_lock lock(Sched);
        t->Finished = true;
        --Runnable;
        if (t->Kind == ThreadKind::Normal) {
            --NormalThreads;
        }
        std::erase(Threads, t);
        WakeAll(&t->JoinWaiters, STATUS_SUCCESS);
        if (Ctl && Ctl->Holds(t)) {
            Ctl->PassTurnLocked(nullptr, "the end of a thread", nullptr);
        }
        if (Runnable == 0) {
            ClockCv.notify_all();
        }
        tlsThread = nullptr;
    });
    return t;
}

void Machine::Impl::MaybeGrowWorkers()
{
    unsigned running = static_cast<unsigned>(Workers.size()) - IdleWorkers - BusyBlockedWorkers;
    if (!WorkQueue.empty() && IdleWorkers == 0 && running == 0 && Workers.size() < Opt.MaxWorkers && !Stopping) {
        SimThread *w = StartThreadLocked("worker " + std::to_string(Workers.size()), [this] { WorkerLoop(); },
                                         ThreadKind::Service);
        w->IsWorker = true;
        Workers.push_back(w);
    }
}

void Machine::Impl::StartServices()
{
    DpcQueue.Flink = DpcQueue.Blink = &DpcQueue;
    ClockThread = std::thread([this] { ClockLoop(); });
    std::unique_lock lock(Sched);
    DpcThread = StartThreadLocked("DPC", [this] { DpcLoop(); }, ThreadKind::Service);
    for (unsigned i = 0; i < std::max(1u, Opt.InitialWorkers); ++i) {
        SimThread *w = StartThreadLocked("worker " + std::to_string(i), [this] { WorkerLoop(); }, ThreadKind::Service);
        w->IsWorker = true;
        Workers.push_back(w);
    }
}

void Machine::Impl::StopServices()
{
    std::vector<SimThread *> services;
    {
        std::unique_lock lock(Sched);
        Stopping = true;
        if (Ctl) {
            Ctl->StopLocked();
        }
        WakeAll(&DpcWaiters, STATUS_SUCCESS);
        WakeAll(&WorkerWaiters, STATUS_SUCCESS);
        services = Workers;
        services.push_back(DpcThread);
    }
    for (SimThread *t : services) {
        t->Os.join();
        delete t;
    }
    Workers.clear();
    DpcThread = nullptr;
    {
        std::unique_lock lock(Sched);
        ClockStop = true;
        ClockCv.notify_all();
    }
    ClockThread.join();
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

namespace sim {

void Machine::Impl::WorkerLoop()
{
    SimThread *me = Self();
    std::unique_lock lock(Sched);
    for (;;) {
        while (WorkQueue.empty() && !Stopping) {
            WaitBlock wb;
            wb.What = "the delayed work queue";
            Enqueue(&WorkerWaiters, wb);
            Block(lock, me, wb);
        }
        if (WorkQueue.empty()) {
            return;
        }
        WorkItem *item = WorkQueue.front();
        WorkQueue.pop_front();
        PendingWork -= 1;
        item->Queued = false;
        item->Running = true;
        PDEVICE_OBJECT device = item->Device;
        PIO_WORKITEM_ROUTINE routine = item->Routine;
        PVOID context = item->Context;
        me->InWorkItem = true;
        lock.unlock();
        if (Ctl) {
            ControlledPoint(*this, me, "the delivery of a work item", item);
        }
        {
            FrameScope frame(FrameKind::WorkItem, device->DriverObject, device, nullptr,
                             reinterpret_cast<const void *>(routine));
            routine(device, context);
        }
        lock.lock();
        me->InWorkItem = false;
        // The item may have been freed by its own routine; only our record of
        // it tells whether it still exists.
        if (LiveWorkItems.count(item) != 0) {
            item->Running = false;
            if (item->FreeAfterRun && !item->Queued) {
                LiveWorkItems.erase(item);
                delete item;
            }
        }
        lock.unlock();
        DereferenceDevice(device);
        lock.lock();
    }
}

}  // namespace sim

using namespace sim;

// ---------------------------------------------------------------------------
// Events and waits
// ---------------------------------------------------------------------------
namespace {

// Controlled mode: a scheduling point at the start of an event or timer
// call, and the object marked as in use by the thread until the call
// returns (the verifier's check of memory freed under it).
class EventCall {
public:
    EventCall(SimThread *Me, const char *What, const void *Object) : me_(Me->I->Ctl ? Me : nullptr)
    {
        if (me_ != nullptr) {
            me_->InEventCall = Object;
            ControlledPoint(*me_->I, me_, What, Object);
        }
    }
    ~EventCall()
    {
        if (me_ != nullptr) {
            me_->InEventCall = nullptr;
        }
    }
    EventCall(const EventCall &) = delete;
    EventCall &operator=(const EventCall &) = delete;

private:
    SimThread *me_;
};

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Self();
    Event->Header.Type = Type == NotificationEvent ? kEventNotification : kEventSynchronization;
    Event->Header.Initialized = 1;
    Event->Header.Inserted = 0;
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELAXED);
    Event->Header.WaitListHead = nullptr;
}

static LONG SetEventImpl(PRKEVENT Event)
{
    Machine::Impl &k = Kernel();
    if (Event->Header.Initialized != 1 || IsTimer(&Event->Header)) {
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr,
                            "KeSetEvent on an object that is not an initialized event");
        return 0;
    }
    DISPATCHER_HEADER *header = &Event->Header;
    auto **head = reinterpret_cast<WaitBlock **>(&header->WaitListHead);
    // No waiter: the signal is stored with the bit's release, and nothing
    // of the event is touched after it (a waiter or a poller that sees the
    // signal may free the event at once).
    LONG previous = LockObject(header);
    if (__atomic_load_n(head, __ATOMIC_RELAXED) == nullptr) {
        UnlockObject(header, 1);
        return previous;
    }
    UnlockObject(header, previous);
    // Waiters: they are woken under Sched, which each needs before it can
    // return, and the bit's release is again the last write.
    std::unique_lock lock(k.Sched);
    previous = LockObject(header);
    LONG signal = 1;
    if (IsSynchronization(header)) {
        if (*head != nullptr) {
            k.Wake(*head, STATUS_SUCCESS);
            signal = previous;
        }
    } else {
        k.WakeAll(head, STATUS_SUCCESS);
    }
    UnlockObject(header, signal);
    return previous;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    SimThread *me = Self();
    if (me->Irql > DISPATCH_LEVEL) {
        me->M->ReportViolation(checks::WaitIrql, nullptr, nullptr, "KeSetEvent above DISPATCH_LEVEL");
    }
    if (Wait) {
        me->M->ReportViolation(checks::BadParameter, nullptr, nullptr,
                               "KeSetEvent with Wait TRUE (this platform's drivers never follow it with a wait)");
    }
    if (me->I->BuiltIrpEvents.load(std::memory_order_relaxed) != 0 && IsBuiltIrpEvent(Event)) {
        me->M->ReportViolation(checks::BuiltIrpEventSetByDriver, nullptr, nullptr,
                               "KeSetEvent on the event of a request built by IoBuildDeviceIoControlRequest "
                               "that is still in flight; the I/O manager sets it");
    }
    LONG previous;
    {
        EventCall call(me, "KeSetEvent", Event);
        previous = SetEventImpl(Event);
    }
    if (me->I->StopSetEvent.load(std::memory_order_relaxed) == Event) {
        me->I->StopAfterSetHere(Event);
    }
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    EventCall call(Self(), "KeClearEvent", Event);
    (void)ExchangeSignal(&Event->Header, 0);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    EventCall call(Self(), "KeResetEvent", Event);
    return ExchangeSignal(&Event->Header, 0);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    Self();
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE) & ~kEventLockBit;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!zeroTimeout) {
        std::erase_if(me->Unwaited, [&](const SimThread::UnwaitedRequest &u) { return u.Event == Object; });
    }
    if (me->Irql > DISPATCH_LEVEL || (me->Irql > APC_LEVEL && !zeroTimeout)) {
        k.M.ReportViolation(checks::WaitIrql, nullptr, nullptr,
                            "KeWaitForSingleObject at IRQL " + std::to_string(me->Irql) +
                                (zeroTimeout ? "" : " with a non-zero or no time-out"));
        if (!zeroTimeout) {
            return STATUS_TIMEOUT;  // blocking here would deadlock a real processor
        }
    }
    if (!me->Held.empty() && !zeroTimeout) {
        k.M.ReportViolation(checks::WaitWithSpinLockHeld, nullptr, nullptr,
                            "KeWaitForSingleObject while holding a spin lock");
    }
    auto *header = static_cast<DISPATCHER_HEADER *>(Object);
    if (header == nullptr || header->Initialized != 1) {
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr,
                            "KeWaitForSingleObject on an object that is not an initialized event or timer");
        return STATUS_INVALID_PARAMETER;
    }
    EventCall call(me, "KeWaitForSingleObject", Object);
    if (!k.Ctl) {
        k.M.YieldPoint();
    }
    std::unique_lock lock(k.Sched);
    // An event may be set without Sched, so the signal is checked and the
    // wait list joined under the object's lock bit.
    const LONG signal = LockObject(header);
    if (signal != 0) {
        UnlockObject(header, IsSynchronization(header) ? 0 : signal);
        return STATUS_SUCCESS;
    }
    if (zeroTimeout) {
        UnlockObject(header, signal);
        return STATUS_TIMEOUT;
    }
    WaitBlock wb;
    wb.Thread = me;
    wb.What = IsTimer(header) ? "timer" : "event";
    wb.Object = Object;
    k.Enqueue(reinterpret_cast<WaitBlock **>(&header->WaitListHead), wb);
    UnlockObject(header, signal);
    if (Timeout != nullptr) {
        k.AddWaitDeadline(wb, AbsoluteDue(k, Timeout->QuadPart));
    }
    k.Block(lock, me, wb);
    return wb.Result;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    SimThread *me = Self();
    if (me->Irql > APC_LEVEL) {
        me->M->ReportViolation(checks::WaitIrql, nullptr, nullptr, "KeDelayExecutionThread above APC_LEVEL");
        return STATUS_SUCCESS;
    }
    if (Interval == nullptr) {
        me->M->ReportViolation(checks::BadParameter, nullptr, nullptr, "KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    Machine::Impl &k = *me->I;
    std::unique_lock lock(k.Sched);
    WaitBlock wb;
    wb.Thread = me;
    wb.What = "a delay";
    k.AddWaitDeadline(wb, AbsoluteDue(k, Interval->QuadPart));
    k.Block(lock, me, wb);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Timers and DPCs
// ---------------------------------------------------------------------------
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

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = kBootTime + static_cast<LONGLONG>(Kernel().Now());
}

ULONGLONG NTAPI KeQueryInterruptTime(void) { return Kernel().Now(); }

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = static_cast<LONGLONG>(Kernel().Now() / 156250);
}

ULONG NTAPI KeQueryTimeIncrement(void) { return 156250; }

// The clock counts in 100 ns units, the counter with it.
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = 10'000'000;
    }
    LARGE_INTEGER now;
    now.QuadPart = static_cast<LONGLONG>(Kernel().Now());
    return now;
}

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------
PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::PoolIrql, nullptr, DeviceObject, "IoAllocateWorkItem above DISPATCH_LEVEL");
    }
    if (DeviceObject == nullptr || DeviceRecordOf(DeviceObject) == nullptr) {
        k.M.ReportViolation(checks::BadParameter, nullptr, DeviceObject,
                            "IoAllocateWorkItem for something that is not a live device object");
        return nullptr;
    }
    if (k.M.ShouldFail(FaultKind::WorkItem, __builtin_return_address(0))) {
        return nullptr;
    }
    auto *item = new WorkItem{};
    item->Device = DeviceObject;
    std::unique_lock lock(k.Sched);
    k.LiveWorkItems.insert(item);
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    (void)QueueType;
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::WaitIrql, nullptr, nullptr, "IoQueueWorkItem above DISPATCH_LEVEL");
    }
    auto *item = static_cast<WorkItem *>(IoWorkItem);
    if (k.Ctl) {
        ControlledPoint(k, me, "IoQueueWorkItem", item);
    }
    {
        std::unique_lock lock(k.Sched);
        if (k.LiveWorkItems.count(item) == 0) {
            lock.unlock();
            k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                                "IoQueueWorkItem on a work item that was never allocated or is freed");
            return;
        }
        if (item->Queued) {
            lock.unlock();
            k.M.ReportViolation(checks::WorkItemQueuedTwice, nullptr, item->Device,
                                "IoQueueWorkItem on a work item that is already queued");
            return;
        }
    }
    ReferenceDevice(item->Device);
    std::unique_lock lock(k.Sched);
    item->Routine = WorkerRoutine;
    item->Context = Context;
    item->Queued = true;
    k.WorkQueue.push_back(item);
    k.PendingWork += 1;
    if (k.WorkerWaiters != nullptr) {
        k.Wake(k.WorkerWaiters, STATUS_SUCCESS);
    } else {
        k.MaybeGrowWorkers();
    }
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    Machine::Impl &k = Kernel();
    auto *item = static_cast<WorkItem *>(IoWorkItem);
    std::unique_lock lock(k.Sched);
    if (k.LiveWorkItems.count(item) == 0) {
        lock.unlock();
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "IoFreeWorkItem on a work item that was never allocated or is already freed");
        return;
    }
    if (item->Queued) {
        PDEVICE_OBJECT device = item->Device;
        // Freed only once it has run, so the queue never holds freed memory.
        item->FreeAfterRun = true;
        lock.unlock();
        k.M.ReportViolation(checks::WorkItemFreedWhileQueued, nullptr, device,
                            "IoFreeWorkItem on a work item that is still queued");
        return;
    }
    k.LiveWorkItems.erase(item);
    delete item;
}

}  // extern "C"

namespace sim {

void SetEventInternal(PKEVENT Event) { SetEventImpl(Event); }

void CheckPendingWorkIn(Machine::Impl &I, const void *Base, size_t Size, PDEVICE_OBJECT Device,
                        std::string_view Check, const std::function<std::string()> &What)
{
    // A count of 0 read here is the same snapshot the search would take
    // under Sched: work armed in this memory concurrently with its release
    // is the driver's race either way.
    if (I.PendingWork.load() == 0) {
        return;
    }
    auto lo = reinterpret_cast<uintptr_t>(Base);
    auto hi = lo + Size;
    std::vector<std::string> found;
    {
        std::unique_lock lock(I.Sched);
        for (auto it = I.ArmedTimers.lower_bound(reinterpret_cast<PKTIMER>(lo));
             it != I.ArmedTimers.end() && reinterpret_cast<uintptr_t>(*it) < hi; ++it) {
            found.push_back("an armed timer at " + Hex(reinterpret_cast<uintptr_t>(*it)));
        }
        for (PLIST_ENTRY e = I.DpcQueue.Flink; e != &I.DpcQueue; e = e->Flink) {
            auto a = reinterpret_cast<uintptr_t>(CONTAINING_RECORD(e, KDPC, DpcListEntry));
            if (a >= lo && a < hi) {
                found.push_back("a queued DPC at " + Hex(a));
            }
        }
        if (Device != nullptr) {
            for (WorkItem *w : I.WorkQueue) {
                if (w->Device == Device) {
                    found.push_back("a queued work item");
                }
            }
        }
    }
    for (const std::string &f : found) {
        I.M.ReportViolation(Check, nullptr, Device, What() + " with " + f + " still pending in it");
    }
}

}  // namespace sim
