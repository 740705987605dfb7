// Description files: every real device of devices/ is accepted and
// plays its model; malformed files are refused with a message that names the
// field and, for a bad descriptor, its offset.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/usb/DeviceDescription.h"
#include "sim/usb/Models.h"

using namespace vextora::usb;

namespace {

std::string Good()
{
    return R"({"name":"t","speed":"high",)"
           R"("device":"12010002ff00004009127800000101020301",)"
           R"("configuration":"09022700010100a0320904000003ff000000070501020002000705810200020007058203080004",)"
           R"("strings":{"0":"04030904","1":"04034100"}})";
}

std::string Replace(std::string s, const std::string &from, const std::string &to)
{
    auto pos = s.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    if (pos != std::string::npos) {
        s.replace(pos, from.size(), to);
    }
    return s;
}

}  // namespace

TEST(DeviceDescription, EveryRealDeviceIsAccepted)
{
    const std::filesystem::path dir = VEXTORA_DEVICES_DIR;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        DeviceDescription d = LoadDeviceDescription(entry.path());
        EXPECT_EQ(d.Descriptors.Name + ".json", entry.path().filename().string());
        EXPECT_EQ(d.Model, "source-sink");
        auto model = MakeModel(d);
        // The device answers its own descriptors as the file gives them.
        std::vector<uint8_t> buf(0xffff);
        Result r = model->Control({0x80, 6, 0x0200, 0, 0xffff}, buf);
        ASSERT_EQ(r.Kind, Outcome::Done);
        buf.resize(r.Actual);
        EXPECT_EQ(buf, d.Descriptors.Configuration);
        EXPECT_FALSE(model->Configuration().Interfaces.empty());
        count++;
    }
    EXPECT_EQ(count, 14u);
}

TEST(DeviceDescription, KnownFieldsAreReadAndModelChosen)
{
    DeviceDescription d = ParseDeviceDescription(
        Replace(Good(), "\"name\":\"t\"", "\"name\":\"t\",\"model\":\"loopback\",\"extra\":[1,2]"),
        "good");
    EXPECT_EQ(d.Descriptors.DeviceSpeed, Speed::High);
    EXPECT_EQ(d.Model, "loopback");
    EXPECT_EQ(d.Descriptors.Strings.size(), 2u);
    EXPECT_NE(dynamic_cast<LoopbackModel *>(MakeModel(d).get()), nullptr);
}

TEST(DeviceDescription, MalformedFilesAreRefusedWithWhatAndWhere)
{
    const std::string good = Good();
    ASSERT_NO_THROW(ParseDeviceDescription(good, "good"));
    struct Row {
        std::string text;
        std::string message;  // a part of the expected message
    } rows[] = {
        {"{", "not valid JSON"},
        {"[1,2]", "top level is not an object"},
        {Replace(good, "\"name\":\"t\",", ""), "field 'name': missing"},
        {Replace(good, "\"high\"", "\"warp\""), "field 'speed'"},
        {Replace(good, "\"device\":\"12", "\"device\":\"1"), "field 'device': odd number"},
        {Replace(good, "\"device\":\"12", "\"device\":\"zz"), "field 'device': character 0"},
        {Replace(good, "\"device\":\"1201", "\"device\":\"1202"), "field 'device'"},
        {Replace(good, "020301\"", "0203\""), "field 'device': descriptor at offset 0: device descriptor is 17 bytes"},
        {Replace(good, "\"configuration\":\"09022700", "\"configuration\":\"09022800"),
         "wTotalLength 40 but 39"},
        // bLength 0 in the first endpoint descriptor (offset 18).
        {Replace(good, "070501020002", "000501020002"), "offset 18: bLength 0"},
        // The last endpoint runs past the end.
        {Replace(good, "07058203080004", "09058203080004"), "offset 32: bLength 9 runs past"},
        // The interface says 4 endpoints; 3 follow.
        {Replace(good, "0904000003ff", "0904000004ff"), "offset 9: interface declares 4"},
        {Replace(good, "\"0\":\"04030904\"", "\"0\":\"0203\""), "field 'strings.0'"},
        {Replace(good, "\"1\":\"04034100\"", "\"1\":\"05034100\""), "field 'strings.1': descriptor at offset 0: bLength 5"},
        {Replace(good, "\"1\":\"04034100\"", "\"x1\":\"04034100\""), "field 'strings.x1'"},
        {Replace(good, "\"1\":\"04034100\"", "\"256\":\"04034100\""), "field 'strings.256'"},
        // String indices in plain decimal only, each once.
        {Replace(good, "\"1\":\"04034100\"", "\" 1\":\"04034100\""), "field 'strings. 1'"},
        {Replace(good, "\"1\":\"04034100\"", "\"+1\":\"04034100\""), "field 'strings.+1'"},
        {Replace(good, "\"1\":\"04034100\"", "\"01\":\"04034100\""), "field 'strings.01'"},
        {Replace(good, "\"1\":\"04034100\"", "\"1\":\"04034100\",\"1\":\"04034200\""), "'1' appears twice"},
        // What a host would not enumerate or use at the device's speed.
        {Replace(good, "ff00004009", "ff00000809"), "field 'device': descriptor at offset 0: bMaxPacketSize0 8 at high"},
        {Replace(good, "09022700010100a032", "09022700010000a032"), "bConfigurationValue 0"},
        {Replace(good, "07050102000200", "07052102000200"), "offset 18: endpoint address 0x21 has reserved bits"},
        {Replace(good, "07050102000200", "07050102000000"), "offset 18: bulk endpoint 0x01: wMaxPacketSize 0"},
        {Replace(good, "07050102000200", "07050102000400"), "above the 512 bytes of high speed"},
        {Replace(good, "07058203080004", "07058203080404"), "interrupt endpoint 0x82: wMaxPacketSize 1032"},
        {Replace(Replace(good, "\"high\"", "\"full\""), "07050102000200", "07050102400000"),
         "bulk endpoint 0x81: wMaxPacketSize 512 is above the 64 bytes of full speed"},
        {Replace(Replace(good, "\"high\"", "\"low\""), "ff00004009", "ff00000809"), "on a low-speed device"},
        {Replace(good, "\"name\":\"t\"", "\"name\":\"t\",\"model\":\"printer\""), "field 'model'"},
        {Replace(good, "\"name\":\"t\"", "\"name\":7"), "field 'name': not a string"},
    };
    for (const auto &row : rows) {
        try {
            (void)ParseDeviceDescription(row.text, "case.json");
            ADD_FAILURE() << "accepted: " << row.text;
        } catch (const DescriptionError &e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find("case.json"), std::string::npos) << msg;
            EXPECT_NE(msg.find(row.message), std::string::npos)
                << "wanted '" << row.message << "' in: " << msg;
        }
    }
}

TEST(DeviceDescription, WithoutALanguageListStringsAreServedInAnyLanguage)
{
    // Many real devices have no string 0; their strings must not vanish.
    auto model = MakeModel(ParseDeviceDescription(Replace(Good(), "\"0\":\"04030904\",", ""), "no-langid"));
    std::vector<uint8_t> buf(255);
    EXPECT_EQ(model->Control({0x80, 6, 0x0301, 0x0409, 255}, buf).Kind, Outcome::Done);
    EXPECT_EQ(model->Control({0x80, 6, 0x0300, 0, 255}, buf).Kind, Outcome::Stall);
    // With a list, a language it does not name is refused.
    auto listed = MakeModel(ParseDeviceDescription(Good(), "langid"));
    EXPECT_EQ(listed->Control({0x80, 6, 0x0301, 0x0407, 255}, buf).Kind, Outcome::Stall);
}

TEST(DeviceDescription, MissingFileIsRefused)
{
    EXPECT_THROW((void)LoadDeviceDescription("/nonexistent/device.json"), DescriptionError);
}

TEST(Descriptors, ConfigurationWalkFindsAlternateSettingsAndSkipsClassDescriptors)
{
    // Interface 0 alt 0 without endpoints, alt 1 with one; a class-specific
    // descriptor (type 0x24) between them.
    std::vector<uint8_t> c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50,
                              9, 4, 0, 0, 0, 0xff, 0, 0, 0,
                              5, 0x24, 1, 2, 3,
                              9, 4, 0, 1, 1, 0xff, 0, 0, 0,
                              7, 5, 0x81, 3, 8, 0, 1};
    c[2] = uint8_t(c.size());
    ConfigurationInfo info = ParseConfiguration(c);
    ASSERT_EQ(info.Interfaces.size(), 2u);
    EXPECT_TRUE(info.Find(0, 0)->Endpoints.empty());
    ASSERT_EQ(info.Find(0, 1)->Endpoints.size(), 1u);
    EXPECT_EQ(info.Find(0, 1)->Endpoints[0].Type(), EndpointType::Interrupt);
    EXPECT_FALSE(info.RemoteWakeup());
}
