#include "tools/vxctl/Commands.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <ostream>

#include "include/vextora.h"
#include "tools/common/AppSteps.h"
#include "tools/common/DescriptorText.h"
#include "tools/common/Requests.h"
#include "tools/common/Scenario.h"
#include "tools/common/StatusNames.h"

namespace vxctl {
namespace {

const vxio::InterfaceClass kInterfaceClass = VEXTORA_INTERFACE_CLASS_GUID_INIT;

// Handles are closed on every way out of a command.
class ScopedHandle {
public:
    ScopedHandle(vxio::DeviceIo &io, vxio::Handle handle) : io_(io), handle_(handle) {}
    ~ScopedHandle()
    {
        if (handle_ != vxio::kInvalidHandle)
            io_.Close(handle_);
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    vxio::Handle Get() const { return handle_; }

private:
    vxio::DeviceIo &io_;
    vxio::Handle handle_;
};

std::string ControlLine(uint32_t code, const std::string &handleName, const vx::ControlAnswer &answer)
{
    return vx::ControlCodeName(code) + " on " + handleName + ": " + vx::StatusName(answer.status) + ", information " +
           std::to_string(answer.information);
}

// The destination of `read --to`: checked before the read, written only
// with data that was read, removed again if this run created it and the
// read did not succeed.
class OutputFile {
public:
    explicit OutputFile(std::string path) : path_(std::move(path))
    {
        if (std::FILE *existing = std::fopen(path_.c_str(), "rb")) {
            std::fclose(existing);
        } else {
            created_ = true;
        }
        // Appending nothing changes nothing, but fails where writing would.
        std::FILE *probe = std::fopen(path_.c_str(), "ab");
        writable_ = probe != nullptr;
        if (probe != nullptr)
            std::fclose(probe);
    }
    ~OutputFile()
    {
        if (created_ && !committed_)
            std::remove(path_.c_str());
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool Writable() const { return writable_; }
    bool Commit(const std::vector<uint8_t> &data)
    {
        std::FILE *file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr)
            return false;
        const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
        const bool closed = std::fclose(file) == 0;
        committed_ = written && closed;
        return committed_;
    }

private:
    std::string path_;
    bool created_ = false;
    bool writable_ = false;
    bool committed_ = false;
};

}  // namespace

std::optional<std::u16string> Commands::Link()
{
    auto links = io_.Interfaces(kInterfaceClass);
    if (device_ >= links.size()) {
        if (links.empty())
            err_ << "vxctl: no Vextora device is present\n";
        else
            err_ << "vxctl: there is no device " << device_ << " (" << links.size() << " present)\n";
        return std::nullopt;
    }
    return links[device_];
}

std::string Commands::PipeLabel(std::optional<unsigned> pipe) const
{
    if (!pipe)
        return "dev";
    return "pipe" + std::to_string(*pipe);
}

vxio::Status Commands::OpenOn(const std::u16string &link, std::optional<unsigned> pipe, vxio::Handle *handle)
{
    return io_.Open(link, pipe ? vx::PipeFileName(*pipe) : std::u16string(), handle);
}

std::string Commands::Outcome(vxio::Status status) const { return vx::StatusName(status) + Explained(status); }

std::string Commands::Explained(vxio::Status status) const
{
    if (status >= 0 || !failureText_)
        return "";
    return " (" + failureText_(status) + ")";
}

int Commands::List()
{
    auto links = io_.Interfaces(kInterfaceClass);
    for (size_t i = 0; i < links.size(); ++i)
        out_ << i << ": " << vx::ToUtf8(links[i]) << "\n";
    if (links.empty()) {
        err_ << "vxctl: no Vextora device is present\n";
        return kExitNoDevice;
    }
    return kExitOk;
}

int Commands::Info()
{
    auto link = Link();
    if (!link)
        return kExitNoDevice;
    vxio::Handle raw = vxio::kInvalidHandle;
    const vxio::Status opened = io_.Open(*link, u"", &raw);
    out_ << "device " << vx::ToUtf8(*link) << "\n";
    if (opened < 0) {
        out_ << "open the device: " << Outcome(opened) << "\n";
        return kExitFailed;
    }
    ScopedHandle handle(io_, raw);
    int exit = kExitOk;
    auto ask = [&](uint32_t code, const std::vector<uint8_t> &input, uint32_t outLength) {
        vx::ControlAnswer answer = vx::Control(io_, handle.Get(), code, input, outLength);
        out_ << ControlLine(code, "dev", answer);
        if (answer.status >= 0) {
            out_ << "\n" << vx::DescribeAnswer(code, input, answer);
        } else {
            out_ << Explained(answer.status) << "\n";
            exit = kExitFailed;
        }
        return answer;
    };

    vx::ControlAnswer device = ask(IOCTL_GET_DEVICE_DESCRIPTOR, {}, 18);
    ask(IOCTL_GET_CONFIG_DESCRIPTOR, {}, 0xFFFF);
    vx::ControlAnswer languages = ask(IOCTL_GET_STRING_DESCRIPTOR, vx::StringRequest(0, 0), 255);
    // Strings in the first language the device offers (US English when it
    // offers none).
    uint16_t language = 0x0409;
    if (languages.status >= 0 && languages.output.size() >= 4)
        language = static_cast<uint16_t>(languages.output[2] | (languages.output[3] << 8));
    if (device.status >= 0 && device.output.size() >= 18) {
        std::vector<uint8_t> indices;
        for (size_t offset : {14u, 15u, 16u}) {
            const uint8_t index = device.output[offset];
            if (index != 0 && std::find(indices.begin(), indices.end(), index) == indices.end())
                indices.push_back(index);
        }
        for (uint8_t index : indices)
            ask(IOCTL_GET_STRING_DESCRIPTOR, vx::StringRequest(index, language), 255);
    }
    return exit;
}

int Commands::Ioctl(std::optional<unsigned> pipe, const std::string &codeName, const std::vector<std::string> &hex,
                    uint32_t outLength)
{
    auto code = vx::ControlCodeFromName(codeName);
    if (!code) {
        err_ << "vxctl: '" << codeName << "' is not a control code name or number\n";
        return kExitUsage;
    }
    auto input = vx::ParseHexBytes(hex);
    if (!input) {
        err_ << "vxctl: the input must be hex bytes such as 02 00 09 04\n";
        return kExitUsage;
    }
    auto link = Link();
    if (!link)
        return kExitNoDevice;
    vxio::Handle raw = vxio::kInvalidHandle;
    const vxio::Status opened = OpenOn(*link, pipe, &raw);
    if (opened < 0) {
        out_ << "open " << PipeLabel(pipe) << ": " << Outcome(opened) << "\n";
        return kExitFailed;
    }
    ScopedHandle handle(io_, raw);
    std::vector<uint8_t> bytes(input->begin(), input->end());
    vx::ControlAnswer answer = vx::Control(io_, handle.Get(), *code, bytes, outLength);
    out_ << ControlLine(*code, PipeLabel(pipe), answer);
    if (answer.status < 0) {
        out_ << Explained(answer.status) << "\n";
        return kExitFailed;
    }
    out_ << "\n" << vx::DescribeAnswer(*code, bytes, answer);
    return kExitOk;
}

int Commands::Read(unsigned pipe, uint32_t size, const std::string *toPath)
{
    std::optional<OutputFile> file;
    if (toPath != nullptr) {
        file.emplace(*toPath);
        if (!file->Writable()) {
            err_ << "vxctl: cannot write " << *toPath << "\n";
            return kExitUsage;
        }
    }
    if (size > VEXTORA_MAX_TRANSFER_BYTES)
        err_ << "vxctl: note: " << size << " bytes is more than the driver takes in one request\n";
    auto link = Link();
    if (!link)
        return kExitNoDevice;
    vxio::Handle raw = vxio::kInvalidHandle;
    const vxio::Status opened = OpenOn(*link, pipe, &raw);
    if (opened < 0) {
        out_ << "open " << PipeLabel(pipe) << ": " << Outcome(opened) << "\n";
        return kExitFailed;
    }
    ScopedHandle handle(io_, raw);
    std::vector<uint8_t> buffer(size);
    uint32_t moved = 0;
    const vxio::Status status = io_.ReadSync(handle.Get(), buffer.data(), size, &moved);
    buffer.resize(std::min<size_t>(moved, buffer.size()));
    out_ << "read " << PipeLabel(pipe) << " " << size << ": " << Outcome(status) << ", " << buffer.size()
         << " bytes read\n";
    if (status < 0)
        return kExitFailed;
    if (file) {
        if (!file->Commit(buffer)) {
            err_ << "vxctl: writing the data to " << *toPath << " failed\n";
            return kExitFailed;
        }
    } else {
        out_ << "  " << vx::HexBytes(buffer, 64) << "\n";
    }
    return kExitOk;
}

int Commands::Write(unsigned pipe, const std::vector<uint8_t> &data)
{
    auto link = Link();
    if (!link)
        return kExitNoDevice;
    vxio::Handle raw = vxio::kInvalidHandle;
    const vxio::Status opened = OpenOn(*link, pipe, &raw);
    if (opened < 0) {
        out_ << "open " << PipeLabel(pipe) << ": " << Outcome(opened) << "\n";
        return kExitFailed;
    }
    ScopedHandle handle(io_, raw);
    uint32_t moved = 0;
    const vxio::Status status = io_.WriteSync(handle.Get(), data.data(), static_cast<uint32_t>(data.size()), &moved);
    out_ << "write " << PipeLabel(pipe) << " " << data.size() << " bytes: " << Outcome(status) << ", " << moved
         << " written\n";
    return status < 0 ? kExitFailed : kExitOk;
}

int Commands::OpenTwice(std::optional<unsigned> pipe)
{
    auto link = Link();
    if (!link)
        return kExitNoDevice;
    vxio::Handle first = vxio::kInvalidHandle;
    const vxio::Status opened = OpenOn(*link, pipe, &first);
    out_ << "open " << PipeLabel(pipe) << ": " << Outcome(opened) << "\n";
    if (opened < 0)
        return kExitFailed;
    ScopedHandle firstHandle(io_, first);
    vxio::Handle second = vxio::kInvalidHandle;
    const vxio::Status again = OpenOn(*link, pipe, &second);
    ScopedHandle secondHandle(io_, again >= 0 ? second : vxio::kInvalidHandle);
    out_ << "open " << PipeLabel(pipe) << " again: " << vx::StatusName(again) << "\n";
    const bool refused = again == static_cast<vxio::Status>(0xC0000022);  // STATUS_ACCESS_DENIED
    out_ << (refused ? "exclusive: the second open was refused\n" : "NOT exclusive\n");
    return refused ? kExitOk : kExitFailed;
}

namespace {

// The scenario's device is the one of the interface class vxctl selected;
// `plug` in a scenario names it. Lines go out as vxsim prints them, without
// its clock column, each as soon as it is known: whoever watches the output
// (the Wine harness waits for a read to be in flight) sees each step end.
class ScenarioHost final : public vx::AppHost {
public:
    ScenarioHost(std::ostream &out, std::function<std::string(vxio::Status)> explained)
        : out_(out), explained_(std::move(explained))
    {
    }
    std::optional<std::u16string> link;

    Target CurrentTarget(const vx::Step &step) override
    {
        if (!link)
            throw vx::StepFailure{step.Where() + "no device is plugged in"};
        return Target{*link, 0};
    }
    void Line(const std::string &text) override { out_ << text << std::endl; }
    void Text(const std::string &text) override { out_ << text << std::flush; }
    std::string Explained(vxio::Status status) override { return explained_(status); }

private:
    std::ostream &out_;
    std::function<std::string(vxio::Status)> explained_;
};

}  // namespace

// A scenario run: the application's steps, through the same layer vxsim
// runs them with; `plug` selects the device that is present, and the steps
// only a simulated machine can take are refused with their place.
int Commands::Run(const std::string &text, const std::string &fileName)
{
    vx::ParseResult parsed = vx::ParseScenario(text, fileName);
    if (parsed.error) {
        err_ << parsed.error->message << "\n";
        return kExitUsage;
    }
    ScenarioHost host(out_, [this](vxio::Status status) { return Explained(status); });
    vx::AppSteps app(io_, host);
    int exit = kExitOk;
    std::function<void(const vx::Step &)> execute = [&](const vx::Step &step) {
        if (step.verb == "repeat") {
            const uint64_t count = vx::StepNumber(step, step.args[0], "a count");
            for (uint64_t i = 0; i < count; ++i)
                for (const vx::Step &inner : step.body)
                    execute(inner);
        } else if (step.verb == "plug") {
            auto found = Link();
            if (!found) {
                exit = kExitNoDevice;
                throw vx::StepFailure{step.Where() + "no Vextora device is present"};
            }
            host.link = found;
            const std::string what = step.args[0] == "file" && step.args.size() > 1 ? step.args[1] : step.args[0];
            host.Line("plugged " + step.Option("as").value_or(what) + ": present, interface " + vx::ToUtf8(*found));
        } else if (vx::AppSteps::Handles(step.verb)) {
            app.Execute(step);
        } else {
            throw vx::StepFailure{step.Where() + "step '" + step.verb + "' needs the simulator (vxsim run)"};
        }
    };
    try {
        for (const vx::Step &step : parsed.steps)
            execute(step);
    } catch (const vx::StepFailure &failure) {
        out_ << "FAILED: " << failure.message << std::endl;
        if (exit == kExitOk)
            exit = kExitFailed;
    }
    // Reads still in flight are cancelled and waited for (their buffers
    // must outlive them), then the handles closed.
    app.CancelReads();
    app.FinishReads();
    app.CloseHandles();
    return exit;
}

}  // namespace vxctl
