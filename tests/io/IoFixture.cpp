#include "tests/io/IoFixture.h"

#include <algorithm>

namespace iotest {

IoFixture::IoFixture(sim::MachineOptions Options)
{
    machine_ = std::make_unique<sim::Machine>(Options);
    scope_ = std::make_unique<sim::ThreadScope>(*machine_);
    driver_ = machine_->LoadDriver(u"\\Driver\\vextora", DriverEntry,
                                   u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA");
}

IoFixture::~IoFixture()
{
    if (!finished_) {
        Finish();
    }
    tap_.reset();
    scope_.reset();
    machine_.reset();
}

void IoFixture::StartDevice(std::unique_ptr<DeviceModel> Model, StartOptions Options)
{
    ASSERT_NE(driver_, nullptr);
    auto &bus = machine_->Component<vextora::usb::UsbBus>();
    tap_ = std::make_unique<BusTap>(*machine_);
    tap_->Install(bus.Driver());
    Pnp().RegisterFunctionDriver(driver_);
    port_ = &bus.Plug(std::move(Model), Options.Port);
    Pnp().WaitIdle();
    ASSERT_EQ(Pnp().State(Pdo()), sim::NodeState::Started);
    const GUID expected = VEXTORA_INTERFACE_CLASS_GUID_INIT;
    auto links = Io().Interfaces(sim::ToInterfaceClass(expected));
    ASSERT_EQ(links.size(), 1u);
    link_ = links.front();
    urbsSeen_ = port_->Urbs().size();
}

void IoFixture::StartLoopback(StartOptions Options)
{
    StartDevice(std::make_unique<vextora::usb::LoopbackModel>(vextora::usb::LoopbackDescriptors()), Options);
}

vxio::Status IoFixture::Open(std::u16string_view Name, vxio::Handle *Handle)
{
    vxio::Status status = Io().Open(link_, Name, Handle);
    if (vxio::Succeeded(status)) {
        open_.push_back(*Handle);
    }
    return status;
}

vxio::Handle IoFixture::OpenOk(std::u16string_view Name)
{
    vxio::Handle handle = vxio::kInvalidHandle;
    EXPECT_EQ(Open(Name, &handle), vxio::kSuccess) << std::string(Name.begin(), Name.end());
    return handle;
}

void IoFixture::Close(vxio::Handle Handle)
{
    open_.erase(std::remove(open_.begin(), open_.end(), Handle), open_.end());
    EXPECT_EQ(Io().Close(Handle), vxio::kSuccess);
}

IoFixture::Answer IoFixture::Control(vxio::Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength,
                                     void *Output, uint32_t OutputLength)
{
    uint32_t returned = 0xDEADBEEF;
    vxio::Status status = Io().ControlSync(Handle, Code, Input, InputLength, Output, OutputLength, &returned);
    return {status, returned};
}

IoFixture::Answer IoFixture::Read(vxio::Handle Handle, void *Buffer, uint32_t Length)
{
    uint32_t moved = 0xDEADBEEF;
    vxio::Status status = Io().ReadSync(Handle, Buffer, Length, &moved);
    return {status, moved};
}

IoFixture::Answer IoFixture::Write(vxio::Handle Handle, const void *Buffer, uint32_t Length)
{
    uint32_t moved = 0xDEADBEEF;
    vxio::Status status = Io().WriteSync(Handle, Buffer, Length, &moved);
    return {status, moved};
}

std::vector<UrbRecord> IoFixture::NewUrbs()
{
    std::vector<UrbRecord> all = port_->Urbs();
    std::vector<UrbRecord> fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(urbsSeen_, all.size())), all.end());
    urbsSeen_ = all.size();
    return fresh;
}

void IoFixture::Finish()
{
    finished_ = true;
    for (vxio::Handle handle : open_) {
        (void)Io().Close(handle);
    }
    open_.clear();
    Io().WaitIdle();
    if (port_ != nullptr) {
        sim::NodeState state = Pnp().State(Pdo());
        if (state != sim::NodeState::Removed && state != sim::NodeState::SurpriseRemoved) {
            EXPECT_EQ(Pnp().Disable(Pdo()), STATUS_SUCCESS);
        }
        Pnp().WaitIdle();
        EXPECT_EQ(Pnp().State(Pdo()), sim::NodeState::Removed);
    }
    if (driver_ != nullptr) {
        machine_->UnloadDriver(driver_);
    }
    machine_->Component<vextora::usb::UsbBus>().Shutdown();
    machine_->CheckForLeaks();
    EXPECT_EQ(machine_->ReportText(), "");
}

}  // namespace iotest
