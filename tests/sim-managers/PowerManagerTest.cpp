// The power manager: requested power IRPs and their callbacks, system
// transitions, the serialisation of set and query IRPs, and the faults of
// PoStartNextPowerIrp, PoCallDriver and PoRequestPowerIrp it reports.
#include <gtest/gtest.h>

#include "ToyStack.h"

namespace {

using toy::Stack;

struct Callback {
    int Calls = 0;
    PDEVICE_OBJECT Device = nullptr;
    UCHAR Minor = 0xFF;
    POWER_STATE State{};
    NTSTATUS Status = STATUS_PENDING;
    size_t LiveIrpsDuringCallback = 0;
};

VOID NTAPI Record(PDEVICE_OBJECT Device, UCHAR Minor, POWER_STATE State, PVOID Context,
                  PIO_STATUS_BLOCK Status)
{
    auto *seen = static_cast<Callback *>(Context);
    ++seen->Calls;
    seen->Device = Device;
    seen->Minor = Minor;
    seen->State = State;
    seen->Status = Status->Status;
    seen->LiveIrpsDuringCallback = sim::LiveIrpCount();
}

POWER_STATE Device(DEVICE_POWER_STATE d)
{
    POWER_STATE s;
    s.DeviceState = d;
    return s;
}

TEST(PowerManager, RequestedIrpTravelsTheStackAndCallsBackLast)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    const size_t irpsBefore = sim::LiveIrpCount();
    Callback seen;
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &seen,
                                nullptr),
              STATUS_PENDING);
    stack.Power().WaitIdle();
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(seen.Device, stack.Pdo());
    EXPECT_EQ(seen.Minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.State.DeviceState, PowerDeviceD2);
    EXPECT_EQ(seen.Status, STATUS_SUCCESS);
    // The IRP still exists while the callback runs and is freed afterwards.
    EXPECT_EQ(seen.LiveIrpsDuringCallback, irpsBefore + 1);
    EXPECT_EQ(sim::LiveIrpCount(), irpsBefore);
    // The function driver saw it first and reported its new state.
    EXPECT_EQ(toy::Current().Record.DevicePowerSets, std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
    auto history = stack.Power().StateHistory();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().Device, stack.Fdo());
    EXPECT_EQ(history.back().State.DeviceState, PowerDeviceD2);
    auto requests = stack.Power().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Status, STATUS_SUCCESS);
}

TEST(PowerManager, WaitWakeIrpIsHandedOutBeforeItCanComplete)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    POWER_STATE wake;
    wake.SystemState = PowerSystemSleeping3;

    // Woken by the device.
    Callback woken;
    PIRP irp = nullptr;
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_WAIT_WAKE, wake, Record, &woken, &irp), STATUS_PENDING);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(woken.Calls, 0);
    ASSERT_TRUE(stack.Bus().SignalWake());
    stack.Power().WaitIdle();
    EXPECT_EQ(woken.Calls, 1);
    EXPECT_EQ(woken.Status, STATUS_SUCCESS);

    // Cancelled by its requester through the IRP it was given.
    Callback cancelled;
    irp = nullptr;
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_WAIT_WAKE, wake, Record, &cancelled, &irp),
              STATUS_PENDING);
    ASSERT_NE(irp, nullptr);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(cancelled.Calls, 1);
    EXPECT_EQ(cancelled.Status, STATUS_CANCELLED);
}

TEST(PowerManager, RefusedRequestsSendNothingAndNeverCallBack)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    Callback seen;
    stack.Power().FailNextRequests(1);
    EXPECT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD3), Record, &seen, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_POWER_SEQUENCE, Device(PowerDeviceD3), Record, &seen,
                                nullptr),
              STATUS_INVALID_PARAMETER);
    // The machine's injector, for requests made by a loaded driver.
    stack.Machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::PowerRequest), 1, 0.0});
    {
        sim::FrameScope frame(sim::FrameKind::Other, stack.Fdo()->DriverObject, stack.Fdo());
        EXPECT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD3), Record, &seen,
                                    nullptr),
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    stack.Machine().SetFaultPlan({});
    stack.Power().WaitIdle();
    EXPECT_EQ(seen.Calls, 0);
    EXPECT_TRUE(stack.Power().Requests().empty());
    EXPECT_TRUE(toy::Current().Record.DevicePowerSets.empty());
}

TEST(PowerManager, SystemTransitionsQueryThenSetAndReturnTheResult)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    auto &log = toy::Current().Record.PowerIrps;
    log.clear();
    using P = toy::Log::PowerIrp;

    ASSERT_EQ(stack.Power().SetSystemPower(stack.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    stack.Power().WaitIdle();
    EXPECT_EQ(log, (std::vector<P>{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3},
                                   {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
                                   {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3}}));

    log.clear();
    ASSERT_EQ(stack.Power().SetSystemPower(stack.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    stack.Power().WaitIdle();
    EXPECT_EQ(log, (std::vector<P>{{IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
                                   {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0}}));

    // The S-IRP's status is the D-IRP's: a refused D-IRP request fails it.
    stack.Power().FailNextRequests(1);
    EXPECT_EQ(stack.Power().SendSystemIrp(stack.Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping1),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST(PowerManager, SecondSetIrpWaitsForPoStartNextPowerIrpOfTheFirst)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    toy::Current().Fault.SkipStartNext = true;  // the FDO keeps its slot until released below
    stack.Bus().HoldDevicePower(true);
    Callback first, second;
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &first, nullptr),
              STATUS_PENDING);
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD3), Record, &second, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(toy::Current().Record.DevicePowerSets, std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
    EXPECT_EQ(stack.Bus().DevicePowerIrpsSeen(), 1);

    toy::Current().Fault.SkipStartNext = false;
    stack.Bus().HoldDevicePower(false);
    // Completing the first without the FDO's PoStartNextPowerIrp: reported,
    // and the slot is released so the second still gets through.
    EXPECT_EQ(stack.Bus().ReleaseHeldPower(), 1u);
    stack.Power().WaitIdle();
    EXPECT_EQ(first.Calls, 1);
    EXPECT_EQ(second.Calls, 1);
    EXPECT_EQ(toy::Current().Record.DevicePowerSets,
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD3}));
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::StartNextPowerIrpMissing), 1u);
    stack.Machine().ClearReports();
}

TEST(PowerManager, VerifierCatchesPowerFaults)
{
    struct Case {
        const char *Name;
        void (*Arm)(toy::Faults &);
        bool HoldInBus;
        std::string_view Check;
    };
    const Case cases[] = {
        {"PoStartNextPowerIrp missing", [](toy::Faults &f) { f.SkipStartNext = true; }, false,
         sim::checks::StartNextPowerIrpMissing},
        {"PoStartNextPowerIrp twice", [](toy::Faults &f) { f.StartNextTwice = true; }, false,
         sim::checks::StartNextPowerIrpRepeated},
        {"PoStartNextPowerIrp after passing down", [](toy::Faults &f) { f.StartNextLate = true; }, true,
         sim::checks::StartNextPowerIrpLate},
        {"power IRP with IofCallDriver", [](toy::Faults &f) { f.PowerWithIofCallDriver = true; }, false,
         sim::checks::PowerIrpWithIofCallDriver},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Stack stack;
        ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
        c.Arm(toy::Current().Fault);
        stack.Bus().HoldDevicePower(c.HoldInBus);
        Callback seen;
        ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &seen,
                                    nullptr),
                  STATUS_PENDING);
        stack.Bus().HoldDevicePower(false);
        stack.Bus().ReleaseHeldPower();
        stack.Power().WaitIdle();
        EXPECT_EQ(seen.Calls, 1);
        EXPECT_GE(stack.Machine().ReportCount(c.Check), 1u) << stack.Machine().ReportText();
        toy::Current().Fault = {};
        stack.Machine().ClearReports();
    }

    // The IRP out-parameter is for wait-wake only.
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    Callback seen;
    PIRP irp = nullptr;
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD1), Record, &seen, &irp),
              STATUS_PENDING);
    stack.Power().WaitIdle();
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::PowerRequestIrpOutParameter), 1u);
    stack.Machine().ClearReports();
}

TEST(PowerManager, MisusedServicesAreReportedAndRefused)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    // PoStartNextPowerIrp on an IRP that never was a power IRP in flight.
    PIRP stray = IoAllocateIrp(2, FALSE);
    ASSERT_NE(stray, nullptr);
    PoStartNextPowerIrp(stray);
    IoFreeIrp(stray);
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::NotAPowerIrp), 1u);

    // PoRequestPowerIrp above DISPATCH_LEVEL sends nothing.
    Callback seen;
    KIRQL old = KfRaiseIrql(HIGH_LEVEL);
    const NTSTATUS status =
        PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &seen, nullptr);
    KfLowerIrql(old);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::PowerRequestIrql), 1u);
    EXPECT_TRUE(stack.Power().Requests().empty());
    stack.Machine().ClearReports();
}

TEST(PowerManager, HeldCompletionsRunTheirCallbacksWhenReleased)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    stack.Power().HoldCompletions(IRP_MN_SET_POWER, true);
    Callback seen;
    ASSERT_EQ(PoRequestPowerIrp(stack.Pdo(), IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &seen, nullptr),
              STATUS_PENDING);
    stack.Power().WaitIdle();
    EXPECT_EQ(seen.Calls, 0);
    EXPECT_EQ(stack.Power().HeldCount(), 1u);
    stack.Power().ReleaseHeld();
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(seen.Status, STATUS_SUCCESS);
}

}  // namespace
