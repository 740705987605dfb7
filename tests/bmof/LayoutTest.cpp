// The decompressed layout: record sizes, the driver's own class through the
// whole compiler and back, and the decoder's refusal of damaged data.
#include "Layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vxbmof {
namespace {

std::string DriverMof()
{
    std::ifstream in(VEXTORA_MOF_SOURCE, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint32_t U32(const Bytes &data, std::size_t at)
{
    std::uint32_t v;
    std::memcpy(&v, data.data() + at, 4);
    return v;
}

void Set32(Bytes &data, std::size_t at, std::uint32_t v)
{
    std::memcpy(data.data() + at, &v, 4);
}

std::size_t Find(const Bytes &data, std::string_view ascii, std::size_t from = 0)
{
    Bytes wide;
    for (char c : ascii) {
        wide.push_back(static_cast<std::uint8_t>(c));
        wide.push_back(0);
    }
    auto it = std::search(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(), wide.begin(), wide.end());
    return it == data.end() ? SIZE_MAX : static_cast<std::size_t>(it - data.begin());
}

ClassDecl Bare()
{
    return {"C", "", "root\\default", {}, {}};
}

TEST(Layout, QualifierRecordSizes)
{
    // The qualifier set of a class grows by exactly the record's length.
    struct Case {
        Qualifier qualifier;
        std::size_t size;
    } cases[] = {
        {{"WMI", true, 0}, 28},
        {{"key", true, 0}, 28},
        {{"Dynamic", true, 0}, 36},
        {{"read", true, 0}, 32},
        {{"write", true, 0}, 32},
        {{"Provider", std::string("WMIProv"), 0}, 52},
        {{"Locale", std::string("MS\\0x409"), 0}, 52},
        {{"guid", std::string("{78A8A1B8-6FF9-48b9-87FA-D1CAF6922D9D}"), 0}, 108},
        {{"WmiDataId", 1, 0}, 40},
        {{"CIMTYPE", std::string("string"), 0}, 48},
    };
    const std::size_t base = EncodeObjects({Bare()}).size();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.qualifier.name);
        ClassDecl one = Bare();
        one.qualifiers.push_back(c.qualifier);
        EXPECT_EQ(EncodeObjects({one}).size() - base, c.size);
        EXPECT_EQ(QualifierRecordSize(c.qualifier), c.size);
    }
}

TEST(Layout, DriverClassRoundTrip)
{
    const std::string source = DriverMof();
    ASSERT_FALSE(source.empty()) << VEXTORA_MOF_SOURCE;
    const Bytes container = CompileMof(source);
    const Bytes data = Unpack(container);
    const Decoded decoded = DecodeObjects(data);

    ASSERT_EQ(decoded.classes.size(), 1u);
    const ClassDecl &c = decoded.classes[0];
    EXPECT_EQ(c.name, "ZelmoraDeviceInformation");
    EXPECT_EQ(c.nameSpace, "root\\default");
    EXPECT_EQ(c.superclass, "");
    ASSERT_EQ(c.qualifiers.size(), 6u);
    EXPECT_EQ(c.qualifiers[0], (Qualifier{"Dynamic", true, 0}));
    EXPECT_EQ(c.qualifiers[1], (Qualifier{"Provider", std::string("WMIProv"), 0}));
    EXPECT_EQ(c.qualifiers[2], (Qualifier{"WMI", true, 0}));
    EXPECT_EQ(c.qualifiers[3].name, "Description");
    EXPECT_NE(std::get<std::string>(c.qualifiers[3].value).find("Vextora"), std::string::npos);
    EXPECT_EQ(c.qualifiers[4], (Qualifier{"guid", std::string("{78A8A1B8-6FF9-48b9-87FA-D1CAF6922D9D}"), 0}));
    EXPECT_EQ(c.qualifiers[5], (Qualifier{"Locale", std::string("MS\\0x409"), 0}));

    ASSERT_EQ(c.properties.size(), 3u);
    EXPECT_EQ(c.properties[0], (Property{"InstanceName", "string", false, std::nullopt,
                                         {{"key", true, 0}, {"read", true, 0}}}));
    EXPECT_EQ(c.properties[1], (Property{"Active", "boolean", false, std::nullopt, {{"read", true, 0}}}));
    EXPECT_EQ(c.properties[2],
              (Property{"DebugPrintLevel", "uint32", false, std::nullopt,
                        {{"WmiDataId", 1, 0},
                         {"read", true, 0},
                         {"write", true, 0},
                         {"Description",
                          std::string("The DebugPrintLevel property indicates the debug output level of the "
                                      "generic client driver."),
                          0}}}));

    // Each property's CIMTYPE qualifier, and only those, carry flavor 0x3.
    ASSERT_EQ(decoded.flavors.size(), 3u);
    const char *types[] = {"string", "boolean", "uint32"};
    for (std::size_t i = 0; i < 3; ++i) {
        const FlavorEntry &entry = decoded.flavors[i];
        EXPECT_EQ(entry.flavor, 0x3u);
        EXPECT_EQ(Find(data, "CIMTYPE", entry.offset), entry.offset + 16);
        EXPECT_EQ(Find(data, types[i], entry.offset), entry.offset + 32);
    }

    // Raw facts of the layout, read without the decoder.
    EXPECT_EQ(std::memcmp(data.data(), "FOMB", 4), 0);
    EXPECT_EQ(U32(data, 8), 1u);
    EXPECT_EQ(U32(data, 12), 1u);
    EXPECT_EQ(U32(data, 16), 1u);
    const std::uint32_t trailer = U32(data, 4);
    EXPECT_EQ(U32(data, 20), trailer - 20);  // the one object fills the space
    EXPECT_EQ(std::memcmp(data.data() + trailer, "BMOFQUALFLAVOR11", 16), 0);
    EXPECT_EQ(data.size(), trailer + 20 + 8 * U32(data, trailer + 16));
    EXPECT_EQ(U32(data, trailer - 8), 8u);  // empty method set
    EXPECT_EQ(U32(data, trailer - 4), 0u);
    EXPECT_NE(Find(data, "__CLASS"), SIZE_MAX);
    EXPECT_NE(Find(data, "__NAMESPACE"), SIZE_MAX);

    // Over a kilobyte of layout; the compressor keeps well under it.
    EXPECT_GT(data.size(), 1024u);
    EXPECT_LT(container.size(), data.size() * 6 / 10);
    EXPECT_EQ(U32(container, 12), data.size());
}

TEST(Layout, RicherModelRoundTrips)
{
    ClassDecl base{"Base", "", "root\\wmi", {{"abstract", true, kFlavorToSubclass}}, {}};
    ClassDecl derived{"Derived_\xC3\xA9t\xC3\xA9",  // non-ASCII name survives UTF-16
                      "Base",
                      "root\\wmi",
                      {{"Count", -7, 0}, {"Note", std::string("tab\there \xF0\x9F\x98\x80"), kFlavorAmended}},
                      {{"Samples", "uint8", true, std::nullopt, {{"WmiDataId", 2, kFlavorDisableOverride}}},
                       {"Limit", "uint32", false, Value{std::int32_t{-1}}, {}},
                       {"Label", "string", false, Value{std::string("none")}, {{"read", false, 0}}},
                       {"On", "boolean", false, Value{true}, {}},
                       {"When", "datetime", false, std::nullopt, {}}}};
    std::vector<ClassDecl> classes{base, derived};
    Decoded decoded = DecodeBmof(vxbmof::Pack(EncodeObjects(classes)));
    EXPECT_EQ(decoded.classes, classes);
    // One CIMTYPE entry per property, one per explicit flavor.
    EXPECT_EQ(decoded.flavors.size(), 3u + 5u);
}

TEST(Layout, EncoderRefusesWhatTheFormatCannotHold)
{
    ClassDecl unknownType = Bare();
    unknownType.properties.push_back({"X", "float", false, std::nullopt, {}});
    ClassDecl badText = Bare();
    badText.qualifiers.push_back({"Description", std::string("\xFF"), 0});
    ClassDecl badDefault = Bare();
    badDefault.properties.push_back({"X", "uint8", false, Value{1}, {}});
    ClassDecl arrayDefault = Bare();
    arrayDefault.properties.push_back({"X", "uint32", true, Value{1}, {}});
    for (const ClassDecl &c : {unknownType, badText, badDefault, arrayDefault}) {
        EXPECT_THROW(EncodeObjects({c}), Error);
    }
}

TEST(Layout, DecoderRefusesDamagedLayouts)
{
    const Bytes good = Unpack(CompileMof(DriverMof()));
    const std::uint32_t trailer = U32(good, 4);
    const std::size_t level = Find(good, "DebugPrintLevel") - 20;  // the property record
    const std::size_t uint32Text = Find(good, "uint32");
    const std::size_t active = Find(good, "Active") - 20;

    struct Case {
        const char *name;
        void (*mutate)(Bytes &, std::uint32_t trailer, std::size_t level, std::size_t uint32Text, std::size_t active);
    } cases[] = {
        {"root signature", [](Bytes &d, auto, auto, auto, auto) { d[0] = 'X'; }},
        {"root version", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 8, 2); }},
        {"object count 2", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 16, 2); }},
        {"object count 0", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 16, 0); }},
        {"trailer offset past the end", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 4, 0x10000); }},
        {"object length", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 20, U32(d, 20) - 4); }},
        {"object kind instance", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 36, 1); }},
        {"class qualifier set length", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 40, U32(d, 40) + 4); }},
        {"class qualifier count", [](Bytes &d, auto, auto, auto, auto) { Set32(d, 44, U32(d, 44) + 1); }},
        {"property type against CIMTYPE",
         [](Bytes &d, auto, std::size_t level, auto, auto) { Set32(d, level + 4, 0x12); }},
        {"CIMTYPE text against property type",
         [](Bytes &d, auto, auto, std::size_t text, auto) { d[text + 8] = '1'; }},  // "uint12"
        {"property name size",
         [](Bytes &d, auto, std::size_t level, auto, auto) { Set32(d, level + 16, U32(d, level + 16) + 4); }},
        {"property record length",
         [](Bytes &d, auto, std::size_t level, auto, auto) { Set32(d, level, 0xFFFF); }},
        {"boolean qualifier value",
         [](Bytes &d, auto, auto, auto, std::size_t active) {
             // Active's set: header 8, then "read" (16 + 12 name), value at +28.
             std::size_t set = active + 20 + U32(d, active + 16);
             Set32(d, set + 8 + 28, 5);
         }},
        {"string without terminator", [](Bytes &d, auto, auto, std::size_t text, auto) {
             for (std::size_t k = 12; k < 16; ++k) {
                 d[text + k] = 'x';  // padding after "uint32" and its zero
             }
         }},
        {"trailer signature", [](Bytes &d, std::uint32_t t, auto, auto, auto) { d[t + 15] = '2'; }},
        {"trailer count", [](Bytes &d, std::uint32_t t, auto, auto, auto) { Set32(d, t + 16, 4); }},
        {"flavor entry not at a qualifier",
         [](Bytes &d, std::uint32_t t, auto, auto, auto) { Set32(d, t + 20, U32(d, t + 20) + 4); }},
        {"flavor entry repeated",
         [](Bytes &d, std::uint32_t t, auto, auto, auto) { Set32(d, t + 28, U32(d, t + 20)); }},
        {"unknown flavor bits", [](Bytes &d, std::uint32_t t, auto, auto, auto) { Set32(d, t + 24, 0x4); }},
        {"trailing byte", [](Bytes &d, auto, auto, auto, auto) { d.push_back(0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = good;
        c.mutate(bad, trailer, level, uint32Text, active);
        EXPECT_THROW(DecodeObjects(bad), Error);
    }
}

TEST(Layout, EveryByteFlipFailsCleanly)
{
    const Bytes good = Unpack(CompileMof(DriverMof()));
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = good;
            bad[i] ^= flip;
            try {
                DecodeObjects(bad);
            } catch (const Error &) {
            }
        }
        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(i));
        EXPECT_THROW(DecodeObjects(cut), Error);
    }
}

}  // namespace
}  // namespace vxbmof
