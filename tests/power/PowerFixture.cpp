#include "tests/power/PowerFixture.h"

#include "driver/Driver.h"
#include "sim/kernel/Registry.h"
#include "sim/usb/Models.h"

#include <gtest/gtest.h>


namespace vxtest {

namespace {

constexpr char16_t kParametersKey[] = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\VEXTORA\\Parameters";
constexpr char16_t kServiceKey[] = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\vextora";

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
    sim::MachineOptions machineOptions;
    machineOptions.Seed = options_.Seed;
    machineOptions.WdmMinor = options_.WdmMinor;
    machineOptions.RandomYields = options_.RandomYields;
    machine_ = std::make_unique<sim::Machine>(machineOptions);
    scope_ = std::make_unique<sim::ThreadScope>(*machine_);
    hook_ = std::make_unique<BusHook>(*machine_);
    hook_->Install(machine_->Component<vextora::usb::UsbBus>().Driver());

    if (options_.VextoraEnable) {
        machine_->Component<sim::Registry>().SetDword(kParametersKey, u"VextoraEnable",
                                                      *options_.VextoraEnable);
    }
    driver_ = machine_->LoadDriver(u"\\Driver\\vextora", DriverEntry, kServiceKey);
    Pnp().RegisterFunctionDriver(driver_);
    if (options_.Start) {
        EXPECT_EQ(Plug(), STATUS_SUCCESS);
    }
}

PowerFixture::~PowerFixture()
{
    Finish();
    hook_.reset();
    scope_.reset();
    machine_.reset();
}

NTSTATUS PowerFixture::Plug()
{
    port_ = &machine_->Component<vextora::usb::UsbBus>().Plug(
        std::make_unique<vextora::usb::LoopbackModel>(DeviceFor(options_.RemoteWake)), options_.Port);
    pdo_ = port_->Pdo();
    Pnp().WaitIdle();
    fdo_ = Pnp().FunctionDevice(pdo_);
    return Pnp().State(pdo_) == sim::NodeState::Started ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
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
    const auto links = Io().Interfaces(sim::ToInterfaceClass(VextoraInterfaceClassGuid));
    if (links.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string file;
    if (Pipe >= 0) {
        file = u"PIPE0";
        file += static_cast<char16_t>(u'0' + Pipe);
    }
    return Io().Open(links.front(), file, Handle);
}

bool PowerFixture::WaitUntil(const std::function<bool()> &Condition, std::chrono::nanoseconds Limit)
{
    const auto step = std::chrono::milliseconds(1);
    for (std::chrono::nanoseconds waited{0}; waited < Limit; waited += step) {
        if (Condition()) {
            return true;
        }
        machine_->Sleep(step);
    }
    return Condition();
}

sim::SimThread *PowerFixture::StartRemoval(std::atomic<NTSTATUS> *Status)
{
    return machine_->StartThread("removal", [this, Status] { *Status = Pnp().Remove(pdo_); });
}

void PowerFixture::Finish()
{
    if (finished_) {
        return;
    }
    finished_ = true;
    Io().WaitIdle();
    if (pdo_ != nullptr && Pnp().State(pdo_) != sim::NodeState::Removed &&
        Pnp().State(pdo_) != sim::NodeState::AddFailed) {
        EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    }
    machine_->Component<vextora::usb::UsbBus>().Shutdown();
    machine_->UnloadDriver(driver_);
    EXPECT_EQ(machine_->ReportText(), "") << "seed " << machine_->Seed();
}

}  // namespace vxtest
