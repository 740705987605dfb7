#include "tests/io/IoFixture.h"

#include <algorithm>

namespace iotest {

IoFixture::IoFixture(sim::MachineOptions Options)
{
    vx::RigOptions options;
    options.Machine = Options;
    rig_ = std::make_unique<vxtest::TestRig>(options);
}

IoFixture::~IoFixture()
{
    Finish();
    bus_.reset();
    rig_.reset();
}

void IoFixture::StartDevice(std::unique_ptr<DeviceModel> Model, StartOptions Options)
{
    ASSERT_NE(rig_->Driver(), nullptr);
    bus_ = std::make_unique<vxtest::PortInterceptor>(rig_->Bus().Driver());
    port_ = &rig_->Plug(std::move(Model), Options.Port);
    ASSERT_EQ(Pnp().State(Pdo()), sim::NodeState::Started);
    ASSERT_EQ(rig_->Links().size(), 1u);
    urbsSeen_ = port_->Urbs().size();
}

void IoFixture::StartLoopback(StartOptions Options)
{
    StartDevice(std::make_unique<vextora::usb::LoopbackModel>(vextora::usb::LoopbackDescriptors()), Options);
}

vxio::Status IoFixture::Open(std::u16string_view Name, vxio::Handle *Handle)
{
    return rig_->Open(Name, Handle);
}

vxio::Handle IoFixture::OpenOk(std::u16string_view Name)
{
    vxio::Handle handle = vxio::kInvalidHandle;
    EXPECT_EQ(Open(Name, &handle), vxio::kSuccess) << std::string(Name.begin(), Name.end());
    return handle;
}

void IoFixture::Close(vxio::Handle Handle)
{
    EXPECT_EQ(rig_->Close(Handle), vxio::kSuccess);
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

std::vector<ULONG> IoFixture::Sequence()
{
    std::vector<ULONG> keys;
    for (const PortRequest &request : Bus().Requests(Match{})) {
        keys.push_back(Key(request.Code, request.UrbFunction()));
    }
    return keys;
}

void IoFixture::CompleteOrPass(const Match &On, std::optional<NTSTATUS> Status)
{
    if (Status) {
        Bus().Set(On, Rule::Complete(*Status));
    } else {
        Bus().Clear(On);
    }
}

void IoFixture::AnswerPortStatus(std::optional<ULONG> PortBits)
{
    if (!PortBits) {
        Bus().Clear(Match::Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
        Bus().Clear(Match::Ioctl(IOCTL_INTERNAL_USB_RESET_PORT));
        return;
    }
    const ULONG bits = *PortBits;
    Bus().Set(Match::Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS), Rule::Answer([bits](PIRP Irp) {
                  *static_cast<PULONG>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1) = bits;
                  return STATUS_SUCCESS;
              }));
    Bus().Set(Match::Ioctl(IOCTL_INTERNAL_USB_RESET_PORT), Rule::Complete(STATUS_SUCCESS));
}

}  // namespace iotest
