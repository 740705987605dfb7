// System and device power transitions through the driver's power dispatch,
// seen from the lower drivers and the power manager.
#include "tests/power/PowerTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

constexpr auto kSettle = 100ms;

FixtureOptions NoRemoteWake()
{
    FixtureOptions options;
    options.RemoteWake = false;
    return options;
}

// ---- system power IRPs ---------------------------------------------------

struct SleepCase {
    SYSTEM_POWER_STATE System;
    DEVICE_POWER_STATE Device;
    NTSTATUS DeviceIrpStatus;
};

class SystemSleep : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SystemSleep, SystemIrpEndsOnlyAfterItsDeviceIrpAndWithItsStatus)
{
    const SleepCase c = GetParam();
    PowerFixture f(NoRemoteWake());
    f.Bus().Set(kSetPower, Rule::Hold());

    auto set = SendSystemIrpAsync(f, IRP_MN_SET_POWER, c.System);
    ASSERT_TRUE(f.WaitUntil([&] { return f.Bus().HeldCount(kSetPower) == 1; }));
    ASSERT_TRUE(f.Bus().Release(kSetPower, STATUS_SUCCESS));  // the S-IRP, in the lower drivers
    ASSERT_TRUE(f.WaitUntil([&] { return f.Bus().HeldCount(kSetPower) == 1; }));  // its D-IRP
    f.Advance(kSettle);
    EXPECT_FALSE(set->Done);
    EXPECT_EQ(DeviceSets(f), std::vector<LONG>{c.Device});

    ASSERT_TRUE(f.Bus().Release(kSetPower, c.DeviceIrpStatus));
    set->Join(f.Machine());
    EXPECT_EQ(set->Status, c.DeviceIrpStatus);
    EXPECT_EQ(f.DevicePower(), NT_SUCCESS(c.DeviceIrpStatus) ? c.Device : PowerDeviceD0);

    f.Bus().Set(kSetPower, Rule::Complete(STATUS_SUCCESS));
    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
    EXPECT_EQ(f.ReportedDevicePower(), PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(Mapping, SystemSleep,
                         ::testing::Values(SleepCase{PowerSystemSleeping1, PowerDeviceD1, STATUS_SUCCESS},
                                           SleepCase{PowerSystemSleeping2, PowerDeviceD2, STATUS_SUCCESS},
                                           SleepCase{PowerSystemSleeping3, PowerDeviceD2, STATUS_SUCCESS},
                                           SleepCase{PowerSystemHibernate, PowerDeviceD3, STATUS_SUCCESS},
                                           SleepCase{PowerSystemSleeping3, PowerDeviceD2,
                                                     STATUS_UNSUCCESSFUL}));

TEST(SystemPower, QueryAsksForTheMappedDeviceQueryAndLowerFailuresTravelUp)
{
    PowerFixture f(NoRemoteWake());
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    const auto queries = RequestsOf(f, IRP_MN_QUERY_POWER);
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].State.DeviceState, PowerDeviceD1);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);

    // The lower drivers refuse: their status goes up and no D-IRP follows.
    f.AnswerPower(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RequestsOf(f, IRP_MN_QUERY_POWER).size(), 1u);
    EXPECT_TRUE(RequestsOf(f, IRP_MN_SET_POWER).empty());
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
    f.AnswerPower(STATUS_SUCCESS);
}

// ---- device power IRPs -----------------------------------------------------

TEST(DevicePower, PowerDownFromD0WaitsUntilTransfersInFlightHaveEnded)
{
    PowerFixture f(NoRemoteWake());
    vxio::Handle handle;
    ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
    f.Bus().Set(kTransfers, Rule::Hold(OnCancel::Keep));
    uint8_t data[4] = {1, 2, 3, 4};
    auto write = f.Io().Write(handle, data, sizeof data);
    ASSERT_TRUE(f.WaitUntil([&] { return f.Bus().HeldCount(kTransfers) == 1; }));

    auto set = SendSystemIrpAsync(f, IRP_MN_SET_POWER, PowerSystemSleeping2);
    f.Advance(1s);
    EXPECT_TRUE(DeviceSets(f).empty());
    EXPECT_FALSE(set->Done);

    f.Bus().ReleaseAll(kTransfers, STATUS_SUCCESS);
    set->Join(f.Machine());
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(set->Status, STATUS_SUCCESS);
    EXPECT_EQ(DeviceSets(f), std::vector<LONG>{PowerDeviceD2});
    EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
}

struct TransitionCase {
    const char *Name;
    std::vector<DEVICE_POWER_STATE> Before;  // successful sets made first
    UCHAR Minor;
    DEVICE_POWER_STATE Requested;
    NTSTATUS Lower;
    NTSTATUS Expected;
    DEVICE_POWER_STATE After;
};

class DeviceTransition : public ::testing::TestWithParam<TransitionCase> {};

TEST_P(DeviceTransition, ReachesTheLowerDriversAndRecordsOnlySuccessfulSets)
{
    const TransitionCase c = GetParam();
    PowerFixture f(NoRemoteWake());
    for (DEVICE_POWER_STATE state : c.Before) {
        ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, state), STATUS_SUCCESS);
    }
    const size_t logBefore = f.Bus().Requests(Match::Power()).size();
    const size_t reportsBefore = f.Power().StateHistory().size();

    f.AnswerPower(c.Lower);
    EXPECT_EQ(RequestDevicePowerIrp(f, c.Minor, c.Requested), c.Expected);
    f.AnswerPower(STATUS_SUCCESS);

    const auto log = f.Bus().Requests(Match::Power());
    ASSERT_EQ(log.size(), logBefore + 1);
    EXPECT_EQ(log.back().Minor, c.Minor);
    EXPECT_EQ(log.back().PowerState, c.Requested);
    EXPECT_EQ(f.DevicePower(), c.After);
    const bool reported = c.Minor == IRP_MN_SET_POWER && NT_SUCCESS(c.Lower);
    EXPECT_EQ(f.Power().StateHistory().size(), reportsBefore + (reported ? 1 : 0));
    if (reported) {
        EXPECT_EQ(f.ReportedDevicePower(), c.After);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceTransition,
    ::testing::Values(
        TransitionCase{"SetD0InD0", {}, IRP_MN_SET_POWER, PowerDeviceD0, STATUS_SUCCESS, STATUS_SUCCESS,
                       PowerDeviceD0},
        TransitionCase{"SetD2InD0", {}, IRP_MN_SET_POWER, PowerDeviceD2, STATUS_SUCCESS, STATUS_SUCCESS,
                       PowerDeviceD2},
        TransitionCase{"SetD3InD2", {PowerDeviceD2}, IRP_MN_SET_POWER, PowerDeviceD3, STATUS_SUCCESS,
                       STATUS_SUCCESS, PowerDeviceD3},
        // A power-up ends with STATUS_SUCCESS whatever success the lower drivers gave.
        TransitionCase{"SetD0InD2OtherSuccess", {PowerDeviceD2}, IRP_MN_SET_POWER, PowerDeviceD0,
                       static_cast<NTSTATUS>(0x00000001), STATUS_SUCCESS, PowerDeviceD0},
        TransitionCase{"SetD0InD2Refused", {PowerDeviceD2}, IRP_MN_SET_POWER, PowerDeviceD0,
                       STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, PowerDeviceD2},
        TransitionCase{"SetD2InD0Refused", {}, IRP_MN_SET_POWER, PowerDeviceD2, STATUS_UNSUCCESSFUL,
                       STATUS_UNSUCCESSFUL, PowerDeviceD0},
        TransitionCase{"QueryD0InD0", {}, IRP_MN_QUERY_POWER, PowerDeviceD0, STATUS_SUCCESS, STATUS_SUCCESS,
                       PowerDeviceD0},
        TransitionCase{"QueryD0InD2", {PowerDeviceD2}, IRP_MN_QUERY_POWER, PowerDeviceD0, STATUS_SUCCESS,
                       STATUS_SUCCESS, PowerDeviceD2},
        TransitionCase{"QueryD2InD0Refused", {}, IRP_MN_QUERY_POWER, PowerDeviceD2, STATUS_UNSUCCESSFUL,
                       STATUS_UNSUCCESSFUL, PowerDeviceD0}),
    [](const ::testing::TestParamInfo<TransitionCase> &info) { return std::string(info.param.Name); });

// A D-IRP from a requester that holds no count of the driver's must not take
// the count to 0 in the power-down wait: RemoveReadyEvent would then be left
// signalled and a later removal would not wait for requests in flight.
TEST(DevicePower, PowerDownByAnotherRequesterDoesNotReleaseALaterRemovalEarly)
{
    PowerFixture f(NoRemoteWake());
    ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);

    vxio::Handle handle;
    ASSERT_EQ(f.Open(&handle, 0), STATUS_SUCCESS);
    f.Bus().Set(kTransfers, Rule::Hold(OnCancel::Keep));
    uint8_t data[2] = {7, 8};
    auto write = f.Io().Write(handle, data, sizeof data);
    ASSERT_TRUE(f.WaitUntil([&] { return f.Bus().HeldCount(kTransfers) == 1; }));

    std::atomic<NTSTATUS> removal{STATUS_PENDING};
    sim::SimThread *remover = f.StartRemoval(&removal);
    f.Advance(1s);
    EXPECT_EQ(removal.load(), STATUS_PENDING);
    EXPECT_NE(f.Pnp().State(f.Pdo()), sim::NodeState::Removed);

    f.Bus().ReleaseAll(kTransfers, STATUS_SUCCESS);
    f.Machine().Join(remover);
    EXPECT_EQ(removal.load(), STATUS_SUCCESS);
    EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
}

// ---- resources ------------------------------------------------------------

struct FaultCase {
    const char *Name;
    bool SystemIrp;  // else a D-IRP for D2 from D0
    bool PowerManagerRefuses;
    sim::FaultKind Kind;
};

class PowerFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PowerFault, FailsTheIrpWithInsufficientResourcesAndLeavesThePowerAlone)
{
    const FaultCase c = GetParam();
    PowerFixture f(NoRemoteWake());
    if (c.PowerManagerRefuses) {
        f.Power().FailNextRequests(1);
    } else {
        f.Machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(c.Kind), 1, 0.0});
    }
    const NTSTATUS status = c.SystemIrp
                                ? f.Power().SendSystemIrp(f.Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3)
                                : RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2);
    f.Machine().SetFaultPlan({});
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(DeviceSets(f).empty());
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);

    // Nothing was lost: the next transition goes through.
    EXPECT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PowerFault,
    ::testing::Values(FaultCase{"NoPowerRequestContext", true, false, sim::FaultKind::Pool},
                      FaultCase{"DeviceIrpRefused", true, true, sim::FaultKind::Pool},
                      FaultCase{"NoHoldIoContext", false, false, sim::FaultKind::Pool},
                      FaultCase{"NoWorkItem", false, false, sim::FaultKind::WorkItem}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.Name); });

// ---- a power type the driver has no policy for ----------------------------

struct OwnIrp {
    KEVENT Done;
    NTSTATUS Status;
};

void OwnIrpFinal(PIRP Irp, void *Context)
{
    auto *own = static_cast<OwnIrp *>(Context);
    own->Status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    KeSetEvent(&own->Done, IO_NO_INCREMENT, FALSE);
}

TEST(DispatchPower, SetPowerOfAnUnknownTypeIsLeftToTheBusDriver)
{
    PowerFixture f(NoRemoteWake());
    OwnIrp own;
    KeInitializeEvent(&own.Done, NotificationEvent, FALSE);
    PIRP irp = sim::AllocateManagerIrp(f.Fdo()->StackSize, OwnIrpFinal, &own);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    const ULONG unknownType = 2;
    std::memcpy(&next->Parameters.Power.Type, &unknownType, sizeof(unknownType));
    next->Parameters.Power.State.DeviceState = PowerDeviceD2;

    f.AnswerPower(STATUS_INVALID_DEVICE_REQUEST);
    (void)PoCallDriver(f.Fdo(), irp);
    KeWaitForSingleObject(&own.Done, Executive, KernelMode, FALSE, nullptr);
    f.AnswerPower(STATUS_SUCCESS);

    EXPECT_EQ(own.Status, STATUS_INVALID_DEVICE_REQUEST);
    const auto log = f.Bus().Requests(Match::Power());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().PowerType, unknownType);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD0);
}

}  // namespace
