// vxsim end to end: the demo scenario and device inspection, through the same
// code the command runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/vxsim/Demo.h"
#include "tools/vxsim/DeviceReport.h"
#include "tools/vxsim/Session.h"

namespace {

vx::Summary RunText(const std::string &text, std::string *output = nullptr)
{
    auto parsed = vx::ParseScenario(text, "test");
    EXPECT_FALSE(parsed.error) << parsed.error->message;
    std::ostringstream out;
    vx::RunOptions options;
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
