// Idle detection and selective suspend in virtual time: what the bus driver
// receives, what power the device ends in, and what applications see.
#include "tests/idle/IdleTestSupport.h"

#include <gtest/gtest.h>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

// Lets the first tick send the idle request and has the hub call back.
void Suspend(PowerFixture &f)
{
    f.Advance(kTick + kSettle);
    ASSERT_TRUE(f.Bus().Holds(kIdleRequest));
    sim::SimThread *callback = StartIdleCallback(f);
    ASSERT_NE(callback, nullptr);
    f.Machine().Join(callback);
    ASSERT_EQ(f.DevicePower(), PowerDeviceD2);
}

TEST(IdleSuspend, SuspendsAfterTheFirstTickAndResumesOnOpen)
{
    PowerFixture f(IdleOn());
    f.Advance(kTick - kSettle);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 0u);
    Suspend(f);
    EXPECT_EQ(DeviceSets(f), std::vector<LONG>{PowerDeviceD2});
    // No new tick while the request is outstanding.
    f.Advance(3 * kTick);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 1u);

    vxio::Handle handle;
    ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
    EXPECT_FALSE(f.Bus().Holds(kIdleRequest));
    EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
    EXPECT_EQ(DeviceSets(f), (std::vector<LONG>{PowerDeviceD2, PowerDeviceD0}));
    uint8_t data[3] = {1, 2, 3};
    uint32_t moved = 0;
    EXPECT_EQ(f.Io().WriteSync(handle, data, sizeof data, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof data);

    // A handle open keeps every later tick from asking again; closing it lets
    // the next one do so.
    f.Advance(3 * kTick);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 1u);
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
    f.Io().WaitIdle();
    f.Advance(kTick + kSettle);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 2u);
}

TEST(IdleSuspend, BusThatDoesNotSupportItIsAskedEveryTickAndTheDeviceStaysInD0)
{
    PowerFixture f(IdleOn());
    f.Bus().Set(kIdleRequest, HoldOrComplete(STATUS_NOT_SUPPORTED));
    f.Advance(6 * kTick + kSettle);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), 6u);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
    EXPECT_TRUE(DeviceSets(f).empty());
}

struct ConfigCase {
    const char *Name;
    std::optional<uint32_t> Enable;
    UCHAR WdmMinor;
    bool Suspends;
};

class IdleConfiguration : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(IdleConfiguration, OnlyANonZeroSettingOnTheNewestPlatformTurnsItOn)
{
    const ConfigCase c = GetParam();
    FixtureOptions options = IdleOn();
    options.VextoraEnable = c.Enable;
    options.WdmMinor = c.WdmMinor;
    PowerFixture f(options);
    f.Advance(2 * kTick + kSettle);
    EXPECT_EQ(f.Bus().Count(kIdleRequest), c.Suspends ? 1u : 0u);

    // Without idle suspend reads never wait and opens cancel nothing.
    vxio::Handle handle;
    ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
    uint8_t data[1] = {9};
    EXPECT_EQ(f.Io().WriteSync(handle, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdleConfiguration,
    ::testing::Values(ConfigCase{"AbsentLevel0", std::nullopt, 0x20, false},
                      ConfigCase{"ZeroLevel0", 0u, 0x20, false},
                      ConfigCase{"OneLevel0", 1u, 0x20, true},
                      ConfigCase{"AllBitsLevel0", 0xFFFFFFFFu, 0x20, true},
                      ConfigCase{"OneLevel1", 1u, 0x10, false},
                      ConfigCase{"OneLevel2", 1u, 0x05, false},
                      ConfigCase{"OneLevel3", 1u, 0x00, false}),
    [](const ::testing::TestParamInfo<ConfigCase> &info) { return std::string(info.param.Name); });

TEST(IdleSuspend, WriteOnANewHandleWaitsForTheOutstandingRequestThenProceeds)
{
    PowerFixture f(IdleOn());
    Suspend(f);
    // The bus answers the cancel later, as a hub may.
    f.Bus().Set(kIdleRequest, Rule::Hold(OnCancel::Keep));
    vxio::Handle handle;
    ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
    // The dispatch routine waits in the writer's own thread.
    uint8_t data[2] = {4, 5};
    std::atomic<bool> written{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    sim::SimThread *writer = f.Machine().StartThread("writer", [&] {
        status = f.Io().WriteSync(handle, data, sizeof data);
        written = true;
    });
    f.Advance(kSettle);
    EXPECT_FALSE(written.load());

    ASSERT_TRUE(f.Bus().Release(kIdleRequest, STATUS_CANCELLED));
    f.Machine().Join(writer);
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
    EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
}

// The open cancels the request while the callback's power-down is still in
// the lower drivers: the request ends while DevicePower still reads D0.
TEST(IdleSuspend, OpenDuringThePowerDownStillEndsInD0)
{
    PowerFixture f(IdleOn());
    f.Advance(kTick + kSettle);
    f.Bus().Set(kSetPower, Rule::Hold());
    sim::SimThread *callback = StartIdleCallback(f);
    ASSERT_NE(callback, nullptr);
    ASSERT_TRUE(f.WaitUntil([&] { return f.Bus().HeldCount(kSetPower) == 1; }));

    vxio::Handle handle;
    ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
    EXPECT_FALSE(f.Bus().Holds(kIdleRequest));
    f.Bus().Set(kSetPower, Rule::Complete(STATUS_SUCCESS));
    ASSERT_TRUE(f.Bus().Release(kSetPower, STATUS_SUCCESS));
    f.Machine().Join(callback);

    EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
    EXPECT_EQ(DeviceSets(f), (std::vector<LONG>{PowerDeviceD2, PowerDeviceD0}));
    uint8_t data[1] = {6};
    EXPECT_EQ(f.Io().WriteSync(handle, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
}

// A refused D-IRP request must give its I/O count back, or the removal at the
// end of the test waits for ever (the machine reports the hang).
TEST(IdleSuspend, RefusedPowerRequestsGiveTheirCountBack)
{
    {
        PowerFixture f(IdleOn());
        f.Advance(kTick + kSettle);
        f.Power().FailNextRequests(1);
        sim::SimThread *callback = StartIdleCallback(f);
        ASSERT_NE(callback, nullptr);
        f.Machine().Join(callback);
        EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
        EXPECT_TRUE(DeviceSets(f).empty());
        f.Finish();
    }
    {
        PowerFixture f(IdleOn());
        Suspend(f);
        f.Power().FailNextRequests(1);
        vxio::Handle handle;
        ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
        // The refused D0 request is made again: a handle is open.
        EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }, 2s));
        EXPECT_EQ(DeviceSets(f), (std::vector<LONG>{PowerDeviceD2, PowerDeviceD0}));
        EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
        f.Finish();
    }
}

struct TeardownCase {
    const char *Name;
    bool Suspended;     // the callback has run
    int Rule;         // 0 rebalance, 1 disable, 2 surprise removal then removal
};

class IdleTeardown : public ::testing::TestWithParam<TeardownCase> {};

TEST_P(IdleTeardown, PnpRequestWhileARequestIsOutstandingEndsItAndLeavesNothingArmed)
{
    const TeardownCase c = GetParam();
    PowerFixture f(IdleOn());
    if (c.Suspended) {
        Suspend(f);
    } else {
        f.Advance(kTick + kSettle);
        ASSERT_TRUE(f.Bus().Holds(kIdleRequest));
    }
    switch (c.Rule) {
    case 0:
        EXPECT_EQ(f.Pnp().Rebalance(f.Pdo()), STATUS_SUCCESS);
        EXPECT_FALSE(f.Bus().Holds(kIdleRequest));
        EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
        // Restarted: the next tick asks again.
        f.Advance(kTick + kSettle);
        EXPECT_EQ(f.Bus().Count(kIdleRequest), 2u);
        break;
    case 1:
        EXPECT_EQ(f.Pnp().Disable(f.Pdo()), STATUS_SUCCESS);
        break;
    default:
        EXPECT_EQ(f.Pnp().SurpriseRemove(f.Pdo()), STATUS_SUCCESS);
        EXPECT_FALSE(f.Bus().Holds(kIdleRequest));
        EXPECT_EQ(f.Pnp().Remove(f.Pdo()), STATUS_SUCCESS);
        break;
    }
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdleTeardown,
    ::testing::Values(TeardownCase{"RebalancePending", false, 0}, TeardownCase{"RebalanceSuspended", true, 0},
                      TeardownCase{"DisablePending", false, 1}, TeardownCase{"DisableSuspended", true, 1},
                      TeardownCase{"UnplugPending", false, 2}, TeardownCase{"UnplugSuspended", true, 2}),
    [](const ::testing::TestParamInfo<TeardownCase> &info) { return std::string(info.param.Name); });

// Removal at the very instant of a tick, and a request completion deferred
// until the teardown is waiting: no timer, DPC or work item may outlive the
// device object (the machine reports any at deletion).
TEST(IdleSuspend, RemovalRacingTicksAndLateCompletionsLeavesNothingPending)
{
    {
        PowerFixture f(IdleOn());
        f.Bus().Set(kIdleRequest, HoldOrComplete(STATUS_NOT_SUPPORTED));
        f.Advance(2 * kTick);
        EXPECT_EQ(f.Pnp().Remove(f.Pdo()), STATUS_SUCCESS);
        f.Finish();
    }
    {
        PowerFixture f(IdleOn());
        f.Advance(kTick + kSettle);
        f.Bus().Set(kIdleRequest, Rule::Hold(OnCancel::Keep));
        std::atomic<NTSTATUS> removal{STATUS_PENDING};
        sim::SimThread *remover = f.StartRemoval(&removal);
        f.Advance(kTick + kSettle);
        EXPECT_EQ(removal.load(), STATUS_PENDING);
        ASSERT_TRUE(f.Bus().Release(kIdleRequest, STATUS_CANCELLED));
        f.Machine().Join(remover);
        EXPECT_EQ(removal.load(), STATUS_SUCCESS);
        f.Finish();
    }
}

}  // namespace
