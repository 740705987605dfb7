#include "tests/power/PowerFixture.h"

#include "driver/Driver.h"
#include "sim/usb/Models.h"

#include <gtest/gtest.h>


namespace vxtest {

namespace {

vextora::usb::DeviceDescriptors DeviceFor(bool RemoteWake)
{
    vextora::usb::DeviceDescriptors descriptors = vextora::usb::LoopbackDescriptors();
    // bmAttributes, bit 5: remote wake-up (USB 2.0, 9.6.3).
    if (RemoteWake) {
        descriptors.Configuration[7] |= 0x20;
    } else {
        descriptors.Configuration[7] &= static_cast<uint8_t>(~0x20);
    }
    return descriptors;
}

}  // namespace

vextora::usb::PortOptions FixtureOptions::DefaultPort()
{
    vextora::usb::PortOptions port;
    port.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    port.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    port.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    port.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    port.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    port.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    port.SystemWake = PowerSystemSleeping3;
    return port;
}

PowerFixture::PowerFixture(FixtureOptions Options) : options_(Options)
{
    vx::RigOptions rig;
    rig.Machine.Seed = options_.Seed;
    rig.Machine.WdmMinor = options_.WdmMinor;
    rig.Machine.RandomYields = options_.RandomYields;
    if (options_.VextoraEnable) {
        rig.Parameters = {{u"VextoraEnable", *options_.VextoraEnable}};
    }
    rig_ = std::make_unique<TestRig>(rig, vx::Removal::Remove);
    bus_ = std::make_unique<PortInterceptor>(rig_->Bus().Driver());
    AnswerPower(STATUS_SUCCESS);
    // A bus driver completes the other power requests as they are.
    bus_->Set(Match::Power(), Rule::Answer([](PIRP Irp) { return Irp->IoStatus.Status; }));
    bus_->Set(kWaitWake, Rule::Hold());
    bus_->Set(kIdleRequest, Rule::Hold());
    if (options_.Start) {
        EXPECT_EQ(Plug(), STATUS_SUCCESS);
    }
}

PowerFixture::~PowerFixture()
{
    Finish();
    bus_.reset();
    rig_.reset();
}

NTSTATUS PowerFixture::Plug()
{
    port_ = &rig_->Plug(std::make_unique<vextora::usb::LoopbackModel>(DeviceFor(options_.RemoteWake)), options_.Port);
    pdo_ = port_->Pdo();
    fdo_ = Pnp().FunctionDevice(pdo_);
    return Pnp().State(pdo_) == sim::NodeState::Started ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void PowerFixture::AnswerPower(NTSTATUS Status)
{
    bus_->Set(kSetPower, Rule::Complete(Status));
    bus_->Set(kQueryPower, Rule::Complete(Status));
}

DEVICE_POWER_STATE PowerFixture::DevicePower() const
{
    return static_cast<DEVICE_POWER_STATE>(ReadNoFence(
        reinterpret_cast<const volatile LONG *>(&ExtensionOf(fdo_)->DevicePower)));
}

LONG PowerFixture::ReportedDevicePower()
{
    LONG last = -1;
    for (const auto &record : Power().StateHistory()) {
        if (record.Device == fdo_ && record.Type == DevicePowerState) {
            last = record.State.DeviceState;
        }
    }
    return last;
}

vxio::Status PowerFixture::Open(vxio::Handle *Handle, int Pipe)
{
    if (rig_->Link().empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string file;
    if (Pipe >= 0) {
        file = u"PIPE0";
        file += static_cast<char16_t>(u'0' + Pipe);
    }
    return Io().Open(rig_->Link(), file, Handle);
}

sim::SimThread *PowerFixture::StartRemoval(std::atomic<NTSTATUS> *Status)
{
    return Machine().StartThread("removal", [this, Status] { *Status = Pnp().Remove(pdo_); });
}

}  // namespace vxtest
