// Events, spin locks under contention, work items and the worker pool.
#include "TestDrivers.h"
#include "sim/kernel/FutexLock.h"
#include "sim/kernel/YieldingLock.h"

#include <thread>

using namespace simtest;

namespace {

class SyncTest : public KernelTest {};

TEST_F(SyncTest, NotificationWakesAllSynchronizationWakesOneAndResets)
{
    struct Case {
        EVENT_TYPE Type;
        int WakeAfterOneSet;
        LONG StateAfter;
    } cases[] = {{NotificationEvent, 3, 1}, {SynchronizationEvent, 1, 0}};
    for (const Case &c : cases) {
        KEVENT event;
        KeInitializeEvent(&event, c.Type, FALSE);
        LONG woke = 0;
        KEVENT allWaiting;
        KeInitializeEvent(&allWaiting, NotificationEvent, FALSE);
        LONG waiting = 0;
        std::vector<sim::SimThread *> threads;
        for (int i = 0; i < 3; ++i) {
            threads.push_back(machine.StartThread("waiter", [&] {
                if (InterlockedIncrement(&waiting) == 3) {
                    KeSetEvent(&allWaiting, IO_NO_INCREMENT, FALSE);
                }
                LARGE_INTEGER limit;
                limit.QuadPart = -1000 * 10000LL;
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS) {
                    InterlockedIncrement(&woke);
                }
            }));
        }
        KeWaitForSingleObject(&allWaiting, Executive, KernelMode, FALSE, nullptr);
        // Let every waiter block before the set.
        machine.Sleep(std::chrono::milliseconds(1));
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        for (auto *t : threads) {
            machine.Join(t);
        }
        EXPECT_EQ(woke, c.WakeAfterOneSet) << "event type " << c.Type;
        EXPECT_EQ(KeReadStateEvent(&event), c.StateAfter);
    }
}

TEST_F(SyncTest, EventsPassedBackAndForthLoseNoSet)
{
    // Two threads hand a turn back and forth through two events, each set
    // while the other thread is on its way into the wait (or already in
    // it): a set that misses its waiter hangs the test, one delivered twice
    // lets a thread run out of turn, which the counter shows.
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        KEVENT ping;
        KEVENT pong;
        KeInitializeEvent(&ping, type, FALSE);
        KeInitializeEvent(&pong, type, FALSE);
        constexpr int kRounds = 20000;
        LONG turn = 0;
        sim::SimThread *other = machine.StartThread("pong", [&] {
            for (int i = 0; i < kRounds; ++i) {
                KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
                if (type == NotificationEvent) {
                    KeClearEvent(&ping);
                }
                EXPECT_EQ(InterlockedIncrement(&turn), 2 * i + 2);
                KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
            }
        });
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(InterlockedIncrement(&turn), 2 * i + 1);
            KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
            if (type == NotificationEvent) {
                KeClearEvent(&pong);
            }
        }
        machine.Join(other);
        EXPECT_EQ(turn, 2 * kRounds);
    }
}

TEST_F(SyncTest, AnEventFreedAsSoonAsItIsSeenSignalledIsNotTouchedAgain)
{
    // A request's event lives on its waiter's stack or in pool, and goes
    // the moment the waiter sees it signalled, by a wait or by reading its
    // state. The setter must be done with the event by then: a write or a
    // read of it after the signal shows under the address sanitizer as a
    // use after free, or as a corrupted next event where the memory is
    // reused at once.
    constexpr int kRounds = 20000;
    std::atomic<KEVENT *> handOver{nullptr};
    sim::SimThread *setter = machine.StartThread("setter", [&] {
        for (int i = 0; i < kRounds; ++i) {
            KEVENT *event;
            while ((event = handOver.exchange(nullptr)) == nullptr) {
                std::this_thread::yield();
            }
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        auto *event = new KEVENT;
        KeInitializeEvent(event, i % 2 == 0 ? SynchronizationEvent : NotificationEvent, FALSE);
        handOver.store(event);
        if (i % 4 < 2) {
            ASSERT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        } else {
            while (KeReadStateEvent(event) == 0) {
                std::this_thread::yield();
            }
        }
        delete event;
    }
    machine.Join(setter);
    EXPECT_EQ(machine.Reports().size(), 0u) << machine.ReportText();
}

TEST_F(SyncTest, ClearsAndResetsWaitForASetInProgress)
{
    // A set takes the event's lock bit, looks for waiters, and stores the
    // signal as it lets the bit go. A clear or a reset that came in between
    // and wrote the word anyway would drop the bit from under the setter,
    // and a waiter could then join the list the setter has already found
    // empty; so they wait for the bit, and land after the set.
    for (bool reset : {false, true}) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        __atomic_store_n(&event.Header.SignalState, sim::kEventLockBit, __ATOMIC_RELEASE);  // a set, half-way
        std::atomic<bool> done{false};
        LONG previous = -1;
        sim::SimThread *other = machine.StartThread("clearer", [&] {
            if (reset) {
                previous = KeResetEvent(&event);
            } else {
                KeClearEvent(&event);
            }
            done.store(true);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(done.load()) << (reset ? "KeResetEvent" : "KeClearEvent") << " went past a held bit";
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        __atomic_store_n(&event.Header.SignalState, 1, __ATOMIC_RELEASE);  // the set ends
        machine.Join(other);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        if (reset) {
            EXPECT_EQ(previous, 1);
        }
    }
}

TEST_F(SyncTest, SpinLockGivesMutualExclusionUnderContention)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long long counter = 0;  // plain on purpose: the lock alone protects it
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<sim::SimThread *> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(machine.StartThread("contender", [&] {
            for (int n = 0; n < kRounds; ++n) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                ++counter;
                KeReleaseSpinLock(&lock, old);
                EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            }
        }));
    }
    for (auto *t : threads) {
        machine.Join(t);
    }
    EXPECT_EQ(counter, static_cast<long long>(kThreads) * kRounds);
}

TEST_F(SyncTest, ManyLocksHeldAtOnceAreReleasedInAnyOrder)
{
    // More locks than a thread record keeps inline, released neither in
    // nor against the order they were taken: every release must find its
    // lock, and a lock released early must not be taken for still held.
    constexpr int kLocks = 20;
    KSPIN_LOCK locks[kLocks];
    for (KSPIN_LOCK &l : locks) {
        KeInitializeSpinLock(&l);
    }
    KIRQL old;
    KeAcquireSpinLock(&locks[0], &old);
    for (int i = 1; i < kLocks; ++i) {
        KeAcquireSpinLockAtDpcLevel(&locks[i]);
    }
    for (int i = 1; i < kLocks; i += 2) {
        KeReleaseSpinLockFromDpcLevel(&locks[i]);
    }
    KeAcquireSpinLockAtDpcLevel(&locks[5]);
    for (int i = kLocks - 2; i > 0; i -= 2) {
        KeReleaseSpinLockFromDpcLevel(&locks[i]);
    }
    KeReleaseSpinLockFromDpcLevel(&locks[5]);
    KeReleaseSpinLock(&locks[0], old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // A wait reports any spin lock this thread still holds.
    KEVENT set;
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    for (const KSPIN_LOCK &l : locks) {
        EXPECT_EQ(l, 0u);
    }
}

template <class Lock> class SimLockTest : public ::testing::Test {};
using SimLocks = ::testing::Types<sim::FutexLock, sim::YieldingLock>;
TYPED_TEST_SUITE(SimLockTest, SimLocks);

TYPED_TEST(SimLockTest, ExcludesAndLetsEveryWaiterInUnderContention)
{
    // Long hold times push waiters past their spinning (into the futex
    // sleep, or into yielding), so a lost wake-up would hang this test and
    // a broken exclusion would lose increments.
    TypeParam lock;
    long long counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < kRounds; ++n) {
                std::lock_guard hold(lock);
                long long seen = counter;
                if (n % 64 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
                counter = seen + 1;
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, static_cast<long long>(kThreads) * kRounds);
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
}

TEST_F(SyncTest, InterlockedOperationsReturnWhatTheDriverReliesOn)
{
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no exchange
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
    PVOID p = nullptr;
    EXPECT_EQ(InterlockedExchangePointer(&p, &v), nullptr);
    EXPECT_EQ(p, &v);
}

struct ItemContext {
    PIO_WORKITEM Item;
    KEVENT Release;
    KEVENT Started;
    LONG StartedCount;
    LONG Target;
    LONG NotPassive;
};

VOID NTAPI BlockingItem(PDEVICE_OBJECT, PVOID Context)
{
    auto *c = static_cast<ItemContext *>(Context);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        InterlockedIncrement(&c->NotPassive);
    }
    if (InterlockedIncrement(&c->StartedCount) == c->Target) {
        KeSetEvent(&c->Started, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&c->Release, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(SyncTest, WorkersGrowWhileAllAreBlockedInItems)
{
    PDEVICE_OBJECT fdo = AddUpper(LowerDispatch);
    constexpr int kItems = 5;  // more than the two initial workers
    ItemContext ctx{};
    KeInitializeEvent(&ctx.Release, NotificationEvent, FALSE);
    KeInitializeEvent(&ctx.Started, NotificationEvent, FALSE);
    ctx.Target = kItems;
    std::vector<PIO_WORKITEM> items;
    for (int i = 0; i < kItems; ++i) {
        items.push_back(IoAllocateWorkItem(fdo));
        ASSERT_NE(items.back(), nullptr);
        IoQueueWorkItem(items.back(), BlockingItem, DelayedWorkQueue, &ctx);
    }
    EXPECT_EQ(KeWaitForSingleObject(&ctx.Started, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ctx.NotPassive, 0);
    // The device stays referenced while items are queued or running.
    EXPECT_EQ(ReadNoFence(&fdo->ReferenceCount), kItems);
    KeSetEvent(&ctx.Release, IO_NO_INCREMENT, FALSE);
    machine.Sleep(std::chrono::milliseconds(1));
    while (ReadNoFence(&fdo->ReferenceCount) != 0) {
        machine.Sleep(std::chrono::milliseconds(1));
    }
    for (PIO_WORKITEM w : items) {
        IoFreeWorkItem(w);
    }
}

// Two workers and no growth, so an item queued behind two blocked ones
// stays queued.
class TwoWorkerTest : public KernelTest {
protected:
    static sim::MachineOptions Options()
    {
        sim::MachineOptions o = DefaultOptions();
        o.InitialWorkers = 2;
        o.MaxWorkers = 2;
        return o;
    }
    TwoWorkerTest() : KernelTest(Options()) {}
};

TEST_F(TwoWorkerTest, FreeingAQueuedWorkItemIsReportedAndDeferred)
{
    PDEVICE_OBJECT fdo = AddUpper(LowerDispatch);
    ItemContext ctx{};
    KeInitializeEvent(&ctx.Release, NotificationEvent, FALSE);
    KeInitializeEvent(&ctx.Started, NotificationEvent, FALSE);
    ctx.Target = 1;
    // Occupy both workers so the next item stays queued.
    PIO_WORKITEM busy[2] = {IoAllocateWorkItem(fdo), IoAllocateWorkItem(fdo)};
    ItemContext other{};
    KeInitializeEvent(&other.Release, NotificationEvent, FALSE);
    KeInitializeEvent(&other.Started, NotificationEvent, FALSE);
    other.Target = 2;
    for (PIO_WORKITEM w : busy) {
        IoQueueWorkItem(w, BlockingItem, DelayedWorkQueue, &other);
    }
    KeWaitForSingleObject(&other.Started, Executive, KernelMode, FALSE, nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(fdo);
    IoQueueWorkItem(item, BlockingItem, DelayedWorkQueue, &ctx);
    IoFreeWorkItem(item);
    EXPECT_EQ(machine.ReportCount(sim::checks::WorkItemFreedWhileQueued), 1u) << machine.ReportText();
    machine.ClearReports();
    KeSetEvent(&ctx.Release, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&other.Release, IO_NO_INCREMENT, FALSE);
    while (ReadNoFence(&fdo->ReferenceCount) != 0) {
        machine.Sleep(std::chrono::milliseconds(1));
    }
    for (PIO_WORKITEM w : busy) {
        IoFreeWorkItem(w);
    }
}

}  // namespace
