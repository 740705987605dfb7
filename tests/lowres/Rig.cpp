#include "tests/lowres/Rig.h"

#include "sim/kernel/Registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace lowres {
namespace {
constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA";
constexpr char16_t kParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA\\Parameters";
std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}
}  // namespace

Rig::Rig(const RigOptions &Options)
{
    sim::MachineOptions machineOptions;
    machineOptions.Seed = Options.Seed;
    machine_ = std::make_unique<sim::Machine>(machineOptions);
    scope_ = std::make_unique<sim::ThreadScope>(*machine_);
    if (Options.IdleSuspend) {
        machine_->Component<sim::Registry>().SetDword(kParametersKey, u"VextoraEnable", 1);
    }
    if (!Options.DeferLoad) {
        (void)Load();
    }
}

const sim::image::ImageFile *Rig::Image()
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
    return image.get();
}

NTSTATUS Rig::Load()
{
    if (driver_ != nullptr) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (Image() != nullptr) {
        driver_ = sim::image::LoadDriver(*machine_, *Image(), u"\\Driver\\VEXTORA", kServiceKey, &status);
    } else {
        driver_ = machine_->LoadDriver(u"\\Driver\\VEXTORA", DriverEntry, kServiceKey, &status);
    }
    if (driver_ != nullptr) {
        Pnp().RegisterFunctionDriver(driver_);
    }
    return status;
}

Rig::~Rig()
{
    if (!finished_) {
        Finish();
    }
    scope_.reset();
    machine_.reset();
}

bool Rig::Plug()
{
    return Plug(std::make_unique<vextora::usb::LoopbackModel>(vextora::usb::LoopbackDescriptors()));
}

bool Rig::Plug(std::unique_ptr<vextora::usb::DeviceModel> Model)
{
    auto &bus = machine_->Component<vextora::usb::UsbBus>();
    port_ = &bus.Plug(std::move(Model), {});
    Pnp().WaitIdle();
    return Started();
}

bool Rig::Started()
{
    if (port_ == nullptr || Pnp().State(Pdo()) != sim::NodeState::Started) {
        return false;
    }
    auto links = Io().Interfaces(sim::ToInterfaceClass(VextoraInterfaceClassGuid));
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
        open_.push_back(*Handle);
    }
    return status;
}

void Rig::Close(vxio::Handle Handle)
{
    open_.erase(std::remove(open_.begin(), open_.end(), Handle), open_.end());
    (void)Io().Close(Handle);
}

void Rig::CloseAll()
{
    for (vxio::Handle handle : open_) {
        (void)Io().Close(handle);
    }
    open_.clear();
    Io().WaitIdle();
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
    finished_ = true;
    machine_->SetFaultPlan({});
    CloseAll();
    if (port_ != nullptr) {
        sim::NodeState state = Pnp().State(Pdo());
        if (state != sim::NodeState::Removed && state != sim::NodeState::SurpriseRemoved &&
            state != sim::NodeState::AddFailed) {
            (void)Pnp().Disable(Pdo());
        }
        Pnp().WaitIdle();
        Power().WaitIdle();
    }
    if (driver_ != nullptr) {
        machine_->UnloadDriver(driver_);
    }
    machine_->Component<vextora::usb::UsbBus>().Shutdown();
    machine_->CheckForLeaks();
}

}  // namespace lowres
