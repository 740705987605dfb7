// Waits that must end: each test pins one order of events in which a wait of
// the driver used to have no waker (its waker was itself waiting, directly or
// through a count, for the waiter), and checks that every party finishes.
// Grouped by the wait: the power-down's drain, the PnP queries' drain, the
// removal's wait for wait-wake and idle requests of a start that came twice.
#include "tests/idle/IdleTestSupport.h"

#include "include/vextora.h"
#include "sim/kernel/WmiService.h"
#include "wmi/Wmi.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

thread_local bool tReader = false;

constexpr int kOutPipe = 0;  // PIPE00, bulk OUT 0x01
constexpr int kInPipe = 1;   // PIPE01, bulk IN 0x81

FixtureOptions Plain()
{
    FixtureOptions options;
    options.RemoteWake = false;
    return options;
}

// A request whose sender waits in a thread of its own.
struct Pending {
    std::atomic<bool> Done{false};
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    sim::SimThread *Thread = nullptr;
};

template <class F> void StartPending(PowerFixture &f, Pending &p, const char *name, F body)
{
    p.Thread = f.Machine().StartThread(name, [&p, body] {
        p.Status = body();
        p.Done = true;
    });
}

// Writes a few bytes on pipe 0 and reads them back on pipe 1.
void ExpectLoopback(PowerFixture &f, vxio::Handle out, vxio::Handle in)
{
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    uint8_t back[5] = {};
    uint32_t moved = 0;
    EXPECT_EQ(f.Io().WriteSync(out, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().ReadSync(in, back, sizeof back, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof data);
    EXPECT_EQ(std::memcmp(data, back, sizeof data), 0);
}

// ---- the power-down's drain -------------------------------------------------
// HoldIoWorker waits until no device I/O is in flight. Nothing that waits for
// the power-down may count as such, or neither ends.

enum class Waiter { ControlRequest, SurpriseRemoval, Removal };

class PowerDownDrain : public ::testing::TestWithParam<Waiter> {};

// The hub calls back for an idle request whose cancel (an open, a PnP request)
// it answers only after the callback has returned. Meanwhile a control request
// or a removal waits for that request to end; the callback waits for its
// power-down, and the power-down must not wait for them.
TEST_P(PowerDownDrain, IdleCallbackMeetsARequestWaitingForTheIdleRequestToEnd)
{
    const Waiter waiter = GetParam();
    PowerFixture f(IdleOn());
    f.Advance(kTick + kSettle);
    ASSERT_TRUE(f.Bus().Holds(kIdleRequest));
    f.Bus().Set(kIdleRequest, Rule::Hold(OnCancel::Keep));

    vxio::Handle handle = vxio::kInvalidHandle;
    uint8_t descriptor[18] = {};
    Pending p;
    switch (waiter) {
    case Waiter::ControlRequest:
        ASSERT_EQ(f.Open(&handle), STATUS_SUCCESS);  // cancels the idle request
        StartPending(f, p, "application", [&] {
            uint32_t got = 0;
            auto request = f.Io().Control(handle, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                                          sizeof descriptor);
            const NTSTATUS status = request->Wait();
            got = static_cast<uint32_t>(request->Information());
            return got == sizeof descriptor ? status : STATUS_UNSUCCESSFUL;
        });
        break;
    case Waiter::SurpriseRemoval:
        StartPending(f, p, "pnp", [&] { return f.Pnp().SurpriseRemove(f.Pdo()); });
        break;
    case Waiter::Removal:
        StartPending(f, p, "pnp", [&] { return f.Pnp().Remove(f.Pdo()); });
        break;
    }
    f.Advance(kSettle);
    EXPECT_FALSE(p.Done.load()) << "the request did not wait for the idle request";

    sim::SimThread *callback = StartIdleCallback(f);
    ASSERT_NE(callback, nullptr);
    ASSERT_TRUE(f.WaitUntil([&] { return DeviceSets(f) == std::vector<LONG>{PowerDeviceD2}; }, 5s))
        << "the idle power-down never reached the bus";
    f.Machine().Join(callback);
    ASSERT_TRUE(f.Bus().Release(kIdleRequest, STATUS_CANCELLED));
    f.Machine().Join(p.Thread);
    EXPECT_EQ(p.Status.load(), STATUS_SUCCESS);

    switch (waiter) {
    case Waiter::ControlRequest:
        EXPECT_EQ(descriptor[1], USB_DEVICE_DESCRIPTOR_TYPE);
        EXPECT_TRUE(f.WaitUntil([&] { return f.DevicePower() == PowerDeviceD0; }));
        EXPECT_EQ(f.Io().Close(handle), STATUS_SUCCESS);
        break;
    case Waiter::SurpriseRemoval:
        EXPECT_EQ(f.Pnp().Remove(f.Pdo()), STATUS_SUCCESS);
        break;
    case Waiter::Removal:
        break;
    }
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Waiters, PowerDownDrain,
                         ::testing::Values(Waiter::ControlRequest, Waiter::SurpriseRemoval, Waiter::Removal),
                         [](const ::testing::TestParamInfo<Waiter> &info) {
                             switch (info.param) {
                             case Waiter::ControlRequest: return std::string("ControlRequest");
                             case Waiter::SurpriseRemoval: return std::string("SurpriseRemoval");
                             case Waiter::Removal: return std::string("Removal");
                             }
                             return std::string();
                         });

struct SecondRequest {
    const char *Name;
    UCHAR Minor;
    SYSTEM_POWER_STATE State;
};

class PowerDownDrainAndASecondRequest : public ::testing::TestWithParam<SecondRequest> {};

// A system request arrives while an idle power-down drains; its D-IRP queues
// behind the one draining, with the count of the system IRP held by its
// requester. Both must go through.
TEST_P(PowerDownDrainAndASecondRequest, QueuedBehindTheDrainDoesNotHoldIt)
{
    const SecondRequest c = GetParam();
    PowerFixture f(IdleOn());
    f.Advance(kTick + kSettle);
    ASSERT_TRUE(f.Bus().Holds(kIdleRequest));

    // The power-down's worker stops as its drain begins: its first lock is
    // the configuration's, for the abort of pending transfers.
    DeviceExtension *extension = ExtensionOf(f.Fdo());
    std::atomic<bool> held{false};
    KEVENT resume;
    KeInitializeEvent(&resume, NotificationEvent, FALSE);
    f.Machine().SetSpinLockAcquireHook([&](PKSPIN_LOCK lock) {
        if (lock == &extension->ConfigurationLock && !held.exchange(true)) {
            KeWaitForSingleObject(&resume, Executive, KernelMode, FALSE, nullptr);
        }
    });
    sim::SimThread *callback = StartIdleCallback(f);
    ASSERT_NE(callback, nullptr);
    ASSERT_TRUE(f.WaitUntil([&] { return held.load(); }));

    auto system = SendSystemIrpAsync(f, c.Minor, c.State);
    f.Advance(kSettle);
    EXPECT_FALSE(system->Done.load()) << "its D-IRP did not queue behind the power-down";
    f.Machine().SetSpinLockAcquireHook({});
    KeSetEvent(&resume, IO_NO_INCREMENT, FALSE);

    ASSERT_TRUE(f.WaitUntil([&] { return system->Done.load(); }, 5s)) << "the system IRP never ended";
    system->Join(f.Machine());
    EXPECT_EQ(system->Status, STATUS_SUCCESS);
    f.Machine().Join(callback);
    ASSERT_FALSE(DeviceSets(f).empty());
    EXPECT_EQ(DeviceSets(f).front(), PowerDeviceD2);
    if (c.State != PowerSystemWorking) {
        EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    }
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Table, PowerDownDrainAndASecondRequest,
    ::testing::Values(SecondRequest{"QueryS3", IRP_MN_QUERY_POWER, PowerSystemSleeping3},
                      SecondRequest{"SetS3", IRP_MN_SET_POWER, PowerSystemSleeping3},
                      SecondRequest{"SetS0", IRP_MN_SET_POWER, PowerSystemWorking}),
    [](const ::testing::TestParamInfo<SecondRequest> &info) { return std::string(info.param.Name); });

// Queries only ask: a read waiting for data is neither waited for (it would
// hold the query for ever) nor cancelled (the system may stay in S0). Only
// the set that lowers the device aborts it.
TEST(PowerQuery, NeitherWaitsForNorCancelsAReadWaitingForData)
{
    PowerFixture f(Plain());
    vxio::Handle out, in;
    ASSERT_EQ(f.Open(&out, kOutPipe), STATUS_SUCCESS);
    ASSERT_EQ(f.Open(&in, kInPipe), STATUS_SUCCESS);
    uint8_t back[4] = {};
    auto read = f.Io().Read(in, back, sizeof back);
    f.Advance(kSettle);
    ASSERT_FALSE(read->Done());

    EXPECT_EQ(RequestDevicePowerIrp(f, IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(RequestDevicePowerIrp(f, IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(f.Power().SendSystemIrp(f.Pdo(), IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    f.Advance(kSettle);
    EXPECT_FALSE(read->Done()) << "a query or a set that keeps D0 ended the read";

    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(f.Io().WriteSync(out, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), sizeof data);

    auto second = f.Io().Read(in, back, sizeof back);
    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(second->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(out), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(in), STATUS_SUCCESS);
}

// ---- the PnP queries' drain -------------------------------------------------
// Query-stop and query-remove wait until the requests admitted before them
// have ended. A read waiting for data, or one the application has given up on
// by closing its handle, must not hold them.

enum class Query { Stop, Remove, Rebalance };

class PnpDrain : public ::testing::TestWithParam<Query> {};

TEST_P(PnpDrain, AReadWaitingForDataIsEndedAndTheHandlesStayUsable)
{
    const Query query = GetParam();
    PowerFixture f(Plain());
    vxio::Handle out, in;
    ASSERT_EQ(f.Open(&out, kOutPipe), STATUS_SUCCESS);
    ASSERT_EQ(f.Open(&in, kInPipe), STATUS_SUCCESS);
    uint8_t back[4] = {};
    auto read = f.Io().Read(in, back, sizeof back);
    f.Advance(kSettle);
    ASSERT_FALSE(read->Done());

    Pending p;
    StartPending(f, p, "pnp", [&] {
        switch (query) {
        case Query::Stop: return f.Pnp().QueryStop(f.Pdo());
        case Query::Remove: return f.Pnp().QueryRemove(f.Pdo());
        case Query::Rebalance: return f.Pnp().Rebalance(f.Pdo());
        }
        return STATUS_UNSUCCESSFUL;
    });
    ASSERT_TRUE(f.WaitUntil([&] { return p.Done.load(); }, 5s)) << "the query waited for the read";
    f.Machine().Join(p.Thread);
    EXPECT_EQ(p.Status.load(), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);

    switch (query) {
    case Query::Stop:
        EXPECT_EQ(f.Pnp().CancelStop(f.Pdo()), STATUS_SUCCESS);
        ExpectLoopback(f, out, in);
        break;
    case Query::Remove:
        EXPECT_EQ(f.Pnp().CancelRemove(f.Pdo()), STATUS_SUCCESS);
        ExpectLoopback(f, out, in);
        break;
    case Query::Rebalance:
        // Handles opened on the configuration before the stop are stale.
        EXPECT_EQ(f.Io().ReadSync(in, back, sizeof back), STATUS_INVALID_HANDLE);
        break;
    }
    EXPECT_EQ(f.Io().Close(out), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(in), STATUS_SUCCESS);
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Queries, PnpDrain, ::testing::Values(Query::Stop, Query::Remove, Query::Rebalance),
                         [](const ::testing::TestParamInfo<Query> &info) {
                             switch (info.param) {
                             case Query::Stop: return std::string("QueryStop");
                             case Query::Remove: return std::string("QueryRemove");
                             case Query::Rebalance: return std::string("Rebalance");
                             }
                             return std::string();
                         });

// Closing a handle ends what it still has with the bus: the pipe can be opened
// again, the device can idle, and a disable does not wait for the read. A read
// that reaches the bus just after the cleanup's abort is ended too.
TEST(Cleanup, EndsTheHandlesTransfersEvenOneRacingIt)
{
    PowerFixture f(IdleOn());
    vxio::Handle in;
    ASSERT_EQ(f.Open(&in, kInPipe), STATUS_SUCCESS);
    uint8_t back[4] = {};
    auto read = f.Io().Read(in, back, sizeof back);
    f.Advance(kSettle);
    ASSERT_FALSE(read->Done());
    EXPECT_EQ(f.Io().Close(in), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    f.Io().WaitIdle();
    vxio::Handle again;
    ASSERT_EQ(f.Open(&again, kInPipe), STATUS_SUCCESS) << "the closed handle still holds the pipe";

    // The next read stops just before it counts its transfer (after its
    // checks); the handle is closed meanwhile, and the read then goes out.
    DeviceExtension *extension = ExtensionOf(f.Fdo());
    std::atomic<int> acquires{0};
    std::atomic<bool> held{false};
    KEVENT resume;
    KeInitializeEvent(&resume, NotificationEvent, FALSE);
    sim::SimThread *reader = nullptr;
    f.Machine().SetSpinLockAcquireHook([&](PKSPIN_LOCK lock) {
        if (lock == &extension->OutstandingIoLock && tReader && ++acquires == 2) {
            held = true;
            KeWaitForSingleObject(&resume, Executive, KernelMode, FALSE, nullptr);
        }
    });
    std::shared_ptr<vxio::Request> racing;
    reader = f.Machine().StartThread("reader", [&] {
        tReader = true;
        racing = f.Io().Read(again, back, sizeof back);
    });
    ASSERT_TRUE(f.WaitUntil([&] { return held.load(); }));
    EXPECT_EQ(f.Io().Close(again), STATUS_SUCCESS);
    f.Machine().SetSpinLockAcquireHook({});
    KeSetEvent(&resume, IO_NO_INCREMENT, FALSE);
    f.Machine().Join(reader);
    EXPECT_EQ(racing->Wait(), STATUS_CANCELLED);

    // Nothing is left open: the device idles.
    f.Io().WaitIdle();
    f.Advance(kTick + kSettle);
    EXPECT_TRUE(f.Bus().Holds(kIdleRequest));
    EXPECT_EQ(f.Pnp().Disable(f.Pdo()), STATUS_SUCCESS);
    f.Finish();
}

// ---- a start that comes twice ------------------------------------------------
// A start on a device that is started already (Working, or a query answered
// with a start) keeps what the first start set going: the wait-wake request the
// removal waits for, the idle request a write waits for, the configuration
// that open handles and transfers use.

enum class Before { Nothing, QueryStop, QueryRemove };

class StartAgain : public ::testing::TestWithParam<Before> {};

TEST_P(StartAgain, KeepsTheWaitWakeRequestTheHandlesAndTheConfiguration)
{
    const Before before = GetParam();
    PowerFixture f;  // remote wake-up on
    ASSERT_TRUE(f.WaitUntil([&] { return f.Bus().Holds(kWaitWake); }));
    vxio::Handle out, in;
    ASSERT_EQ(f.Open(&out, kOutPipe), STATUS_SUCCESS);
    ASSERT_EQ(f.Open(&in, kInPipe), STATUS_SUCCESS);
    uint8_t back[4] = {};
    auto read = f.Io().Read(in, back, sizeof back);
    if (before == Before::QueryStop) {
        EXPECT_EQ(f.Pnp().QueryStop(f.Pdo()), STATUS_SUCCESS);
    } else if (before == Before::QueryRemove) {
        EXPECT_EQ(f.Pnp().QueryRemove(f.Pdo()), STATUS_SUCCESS);
    }
    EXPECT_EQ(f.Pnp().Start(f.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(ExtensionOf(f.Fdo())->DeviceState, Working);
    EXPECT_EQ(f.Bus().Count(kWaitWake), 1u);
    EXPECT_TRUE(f.Bus().Holds(kWaitWake));

    if (before == Before::Nothing) {
        // The read in flight went on untouched.
        const uint8_t data[4] = {9, 8, 7, 6};
        EXPECT_EQ(f.Io().WriteSync(out, data, sizeof data), STATUS_SUCCESS);
        EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    } else {
        EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    }
    ExpectLoopback(f, out, in);
    EXPECT_EQ(f.Io().Close(out), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(in), STATUS_SUCCESS);

    // The removal cancels the one request and waits for it, and only for it.
    Pending removal;
    StartPending(f, removal, "pnp", [&] { return f.Pnp().Disable(f.Pdo()); });
    ASSERT_TRUE(f.WaitUntil([&] { return removal.Done.load(); }, 5s)) << "the removal waits for ever";
    f.Machine().Join(removal.Thread);
    EXPECT_EQ(removal.Status.load(), STATUS_SUCCESS);
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(States, StartAgain, ::testing::Values(Before::Nothing, Before::QueryStop, Before::QueryRemove),
                         [](const ::testing::TestParamInfo<Before> &info) {
                             switch (info.param) {
                             case Before::Nothing: return std::string("Working");
                             case Before::QueryStop: return std::string("AfterQueryStop");
                             case Before::QueryRemove: return std::string("AfterQueryRemove");
                             }
                             return std::string();
                         });

TEST(StartAgain, WithAnIdleRequestOutstandingTheFirstWriteStillGoesThrough)
{
    PowerFixture f(IdleOn());
    f.Advance(kTick + kSettle);
    ASSERT_TRUE(f.Bus().Holds(kIdleRequest));
    EXPECT_EQ(f.Pnp().Start(f.Pdo()), STATUS_SUCCESS);
    vxio::Handle out;
    ASSERT_EQ(f.Open(&out, kOutPipe), STATUS_SUCCESS);  // cancels the idle request
    Pending write;
    const uint8_t data[2] = {1, 2};
    StartPending(f, write, "application", [&] { return f.Io().WriteSync(out, data, sizeof data); });
    ASSERT_TRUE(f.WaitUntil([&] { return write.Done.load(); }, 5s)) << "the write waits for ever";
    f.Machine().Join(write.Thread);
    EXPECT_EQ(write.Status.load(), STATUS_SUCCESS);
    EXPECT_EQ(f.Io().Close(out), STATUS_SUCCESS);
    f.Finish();
}

// ---- the removal's wait ------------------------------------------------------
// A power or WMI request on its way into the driver as the device is removed:
// either the removal waits for it, or it sees the device removed and reaches
// nothing below. Its thread stops just before the driver takes its count;
// the removal runs to its end meanwhile.

enum class Arriving { Power, Wmi };

class RemovalMeets : public ::testing::TestWithParam<Arriving> {};

thread_local bool tArriving = false;

TEST_P(RemovalMeets, ARequestOnItsWayIsRefusedOnceTheDeviceIsRemoved)
{
    const Arriving arriving = GetParam();
    PowerFixture f(Plain());
    DeviceExtension *extension = ExtensionOf(f.Fdo());
    std::atomic<bool> held{false};
    KEVENT resume;
    KeInitializeEvent(&resume, NotificationEvent, FALSE);
    f.Machine().SetSpinLockAcquireHook([&](PKSPIN_LOCK lock) {
        if (tArriving && lock == &extension->OutstandingIoLock && !held.exchange(true)) {
            KeWaitForSingleObject(&resume, Executive, KernelMode, FALSE, nullptr);
        }
    });
    const size_t powerBefore = f.Bus().Requests(Match::Power()).size();
    PDEVICE_OBJECT fdo = f.Fdo();
    Pending p;
    StartPending(f, p, "arriving", [&] {
        tArriving = true;
        if (arriving == Arriving::Power) {
            return RequestDevicePowerIrp(f, IRP_MN_SET_POWER, PowerDeviceD2);
        }
        return f.Machine().Component<sim::WmiService>().QueryAllData(fdo, VextoraWmiGuid, 64).Status;
    });
    ASSERT_TRUE(f.WaitUntil([&] { return held.load(); }));

    EXPECT_EQ(f.Pnp().Disable(f.Pdo()), STATUS_SUCCESS);
    f.Machine().SetSpinLockAcquireHook({});
    KeSetEvent(&resume, IO_NO_INCREMENT, FALSE);
    f.Machine().Join(p.Thread);
    EXPECT_EQ(p.Status.load(), STATUS_DELETE_PENDING);
    EXPECT_EQ(f.Bus().Requests(Match::Power()).size(), powerBefore) << "a power IRP reached the bus after the removal";
    f.Finish();
}

INSTANTIATE_TEST_SUITE_P(Requests, RemovalMeets, ::testing::Values(Arriving::Power, Arriving::Wmi),
                         [](const ::testing::TestParamInfo<Arriving> &info) {
                             return std::string(info.param == Arriving::Power ? "Power" : "Wmi");
                         });

}  // namespace
