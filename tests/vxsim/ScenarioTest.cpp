#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "tools/common/Requests.h"
#include "tools/common/Scenario.h"
#include "tools/common/StatusNames.h"

namespace {

TEST(Scenario, StepsCarryArgumentsOptionsAndPlace)
{
    auto parsed = vx::ParseScenario("# comment\n\nopen in \"\\PIPE01\"\nread in 64K verify expect STATUS_SUCCESS\n"
                                    "open dev \"\"\n",
                                    "t.vxs");
    ASSERT_FALSE(parsed.error);
    ASSERT_EQ(parsed.steps.size(), 3u);
    EXPECT_EQ(parsed.steps[0].verb, "open");
    EXPECT_EQ(parsed.steps[0].args, (std::vector<std::string>{"in", "\\PIPE01"}));
    EXPECT_EQ(parsed.steps[0].line, 3);
    EXPECT_TRUE(parsed.steps[1].Has("verify"));
    EXPECT_EQ(parsed.steps[1].Option("expect"), "STATUS_SUCCESS");
    EXPECT_EQ(parsed.steps[1].Where(), "t.vxs:4: ");
    EXPECT_EQ(parsed.steps[2].args, (std::vector<std::string>{"dev", ""}));
}

TEST(Scenario, ErrorsNameFileLineAndWhatWasExpected)
{
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"open dev\nfrobnicate\n", "s.vxs:2: unknown step 'frobnicate'"},
        {"read in\n", "s.vxs:1: wrong number of arguments for 'read'; usage: read HANDLE SIZE"},
        {"write out 5 expect\n", "s.vxs:1: 'expect' needs a value"},
        {"open in \"\\PIPE01\n", "s.vxs:1: a quoted word that is not closed"},
        {"close a b\n", "s.vxs:1: wrong number of arguments for 'close'"},
        {"read in 5 verify 7\n", "s.vxs:1: '7' after the options"},
        // Found when the file is read, not when the step runs.
        {"open dev\nopen d2 expect STATUS_NOPE\n", "s.vxs:2: 'STATUS_NOPE' is not a status name"},
        {"write out 0x100000000\n", "s.vxs:1: expected a size of at most 4294967295, found '0x100000000'"},
        {"ioctl dev GET_CONFIG_DESCRIPTOR out 0x100000000\n", "s.vxs:1: expected an output length of at most"},
        {"ioctl dev GET_NOTHING\n", "s.vxs:1: 'GET_NOTHING' is not a control code"},
        {"wmi set DebugPrintLevel 4294967296\n", "s.vxs:1: expected a 32-bit value of at most 4294967295"},
        {"advance 99999999999\n", "s.vxs:1: expected seconds of at most 86400"},
        {"idle within 86401\n", "s.vxs:1: expected seconds of at most 86400"},
        {"read in 64 async\n", "s.vxs:1: an asynchronous read is written 'async as NAME'"},
        {"plug file\n", "s.vxs:1: plug file needs a path"},
        {"fault endpoint 0x81 short\n", "s.vxs:1: 'short' needs a byte count"},
        {"fault endpoint 0x181 stall\n", "s.vxs:1: expected an endpoint address of at most 255"},
        {"fault endpoint 1 wobble\n", "s.vxs:1: expected one of stall, error, nak, short, disconnect"},
        {"pnp restart\n", "s.vxs:1: expected one of start,"},
        {"repeat 2\necho a\n", "s.vxs:1: this 'repeat' has no 'end'"},
        {"echo a\nend\n", "s.vxs:2: 'end' without a 'repeat'"},
        {"echo a\nrepeat 4294967295\n\nend\n", "s.vxs:2: this 'repeat' holds no steps"},
    };
    for (const auto &c : cases) {
        auto parsed = vx::ParseScenario(c.text, "s.vxs");
        ASSERT_TRUE(parsed.error) << c.text;
        EXPECT_EQ(parsed.error->message.rfind(c.message, 0), 0u) << parsed.error->message;
        EXPECT_TRUE(parsed.steps.empty());
    }
}

TEST(Scenario, RepeatHoldsItsStepsAndNests)
{
    auto parsed = vx::ParseScenario("repeat 2\n  write out 4\n  repeat 3\n    read in 4\n  end\nend\nclose out\n"
                                    "ioctl out RESET_PIPE\n",
                                    "r.vxs");
    ASSERT_FALSE(parsed.error) << parsed.error->message;
    ASSERT_EQ(parsed.steps.size(), 3u);
    const vx::Step &outer = parsed.steps[0];
    EXPECT_EQ(outer.verb, "repeat");
    ASSERT_EQ(outer.body.size(), 2u);
    EXPECT_EQ(outer.body[1].verb, "repeat");
    ASSERT_EQ(outer.body[1].body.size(), 1u);
    EXPECT_EQ(outer.body[1].body[0].Where(), "r.vxs:4: ");
    // A handle may be named like an option.
    EXPECT_EQ(parsed.steps[2].args, (std::vector<std::string>{"out", "RESET_PIPE"}));
}

TEST(Scenario, EveryStatusThePlatformDefinesHasItsName)
{
    std::ifstream header(std::string(VEXTORA_SOURCE_DIR) + "/platform/sim/SimWdm.h");
    ASSERT_TRUE(header) << VEXTORA_SOURCE_DIR;
    const std::regex define(R"(#define (STATUS_\w+) \(\(NTSTATUS\)0x([0-9A-Fa-f]+)L\))");
    int count = 0;
    for (std::string line; std::getline(header, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, define))
            continue;
        ++count;
        const auto value = static_cast<int32_t>(std::stoul(m[2], nullptr, 16));
        EXPECT_EQ(vx::StatusFromName(m[1]), value) << m[1];
        EXPECT_EQ(vx::StatusFromName(vx::StatusName(value)), value) << m[1];
        EXPECT_EQ(vx::StatusName(value).rfind("STATUS_", 0), 0u) << m[1] << " has no name";
    }
    EXPECT_GT(count, 30);
}

TEST(Scenario, NumbersAndHexBytes)
{
    EXPECT_EQ(vx::ParseNumber("512"), 512u);
    EXPECT_EQ(vx::ParseNumber("0x40000"), 0x40000u);
    EXPECT_EQ(vx::ParseNumber("256K"), 262144u);
    EXPECT_EQ(vx::ParseNumber("1M"), 1048576u);
    EXPECT_FALSE(vx::ParseNumber(""));
    EXPECT_FALSE(vx::ParseNumber("12x"));
    EXPECT_FALSE(vx::ParseNumber("K"));
    EXPECT_FALSE(vx::ParseNumber("99999999999999999999"));
    EXPECT_FALSE(vx::ParseNumber("0x"));
    EXPECT_EQ(vx::ParseHexBytes({"02", "00", "09", "04"}), (std::vector<unsigned char>{2, 0, 9, 4}));
    EXPECT_FALSE(vx::ParseHexBytes({"2"}));
    EXPECT_FALSE(vx::ParseHexBytes({"0g"}));
}

TEST(Scenario, StatusNamesRoundTrip)
{
    EXPECT_EQ(vx::StatusName(0), "STATUS_SUCCESS");
    EXPECT_EQ(vx::StatusName(static_cast<int32_t>(0xC000009D)), "STATUS_DEVICE_NOT_CONNECTED");
    EXPECT_EQ(vx::StatusName(static_cast<int32_t>(0xC0001234)), "0xC0001234");
    EXPECT_EQ(vx::StatusFromName("STATUS_ACCESS_DENIED"), static_cast<int32_t>(0xC0000022));
    EXPECT_EQ(vx::StatusFromName("0xC0000022"), static_cast<int32_t>(0xC0000022));
    EXPECT_FALSE(vx::StatusFromName("STATUS_NONSENSE"));
    EXPECT_FALSE(vx::StatusFromName("0x1FFFFFFFF"));
}

TEST(Requests, ControlCodesByNameAndNumber)
{
    EXPECT_EQ(vx::ControlCodeFromName("GET_CONFIG_DESCRIPTOR"), 0x220000u);
    EXPECT_EQ(vx::ControlCodeFromName("IOCTL_GET_STRING_DESCRIPTOR"), 0x22001Cu);
    EXPECT_EQ(vx::ControlCodeFromName("0x220001"), 0x220001u);
    EXPECT_FALSE(vx::ControlCodeFromName("GET_NOTHING"));
    EXPECT_EQ(vx::ControlCodeName(0x220014), "IOCTL_CLASS_OTHER_WRITE");
    EXPECT_EQ(vx::ControlCodeName(0x220001), "0x00220001");
    EXPECT_EQ(vx::StringRequest(2, 0x0409), (std::vector<uint8_t>{2, 0, 0x09, 0x04}));
    EXPECT_EQ(vx::PipeFileName(1), u"PIPE01");
}

TEST(Requests, PatternDependsOnSeedAndOffsetOnly)
{
    std::vector<uint8_t> whole(1000), first(400), rest(600), other(1000);
    vx::FillPattern(whole, 7);
    vx::FillPattern(first, 7, 0);
    vx::FillPattern(rest, 7, 400);
    vx::FillPattern(other, 8);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), whole.begin()));
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), whole.begin() + 400));
    EXPECT_NE(whole, other);
}

}  // namespace
