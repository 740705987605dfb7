// The machine rig the vxsim commands boot the driver with: what reaches the
// driver, which device a link belongs to, and a teardown that reports only
// what the driver left behind.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/usb/Models.h"
#include "sim/rig/MachineRig.h"

namespace {

std::unique_ptr<vextora::usb::DeviceModel> Loopback()
{
    return vextora::usb::MakeModel("loopback", vextora::usb::LoopbackDescriptors());
}

vx::RigOptions Options(uint64_t seed)
{
    vx::RigOptions options;
    options.Machine.Seed = seed;
    options.ThreadName = "rig-test";
    return options;
}

NTSTATUS NTAPI RefusingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }

TEST(MachineRig, ParametersReachTheDriverBeforeItLoads)
{
    // VextoraEnable is read when the driver starts the device: with it, an
    // idle device is suspended; without it, it stays in D0.
    struct Case {
        bool enable;
        DEVICE_POWER_STATE after;
    } cases[] = {{true, PowerDeviceD2}, {false, PowerDeviceD0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.enable ? "VextoraEnable = 1" : "no parameters");
        vx::RigOptions options = Options(11);
        if (c.enable)
            options.Parameters = {{u"VextoraEnable", 1}};
        vx::MachineRig rig(options);
        ASSERT_NE(rig.Driver(), nullptr);
        auto &port = rig.Plug(Loopback());
        ASSERT_FALSE(rig.Link().empty());
        rig.Machine().Sleep(std::chrono::seconds(60));
        EXPECT_EQ(port.PowerState(), c.after);
        EXPECT_EQ(rig.Finish(), "");
    }
}

TEST(MachineRig, OpenReportsWhatWentWrongAndFinishClosesWhatItOpened)
{
    vx::MachineRig rig(Options(12));
    rig.Plug(Loopback());
    vxio::Handle out = vxio::kInvalidHandle, in = vxio::kInvalidHandle, again = vxio::kInvalidHandle;
    EXPECT_EQ(rig.Open(u"PIPE00", &out), "");
    EXPECT_EQ(rig.Open(u"PIPE01", &in), "");
    // Each pipe opens once.
    EXPECT_EQ(rig.Open(u"PIPE00", &again), "open failed: STATUS_ACCESS_DENIED");
    // Left open here: Finish closes them before the device goes, or the
    // leak check would find the driver's per-handle state.
    EXPECT_EQ(rig.Finish(), "");
    // A second teardown neither unloads the driver again nor finds anything.
    EXPECT_EQ(rig.Shutdown(), "");
}

TEST(MachineRig, ADriverThatFailedToLoadIsNotUnloaded)
{
    vx::RigOptions options = Options(13);
    options.Driver.Entry = RefusingEntry;
    vx::MachineRig rig(options);
    EXPECT_EQ(rig.Driver(), nullptr);
    rig.Plug(Loopback());
    EXPECT_TRUE(rig.Link().empty());
    vxio::Handle handle = vxio::kInvalidHandle;
    EXPECT_EQ(rig.Open(u"", &handle), "the device did not start");
    EXPECT_EQ(rig.Finish(), "");
}

TEST(MachineRig, LinkIsTheLastPluggedDevicesOwn)
{
    vx::MachineRig rig(Options(14));
    rig.Plug(Loopback());
    const std::u16string first = rig.Link();
    ASSERT_FALSE(first.empty());

    // The next device's first allocation fails: it does not start, and the
    // first device's link must not be taken for its own.
    sim::FaultPlan plan;
    plan.Mode = sim::FaultMode::FailNth;
    plan.N = 1;
    rig.Machine().SetFaultPlan(plan);
    rig.Plug(Loopback());
    EXPECT_TRUE(rig.Link().empty());
    EXPECT_EQ(rig.Links().size(), 1u);
    vxio::Handle handle = vxio::kInvalidHandle;
    EXPECT_EQ(rig.Open(u"", &handle), "the device did not start");

    rig.Machine().SetFaultPlan({});
    rig.Plug(Loopback());
    EXPECT_FALSE(rig.Link().empty());
    EXPECT_NE(rig.Link(), first);
    EXPECT_EQ(rig.Links().size(), 2u);
    EXPECT_EQ(rig.Open(u"", &handle), "");
    EXPECT_EQ(rig.Finish(), "");
}

}  // namespace
