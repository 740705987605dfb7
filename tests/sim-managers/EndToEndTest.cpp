// The toy WDM driver end to end on one machine: AddDevice and start, an
// application's handle, a read completed later from another thread, a
// 5-second periodic timer in virtual time, a work item, a sleep and wake of
// the system, removal; then nothing left and no report.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "ToyStack.h"

namespace {

using toy::Stack;

TEST(EndToEnd, ToyDriverLivesAndDiesCleanly)
{
    const auto wallStart = std::chrono::steady_clock::now();
    Stack stack;
    sim::Machine &machine = stack.Machine();
    toy::Config &config = toy::Current();
    config.PendReads = true;
    config.StartTimer = true;
    config.QueueWorkItem = true;
    const size_t poolBefore = sim::PoolBlocksInUse();
    const uint64_t t0 = machine.Now();

    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(stack.Link(), u"PIPE00", &handle), STATUS_SUCCESS);

    uint8_t buffer[512] = {};
    auto read = stack.Io().Read(handle, buffer, sizeof(buffer));
    sim::SimThread *device = machine.StartThread("device", [&machine] {
        machine.Sleep(std::chrono::milliseconds(1500));
        EXPECT_TRUE(toy::CompletePendingRead(100));
    });
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 100u);
    EXPECT_EQ(buffer[1], 8);
    machine.Join(device);

    // 15.5 s of virtual time after the start: the timer fired at 5, 10, 15.
    const uint64_t sinceStart = machine.Now() - t0;
    machine.Sleep(std::chrono::nanoseconds(155'000'000'00LL - static_cast<int64_t>(sinceStart) * 100));
    EXPECT_EQ(config.Record.TimerFires.load(), 3);
    EXPECT_EQ(config.Record.WorkItems.load(), 1);

    ASSERT_EQ(stack.Power().SetSystemPower(stack.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(stack.Power().SetSystemPower(stack.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    stack.Power().WaitIdle();
    EXPECT_EQ(config.Record.DevicePowerSets,
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));

    ASSERT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(stack.Pnp().Disable(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(stack.Pnp().State(stack.Pdo()), sim::NodeState::Removed);
    auto counts = stack.Io().IrpCounts();
    EXPECT_EQ(counts.Issued, counts.Completed);
    EXPECT_EQ(sim::PoolBlocksInUse(), poolBefore);
    EXPECT_EQ(machine.ReportText(), "");

    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("virtual %.1f s in %.3f s of wall time\n", static_cast<double>(machine.Now() - t0) / 1e7, wall);
}

}  // namespace
