// Fatal conditions end the process with a clear message: hangs (every thread
// blocked, or an untimed wait outliving the limit while a periodic timer
// keeps time moving), a touch of a freed IRP, and an unbound thread.
#include "sim/kernel/Machine.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class DeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DeathTest, AllThreadsBlockedWithNothingDueIsAHang)
{
    EXPECT_DEATH(
        {
            sim::Machine m;
            sim::ThreadScope scope(m, "stuck test");
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "HANG.*every thread is blocked and nothing is due(.|\n)*'stuck test'.*waiting for event");
}

VOID NTAPI Tick(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(DeathTest, UntimedWaitPastTheLimitIsAHangEvenWithAPeriodicTimer)
{
    EXPECT_DEATH(
        {
            sim::MachineOptions o;
            o.UntimedWaitLimit = std::chrono::minutes(1);
            sim::Machine m(o);
            sim::ThreadScope scope(m, "waiter");
            static KTIMER timer;
            static KDPC dpc;
            KeInitializeTimerEx(&timer, NotificationTimer);
            KeInitializeDpc(&dpc, Tick, nullptr);
            LARGE_INTEGER due;
            due.QuadPart = -5000 * 10000LL;
            KeSetTimerEx(&timer, due, 5000, &dpc);
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "HANG at virtual time 60000 ms.*'waiter' has waited without a time-out");
}

TEST_F(DeathTest, TouchingAFreedIrpFaults)
{
    EXPECT_DEATH(
        {
            sim::Machine m;
            sim::ThreadScope scope(m);
            PIRP irp = IoAllocateIrp(2, FALSE);
            IoFreeIrp(irp);
            volatile CHAR count = irp->StackCount;
            (void)count;
        },
        "");
}

TEST_F(DeathTest, UnboundThreadCallingAServiceIsFatal)
{
    EXPECT_DEATH(
        {
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
        },
        "not bound to a simulated machine");
}

TEST_F(DeathTest, AbortOnReportStopsAtTheFirstReport)
{
    EXPECT_DEATH(
        {
            sim::MachineOptions o;
            o.Seed = 99;
            o.AbortOnReport = true;
            sim::Machine m(o);
            sim::ThreadScope scope(m);
            static int notPool;
            ExFreePool(&notPool);
        },
        "PoolForeignFree.*seed 99");
}

}  // namespace
