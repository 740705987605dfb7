#include "tests/lowres/Rig.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace lowres {
namespace {
std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

vx::RigOptions OptionsFor(const RigOptions &Options)
{
    vx::RigOptions options;
    options.Machine.Seed = Options.Seed;
    if (Options.IdleSuspend) {
        options.Parameters = {{u"VextoraEnable", 1}};
    }
    options.Image = Rig::Image();
    options.Load = Options.DeferLoad ? vx::DriverLoad::Later : vx::DriverLoad::AtBoot;
    return options;
}
}  // namespace

Rig::Rig(const RigOptions &Options) : TestRig(OptionsFor(Options)) {}

const std::shared_ptr<const sim::image::ImageFile> &Rig::Image()
{
    static const std::shared_ptr<const sim::image::ImageFile> image = []() {
        const char *path = std::getenv("VEXTORA_LOWRES_IMAGE");
        if (path == nullptr || *path == 0) {
            return std::shared_ptr<const sim::image::ImageFile>();
        }
        std::string error;
        auto file = sim::image::ImageFile::Open(path, &error);
        if (!file) {
            std::fprintf(stderr, "VEXTORA_LOWRES_IMAGE: %s\n", error.c_str());
            std::abort();
        }
        return file;
    }();
    return image;
}

bool Rig::Plug()
{
    return Plug(std::make_unique<vextora::usb::LoopbackModel>(vextora::usb::LoopbackDescriptors()));
}

bool Rig::Plug(std::unique_ptr<vextora::usb::DeviceModel> Model)
{
    TestRig::Plug(std::move(Model));
    return Started();
}

bool Rig::Started()
{
    if (Port() == nullptr || Pnp().State(Pdo()) != sim::NodeState::Started) {
        return false;
    }
    auto links = Links();
    if (links.empty()) {
        return false;
    }
    link_ = links.back();
    return true;
}

NTSTATUS Rig::Open(std::u16string_view Name, vxio::Handle *Handle)
{
    *Handle = vxio::kInvalidHandle;
    NTSTATUS status = Io().Open(link_, Name, Handle);
    if (NT_SUCCESS(status)) {
        Keep(*Handle);
    }
    return status;
}

std::string Rig::RoundTrip(uint8_t Salt)
{
    if (!Started()) {
        return "the device is not started";
    }
    vxio::Handle out = vxio::kInvalidHandle;
    vxio::Handle in = vxio::kInvalidHandle;
    NTSTATUS status = Open(u"PIPE0", &out);
    if (!NT_SUCCESS(status)) {
        return "open PIPE0: " + Hex(status);
    }
    status = Open(u"PIPE1", &in);
    if (!NT_SUCCESS(status)) {
        Close(out);
        return "open PIPE1: " + Hex(status);
    }
    std::vector<uint8_t> data(64);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + Salt);
    }
    std::vector<uint8_t> back(data.size() + 8, 0xEE);
    uint32_t moved = 0;
    std::string failure;
    status = Io().WriteSync(out, data.data(), static_cast<uint32_t>(data.size()), &moved);
    if (!NT_SUCCESS(status) || moved != data.size()) {
        failure = "write: status " + Hex(status) + ", " + std::to_string(moved) + " bytes";
    } else {
        status = Io().ReadSync(in, back.data(), static_cast<uint32_t>(data.size()), &moved);
        if (!NT_SUCCESS(status) || moved != data.size() || !std::equal(data.begin(), data.end(), back.begin())) {
            failure = "read: status " + Hex(status) + ", " + std::to_string(moved) + " bytes";
        }
    }
    Close(in);
    Close(out);
    return failure;
}

void Rig::Finish()
{
    Machine().SetFaultPlan({});
    (void)Teardown();
}

}  // namespace lowres
