// vxctl's commands over a hand-written DeviceIo: what they send, what they
// print (vxsim's words, so the harness can compare), which handles they close,
// and how the Win32 error table maps back to the driver's statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include "include/vextora.h"
#include "tools/vxctl/Commands.h"
#include "tools/vxctl/Utf16Text.h"
#include "tools/vxctl/Win32Status.h"
#include "tools/common/StatusNames.h"

namespace {

constexpr vxio::Status kAccessDenied = static_cast<vxio::Status>(0xC0000022);
constexpr vxio::Status kInvalidParameter = static_cast<vxio::Status>(0xC000000D);

class DoneRequest : public vxio::Request {
public:
    DoneRequest(vxio::Status status, uint64_t information) : status_(status), information_(information) {}
    bool Done() const override { return true; }
    vxio::Status Wait() override { return status_; }
    vxio::Status Result() const override { return status_; }
    uint64_t Information() const override { return information_; }
    void Cancel() override {}

private:
    vxio::Status status_;
    uint64_t information_;
};

// One device: exclusive handles per file name, and control answers that echo
// a canned reply per code. Every call is recorded.
class FakeIo : public vxio::DeviceIo {
public:
    std::vector<std::u16string> links = {u"\\\\?\\usb#fake"};
    std::map<uint32_t, std::pair<vxio::Status, std::vector<uint8_t>>> answers;
    bool exclusive = true;
    std::vector<std::string> calls;
    std::set<vxio::Handle> open;

    std::vector<std::u16string> Interfaces(const vxio::InterfaceClass &) override { return links; }
    vxio::Status Open(std::u16string_view, std::u16string_view FileName, vxio::Handle *Result) override
    {
        std::string name(FileName.begin(), FileName.end());
        calls.push_back("open " + name);
        if (exclusive && names_.count(name))
            return kAccessDenied;
        *Result = next_++;
        names_.insert(name);
        byHandle_[*Result] = name;
        open.insert(*Result);
        return 0;
    }
    vxio::Status Close(vxio::Handle Handle) override
    {
        calls.push_back("close");
        names_.erase(byHandle_[Handle]);
        open.erase(Handle);
        return 0;
    }
    vxio::Status readStatus = 0;
    std::shared_ptr<vxio::Request> Read(vxio::Handle, void *, uint32_t Length) override
    {
        calls.push_back("read " + std::to_string(Length));
        return std::make_shared<DoneRequest>(readStatus, 0);
    }
    std::shared_ptr<vxio::Request> Write(vxio::Handle, const void *, uint32_t Length) override
    {
        calls.push_back("write " + std::to_string(Length));
        return std::make_shared<DoneRequest>(0, Length);
    }
    std::shared_ptr<vxio::Request> Control(vxio::Handle, uint32_t Code, const void *Input, uint32_t InputLength,
                                           void *Output, uint32_t OutputLength) override
    {
        std::ostringstream call;
        call << "ioctl " << std::hex << Code << std::dec << " in";
        for (uint32_t i = 0; i < InputLength; ++i)
            call << ' ' << int(static_cast<const uint8_t *>(Input)[i]);
        call << " out " << OutputLength;
        calls.push_back(call.str());
        auto it = answers.find(Code);
        if (it == answers.end())
            return std::make_shared<DoneRequest>(static_cast<vxio::Status>(0xC0000010), 0);
        const auto &[status, bytes] = it->second;
        const size_t n = std::min<size_t>(bytes.size(), OutputLength);
        if (n != 0)
            std::memcpy(Output, bytes.data(), n);
        return std::make_shared<DoneRequest>(status, n);
    }
    vxio::Status CancelIo(vxio::Handle) override { return 0; }

private:
    vxio::Handle next_ = 1;
    std::set<std::string> names_;
    std::map<vxio::Handle, std::string> byHandle_;
};

const std::vector<uint8_t> kDeviceDescriptor = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x09, 0x12,
                                                0x01, 0x78, 0, 1, 1, 2, 1, 1};  // serial index = manufacturer's

struct Outcome {
    int exit;
    std::string out;
    std::string err;
};

// Runs `text` after a first line that plugs the device.
Outcome RunScenario(FakeIo &io, const std::string &text, bool plugFirst = true)
{
    std::ostringstream out, err;
    vxctl::Commands commands(io, out, err);
    const int exit = commands.Run((plugFirst ? "plug loopback\n" : "") + text, "t.vxs");
    return {exit, out.str(), err.str()};
}

TEST(VxctlRun, PrintsRequestsInVxsimWordsAndClosesWhatTheScenarioLeftOpen)
{
    FakeIo io;
    io.answers[IOCTL_GET_DEVICE_DESCRIPTOR] = {0, kDeviceDescriptor};
    io.answers[IOCTL_RESET_PIPE] = {kInvalidParameter, {}};
    const Outcome run = RunScenario(io,
                                "plug file x.json as loopback\n"
                                "open dev\n"
                                "open p1 \"\\PIPE01\"\n"
                                "open again \"\\PIPE01\" expect STATUS_ACCESS_DENIED\n"
                                "ioctl dev GET_DEVICE_DESCRIPTOR out 18 info 18\n"
                                "ioctl dev GET_STRING_DESCRIPTOR 02 00 09 04 out 255 expect STATUS_INVALID_DEVICE_REQUEST\n"
                                "ioctl p1 RESET_PIPE expect STATUS_INVALID_PARAMETER\n"
                                "close dev\n",
                                false);
    EXPECT_EQ(run.exit, vxctl::kExitOk) << run.out << run.err;
    EXPECT_EQ(run.out,
              "plugged loopback: present, interface \\\\?\\usb#fake\n"
              "open the device as dev: STATUS_SUCCESS\n"
              "open \"\\PIPE01\" as p1: STATUS_SUCCESS\n"
              "open \"\\PIPE01\": refused with STATUS_ACCESS_DENIED as expected\n"
              "IOCTL_GET_DEVICE_DESCRIPTOR on dev: STATUS_SUCCESS, information 18\n"
              "IOCTL_GET_STRING_DESCRIPTOR on dev: STATUS_INVALID_DEVICE_REQUEST, information 0\n"
              "IOCTL_RESET_PIPE on p1: STATUS_INVALID_PARAMETER, information 0\n"
              "close dev: STATUS_SUCCESS\n");
    // The file name goes as the scenario writes it; the string request
    // carries its four input bytes.
    EXPECT_EQ(io.calls[1], "open \\PIPE01");
    EXPECT_EQ(io.calls[4], "ioctl 22001c in 2 0 9 4 out 255");
    EXPECT_TRUE(io.open.empty()) << "p1 was left open";
}

TEST(VxctlRun, StopsAtTheFirstUnmetExpectationWithFileAndLine)
{
    struct Case {
        const char *scenario;
        const char *failure;
    } cases[] = {
        {"open dev\nioctl dev GET_DEVICE_DESCRIPTOR out 18\n",
         "FAILED: t.vxs:3: IOCTL_GET_DEVICE_DESCRIPTOR returned STATUS_INVALID_DEVICE_REQUEST, expected success"},
        {"open dev\nopen dev2 expect STATUS_SUCCESS\n",
         "FAILED: t.vxs:3: open returned STATUS_ACCESS_DENIED, expected STATUS_SUCCESS"},
        {"ioctl dev RESET_DEVICE\n", "FAILED: t.vxs:2: no open handle named 'dev'"},
        {"open dev\nopen dev\n", "FAILED: t.vxs:3: a handle named 'dev' is already open"},
        {"open dev\nopen dev2\n", "FAILED: t.vxs:3: open returned STATUS_ACCESS_DENIED, expected success"},
        {"sleep S3\n", "FAILED: t.vxs:2: step 'sleep' needs the simulator (vxsim run)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        FakeIo io;
        const Outcome run = RunScenario(io, c.scenario);
        EXPECT_EQ(run.exit, vxctl::kExitFailed);
        EXPECT_NE(run.out.find(c.failure), std::string::npos) << run.out;
        EXPECT_TRUE(io.open.empty());
    }
    // A scenario that does not parse sends nothing: unknown steps, control
    // codes, input bytes and status names are found when it is read.
    for (const char *scenario : {"open dev\nfrobnicate\n", "open dev\nioctl dev NOT_A_CODE\n",
                                 "open dev\nioctl dev RESET_DEVICE zz\n",
                                 "open dev\nioctl dev RESET_DEVICE expect STATUS_NOPE\n"}) {
        SCOPED_TRACE(scenario);
        FakeIo io;
        const Outcome run = RunScenario(io, scenario);
        EXPECT_EQ(run.exit, vxctl::kExitUsage);
        EXPECT_TRUE(io.calls.empty());
    }
}

TEST(VxctlRun, ReadBackIsVerifiedAgainstWhatWasWritten)
{
    FakeIo io;  // reads return nothing, so a verified read of 0 bytes passes
    Outcome run = RunScenario(io, "open p \"\\PIPE00\"\nwrite p 64 pattern 3\nread p 64 verify bytes 0\n");
    EXPECT_EQ(run.exit, vxctl::kExitOk) << run.out;
    EXPECT_NE(run.out.find("write p 64 bytes: STATUS_SUCCESS, 64 written"), std::string::npos);
    EXPECT_NE(run.out.find("read p 64: STATUS_SUCCESS, 0 bytes read, every byte verified"), std::string::npos);
    run = RunScenario(io, "open p \"\\PIPE00\"\nread p 64 bytes 5\n");
    EXPECT_EQ(run.exit, vxctl::kExitFailed);
    EXPECT_NE(run.out.find("t.vxs:3: 0 byte(s) moved, expected 5"), std::string::npos);
}

TEST(VxctlOpenTwice, SucceedsOnlyWhenTheSecondOpenIsRefusedAndClosesEverything)
{
    for (bool exclusive : {true, false}) {
        SCOPED_TRACE(exclusive);
        FakeIo io;
        io.exclusive = exclusive;
        std::ostringstream out, err;
        vxctl::Commands commands(io, out, err);
        EXPECT_EQ(commands.OpenTwice(2u), exclusive ? vxctl::kExitOk : vxctl::kExitFailed);
        EXPECT_EQ(io.calls[0], "open PIPE02");
        EXPECT_EQ(io.calls[1], "open PIPE02");
        EXPECT_TRUE(io.open.empty());
        EXPECT_NE(out.str().find(exclusive ? "open pipe2 again: STATUS_ACCESS_DENIED" : "NOT exclusive"),
                  std::string::npos)
            << out.str();
    }
}

TEST(VxctlInfo, AsksForEachDistinctStringInTheDevicesFirstLanguage)
{
    FakeIo io;
    io.answers[IOCTL_GET_DEVICE_DESCRIPTOR] = {0, kDeviceDescriptor};
    io.answers[IOCTL_GET_CONFIG_DESCRIPTOR] = {0, {9, 2, 9, 0, 0, 1, 0, 0x80, 50}};
    io.answers[IOCTL_GET_STRING_DESCRIPTOR] = {0, {6, 3, 0x07, 0x04, 0x09, 0x04}};
    std::ostringstream out, err;
    vxctl::Commands commands(io, out, err);
    EXPECT_EQ(commands.Info(), vxctl::kExitOk) << out.str() << err.str();
    std::vector<std::string> strings;
    for (const auto &call : io.calls)
        if (call.rfind("ioctl 22001c", 0) == 0)
            strings.push_back(call);
    // LANGIDs, then manufacturer (1) and product (2) in 0x0407; the serial
    // number repeats index 1 and is not asked again.
    ASSERT_EQ(strings.size(), 3u);
    EXPECT_EQ(strings[0], "ioctl 22001c in 0 0 0 0 out 255");
    EXPECT_EQ(strings[1], "ioctl 22001c in 1 0 7 4 out 255");
    EXPECT_EQ(strings[2], "ioctl 22001c in 2 0 7 4 out 255");
    EXPECT_TRUE(io.open.empty());
}

// Every command tells "no device" apart from a failed request, and a
// failure shows what the console's failure text adds.
TEST(VxctlCommands, ExitCodesSayWhetherADeviceWasThere)
{
    FakeIo io;
    std::ostringstream out, err;
    vxctl::Commands commands(io, out, err);
    commands.SetFailureText([](vxio::Status status) { return "Win32 error " + std::to_string(status & 0xFF); });
    const std::vector<uint8_t> data(4, 1);
    io.readStatus = static_cast<vxio::Status>(0xC0000120);  // STATUS_CANCELLED
    EXPECT_EQ(commands.Read(1, 4, nullptr), vxctl::kExitFailed);
    EXPECT_NE(out.str().find("read pipe1 4: STATUS_CANCELLED (Win32 error 32), 0 bytes read"), std::string::npos)
        << out.str();
    EXPECT_EQ(commands.Ioctl(std::nullopt, "0x220020", {}, 0), vxctl::kExitFailed);
    EXPECT_NE(out.str().find("STATUS_INVALID_DEVICE_REQUEST, information 0 (Win32 error 16)\n"), std::string::npos)
        << out.str();

    const int noDevice = vxctl::kExitNoDevice;
    for (std::vector<std::u16string> links : {std::vector<std::u16string>{}, std::vector<std::u16string>{u"a"}}) {
        SCOPED_TRACE(links.size());
        io.links = links;
        commands.SelectDevice(links.empty() ? 0 : 1);
        EXPECT_EQ(commands.List(), links.empty() ? noDevice : vxctl::kExitOk);
        EXPECT_EQ(commands.Info(), noDevice);
        EXPECT_EQ(commands.Ioctl(std::nullopt, "RESET_DEVICE", {}, 0), noDevice);
        EXPECT_EQ(commands.Read(1, 64, nullptr), noDevice);
        EXPECT_EQ(commands.Write(0, data), noDevice);
        EXPECT_EQ(commands.OpenTwice(std::nullopt), noDevice);
        EXPECT_EQ(commands.Run("plug loopback\nopen dev\n", "t.vxs"), noDevice);
    }
}

// read --to: the file is written only with data that was read; a failed
// read leaves no new file and an old one as it was; a path that cannot be
// written is refused before anything is read.
TEST(VxctlRead, ToAFileOnlyWhenTheReadSucceeded)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vxctl-read-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string fresh = (dir / "fresh.bin").string();
    const std::string old = (dir / "old.bin").string();
    std::ofstream(old) << "kept";
    FakeIo io;
    io.readStatus = static_cast<vxio::Status>(0xC000009D);  // STATUS_DEVICE_NOT_CONNECTED
    std::ostringstream out, err;
    vxctl::Commands commands(io, out, err);
    EXPECT_EQ(commands.Read(1, 64, &fresh), vxctl::kExitFailed);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(commands.Read(1, 64, &old), vxctl::kExitFailed);
    std::ifstream kept(old);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");

    io.readStatus = 0;
    EXPECT_EQ(commands.Read(1, 64, &fresh), vxctl::kExitOk);
    EXPECT_TRUE(std::filesystem::exists(fresh));

    io.calls.clear();
    const std::string unwritable = (dir / "no-such-dir" / "x.bin").string();
    EXPECT_EQ(commands.Read(1, 64, &unwritable), vxctl::kExitUsage);
    EXPECT_TRUE(io.calls.empty()) << "the device was read for a file that cannot be written";
    std::filesystem::remove_all(dir);
}

TEST(VxctlRun, AsynchronousReadsAreWaitedForOrCancelledAndPrintedAsVxsimDoes)
{
    FakeIo io;
    Outcome run = RunScenario(io,
                              "open in \"\\PIPE01\"\n"
                              "read in 64 async as r\n"
                              "cancel in\n"
                              "wait r\n"
                              "write in 262145 expect STATUS_INVALID_PARAMETER\n");
    // The fake's write always succeeds, so the last step fails as it should.
    EXPECT_EQ(run.exit, vxctl::kExitFailed);
    EXPECT_NE(run.out.find("read in 64 bytes as r: in flight\ncancel in: STATUS_SUCCESS\n"
                           "wait r: STATUS_SUCCESS, 0 bytes read\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("write returned STATUS_SUCCESS, expected STATUS_INVALID_PARAMETER"), std::string::npos);
    run = RunScenario(io, "open in \"\\PIPE01\"\nwait r\n");
    EXPECT_NE(run.out.find("no read named 'r' is in flight"), std::string::npos);
    // A read left in flight is ended before its handle closes.
    run = RunScenario(io, "open in \"\\PIPE01\"\nread in 8 async as r\n");
    EXPECT_EQ(run.exit, vxctl::kExitOk);
    EXPECT_TRUE(io.open.empty());
}

TEST(Utf16Text, ConvertsWholeSequencesAndKeepsACutOneForLater)
{
    struct Case {
        std::string utf8;
        std::u16string utf16;
        std::size_t used;
    } cases[] = {
        {"Vextora", u"Vextora", 7},
        {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9", 5},
        {"\xE2\x82\xAC", u"\u20AC", 3},
        {"\xF0\x9F\x94\x8C", u"\U0001F50C", 4},   // a surrogate pair
        {"a\xE2\x82", u"a", 1},                   // cut off: kept for the next piece
        {"\x80z", u"\uFFFDz", 2},                   // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD", 2},           // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", 3},  // a surrogate written as UTF-8
        {"\xC3(", u"\uFFFD(", 2},                   // broken off early
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.utf8);
        std::u16string out;
        EXPECT_EQ(vxctl::AppendUtf16(c.utf8, out), c.used);
        EXPECT_EQ(out, c.utf16);
    }
}

TEST(VxctlCommands, RefuseBadInputBeforeOpeningAnything)
{
    FakeIo io;
    std::ostringstream out, err;
    vxctl::Commands commands(io, out, err);
    EXPECT_EQ(commands.Ioctl(std::nullopt, "NO_SUCH_CODE", {}, 0), vxctl::kExitUsage);
    EXPECT_EQ(commands.Ioctl(std::nullopt, "RESET_DEVICE", {"0x1G"}, 0), vxctl::kExitUsage);
    EXPECT_TRUE(io.calls.empty());
    commands.SelectDevice(3);
    io.links = {u"a"};
    EXPECT_EQ(commands.OpenTwice(std::nullopt), vxctl::kExitNoDevice);
    EXPECT_NE(err.str().find("there is no device 3 (1 present)"), std::string::npos);
}

// Every status an application can get from the driver survives the trip
// through its Win32 error, except those that share an error with a status
// the driver uses more (STATUS_DELETE_PENDING reads as access denied).
TEST(Win32Status, DriverStatusesComeBackFromTheirWin32Errors)
{
    const char *statuses[] = {
        "STATUS_SUCCESS",          "STATUS_PENDING",           "STATUS_UNSUCCESSFUL",
        "STATUS_INVALID_DEVICE_REQUEST", "STATUS_INVALID_HANDLE", "STATUS_INVALID_PARAMETER",
        "STATUS_ACCESS_DENIED",    "STATUS_BUFFER_TOO_SMALL",  "STATUS_INSUFFICIENT_RESOURCES",
        "STATUS_INVALID_DEVICE_STATE", "STATUS_DEVICE_DATA_ERROR", "STATUS_NOT_SUPPORTED",
        "STATUS_CANCELLED",        "STATUS_DEVICE_NOT_CONNECTED", "STATUS_NO_SUCH_DEVICE",
    };
    for (const char *name : statuses) {
        SCOPED_TRACE(name);
        auto status = vx::StatusFromName(name);
        ASSERT_TRUE(status.has_value());
        auto error = vxctl::Win32ErrorFromStatus(*status);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(vxctl::StatusFromWin32Error(*error), status);
    }
    EXPECT_EQ(vxctl::StatusFromWin32Error(5), kAccessDenied);
    EXPECT_EQ(vxctl::Win32ErrorFromStatus(static_cast<int32_t>(0xC0000056)), 5u);  // STATUS_DELETE_PENDING
    EXPECT_FALSE(vxctl::StatusFromWin32Error(0xFFFF).has_value());
}

}  // namespace
