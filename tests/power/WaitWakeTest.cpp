// Wait-wake: arming, wake-up from sleep, and every order in which the bus
// driver's completion and the driver's cancel can meet.
#include "tests/power/PowerTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

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
    EXPECT_EQ(f.Bus().Count(kWaitWake), 1u);  // armed at start
    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
    EXPECT_EQ(f.Bus().Count(kWaitWake), 1u);  // the query found it armed

    ASSERT_TRUE(f.Bus().Release(kWaitWake, STATUS_SUCCESS));
    EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
    EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, STATUS_SUCCESS);
    EXPECT_EQ(DeviceSets(f), (std::vector<LONG>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(f.Bus().Count(kWaitWake), 2u);
    EXPECT_TRUE(f.Bus().Holds(kWaitWake));

    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
}

TEST(WaitWake, SystemQueriesArmForWakeableStatesAndDisarmForDeeperOnes)
{
    PowerFixture f;
    // Deeper than SystemWake (S3): the request is cancelled.
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_FALSE(f.Bus().Holds(kWaitWake));
    EXPECT_EQ(LastWaitWakeStatus(f), STATUS_CANCELLED);
    // A wakeable state arms it again, once.
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(f.Bus().Count(kWaitWake), 2u);
    EXPECT_TRUE(f.Bus().Holds(kWaitWake));
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
    EXPECT_EQ(f.Bus().Count(kWaitWake), 0u);
}

// The cancel comes from a system query deeper than SystemWake while the
// device sleeps in D2; the bus answers it in one of four ways.
struct RaceCase {
    const char *Name;
    OnCancel Mode;
    NTSTATUS LaterCompletion;  // Keep: what the bus completes the IRP with after the cancel
    NTSTATUS CallbackSees;
    bool PowersUp;
};

class WaitWakeRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(WaitWakeRace, IrpIsFinishedOnceAndTheCallbackSeesTheRightStatus)
{
    const RaceCase c = GetParam();
    PowerFixture f;
    ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    f.Bus().Set(kWaitWake, Rule::Hold(c.Mode));

    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    if (c.Mode == OnCancel::Keep) {
        EXPECT_TRUE(f.Bus().Holds(kWaitWake));
        EXPECT_EQ(LastWaitWakeStatus(f), STATUS_PENDING);
        ASSERT_TRUE(f.Bus().Release(kWaitWake, c.LaterCompletion));
    }
    f.Bus().Set(kWaitWake, Rule::Hold(OnCancel::Complete));
    EXPECT_TRUE(f.WaitUntil([&] { return RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status != STATUS_PENDING; }));
    EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, c.CallbackSees);

    if (c.PowersUp) {
        EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
        EXPECT_EQ(f.Bus().Count(kWaitWake), 2u);
    } else {
        f.Advance(kSettle);
        EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
        EXPECT_EQ(f.Bus().Count(kWaitWake), 1u);
        EXPECT_EQ(RequestsOf(f, IRP_MN_SET_POWER).size(), 1u);  // the test's own D2
    }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, WaitWakeRace,
    ::testing::Values(
        // The cancel sets the flag first; the completion then lets the IRP go
        // up with the bus driver's own status.
        RaceCase{"CancelThenCancelledCompletion", OnCancel::Keep, STATUS_CANCELLED, STATUS_CANCELLED, false},
        RaceCase{"CancelThenWakeCompletion", OnCancel::Keep, STATUS_SUCCESS, STATUS_SUCCESS, true},
        // The completion runs inside IoCancelIrp and halts; the cancel finishes
        // the IRP as cancelled, even when the bus driver had reported a wake.
        RaceCase{"CompletionInsideCancel", OnCancel::Complete, STATUS_SUCCESS, STATUS_CANCELLED, false},
        RaceCase{"WakeInsideCancel", OnCancel::Succeed, STATUS_SUCCESS, STATUS_CANCELLED, false}),
    [](const ::testing::TestParamInfo<RaceCase> &info) { return std::string(info.param.Name); });

struct TeardownCase {
    const char *Name;
    int Rule;  // 0 rebalance, 1 disable, 2 surprise removal then removal
};

class WaitWakeTeardown : public ::testing::TestWithParam<TeardownCase> {};

TEST_P(WaitWakeTeardown, PnpRequestsCancelTheArmedRequestWithoutPowerChange)
{
    const TeardownCase c = GetParam();
    PowerFixture f;
    ASSERT_TRUE(f.Bus().Holds(kWaitWake));
    switch (c.Rule) {
    case 0:
        EXPECT_EQ(f.Pnp().Rebalance(f.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, STATUS_CANCELLED);
        EXPECT_EQ(f.Bus().Count(kWaitWake), 2u);  // armed again by the start
        EXPECT_TRUE(f.Bus().Holds(kWaitWake));
        break;
    case 1:
        EXPECT_EQ(f.Pnp().Disable(f.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, STATUS_CANCELLED);
        break;
    default:
        EXPECT_EQ(f.Pnp().SurpriseRemove(f.Pdo()), STATUS_SUCCESS);
        EXPECT_FALSE(f.Bus().Holds(kWaitWake));
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

// Stop, removal and surprise removal cancel the armed request, but the bus
// completes the cancelled IRP only later; until then its completion routine
// and callback are still to run on the device. The PnP request must wait for
// them: the device object must not be deleted, nor the wait-wake fields
// zeroed by the next start, under their feet.
enum class Teardown { Stop, Removal, SurpriseRemoval };

struct LateEndCase {
    const char *Name;
    Teardown Rule;
    NTSTATUS BusCompletes;  // STATUS_SUCCESS: a wake-up raced the cancel
};

class WaitWakeLateEnd : public ::testing::TestWithParam<LateEndCase> {};

TEST_P(WaitWakeLateEnd, PnpRequestWaitsUntilTheCancelledRequestHasEnded)
{
    const LateEndCase c = GetParam();
    PowerFixture f;
    // In D2, so that a wake-up would ask for D0 and arm again.
    ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    f.Bus().Set(kWaitWake, Rule::Hold(OnCancel::Keep));

    std::atomic<bool> done{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    sim::SimThread *pnp = f.Machine().StartThread("teardown", [&] {
        switch (c.Rule) {
        case Teardown::Stop: status = f.Pnp().Rebalance(f.Pdo()); break;
        case Teardown::Removal: status = f.Pnp().Disable(f.Pdo()); break;
        case Teardown::SurpriseRemoval: status = f.Pnp().SurpriseRemove(f.Pdo()); break;
        }
        done = true;
    });
    f.Advance(1s);
    EXPECT_FALSE(done.load());
    EXPECT_NE(f.Pnp().State(f.Pdo()), sim::NodeState::Removed);
    EXPECT_EQ(LastWaitWakeStatus(f), STATUS_PENDING);

    f.Bus().Set(kWaitWake, Rule::Hold(OnCancel::Complete));
    ASSERT_TRUE(f.Bus().Release(kWaitWake, c.BusCompletes));
    f.Machine().Join(pnp);
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
    EXPECT_EQ(RequestsOf(f, IRP_MN_WAIT_WAKE).front().Status, c.BusCompletes);
    // Disarmed: a wake-up that raced the teardown does not arm again; only
    // the restart after a stop does.
    EXPECT_EQ(f.Bus().Count(kWaitWake), c.Rule == Teardown::Stop ? 2u : 1u);
    if (NT_SUCCESS(c.BusCompletes)) {
        EXPECT_TRUE(f.WaitUntil([&] { return DeviceSets(f).back() == PowerDeviceD0; }));
    }
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Table, WaitWakeLateEnd,
    ::testing::Values(LateEndCase{"StopCancelled", Teardown::Stop, STATUS_CANCELLED},
                      LateEndCase{"StopWake", Teardown::Stop, STATUS_SUCCESS},
                      LateEndCase{"RemovalCancelled", Teardown::Removal, STATUS_CANCELLED},
                      LateEndCase{"RemovalWake", Teardown::Removal, STATUS_SUCCESS},
                      LateEndCase{"SurpriseRemovalCancelled", Teardown::SurpriseRemoval, STATUS_CANCELLED},
                      LateEndCase{"SurpriseRemovalWake", Teardown::SurpriseRemoval, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<LateEndCase> &info) { return std::string(info.param.Name); });

// Windows may write the wait-wake IRP's address for its requester only after
// the IRP was sent; a bus driver that answers at once then completes it
// before WaitWakeIrp holds it. It must still be finished exactly once, with
// the bus driver's status, and leave the device free to arm again.
struct EarlyCase {
    const char *Name;
    NTSTATUS BusAnswer;
};

class WaitWakeEarlyEnd : public ::testing::TestWithParam<EarlyCase> {};

TEST_P(WaitWakeEarlyEnd, IrpCompletedBeforeItWasStoredIsFinishedOnce)
{
    const EarlyCase c = GetParam();
    FixtureOptions options;
    options.Start = false;
    PowerFixture f(options);
    f.Power().StoreRequestedIrpAfterSending(true);
    f.Bus().Set(kWaitWake, HoldOrComplete(c.BusAnswer));
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);  // the start arms wait-wake

    const auto requests = RequestsOf(f, IRP_MN_WAIT_WAKE);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Status, c.BusAnswer);
    // One call as DispatchPower passes it down, one as it is finished.
    EXPECT_EQ(f.Power().StartNextCount(f.Fdo(), IRP_MN_WAIT_WAKE), 2u);
    EXPECT_TRUE(RequestsOf(f, IRP_MN_SET_POWER).empty());  // woken in D0: no power change

    f.Bus().Set(kWaitWake, HoldOrComplete(STATUS_PENDING));
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(f.Bus().Count(kWaitWake), 2u);
    EXPECT_TRUE(f.Bus().Holds(kWaitWake));
    f.Finish();
    EXPECT_EQ(LastWaitWakeStatus(f), STATUS_CANCELLED);
}

INSTANTIATE_TEST_SUITE_P(Table, WaitWakeEarlyEnd,
                         ::testing::Values(EarlyCase{"Refused", STATUS_UNSUCCESSFUL},
                                           EarlyCase{"WakeInD0", STATUS_SUCCESS}),
                         [](const ::testing::TestParamInfo<EarlyCase> &info) {
                             return std::string(info.param.Name);
                         });

}  // namespace
