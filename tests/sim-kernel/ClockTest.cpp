// The virtual clock: timers, timed waits and delays jump ahead in virtual
// time when every thread is blocked, and DPCs run at DISPATCH_LEVEL.
#include "TestDrivers.h"

#include <chrono>

using namespace simtest;

namespace {

struct TimerCount {
    KTIMER Timer;
    KDPC Dpc;
    KEVENT ThirdTick;
    LONG Ticks = 0;
    KIRQL SeenIrql = PASSIVE_LEVEL;
};

VOID NTAPI CountTick(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto *c = static_cast<TimerCount *>(Context);
    c->SeenIrql = KeGetCurrentIrql();
    if (InterlockedIncrement(&c->Ticks) == 3) {
        KeSetEvent(&c->ThirdTick, IO_NO_INCREMENT, FALSE);
    }
}

class ClockTest : public KernelTest {};

TEST_F(ClockTest, PeriodicTimerFiresThreeTimesInVirtualTime)
{
    TimerCount c;
    KeInitializeTimerEx(&c.Timer, NotificationTimer);
    KeInitializeDpc(&c.Dpc, CountTick, &c);
    KeInitializeEvent(&c.ThirdTick, NotificationEvent, FALSE);
    LARGE_INTEGER due;
    due.QuadPart = -5000LL * 10000;  // 5 s
    auto wallStart = std::chrono::steady_clock::now();
    uint64_t start = machine.Now();
    EXPECT_FALSE(KeSetTimerEx(&c.Timer, due, 5000, &c.Dpc));
    ASSERT_EQ(KeWaitForSingleObject(&c.ThirdTick, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(KeCancelTimer(&c.Timer));
    EXPECT_FALSE(KeCancelTimer(&c.Timer));
    KeFlushQueuedDpcs();
    auto wall = std::chrono::steady_clock::now() - wallStart;
    EXPECT_LT(wall, std::chrono::seconds(1));
    EXPECT_EQ(machine.Now() - start, 15000ull * 10000);
    EXPECT_EQ(ReadNoFence(&c.Ticks), 3);
    EXPECT_EQ(c.SeenIrql, DISPATCH_LEVEL);
}

// A KDPC has the DDK's size and no room for the driver that made it: the
// kernel learns it from KeInitializeDpc, and a DPC that did not come from
// there (copied, or filled in by hand) is refused, not run as nobody's.
TEST_F(ClockTest, OnlyADpcFromKeInitializeDpcIsQueued)
{
    TimerCount c;
    KeInitializeTimerEx(&c.Timer, NotificationTimer);
    KeInitializeDpc(&c.Dpc, CountTick, &c);
    KDPC copy = c.Dpc;
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    EXPECT_FALSE(KeSetTimerEx(&c.Timer, due, 0, &copy));
    EXPECT_FALSE(KeInsertQueueDpc(&copy, nullptr, nullptr));
    EXPECT_EQ(machine.ReportCount(sim::checks::UninitializedObject), 2u);
    EXPECT_FALSE(KeCancelTimer(&c.Timer)) << "the timer was not armed";
    machine.ClearReports();
}

TEST_F(ClockTest, TimedWaitsEndAtTheirDeadline)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    struct Case {
        LONGLONG Timeout;
        NTSTATUS Expected;
        uint64_t Elapsed;
    } cases[] = {
        {-250 * 10000LL, STATUS_TIMEOUT, 250 * 10000ull},  // relative
        {0, STATUS_TIMEOUT, 0},                            // poll
    };
    for (const Case &c : cases) {
        LARGE_INTEGER t;
        t.QuadPart = c.Timeout;
        uint64_t start = machine.Now();
        EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), c.Expected);
        EXPECT_EQ(machine.Now() - start, c.Elapsed);
    }
    // Absolute due time: a system time 40 ms from now.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER at;
    at.QuadPart = now.QuadPart + 40 * 10000;
    uint64_t start = machine.Now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(machine.Now() - start, 40 * 10000ull);
}

TEST_F(ClockTest, TimerSignalsWaitersAndRearmingReportsItWasQueued)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, due, nullptr));  // re-arming an armed timer
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));  // a fired one-shot timer is no longer queued
}

TEST_F(ClockTest, DelayAndSleepAdvanceOnlyTheVirtualClock)
{
    uint64_t start = machine.Now();
    LARGE_INTEGER d;
    d.QuadPart = -3600LL * 1000 * 10000;  // one hour
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    machine.Sleep(std::chrono::milliseconds(5));
    EXPECT_EQ(machine.Now() - start, (3600ull * 1000 + 5) * 10000);
    EXPECT_EQ(KeQueryInterruptTime(), machine.Now());
}

TEST_F(ClockTest, FlushQueuedDpcsWaitsForRunningDpcs)
{
    struct Ctx {
        KDPC Dpc;
        LONG Ran = 0;
    } c;
    KeInitializeDpc(&c.Dpc, [](PKDPC, PVOID Context, PVOID A1, PVOID) NTAPI {
        auto *x = static_cast<Ctx *>(Context);
        EXPECT_EQ(A1, reinterpret_cast<PVOID>(7));
        // Spend virtual time: the flush must wait for it.
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
        InterlockedIncrement(&x->Ran);
    }, &c);
    EXPECT_TRUE(KeInsertQueueDpc(&c.Dpc, reinterpret_cast<PVOID>(7), nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(ReadNoFence(&c.Ran), 1);
    EXPECT_FALSE(KeRemoveQueueDpc(&c.Dpc));
}

TEST(RealTimeClock, DelaysTakeWallTime)
{
    sim::MachineOptions o;
    o.Seed = 5;
    o.Clock = sim::ClockMode::RealTime;
    sim::Machine m(o);
    sim::ThreadScope scope(m);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20 * 10000LL;
    auto wallStart = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(20));
    EXPECT_GE(m.Now(), 20 * 10000ull);
}

}  // namespace
