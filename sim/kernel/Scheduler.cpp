// Threads and the virtual clock. Every blocking of a bound thread goes
// through Impl::Block so the clock knows when all of them are blocked; the
// clock thread fires what is due (timed waits, timers) and advances virtual
// time when every thread is blocked.
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

// An event's wait list head is read by KeSetEvent without Sched (under the
// event's own lock bit, below); every change of it is an atomic store.
void StoreHead(WaitBlock **Head, WaitBlock *Value) { __atomic_store_n(Head, Value, __ATOMIC_RELAXED); }

}  // namespace

uint64_t AbsoluteDue(Machine::Impl &I, LONGLONG Due)
{
    uint64_t now = I.Now();
    if (Due < 0) {
        return now + static_cast<uint64_t>(-Due);
    }
    LONGLONG sinceBoot = Due - kBootTime;
    return sinceBoot > static_cast<LONGLONG>(now) ? static_cast<uint64_t>(sinceBoot) : now;
}

void BindThread(SimThread *Thread) { tlsThread = Thread; }

void UnboundThread()
{
    std::fprintf(stderr, "vextora sim: a kernel service was called from a thread that is not bound to a "
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
        out << "  thread '" << t->Name << "' (" << (t->Kind == ThreadKind::Service ? "service" : "normal") << ", IRQL "
            << int(t->Irql) << "): ";
        if (t->Blocked && t->CurrentWait != nullptr) {
            out << "waiting for " << t->CurrentWait->What;
            if (t->CurrentWait->Object != nullptr) {
                out << " " << Hex(reinterpret_cast<uintptr_t>(t->CurrentWait->Object));
            }
            out << (t->CurrentWait->HasDeadline ? " (timed)" : " (untimed)") << " since " << t->WaitStart / kTicksPerMs
                << " ms";
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
                 static_cast<unsigned long long>(Now() / kTicksPerMs), static_cast<unsigned long long>(Seed),
                 Why.c_str(), DescribeThreads().c_str());
    if (Ctl) {
        std::fprintf(stderr, "the schedule that led here:\n%s", Ctl->TrailLocked().c_str());
        if (!Opt.ReplayCommand.empty()) {
            std::fprintf(
                stderr,
                "replay: %s\nstop at the last step under a debugger: VEXTORA_BREAK_AT_STEP=%llu gdb --args %s\n",
                Opt.ReplayCommand.c_str(), static_cast<unsigned long long>(Ctl->Step()), Opt.ReplayCommand.c_str());
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

void Machine::Impl::StartServices()
{
    DpcQueue.Flink = DpcQueue.Blink = &DpcQueue;
    ClockThread = std::thread([this] { ClockLoop(); });
    std::unique_lock lock(Sched);
    DpcThread = StartThreadLocked(
        "DPC", [this] { DpcLoop(); }, ThreadKind::Service);
    for (unsigned i = 0; i < std::max(1u, Opt.InitialWorkers); ++i) {
        SimThread *w = StartThreadLocked(
            "worker " + std::to_string(i), [this] { WorkerLoop(); }, ThreadKind::Service);
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

void CheckPendingWorkIn(Machine::Impl &I, const void *Base, size_t Size, PDEVICE_OBJECT Device, std::string_view Check,
                        const std::function<std::string()> &What)
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

using namespace sim;

extern "C" {

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

}  // extern "C"
