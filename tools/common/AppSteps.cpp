#include "tools/common/AppSteps.h"

#include <algorithm>
#include <cstdio>

#include "include/vextora.h"
#include "tools/common/Requests.h"
#include "tools/common/StatusNames.h"

namespace vx {

AppSteps::~AppSteps()
{
    // A front end that stopped half-way still gives back what it holds.
    CancelReads();
    CloseHandles();
    for (auto &[name, read] : reads_)
        read.request->Wait();
}

bool AppSteps::Handles(const std::string &verb)
{
    static const char *const verbs[] = {"open", "close", "write", "read", "wait", "cancel", "ioctl", "echo"};
    return std::find(std::begin(verbs), std::end(verbs), verb) != std::end(verbs);
}

void AppSteps::Execute(const Step &step)
{
    const std::string &v = step.verb;
    if (v == "open")
        Open(step);
    else if (v == "close")
        Close(step);
    else if (v == "write")
        Write(step);
    else if (v == "read")
        Read(step);
    else if (v == "wait")
        Wait(step);
    else if (v == "cancel")
        Cancel(step);
    else if (v == "ioctl")
        Ioctl(step);
    else if (v == "echo") {
        std::string text;
        for (const auto &a : step.args)
            text += (text.empty() ? "" : " ") + a;
        host_.Line(text);
    } else
        throw StepFailure{step.Where() + "'" + v + "' is not an application step"};
}

AppSteps::OpenHandle &AppSteps::HandleNamed(const Step &step, const std::string &name)
{
    auto it = handles_.find(name);
    if (it == handles_.end())
        throw StepFailure{step.Where() + "no open handle named '" + name + "'"};
    return it->second;
}

void AppSteps::CheckStatus(const Step &step, vxio::Status status, const std::string &what)
{
    auto text = step.Option("expect");
    std::optional<int32_t> expected;
    if (text) {
        expected = StatusFromName(*text);
        if (!expected)
            throw StepFailure{step.Where() + "'" + *text + "' is not a status name or number"};
    }
    const bool ok = expected ? status == *expected : status >= 0;
    if (!ok)
        throw StepFailure{step.Where() + what + " returned " + StatusName(status) + host_.Explained(status) +
                          ", expected " + (expected ? StatusName(*expected) : std::string("success"))};
}

void AppSteps::CheckBytes(const Step &step, uint64_t actual)
{
    if (auto text = step.Option("bytes")) {
        const uint64_t wanted = StepNumber(step, *text, "a byte count", kMaxLength);
        if (wanted != actual)
            throw StepFailure{step.Where() + std::to_string(actual) + " byte(s) moved, expected " +
                              std::to_string(wanted)};
    }
}

void AppSteps::Verify(const Step &step, size_t device, const std::vector<uint8_t> &data)
{
    std::deque<uint8_t> &expected = expected_[device];
    if (data.size() > expected.size())
        throw StepFailure{step.Where() + "read " + std::to_string(data.size()) + " byte(s) but only " +
                          std::to_string(expected.size()) + " were written to this device and not yet read"};
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != expected[i]) {
            char text[160];
            std::snprintf(text, sizeof text, "byte %zu read back as 0x%02X, written as 0x%02X", i, data[i],
                          expected[i]);
            throw StepFailure{step.Where() + text};
        }
    }
    expected.erase(expected.begin(), expected.begin() + static_cast<long>(data.size()));
    counters_.bytesVerified += data.size();
}

void AppSteps::Open(const Step &step)
{
    const std::string &name = step.args[0];
    // Refused before the request: a second handle under one name would be
    // lost to the scenario and never closed.
    if (handles_.count(name))
        throw StepFailure{step.Where() + "a handle named '" + name + "' is already open"};
    AppHost::Target target = host_.CurrentTarget(step);
    // The file name goes to the driver as the scenario writes it ("\PIPE00"
    // after the link): a name the driver does not know is its to refuse.
    const std::u16string fileName = step.args.size() > 1 ? ToU16(step.args[1]) : std::u16string();
    vxio::Handle handle = vxio::kInvalidHandle;
    const vxio::Status status = io_.Open(target.link, fileName, &handle);
    ++counters_.requests;
    if (status >= 0)
        handles_[name] = OpenHandle{handle, target.device};
    CheckStatus(step, status, "open");
    const std::string label = step.args.size() > 1 ? "\"" + step.args[1] + "\"" : std::string("the device");
    if (status >= 0)
        host_.Line("open " + label + " as " + name + ": " + StatusName(status));
    else
        host_.Line("open " + label + ": refused with " + StatusName(status) + " as expected");
}

void AppSteps::Close(const Step &step)
{
    const OpenHandle handle = HandleNamed(step, step.args[0]);
    const vxio::Status status = io_.Close(handle.handle);
    ++counters_.requests;
    handles_.erase(step.args[0]);
    host_.Line("close " + step.args[0] + ": " + StatusName(status) + host_.AfterClose(handle.device));
}

void AppSteps::Write(const Step &step)
{
    const OpenHandle handle = HandleNamed(step, step.args[0]);
    const uint64_t size = StepNumber(step, step.args[1], "a size", kMaxLength);
    const uint64_t seed = step.Option("pattern") ? StepNumber(step, *step.Option("pattern"), "a pattern seed") : 1;
    std::vector<uint8_t> data(size);
    FillPattern(data, seed, counters_.bytesWritten);
    uint32_t moved = 0;
    const vxio::Status status = io_.WriteSync(handle.handle, data.data(), static_cast<uint32_t>(size), &moved);
    ++counters_.requests;
    CheckStatus(step, status, "write");
    CheckBytes(step, moved);
    if (status >= 0) {
        counters_.bytesWritten += moved;
        auto &expected = expected_[handle.device];
        expected.insert(expected.end(), data.begin(),
                        data.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(moved, size)));
    }
    host_.Line("write " + step.args[0] + " " + std::to_string(size) + " bytes: " + StatusName(status) +
               (status >= 0 ? ", " + std::to_string(moved) + " written" : std::string(" as expected")));
}

void AppSteps::FinishRead(const Step &step, const std::string &what, vxio::Status status, size_t device,
                          std::vector<uint8_t> &buffer, uint64_t moved)
{
    CheckStatus(step, status, what);
    CheckBytes(step, moved);
    buffer.resize(std::min<uint64_t>(moved, buffer.size()));
    if (status >= 0)
        counters_.bytesRead += buffer.size();
    std::string verified;
    if (step.Has("verify") && status >= 0) {
        Verify(step, device, buffer);
        verified = ", every byte verified";
    }
    host_.Line(what + ": " + StatusName(status) + ", " + std::to_string(buffer.size()) + " bytes read" + verified);
}

void AppSteps::Read(const Step &step)
{
    const OpenHandle handle = HandleNamed(step, step.args[0]);
    const uint64_t size = StepNumber(step, step.args[1], "a size", kMaxLength);
    if (step.Has("async")) {
        const std::string name = *step.Option("as");
        // The first read's buffer belongs to the device until it completes:
        // a second read of the same name must not take its place.
        if (reads_.count(name))
            throw StepFailure{step.Where() + "a read named '" + name + "' is still in flight; 'wait " + name +
                              "' first"};
        AsyncRead read;
        read.buffer.resize(size);
        read.device = handle.device;
        read.request = io_.Read(handle.handle, read.buffer.data(), static_cast<uint32_t>(size));
        ++counters_.requests;
        reads_[name] = std::move(read);
        host_.Line("read " + step.args[0] + " " + std::to_string(size) + " bytes as " + name + ": in flight");
        return;
    }
    std::vector<uint8_t> buffer(size);
    uint32_t moved = 0;
    const vxio::Status status = io_.ReadSync(handle.handle, buffer.data(), static_cast<uint32_t>(size), &moved);
    ++counters_.requests;
    FinishRead(step, "read " + step.args[0] + " " + std::to_string(size), status, handle.device, buffer, moved);
}

void AppSteps::Wait(const Step &step)
{
    auto it = reads_.find(step.args[0]);
    if (it == reads_.end())
        throw StepFailure{step.Where() + "no read named '" + step.args[0] + "' is in flight"};
    AsyncRead read = std::move(it->second);
    reads_.erase(it);
    const vxio::Status status = read.request->Wait();
    FinishRead(step, "wait " + step.args[0], status, read.device, read.buffer, read.request->Information());
}

void AppSteps::Cancel(const Step &step)
{
    const OpenHandle handle = HandleNamed(step, step.args[0]);
    const vxio::Status status = io_.CancelIo(handle.handle);
    host_.Line("cancel " + step.args[0] + ": " + StatusName(status));
}

void AppSteps::Ioctl(const Step &step)
{
    const OpenHandle handle = HandleNamed(step, step.args[0]);
    auto code = ControlCodeFromName(step.args[1]);
    if (!code)
        throw StepFailure{step.Where() + "'" + step.args[1] + "' is not a control code name or number"};
    auto input = ParseHexBytes(std::vector<std::string>(step.args.begin() + 2, step.args.end()));
    if (!input)
        throw StepFailure{step.Where() + "the input must be hex bytes such as 02 00 09 04"};
    const std::vector<uint8_t> bytes(input->begin(), input->end());
    const uint32_t outLength =
        step.Option("out")
            ? static_cast<uint32_t>(StepNumber(step, *step.Option("out"), "an output length", kMaxLength))
            : 0;
    const ControlAnswer answer = Control(io_, handle.handle, *code, bytes, outLength);
    ++counters_.requests;
    CheckStatus(step, answer.status, ControlCodeName(*code));
    if (auto info = step.Option("info")) {
        const uint64_t wanted = StepNumber(step, *info, "an information value", kMaxLength);
        if (wanted != answer.information)
            throw StepFailure{step.Where() + "information " + std::to_string(answer.information) + ", expected " +
                              std::to_string(wanted)};
    }
    // A device reset selects the configuration again, which empties the
    // device's buffers.
    if (*code == IOCTL_RESET_DEVICE && answer.status >= 0)
        ForgetWritten(handle.device);
    host_.Line(ControlCodeName(*code) + " on " + step.args[0] + ": " + StatusName(answer.status) + ", information " +
               std::to_string(answer.information));
    if (step.Has("show") && answer.status >= 0)
        host_.Text(DescribeAnswer(*code, bytes, answer));
}

void AppSteps::CancelReads()
{
    for (auto &[name, read] : reads_)
        read.request->Cancel();
}

void AppSteps::CloseHandles()
{
    for (auto &[name, handle] : handles_)
        io_.Close(handle.handle);
    handles_.clear();
}

bool AppSteps::ReadsDone() const
{
    return std::all_of(reads_.begin(), reads_.end(), [](const auto &read) { return read.second.request->Done(); });
}

void AppSteps::FinishReads()
{
    for (auto &[name, read] : reads_) {
        const vxio::Status status = read.request->Wait();
        host_.Line("read " + name + " was still in flight at the end: " + StatusName(status));
    }
    reads_.clear();
}

}  // namespace vx
