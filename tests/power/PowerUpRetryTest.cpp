// A D0 request that cannot be made (no pool for its record, or refused by the
// power manager) when the system resumes or the device wakes: the device must
// still come back to D0 and move data, and a removal must still end.
#include "tests/power/PowerTestSupport.h"

#include <gtest/gtest.h>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

// A write on pipe 0 read back from pipe 1 of the loopback device.
void ExpectDataMoves(PowerFixture &f)
{
    vxio::Handle out;
    vxio::Handle in;
    ASSERT_EQ(f.Open(&out, 0), STATUS_SUCCESS);
    ASSERT_EQ(f.Open(&in, 1), STATUS_SUCCESS);
    uint8_t data[4] = {9, 8, 7, 6};
    uint8_t back[4] = {};
    EXPECT_EQ(f.Io().WriteSync(out, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().ReadSync(in, back, sizeof back), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), std::vector<uint8_t>(data, data + 4));
    EXPECT_EQ(f.Io().Close(in), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(out), STATUS_SUCCESS);
}

enum class Failure {
    NoPoolForResume,       // the S0 S-IRP's record for its D-IRP
    ResumeRefused,         // PoRequestPowerIrp for the S0 S-IRP's D-IRP
    ResumeRefusedThrice,   // that, and the first two retries
    WakeRefused,           // the D0 request after a wake-up from D2
};

struct RetryCase {
    const char *Name;
    Failure How;
};

class PowerUpRetry : public ::testing::TestWithParam<RetryCase> {};

TEST_P(PowerUpRetry, DeviceReturnsToD0AndMovesData)
{
    const RetryCase c = GetParam();
    PowerFixture f;
    if (c.How == Failure::WakeRefused) {
        ASSERT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
        f.Power().FailNextRequests(1);
        ASSERT_TRUE(f.Bus().Release(kWaitWake, STATUS_SUCCESS));
    } else {
        ASSERT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(f.DevicePower(), PowerDeviceD2);
        if (c.How == Failure::NoPoolForResume) {
            f.Machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Pool), 1, 0.0});
        } else {
            f.Power().FailNextRequests(c.How == Failure::ResumeRefused ? 1 : 3);
        }
        // The S-IRP reports that its own D-IRP could not be made.
        EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_INSUFFICIENT_RESOURCES);
        f.Machine().SetFaultPlan({});
    }

    EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }, 2s));
    // Exactly one D0 reached the lower drivers, and the power manager knows.
    EXPECT_EQ(DeviceSets(f), (std::vector<LONG>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(f.ReportedDevicePower(), PowerDeviceD0);
    if (c.How == Failure::WakeRefused) {
        EXPECT_EQ(f.Bus().Count(kWaitWake), 2u);  // armed again after the wake
    }
    ExpectDataMoves(f);
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Table, PowerUpRetry,
                         ::testing::Values(RetryCase{"NoPoolForResume", Failure::NoPoolForResume},
                                           RetryCase{"ResumeRefused", Failure::ResumeRefused},
                                           RetryCase{"ResumeRefusedThrice", Failure::ResumeRefusedThrice},
                                           RetryCase{"WakeRefused", Failure::WakeRefused}),
                         [](const ::testing::TestParamInfo<RetryCase> &info) {
                             return std::string(info.param.Name);
                         });

// The power manager never takes the D0 request: the retries must neither
// hold up the query-remove (they hold no I/O count) nor outlive the device
// (the fixture's teardown reports an armed timer or a queued DPC).
struct EndCase {
    const char *Name;
    bool Unplug;  // else disabled: query-remove and removal
};

class PowerUpRetryEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(PowerUpRetryEnd, RemovalEndsARetryThePowerManagerKeepsRefusing)
{
    const EndCase c = GetParam();
    PowerFixture f;
    ASSERT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    f.Power().FailNextRequests(1000);
    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_INSUFFICIENT_RESOURCES);
    f.Advance(1s);
    EXPECT_EQ(f.DevicePower(), PowerDeviceD2);

    EXPECT_EQ(c.Unplug ? f.Pnp().Unplug(f.Pdo()) : f.Pnp().Disable(f.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Pnp().State(f.Pdo()), sim::NodeState::Removed);
    f.Advance(1s);
    f.Power().FailNextRequests(0);
    EXPECT_EQ(DeviceSets(f), std::vector<LONG>{PowerDeviceD2});
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Table, PowerUpRetryEnd,
                         ::testing::Values(EndCase{"Disable", false}, EndCase{"Unplug", true}),
                         [](const ::testing::TestParamInfo<EndCase> &info) {
                             return std::string(info.param.Name);
                         });

}  // namespace
