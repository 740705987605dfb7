// Idle races forced into one order at a time: a stop that meets the idle
// timer's DPC already expired but not yet run, many ticks in a row, and an
// idle request withdrawn while an open cancels it. The simulator's test
// hooks (a held DPC, a spin-lock release hook) pin the order; the machine's
// teardown checks report any timer, DPC, IRP or pool block left behind.
#include "tests/idle/IdleTestSupport.h"

#include "idle/Idle.h"

#include <gtest/gtest.h>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

DeviceExtension *Extension(PowerFixture &f) { return ExtensionOf(f.Fdo()); }

enum class Teardown { Rebalance, Disable, Remove, Unplug };

struct StopCase {
    const char *Name;
    Teardown Rule;
};

class IdleStopRace : public ::testing::TestWithParam<StopCase> {};

// The timer has expired and queued its DPC, which has not run when the PnP
// request stops idle detection. The request must not end before the DPC
// has, and nothing may run on the device after it is deleted.
TEST_P(IdleStopRace, StopWaitsForAnExpiredDpcThatHasNotRunYet)
{
    const StopCase c = GetParam();
    PowerFixture f(IdleOn());
    PKDPC dpc = &Extension(f)->IdleTimerDpc;
    f.Machine().HoldDpc(dpc);
    f.Advance(kTick + kSettle);

    std::atomic<NTSTATUS> status{STATUS_PENDING};
    sim::SimThread *pnp = f.Machine().StartThread("pnp", [&] {
        switch (c.Rule) {
        case Teardown::Rebalance: status = f.Pnp().Rebalance(f.Pdo()); break;
        case Teardown::Disable: status = f.Pnp().Disable(f.Pdo()); break;
        case Teardown::Remove: status = f.Pnp().Remove(f.Pdo()); break;
        case Teardown::Unplug:
            if (f.Pnp().SurpriseRemove(f.Pdo()) == STATUS_SUCCESS) {
                status = f.Pnp().Remove(f.Pdo());
            } else {
                status = STATUS_UNSUCCESSFUL;
            }
            break;
        }
    });
    f.Advance(kSettle);
    EXPECT_EQ(status.load(), STATUS_PENDING) << "the stop did not wait for the queued idle DPC";

    f.Machine().ReleaseDpc(dpc);
    f.Machine().Join(pnp);
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
    // The DPC ran after detection had stopped: it sent nothing.
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 0u);
    if (c.Rule == Teardown::Rebalance) {
        // Restarted: checks resume 5 s after the start, and only one timer runs.
        f.Advance(kTick + kSettle);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 1u);
        f.Advance(3 * kTick);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 1u);
    }
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdleStopRace,
    ::testing::Values(StopCase{"Rebalance", Teardown::Rebalance}, StopCase{"Disable", Teardown::Disable},
                      StopCase{"Remove", Teardown::Remove}, StopCase{"Unplug", Teardown::Unplug}),
    [](const ::testing::TestParamInfo<StopCase> &info) { return std::string(info.param.Name); });

// Every tick re-arms the one-shot timer exactly once: a bus that refuses
// idle requests is asked once per tick, and a busy device is checked every
// tick and asked on the first tick after it turns idle. Detection stopped
// and started again many times leaves exactly one timer running.
TEST(IdleTicks, ThousandsOfTicksNeitherLoseNorDoubleTheCheck)
{
    constexpr unsigned kTicks = 2000;
    {
        PowerFixture f(IdleOn());
        f.Bus().Set(kIdleRequest, HoldOrComplete(STATUS_NOT_SUPPORTED));
        f.Advance(kTicks * kTick + kSettle);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), kTicks);
        f.Finish();
    }
    {
        PowerFixture f(IdleOn());
        vxio::Handle handle = vxio::kInvalidHandle;
        ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
        f.Advance(kTicks * kTick + kSettle);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 0u);
        ASSERT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
        f.Advance(kTick);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 1u);
        f.Finish();
    }
    {
        PowerFixture f(IdleOn());
        f.Bus().Set(kIdleRequest, HoldOrComplete(STATUS_NOT_SUPPORTED));
        for (unsigned i = 0; i < 50; ++i) {
            ASSERT_EQ(f.Pnp().Rebalance(f.Pdo()), STATUS_SUCCESS);
            f.Advance(kTick / 2);
        }
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 0u);
        f.Advance(4 * kTick + kSettle);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 4u);
        f.Finish();
    }
}

// Which side lets go of the IRP last when SubmitIdleRequest withdraws a
// request that an open is cancelling at the same time.
enum class LastOwner {
    Withdrawal,  // the cancel has finished with the IRP before the withdrawal
    Cancel,      // the withdrawal ends while the cancel still holds the IRP
};

struct WithdrawCase {
    const char *Name;
    LastOwner Last;
};

class IdleWithdrawRace : public ::testing::TestWithParam<WithdrawCase> {};

thread_local const char *tRole = nullptr;

// A gate one simulated thread waits at until another opens it.
struct Gate {
    KEVENT Reached;
    KEVENT Open;
    std::atomic<bool> Used{false};

    Gate()
    {
        KeInitializeEvent(&Reached, NotificationEvent, FALSE);
        KeInitializeEvent(&Open, NotificationEvent, FALSE);
    }
    // Stops the calling thread the first time only.
    void Stop()
    {
        if (!Used.exchange(true)) {
            KeSetEvent(&Reached, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&Open, Executive, KernelMode, FALSE, nullptr);
        }
    }
    void WaitReached() { KeWaitForSingleObject(&Reached, Executive, KernelMode, FALSE, nullptr); }
    void Release() { KeSetEvent(&Open, IO_NO_INCREMENT, FALSE); }
};

// The submission is stopped right after it has published the IRP in
// IdleIrp and let go of IdleLock, before it decides to send; the open comes
// in that moment, so the submission withdraws while the open's
// CancelIdleRequest has taken the IRP. The IRP must be freed exactly once,
// by whichever side lets go last, and the request's end must be signalled
// so that writes on the new handle go on.
TEST_P(IdleWithdrawRace, WithdrawalAndCancelFreeTheIrpOnceInEitherOrder)
{
    const WithdrawCase c = GetParam();
    PowerFixture f(IdleOn());
    DeviceExtension *extension = Extension(f);
    const size_t irpsBefore = sim::LiveIrpCount();
    const size_t poolBefore = sim::PoolBytesInUse(VEXTORA_POOL_TAG);

    Gate submitGate;  // the submission, after publishing the IRP
    Gate cancelGate;  // the open, after CancelIdleRequest has taken the IRP
    f.Machine().SetSpinLockReleaseHook([&](PKSPIN_LOCK lock) {
        if (lock != &extension->IdleLock || tRole == nullptr) {
            return;
        }
        if (std::string_view(tRole) == "submit") {
            submitGate.Stop();
        } else if (std::string_view(tRole) == "open" && c.Last == LastOwner::Cancel) {
            cancelGate.Stop();
        }
    });

    std::atomic<NTSTATUS> submitted{STATUS_PENDING};
    sim::SimThread *submitter = f.Machine().StartThread("submitter", [&] {
        tRole = "submit";
        sim::FrameScope frame(sim::FrameKind::WorkItem, f.Driver(), f.Fdo());
        submitted = SubmitIdleRequest(extension);
    });
    submitGate.WaitReached();
    EXPECT_EQ(sim::LiveIrpCount(), irpsBefore + 1);

    vxio::Handle handle = vxio::kInvalidHandle;
    std::atomic<NTSTATUS> opened{STATUS_PENDING};
    sim::SimThread *opener = f.Machine().StartThread("opener", [&] {
        tRole = "open";
        opened = f.Open(&handle, 0);
    });
    if (c.Last == LastOwner::Withdrawal) {
        f.Machine().Join(opener);
        EXPECT_EQ(sim::LiveIrpCount(), irpsBefore + 1) << "the cancel freed an IRP the submission still holds";
        submitGate.Release();
        f.Machine().Join(submitter);
    } else {
        cancelGate.WaitReached();
        // The open's own IRP is live too while it waits here.
        const size_t irpsHeld = sim::LiveIrpCount();
        submitGate.Release();
        f.Machine().Join(submitter);
        EXPECT_EQ(sim::LiveIrpCount(), irpsHeld) << "the withdrawal freed an IRP the cancel still holds";
        cancelGate.Release();
        f.Machine().Join(opener);
    }
    f.Machine().SetSpinLockReleaseHook(nullptr);

    EXPECT_EQ(submitted.load(), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(opened.load(), STATUS_SUCCESS);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 0u);
    EXPECT_EQ(sim::LiveIrpCount(), irpsBefore);
    EXPECT_EQ(f.Machine().ReportText(), "");

    // A write waits for the request's end: it goes through only if the last
    // owner signalled it.
    uint8_t data[2] = {7, 8};
    uint32_t moved = 0;
    EXPECT_EQ(f.Io().WriteSync(handle, data, sizeof data, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof data);
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
    f.Io().WaitIdle();
    EXPECT_EQ(sim::PoolBytesInUse(VEXTORA_POOL_TAG), poolBefore);

    // The withdrawal armed the next check: once idle again, the device is
    // asked as usual.
    f.Advance(kTick + kSettle);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 1u);
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Table, IdleWithdrawRace,
                         ::testing::Values(WithdrawCase{"WithdrawalLast", LastOwner::Withdrawal},
                                           WithdrawCase{"CancelLast", LastOwner::Cancel}),
                         [](const ::testing::TestParamInfo<WithdrawCase> &info) {
                             return std::string(info.param.Name);
                         });

}  // namespace
