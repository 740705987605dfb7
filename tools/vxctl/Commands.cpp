#include "tools/vxctl/Commands.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>

#include "include/vextora.h"
#include "tools/vxsim/DescriptorText.h"
#include "tools/vxsim/Requests.h"
#include "tools/vxsim/Scenario.h"
#include "tools/vxsim/StatusNames.h"

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
    return vx::ControlCodeName(code) + " on " + handleName + ": " + vx::StatusName(answer.status) +
           ", information " + std::to_string(answer.information);
}

// A step that stopped a scenario run, and the exit code it stops it with.
struct StepFailure {
    std::string message;
    int exit = kExitFailed;
};

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

std::string Commands::Outcome(vxio::Status status) const
{
    return vx::StatusName(status) + Explained(status);
}

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
    const vxio::Status status =
        io_.WriteSync(handle.Get(), data.data(), static_cast<uint32_t>(data.size()), &moved);
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

// A scenario run: the subset of vxsim's engine an application can do alone.
int Commands::Run(const std::string &text, const std::string &fileName)
{
    vx::ParseResult parsed = vx::ParseScenario(text, fileName);
    if (parsed.error) {
        err_ << parsed.error->message << "\n";
        return kExitUsage;
    }
    struct AsyncRead {
        std::vector<uint8_t> buffer;
        std::shared_ptr<vxio::Request> request;
    };
    std::map<std::string, vxio::Handle> handles;
    std::map<std::string, AsyncRead> reads;
    std::optional<std::u16string> link;
    std::vector<uint8_t> expected;  // written to the device and not yet read back
    uint64_t bytesWritten = 0;
    int exit = kExitOk;

    auto number = [](const vx::Step &step, const std::string &word, const char *what) {
        auto value = vx::ParseNumber(word);
        if (!value)
            throw StepFailure{step.Where() + "expected " + what + ", found '" + word + "'"};
        return *value;
    };
    auto size32 = [&](const vx::Step &step, const std::string &word) {
        const uint64_t size = number(step, word, "a size");
        if (size > 0xFFFFFFFFull)
            throw StepFailure{step.Where() + "a size of at most 4294967295 bytes"};
        return static_cast<uint32_t>(size);
    };
    auto checkStatus = [&](const vx::Step &step, vxio::Status status, const std::string &what) {
        auto text = step.Option("expect");
        std::optional<int32_t> wanted;
        if (text) {
            wanted = vx::StatusFromName(*text);
            if (!wanted)
                throw StepFailure{step.Where() + "'" + *text + "' is not a status name or number"};
        }
        const bool ok = wanted ? status == *wanted : status >= 0;
        if (!ok)
            throw StepFailure{step.Where() + what + " returned " + Outcome(status) + ", expected " +
                              (wanted ? vx::StatusName(*wanted) : std::string("success"))};
    };
    auto checkBytes = [&](const vx::Step &step, uint64_t actual) {
        if (auto count = step.Option("bytes")) {
            const uint64_t wanted = number(step, *count, "a byte count");
            if (wanted != actual)
                throw StepFailure{step.Where() + std::to_string(actual) + " byte(s) moved, expected " +
                                  std::to_string(wanted)};
        }
    };
    auto handleNamed = [&](const vx::Step &step, const std::string &name) {
        auto it = handles.find(name);
        if (it == handles.end())
            throw StepFailure{step.Where() + "no open handle named '" + name + "'"};
        return it->second;
    };
    auto needLink = [&](const vx::Step &step) {
        if (!link)
            throw StepFailure{step.Where() + "no device is plugged in"};
        return *link;
    };
    // The end of a read, synchronous or waited for: vxsim's line for it.
    auto finishRead = [&](const vx::Step &step, const std::string &what, vxio::Status status,
                          std::vector<uint8_t> &buffer, uint64_t moved) {
        checkStatus(step, status, what);
        checkBytes(step, moved);
        buffer.resize(std::min<uint64_t>(moved, buffer.size()));
        std::string verified;
        if (step.Has("verify") && status >= 0) {
            if (buffer.size() > expected.size())
                throw StepFailure{step.Where() + "read " + std::to_string(buffer.size()) + " byte(s) but only " +
                                  std::to_string(expected.size()) + " were written and not yet read"};
            auto mismatch = std::mismatch(buffer.begin(), buffer.end(), expected.begin());
            if (mismatch.first != buffer.end())
                throw StepFailure{step.Where() + "byte " + std::to_string(mismatch.first - buffer.begin()) +
                                  " read back differs from what was written"};
            expected.erase(expected.begin(), expected.begin() + static_cast<long>(buffer.size()));
            verified = ", every byte verified";
        }
        out_ << what << ": " << vx::StatusName(status) << ", " << buffer.size() << " bytes read" << verified << "\n";
    };

    try {
        for (const vx::Step &step : parsed.steps) {
            const std::string &verb = step.verb;
            if (verb == "plug") {
                auto found = Link();
                if (!found)
                    throw StepFailure{step.Where() + "no Vextora device is present", kExitNoDevice};
                link = found;
                const std::string what = step.args[0] == "file" && step.args.size() > 1 ? step.args[1] : step.args[0];
                out_ << "plugged " << step.Option("as").value_or(what) << ": present, interface "
                     << vx::ToUtf8(*link) << "\n";
            } else if (verb == "open") {
                std::u16string fileName = step.args.size() > 1 ? vx::ToU16(step.args[1]) : std::u16string();
                while (!fileName.empty() && fileName.front() == u'\\')
                    fileName.erase(fileName.begin());
                vxio::Handle handle = vxio::kInvalidHandle;
                const vxio::Status status = io_.Open(needLink(step), fileName, &handle);
                if (status >= 0 && handles.count(step.args[0])) {
                    io_.Close(handle);
                    throw StepFailure{step.Where() + "a handle named '" + step.args[0] + "' is already open"};
                }
                if (status >= 0)
                    handles[step.args[0]] = handle;
                checkStatus(step, status, "open");
                const std::string label =
                    step.args.size() > 1 ? "\"" + step.args[1] + "\"" : std::string("the device");
                if (status >= 0)
                    out_ << "open " << label << " as " << step.args[0] << ": " << vx::StatusName(status) << "\n";
                else
                    out_ << "open " << label << ": refused with " << vx::StatusName(status) << " as expected\n";
            } else if (verb == "close") {
                const vxio::Handle handle = handleNamed(step, step.args[0]);
                const vxio::Status status = io_.Close(handle);
                handles.erase(step.args[0]);
                out_ << "close " << step.args[0] << ": " << vx::StatusName(status) << "\n";
            } else if (verb == "ioctl") {
                const vxio::Handle handle = handleNamed(step, step.args[0]);
                auto code = vx::ControlCodeFromName(step.args[1]);
                if (!code)
                    throw StepFailure{step.Where() + "'" + step.args[1] + "' is not a control code name or number"};
                std::vector<std::string> hexWords(step.args.begin() + 2, step.args.end());
                auto input = vx::ParseHexBytes(hexWords);
                if (!input)
                    throw StepFailure{step.Where() + "the input must be hex bytes such as 02 00 09 04"};
                const uint32_t outLength =
                    step.Option("out") ? static_cast<uint32_t>(number(step, *step.Option("out"), "an output length"))
                                       : 0;
                std::vector<uint8_t> bytes(input->begin(), input->end());
                vx::ControlAnswer answer = vx::Control(io_, handle, *code, bytes, outLength);
                checkStatus(step, answer.status, vx::ControlCodeName(*code));
                if (auto info = step.Option("info")) {
                    const uint64_t wanted = number(step, *info, "an information value");
                    if (wanted != answer.information)
                        throw StepFailure{step.Where() + "information " + std::to_string(answer.information) +
                                          ", expected " + std::to_string(wanted)};
                }
                out_ << ControlLine(*code, step.args[0], answer) << "\n";
                if (step.Has("show") && answer.status >= 0)
                    out_ << vx::DescribeAnswer(*code, bytes, answer);
            } else if (verb == "write") {
                const vxio::Handle handle = handleNamed(step, step.args[0]);
                const uint32_t size = size32(step, step.args[1]);
                const uint64_t seed =
                    step.Option("pattern") ? number(step, *step.Option("pattern"), "a pattern seed") : 1;
                std::vector<uint8_t> data(size);
                vx::FillPattern(data, seed, bytesWritten);
                uint32_t moved = 0;
                const vxio::Status status = io_.WriteSync(handle, data.data(), size, &moved);
                checkStatus(step, status, "write");
                checkBytes(step, moved);
                if (status >= 0) {
                    bytesWritten += moved;
                    expected.insert(expected.end(), data.begin(), data.begin() + std::min(moved, size));
                }
                out_ << "write " << step.args[0] << " " << size << " bytes: " << vx::StatusName(status)
                     << (status >= 0 ? ", " + std::to_string(moved) + " written" : std::string(" as expected"))
                     << "\n";
            } else if (verb == "read") {
                const vxio::Handle handle = handleNamed(step, step.args[0]);
                const uint32_t size = size32(step, step.args[1]);
                if (step.Has("async")) {
                    auto name = step.Option("as");
                    if (!name)
                        throw StepFailure{step.Where() + "an async read needs 'as NAME'"};
                    if (reads.count(*name))
                        throw StepFailure{step.Where() + "a read named '" + *name + "' is already in flight"};
                    AsyncRead &read = reads[*name];
                    read.buffer.resize(size);
                    read.request = io_.Read(handle, read.buffer.data(), size);
                    out_ << "read " << step.args[0] << " " << size << " bytes as " << *name << ": in flight\n";
                } else {
                    std::vector<uint8_t> buffer(size);
                    uint32_t moved = 0;
                    const vxio::Status status = io_.ReadSync(handle, buffer.data(), size, &moved);
                    finishRead(step, "read " + step.args[0] + " " + std::to_string(size), status, buffer, moved);
                }
            } else if (verb == "wait") {
                auto it = reads.find(step.args[0]);
                if (it == reads.end())
                    throw StepFailure{step.Where() + "no read named '" + step.args[0] + "' is in flight"};
                AsyncRead read = std::move(it->second);
                reads.erase(it);
                const vxio::Status status = read.request->Wait();
                finishRead(step, "wait " + step.args[0], status, read.buffer, read.request->Information());
            } else if (verb == "cancel") {
                const vxio::Status status = io_.CancelIo(handleNamed(step, step.args[0]));
                out_ << "cancel " << step.args[0] << ": " << vx::StatusName(status) << "\n";
            } else if (verb == "echo") {
                std::string line;
                for (const auto &a : step.args)
                    line += (line.empty() ? "" : " ") + a;
                out_ << line << "\n";
            } else {
                throw StepFailure{step.Where() + "step '" + verb + "' needs the simulator (vxsim run)"};
            }
            // A line at a time: whoever watches the output (the Wine harness
            // waits for a read to be in flight) sees each step as it ends.
            out_.flush();
        }
    } catch (const StepFailure &failure) {
        out_ << "FAILED: " << failure.message << "\n";
        exit = failure.exit;
    }
    // Reads still in flight are cancelled and waited for: their buffers
    // must outlive them.
    for (auto &[name, read] : reads) {
        if (!read.request->Done())
            read.request->Cancel();
        read.request->Wait();
    }
    for (auto &[name, handle] : handles)
        io_.Close(handle);
    return exit;
}

}  // namespace vxctl
