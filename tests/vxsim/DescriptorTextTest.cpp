#include <gtest/gtest.h>

#include "tools/common/DescriptorText.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DescriptorText, DeviceDescriptorFields)
{
    Bytes device = {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, 0x34, 0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 1};
    std::string text = vx::DescribeDeviceDescriptor(device);
    EXPECT_NE(text.find("USB version      2.00"), std::string::npos) << text;
    EXPECT_NE(text.find("vendor specific"), std::string::npos);
    EXPECT_NE(text.find("1234:0001"), std::string::npos);
    EXPECT_NE(text.find("manufacturer 1, product 2, serial number 3"), std::string::npos);
    EXPECT_NE(vx::DescribeDeviceDescriptor(Bytes(17, 0)).find("not a device descriptor"), std::string::npos);
}

TEST(DescriptorText, ConfigurationTreeAndMalformedTail)
{
    Bytes config = {9, 2, 32, 0, 1, 1, 0, 0xA0, 50,             // configuration, remote wake-up
                    9, 4, 0, 0, 2, 0xFF, 0, 0, 0,               // interface 0
                    7, 5, 0x81, 2, 0x00, 0x02, 0,               // bulk IN 512
                    7, 5, 0x01, 2, 0x00, 0x02, 0};              // bulk OUT 512
    std::string text = vx::DescribeConfiguration(config);
    EXPECT_NE(text.find("remote wake-up"), std::string::npos) << text;
    EXPECT_NE(text.find("endpoint 0x81 IN bulk, max packet 512"), std::string::npos) << text;
    EXPECT_NE(text.find("endpoint 0x01 OUT bulk"), std::string::npos);

    Bytes broken = config;
    broken[18] = 40;  // the first endpoint runs past the end
    EXPECT_NE(vx::DescribeConfiguration(broken).find("malformed descriptor at offset 18"), std::string::npos);
    Bytes zero = config;
    zero[9] = 0;
    EXPECT_NE(vx::DescribeConfiguration(zero).find("malformed descriptor at offset 9"), std::string::npos);
    Bytes truncated(config.begin(), config.begin() + 20);
    EXPECT_NE(vx::DescribeConfiguration(truncated).find("truncated: 20 of 32 bytes"), std::string::npos);
}

TEST(DescriptorText, StringsAsTextAndLanguageLists)
{
    Bytes languages = {4, 3, 0x09, 0x04};
    EXPECT_EQ(vx::DescribeString(languages, true), "languages 0x0409");
    Bytes text = {10, 3, 'V', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE};  // "Vé" and U+1F600
    EXPECT_EQ(vx::DescribeString(text, false), "\"V\xC3\xA9\xF0\x9F\x98\x80\"");
    Bytes lone = {4, 3, 0x00, 0xD8};  // an unpaired surrogate
    EXPECT_EQ(vx::DescribeString(lone, false), "\"\xEF\xBF\xBD\"");
    Bytes longer = {40, 3, 'A', 0};  // bLength beyond the bytes present: only what is there
    EXPECT_EQ(vx::DescribeString(longer, false), "\"A\"");
}

}  // namespace
