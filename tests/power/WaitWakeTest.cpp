// Wait-wake: arming, wake-up from sleep, and every order in which the bus
// driver's completion and the driver's cancel can meet.
#include "tests/power/PowerTestSupport.h"

#include <gtest/gtest.h>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

constexpr auto kSettle = 100ms;

NTSTATUS LastWaitWakeStatus(PowerFixture &f)
{
    const auto requests = RequestsOf(f, IRP_MN_WAIT_WAKE);
    return requests.empty() ? STATUS_PENDING : requests.back().Status;
}

TEST(WaitWake, WakeFromSleepPowersUpAndArmsAgain)
{
    PowerFixture f;
    EXPECT_EQ(f.Bus().WaitWakeCount(), 1u);  // armed at start
    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
    EXPECT_EQ(f.Bus().WaitWakeCount(), 1u);  // the query found it armed

    ASSERT_TRUE(f.Bus().CompleteWaitWake(STATUS_SUCCESS));
    EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
    EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, STATUS_SUCCESS);
    EXPECT_EQ(f.Bus().DeviceSets(), (std::vector<LONG>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(f.Bus().WaitWakeCount(), 2u);
    EXPECT_TRUE(f.Bus().WaitWakePending());

    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
}

TEST(WaitWake, SystemQueriesArmForWakeableStatesAndDisarmForDeeperOnes)
{
    PowerFixture f;
    // Deeper than SystemWake (S3): the request is cancelled.
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_FALSE(f.Bus().WaitWakePending());
    EXPECT_EQ(LastWaitWakeStatus(f), STATUS_CANCELLED);
    // A wakeable state arms it again, once.
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(f.Bus().WaitWakeCount(), 2u);
    EXPECT_TRUE(f.Bus().WaitWakePending());
    // No power change came from any of it.
    EXPECT_TRUE(RequestsOf(f, IRP_MN_SET_POWER).empty());
}

TEST(WaitWake, DeviceWithoutRemoteWakeIsNeverArmed)
{
    FixtureOptions options;
    options.RemoteWake = false;
    PowerFixture f(options);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(f.Bus().WaitWakeCount(), 0u);
}

// The cancel comes from a system query deeper than SystemWake while the
// device sleeps in D2; the bus answers it in one of four ways.
struct RaceCase {
    const char *Name;
    CancelMode Mode;
    NTSTATUS LaterCompletion;  // Defer: what the bus completes the IRP with after the cancel
    NTSTATUS CallbackSees;
    bool PowersUp;
};

class WaitWakeRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(WaitWakeRace, IrpIsFinishedOnceAndTheCallbackSeesTheRightStatus)
{
    const RaceCase c = GetParam();
    PowerFixture f;
    ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    f.Bus().SetWaitWakeCancelMode(c.Mode);

    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    if (c.Mode == CancelMode::Defer) {
        EXPECT_TRUE(f.Bus().WaitWakePending());
        EXPECT_EQ(LastWaitWakeStatus(f), STATUS_PENDING);
        ASSERT_TRUE(f.Bus().CompleteWaitWake(c.LaterCompletion));
    }
    f.Bus().SetWaitWakeCancelMode(CancelMode::CompleteAtOnce);
    EXPECT_TRUE(f.WaitUntil([&] { return RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status != STATUS_PENDING; }));
    EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, c.CallbackSees);

    if (c.PowersUp) {
        EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
        EXPECT_EQ(f.Bus().WaitWakeCount(), 2u);
    } else {
        f.Advance(kSettle);
        EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
        EXPECT_EQ(f.Bus().WaitWakeCount(), 1u);
        EXPECT_EQ(RequestsOf(f, IRP_MN_SET_POWER).size(), 1u);  // the test's own D2
    }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, WaitWakeRace,
    ::testing::Values(
        // The cancel sets the flag first; the completion then lets the IRP go
        // up with the bus driver's own status.
        RaceCase{"CancelThenCancelledCompletion", CancelMode::Defer, STATUS_CANCELLED, STATUS_CANCELLED, false},
        RaceCase{"CancelThenWakeCompletion", CancelMode::Defer, STATUS_SUCCESS, STATUS_SUCCESS, true},
        // The completion runs inside IoCancelIrp and halts; the cancel finishes
        // the IRP as cancelled, even when the bus driver had reported a wake.
        RaceCase{"CompletionInsideCancel", CancelMode::CompleteAtOnce, STATUS_SUCCESS, STATUS_CANCELLED, false},
        RaceCase{"WakeInsideCancel", CancelMode::WakeAtOnce, STATUS_SUCCESS, STATUS_CANCELLED, false}),
    [](const ::testing::TestParamInfo<RaceCase> &info) { return std::string(info.param.Name); });

struct TeardownCase {
    const char *Name;
    int Action;  // 0 rebalance, 1 disable, 2 surprise removal then removal
};

class WaitWakeTeardown : public ::testing::TestWithParam<TeardownCase> {};

TEST_P(WaitWakeTeardown, PnpRequestsCancelTheArmedRequestWithoutPowerChange)
{
    const TeardownCase c = GetParam();
    PowerFixture f;
    ASSERT_TRUE(f.Bus().WaitWakePending());
    switch (c.Action) {
    case 0:
        EXPECT_EQ(f.Pnp().Rebalance(f.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, STATUS_CANCELLED);
        EXPECT_EQ(f.Bus().WaitWakeCount(), 2u);  // armed again by the start
        EXPECT_TRUE(f.Bus().WaitWakePending());
        break;
    case 1:
        EXPECT_EQ(f.Pnp().Disable(f.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, STATUS_CANCELLED);
        break;
    default:
        EXPECT_EQ(f.Pnp().SurpriseRemove(f.Pdo()), STATUS_SUCCESS);
        EXPECT_FALSE(f.Bus().WaitWakePending());
        EXPECT_EQ(f.Pnp().Remove(f.Pdo()), STATUS_SUCCESS);
        break;
    }
    EXPECT_TRUE(RequestsOf(f, IRP_MN_SET_POWER).empty());
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Table, WaitWakeTeardown,
                         ::testing::Values(TeardownCase{"Rebalance", 0}, TeardownCase{"Disable", 1},
                                           TeardownCase{"Unplug", 2}),
                         [](const ::testing::TestParamInfo<TeardownCase> &info) {
                             return std::string(info.param.Name);
                         });

// The D0 request after a wake is refused: its I/O count must come back, or
// the removal at the end waits for ever (the machine reports the hang).
TEST(WaitWake, RefusedPowerUpAfterAWakeGivesItsCountBack)
{
    PowerFixture f;
    ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    f.Power().FailNextRequests(1);
    ASSERT_TRUE(f.Bus().CompleteWaitWake(STATUS_SUCCESS));
    f.Advance(kSettle);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
    f.Finish();
}

}  // namespace
