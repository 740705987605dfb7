// The controlled mode: one simulated thread at a time, the next chosen by a
// strategy. A race between two increments shows what each strategy reaches
// and that a run replays from its seed; spin locks pass between threads
// that never run at once; the verifier sees memory freed under a spin lock
// or an event call; schedule texts are checked.
#include "sim/kernel/Machine.h"

#include <gtest/gtest.h>

#include <set>

namespace {

struct RaceOutcome {
    LONG unlocked = 0;  // increments without a lock (2 * kRounds unless one was lost)
    LONG locked = 0;    // increments under a spin lock: never lost
    sim::ScheduleRecord record;
};

// Two threads each add 1 to two counters `rounds` times: once with a read
// and a separate write (the race), once under a spin lock.
RaceOutcome RunRace(const sim::SchedulePlan &plan, uint64_t seed, LONG kRounds = 3)
{
    sim::MachineOptions options;
    options.Seed = seed;
    options.Schedule = plan;
    options.Record = std::make_shared<sim::ScheduleRecord>();
    RaceOutcome outcome;
    {
        sim::Machine m(options);
        sim::ThreadScope scope(m, "test");
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        auto body = [&] {
            for (LONG i = 0; i < kRounds; ++i) {
                const LONG seen = InterlockedExchangeAdd(&outcome.unlocked, 0);
                InterlockedExchange(&outcome.unlocked, seen + 1);
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                const LONG value = ReadNoFence(&outcome.locked);
                (void)InterlockedOr(&outcome.locked, 0);  // a scheduling point inside the lock
                WriteNoFence(&outcome.locked, value + 1);
                KeReleaseSpinLock(&lock, old);
            }
        };
        sim::SimThread *a = m.StartThread("a", body);
        sim::SimThread *b = m.StartThread("b", body);
        m.Join(a);
        m.Join(b);
        EXPECT_EQ(m.ReportText(), "");
    }
    outcome.record = *options.Record;
    return outcome;
}

sim::SchedulePlan Parse(const char *text)
{
    std::string error;
    auto plan = sim::ParseSchedule(text, error);
    EXPECT_TRUE(plan.has_value()) << error;
    return plan.value_or(sim::SchedulePlan{});
}

TEST(Controlled, PctFindsTheLostUpdateTheDefaultScheduleNeverMakesAndEachRunReplays)
{
    constexpr LONG kRounds = 3;
    const RaceOutcome plain = RunRace(Parse("replay:"), 1);
    EXPECT_EQ(plain.unlocked, 2 * kRounds);
    EXPECT_EQ(plain.record.Preemptions, 0u);

    uint64_t lostAt = 0;
    std::set<uint64_t> hashes;
    for (uint64_t seed = 1; seed <= 200 && lostAt == 0; ++seed) {
        const RaceOutcome run = RunRace(Parse("pct:2:40"), seed);
        EXPECT_EQ(run.locked, 2 * kRounds) << "seed " << seed;
        hashes.insert(run.record.Hash);
        if (run.unlocked != 2 * kRounds) {
            lostAt = seed;
        }
    }
    ASSERT_NE(lostAt, 0u) << "pct:2 never lost an update in 200 seeds";
    EXPECT_GT(hashes.size(), 1u);

    // The failing seed gives the same interleaving and the same outcome again.
    const RaceOutcome first = RunRace(Parse("pct:2:40"), lostAt);
    const RaceOutcome again = RunRace(Parse("pct:2:40"), lostAt);
    EXPECT_NE(first.unlocked, 2 * kRounds);
    EXPECT_EQ(again.unlocked, first.unlocked);
    EXPECT_EQ(again.record.Hash, first.record.Hash);
    EXPECT_EQ(again.record.Steps, first.record.Steps);
}

TEST(Controlled, RandomWalkKeepsSpinLockedUpdatesWhole)
{
    constexpr LONG kRounds = 3;
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        const RaceOutcome run = RunRace(Parse("random"), seed);
        EXPECT_EQ(run.locked, 2 * kRounds) << "seed " << seed;
        EXPECT_GT(run.record.Switches, 2u) << "seed " << seed;
    }
}

// The bounded search, run by run: without a preemption no update is lost;
// with one, some schedule loses one, and the search ends by itself.
TEST(Controlled, ExhaustiveSearchWithinABound)
{
    constexpr LONG kRounds = 1;
    for (unsigned bound : {0u, 1u}) {
        sim::SchedulePlan plan;
        plan.Kind = sim::ScheduleKind::Exhaustive;
        plan.Bound = bound;
        const sim::ScheduleExplorer explorer(bound);
        uint64_t schedules = 0, lost = 0;
        std::set<uint64_t> hashes;
        for (;;) {
            const RaceOutcome run = RunRace(plan, 1, kRounds);
            ++schedules;
            ASSERT_EQ(run.record.Diverged, "");
            ASSERT_LE(run.record.Preemptions, bound);
            EXPECT_EQ(run.locked, 2 * kRounds);
            lost += run.unlocked != 2 * kRounds ? 1 : 0;
            hashes.insert(run.record.Hash);
            if (!explorer.Next(run.record, plan.Choices) || schedules == 500) {
                break;
            }
        }
        EXPECT_LT(schedules, 500u) << "bound " << bound;
        EXPECT_EQ(hashes.size(), schedules) << "every schedule of the search is a different one";
        if (bound == 0) {
            EXPECT_EQ(lost, 0u);
        } else {
            EXPECT_GT(lost, 0u);
        }
    }
}

TEST(Controlled, ScheduleTexts)
{
    for (const char *good : {"threaded", "random", "pct:1", "pct:3", "pct:2:500", "exhaustive:0", "exhaustive:2",
                             "replay:", "replay:4.1,10.2"}) {
        std::string error;
        auto plan = sim::ParseSchedule(good, error);
        ASSERT_TRUE(plan.has_value()) << good << ": " << error;
        EXPECT_EQ(plan->Text(), good);
    }
    struct Bad {
        const char *text;
        const char *says;
    };
    for (const Bad &bad : {Bad{"fifo", "unknown strategy 'fifo'"}, Bad{"pct:0", "at least 1"},
                           Bad{"pct", "needs a depth"}, Bad{"pct:x", "needs a depth"},
                           Bad{"pct:99", "above"}, Bad{"pct:2:0", "positive"},
                           Bad{"exhaustive:9", "too large"}, Bad{"exhaustive", "preemption bound"},
                           Bad{"random:2", "no parameter"}, Bad{"replay:5.1,3.0", "must increase"},
                           Bad{"replay:7", "not STEP.OPTION"}}) {
        std::string error;
        EXPECT_FALSE(sim::ParseSchedule(bad.text, error).has_value()) << bad.text;
        EXPECT_NE(error.find(bad.says), std::string::npos) << bad.text << ": " << error;
    }
}

// ---- the verifier's look at memory freed under a lock or an event call -------

class ControlledDeath : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

struct Shared {
    KSPIN_LOCK Lock;
    KEVENT Event;
};

sim::MachineOptions Aborting(const char *schedule)
{
    sim::MachineOptions options;
    options.Seed = 1;
    options.Schedule = Parse(schedule);
    options.AbortOnReport = true;
    return options;
}

// The order of the removal that frees the device extension while the thread
// that set its event still holds the count's spin lock in it: the setter is
// stopped right after the set, and the free is reported at once.
TEST_F(ControlledDeath, MemoryFreedWhileAThreadHoldsASpinLockInIt)
{
    EXPECT_DEATH(
        {
            sim::Machine m(Aborting("replay:"));
            sim::ThreadScope scope(m, "remover");
            auto *shared = static_cast<Shared *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Shared), 'tseT'));
            KeInitializeSpinLock(&shared->Lock);
            KeInitializeEvent(&shared->Event, NotificationEvent, FALSE);
            KEVENT stopped;
            KeInitializeEvent(&stopped, NotificationEvent, FALSE);
            m.StopAfterSet(&shared->Event, &stopped);
            m.StartThread("setter", [shared] {
                KIRQL old;
                KeAcquireSpinLock(&shared->Lock, &old);
                KeSetEvent(&shared->Event, IO_NO_INCREMENT, FALSE);
                KeReleaseSpinLock(&shared->Lock, old);
            });
            KeWaitForSingleObject(&stopped, Executive, KernelMode, FALSE, nullptr);
            ExFreePool(shared);
        },
        "FreedWithSpinLockHeld.*thread 'setter' still holds the spin lock");
}

TEST_F(ControlledDeath, MemoryFreedWhileAThreadWaitsOnAnEventInIt)
{
    EXPECT_DEATH(
        {
            sim::Machine m(Aborting("random"));
            sim::ThreadScope scope(m, "freer");
            auto *shared = static_cast<Shared *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Shared), 'tseT'));
            KeInitializeEvent(&shared->Event, NotificationEvent, FALSE);
            m.StartThread("waiter", [shared] {
                KeWaitForSingleObject(&shared->Event, Executive, KernelMode, FALSE, nullptr);
            });
            m.Sleep(std::chrono::milliseconds(1));
            ExFreePool(shared);
        },
        "FreedDuringEventCall.*thread 'waiter' is still inside a set, clear or wait of the event");
}

TEST_F(ControlledDeath, AHangReportsTheScheduleThatLedThere)
{
    EXPECT_DEATH(
        {
            sim::MachineOptions options;
            options.Schedule = Parse("pct:2");
            options.ReplayCommand = "vxsim --seed 1 run stuck.txt --schedule pct:2";
            sim::Machine m(options);
            sim::ThreadScope scope(m, "stuck test");
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "HANG.*every thread is blocked(.|\n)*the schedule that led here:(.|\n)*schedule pct:2, step [0-9]+, decision "
        "hash(.|\n)*'stuck test'.*last scheduling decisions:(.|\n)*KeWaitForSingleObject(.|\n)*"
        "replay: vxsim --seed 1 run stuck.txt --schedule pct:2(.|\n)*VEXTORA_BREAK_AT_STEP=");
}

// A thread stopped after its set keeps its IRQL and locks until resumed; the
// threaded mode stops it the same way.
TEST(StopAfterSet, HoldsTheSetterUntilResumed)
{
    sim::Machine m;
    sim::ThreadScope scope(m);
    KSPIN_LOCK lock;
    KEVENT event, stopped;
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&stopped, NotificationEvent, FALSE);
    m.StopAfterSet(&event, &stopped);
    std::atomic<bool> released{false};
    sim::SimThread *setter = m.StartThread("setter", [&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&lock, old);
        released = true;
    });
    KeWaitForSingleObject(&stopped, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    m.Sleep(std::chrono::seconds(1));
    EXPECT_FALSE(released);
    EXPECT_NE(__atomic_load_n(&lock, __ATOMIC_ACQUIRE), 0u);
    m.ResumeAfterSet(&event);
    m.Join(setter);
    EXPECT_TRUE(released);
    EXPECT_EQ(m.ReportText(), "");
}

}  // namespace
