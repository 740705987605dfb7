// vxsim end to end: the demo scenario and device inspection, through the same
// code the command runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

#include "tools/vxsim/Demo.h"
#include "tools/vxsim/DeviceReport.h"
#include "tools/vxsim/Session.h"

namespace {

vx::Summary RunText(const std::string &text, std::string *output = nullptr, vx::RunOptions options = {})
{
    auto parsed = vx::ParseScenario(text, "test");
    EXPECT_FALSE(parsed.error) << parsed.error->message;
    std::ostringstream out;
    if (options.seed == 0)
        options.seed = 42;
    vx::Session session(options, out);
    vx::Summary summary = session.Run(parsed.steps);
    if (output)
        *output = out.str();
    return summary;
}

TEST(Vxsim, DemoPassesEveryCheck)
{
    std::string output;
    vx::Summary summary = RunText(vx::kDemoScenario, &output);
    EXPECT_TRUE(summary.passed) << output;
    EXPECT_EQ(summary.verifierReports, 0u);
    EXPECT_EQ(summary.poolBlocksLeft, 0u);
    EXPECT_GE(summary.bytesVerified, 2u * 262144u);
    EXPECT_EQ(summary.bytesVerified, summary.bytesWritten) << "every byte written came back and was checked";
    EXPECT_GE(summary.powerTransitions, 3u);
    EXPECT_NE(output.find("\"Vextora"), std::string::npos) << "strings are shown as text:\n" << output;
}

TEST(Vxsim, AFailedExpectationStopsTheRunWithItsPlace)
{
    std::string output;
    vx::Summary summary = RunText("plug loopback\nopen dev\nopen again expect STATUS_SUCCESS\nclose dev\n", &output);
    EXPECT_FALSE(summary.passed);
    EXPECT_NE(output.find("test:3: open returned STATUS_ACCESS_DENIED, expected STATUS_SUCCESS"), std::string::npos)
        << output;
    // What the scenario left open is still cleaned up.
    EXPECT_EQ(summary.verifierReports, 0u);
    EXPECT_EQ(summary.poolBlocksLeft, 0u);
}

TEST(Vxsim, VerifyComparesWithWhatWasWritten)
{
    // The unverified read consumes the device's data but not the record of
    // what was written, so the verified read meets other bytes.
    std::string output;
    vx::Summary summary = RunText("plug loopback\nopen out \\PIPE00\nopen in \\PIPE01\nwrite out 16\n"
                                  "read in 16\nwrite out 16\nread in 16 verify\n",
                                  &output);
    EXPECT_FALSE(summary.passed);
    EXPECT_NE(output.find("test:7: byte "), std::string::npos) << output;
    EXPECT_NE(output.find("read back as"), std::string::npos) << output;
}

TEST(Vxsim, APluggedDeviceThatDidNotStartIsNotTakenForTheOneBeforeIt)
{
    std::string output;
    vx::Summary summary = RunText("plug loopback\nfault pool-fail 1\nplug loopback as second\n", &output);
    EXPECT_FALSE(summary.passed);
    EXPECT_NE(output.find("test:3: the device did not start"), std::string::npos) << output;
    EXPECT_EQ(output.find("plugged second"), std::string::npos) << output;
    EXPECT_EQ(summary.verifierReports, 0u);
    EXPECT_EQ(summary.poolBlocksLeft, 0u);
}

TEST(Vxsim, EndpointFaultsAreAnsweredAsTheDeviceWouldAndReportedToTheApplication)
{
    std::string output;
    vx::Summary summary = RunText(R"(plug loopback
open dev
open out "\PIPE00"
open in "\PIPE01"
# A stall holds until the pipe is reset.
write out 64
fault endpoint 0x81 stall
read in 64 expect STATUS_UNSUCCESSFUL
read in 64 expect STATUS_UNSUCCESSFUL
ioctl in RESET_PIPE
read in 64 verify
# A transaction error happens once; the data stays in the device.
write out 64
fault endpoint 0x81 error
read in 64 expect STATUS_UNSUCCESSFUL
read in 64 verify
fault endpoint 0x01 error
write out 64 expect STATUS_UNSUCCESSFUL
# A short packet ends the read with the bytes it carried.
write out 100
fault endpoint 0x81 short 10
read in 512 verify bytes 10
read in 512 verify bytes 90
# NAK until the read is cancelled; the data then goes to the next one.
fault endpoint 0x81 nak
write out 64
read in 64 async as stuck
advance 1
cancel in
wait stuck expect STATUS_CANCELLED
read in 64 verify
# The default pipe: a protocol stall ends with the request; a short answer.
fault endpoint 0 stall
ioctl dev GET_DEVICE_DESCRIPTOR out 18 expect STATUS_UNSUCCESSFUL
ioctl dev GET_DEVICE_DESCRIPTOR out 18 info 18
fault endpoint 0x80 short 8
ioctl dev GET_DEVICE_DESCRIPTOR out 18 expect STATUS_DEVICE_DATA_ERROR
# The device leaves the bus in the middle of a read.
fault endpoint 0x81 disconnect
read in 64 expect STATUS_DEVICE_NOT_CONNECTED
close in
close out
close dev
)",
                                  &output);
    EXPECT_TRUE(summary.passed) << output;
    EXPECT_NE(output.find("removal delivered"), std::string::npos) << output;

    // An endpoint the device does not have is refused with the step's place.
    summary = RunText("plug loopback\nfault endpoint 0x83 stall\n", &output);
    EXPECT_FALSE(summary.passed);
    EXPECT_NE(output.find("test:2: the device has no endpoint 0x83"), std::string::npos) << output;
}

TEST(Vxsim, RunsEndCleanlyWhateverTheScenarioLeavesBehind)
{
    struct Case {
        const char *text;
        bool passes;
        const char *output;
    } cases[] = {
        // The first read's buffer stays the device's until it completes.
        {"plug loopback\nopen in \"\\PIPE01\"\nread in 512 async as r\nread in 512 async as r\n", false,
         "test:4: a read named 'r' is still in flight"},
        // Reads left in flight, with or without their handle, end at shutdown.
        {"plug loopback\nopen in \"\\PIPE01\"\nread in 512 async as r\n", true,
         "read r was still in flight at the end: STATUS_CANCELLED"},
        {"plug loopback\nopen in \"\\PIPE01\"\nread in 512 async as r\nclose in\n", true,
         "read r was still in flight at the end: STATUS_CANCELLED"},
        // "\" names no pipe: the driver refuses it, the device handle stays free.
        {"plug loopback\nopen h \"\\\" expect STATUS_INVALID_PARAMETER\nopen dev\n", true, "open the device as dev"},
        // What was written before a reconfiguration is gone from the device.
        {"plug loopback\nopen out \"\\PIPE00\"\nwrite out 16\nclose out\npnp rebalance\nopen out \"\\PIPE00\"\n"
         "open in \"\\PIPE01\"\nwrite out 16 pattern 2\nread in 16 verify\n",
         true, "every byte verified"},
        // After a restart requests go to the device restarted, not to the
        // interface that sorts last.
        {"plug loopback\nplug file " VEXTORA_DEVICES_DIR "/qemu_usb_serial_ftdi.json as ftdi\npnp rebalance\n"
         "open dev\nioctl dev GET_DEVICE_DESCRIPTOR out 18 show\n",
         true, "0403:6001"},
        // Selective suspend follows the registry.
        {"plug loopback\nidle within 10\n", false, "'parameter VextoraEnable 1' before the device is plugged"},
        {"parameter VextoraEnable 1\nplug loopback\nidle within 10\n", true, "selectively suspended"},
        {"plug loopback\nopen out \"\\PIPE00\"\nopen in \"\\PIPE01\"\nrepeat 3\nwrite out 100\nread in 100 verify\nend\n",
         true, "bytes verified       300"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string output;
        vx::Summary summary = RunText(c.text, &output);
        std::ostringstream printed;
        vx::PrintSummary(summary, printed);
        output += printed.str();
        EXPECT_EQ(summary.passed, c.passes) << output;
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
        EXPECT_EQ(summary.verifierReports, 0u) << output;
    }
}

TEST(VxsimDeathTest, AStepThatWaitsForEverExitsWithItsPlace)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto parsed = vx::ParseScenario("plug loopback\nopen in \"\\PIPE01\"\nread in 512\n", "test");
            vx::RunOptions options;
            options.seed = 1;
            vx::Session session(options, std::cerr);
            (void)session.Run(parsed.steps);
        },
        ::testing::ExitedWithCode(vx::kExitHang), "FAILED: test:3: 'read in 512' waits for ever");
}

// The device addresses of a USBPcap file's records.
std::set<unsigned> CapturedDevices(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<unsigned> devices;
    for (size_t off = 24; off + 16 + 27 <= bytes.size();) {
        const size_t length = bytes[off + 8] | bytes[off + 9] << 8 | bytes[off + 10] << 16;
        devices.insert(bytes[off + 16 + 19] | bytes[off + 16 + 20] << 8);
        off += 16 + length;
    }
    return devices;
}

TEST(Vxsim, CapturesHoldEveryDeviceAndRepeatByteForByte)
{
    const auto dir = std::filesystem::temp_directory_path() / ("vxsim-pcap-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string scenario = "plug loopback\nplug loopback as second\nopen out \"\\PIPE00\"\nwrite out 512\n";
    std::vector<std::string> files;
    for (int run = 0; run < 2; ++run) {
        vx::RunOptions options;
        options.seed = 9;
        options.pcap = (dir / ("run" + std::to_string(run) + ".pcap")).string();
        std::string output;
        EXPECT_TRUE(RunText(scenario, &output, options).passed) << output;
        std::ifstream in(options.pcap, std::ios::binary);
        files.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(CapturedDevices(options.pcap), (std::set<unsigned>{1, 2}));
    }
    EXPECT_GT(files[0].size(), 24u);
    EXPECT_TRUE(files[0] == files[1]) << "two runs of one seed wrote different captures";
    std::filesystem::remove_all(dir);
}

TEST(Vxsim, TraceShowsWhatTheDriverPassesDownAndItsCompletion)
{
    vx::RunOptions options;
    options.trace = true;
    std::string output;
    EXPECT_TRUE(RunText("plug loopback\nopen in \"\\PIPE01\"\nread in 512 async as r\nunplug\n"
                        "wait r expect STATUS_DEVICE_NOT_CONNECTED\nclose in\n",
                        &output, options)
                    .passed)
        << output;
    // The start goes down, completes below, and the driver completes it
    // again once it has started the device: one IRP, one number.
    const auto start = output.find("PNP START_DEVICE passed down to the device below");
    ASSERT_NE(start, std::string::npos) << output;
    const std::string id = output.substr(output.rfind("IRP #", start), output.find(' ', output.rfind("IRP #", start) + 4) -
                                                                          output.rfind("IRP #", start));
    EXPECT_NE(output.find(id + " PNP START_DEVICE completed: STATUS_SUCCESS"), std::string::npos) << output;
    for (const char *want : {"READ completed below: STATUS_DEVICE_NOT_CONNECTED",
                             "INTERNAL_DEVICE_CONTROL IOCTL_INTERNAL_USB_SUBMIT_URB sent to the device below",
                             "POWER WAIT_WAKE completed below: STATUS_CANCELLED", "PNP SURPRISE_REMOVAL",
                             "PNP REMOVE_DEVICE completed below"})
        EXPECT_NE(output.find(want), std::string::npos) << "missing '" << want << "' in:\n" << output;
}

std::filesystem::path Descriptors() { return VEXTORA_DEVICES_DIR; }

TEST(Vxsim, InspectReportsEveryRealDevice)
{
    ASSERT_TRUE(std::filesystem::is_directory(Descriptors())) << Descriptors();
    int devices = 0;
    for (const auto &entry : std::filesystem::directory_iterator(Descriptors())) {
        if (entry.path().extension() != ".json")
            continue;
        ++devices;
        std::ostringstream out, err;
        int code = vx::Inspect(entry.path().string(), true, 7, out, err);
        ASSERT_TRUE(code == 0 || code == 1) << entry.path() << ": " << err.str();
        auto report = nlohmann::json::parse(out.str());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(report["started"].get<bool>(), code == 0);
        if (code == 0) {
            EXPECT_TRUE(report["interface"].is_object());
            for (const auto &pipe : report["pipes"]) {
                EXPECT_TRUE(pipe["type"] == "bulk" || pipe["type"] == "interrupt" || pipe["type"] == "isochronous");
                EXPECT_GT(pipe["maxPacketSize"].get<unsigned>(), 0u);
            }
        } else {
            EXPECT_FALSE(report["error"].get<std::string>().empty());
        }
    }
    EXPECT_EQ(devices, 14);
}

TEST(Vxsim, InspectSaysWhatItsFiguresLeaveUnexplained)
{
    auto dir = std::filesystem::temp_directory_path() / ("vxsim-inspect-notes-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string device = R"("name":"x","speed":"high","device":"12010002ff00004009127800000101020001",)";
    const std::string oneInterface = "0904000002ff0000000705010200020007058102000200";
    struct Case {
        const char *name;
        std::string text;  // empty: the real device of that name
        int code;
        const char *output;
    } cases[] = {
        // Text from the device is printed escaped: ESC [ 3 1 m, and a NUL.
        {"escapes.json",
         "{" + device + R"("configuration":"09022000010100a032)" + oneInterface +
             R"(","strings":{"0":"04030904","1":"100341001b005b00330031006d000000"}})",
         0, R"(string 1: "A\x1B[31m\0")"},
        // bNumInterfaces 2 with one interface: the driver's own check says
        // what and where.
        {"missing.json",
         "{" + device + R"("configuration":"09022000020100a032)" + oneInterface + R"(","strings":{}})", 1,
         "bNumInterfaces (offset 4) is 2, but 1 interface(s) have an alternate setting 0 (interface 0 at offset 9)"},
        {"nolangid.json",
         "{" + device + R"("configuration":"09022000010100a032)" + oneInterface +
             R"(","strings":{"1":"060341004200"}})",
         0, "has no string 0"},
        {"tinyusb_usbtest_hs.json", "", 0,
         "no pipes: interface 0 has no endpoints at alternate setting 0, the one the driver selects; alternate "
         "setting 1 has 6 endpoint(s)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto path = c.text.empty() ? Descriptors() / c.name : dir / c.name;
        if (!c.text.empty())
            std::ofstream(path) << c.text;
        std::ostringstream out, err;
        EXPECT_EQ(vx::Inspect(path.string(), false, 1, out, err), c.code) << err.str();
        EXPECT_NE(out.str().find(c.output), std::string::npos) << out.str() << err.str();
    }
    std::filesystem::remove_all(dir);
}

TEST(Vxsim, InspectRefusesMalformedDescriptionsWithAMessage)
{
    auto dir = std::filesystem::temp_directory_path() / "vxsim-inspect-test";
    std::filesystem::create_directories(dir);
    struct Case {
        const char *name;
        const char *text;
        const char *message;
    } cases[] = {
        {"notjson.json", "{ this is not json", "notjson.json"},
        {"short.json", R"({"name":"x","speed":"high","device":"1201","configuration":"09020900010100a032"})",
         "device"},
        {"badconfig.json",
         R"({"name":"x","speed":"high","device":"120100020000004034120100000101020301",)"
         R"("configuration":"0902200001010080320904000002ff00000007058102000200"})",
         "offset"},
    };
    for (const auto &c : cases) {
        auto path = dir / c.name;
        { std::ofstream(path) << c.text; }
        std::ostringstream out, err;
        EXPECT_EQ(vx::Inspect(path.string(), false, 1, out, err), 2) << c.name;
        EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
