// The MOF subset: what it accepts and how it reports what it does not.
#include "Mof.h"

#include <gtest/gtest.h>

namespace vxbmof {
namespace {

TEST(MofParser, AcceptsTheSubset)
{
    const char *source = R"(
        /* block comment */ #pragma autorecover
        #pragma namespace("\\\\.\\root\\wmi")
        [Description("a \"quoted\" " "joined\x41 text"), Count(-3), Mask(0xFF) : ToSubclass Amended,
         Off(FALSE), On]
        class Sample : Parent
        {
            [key, read] string Name;   // line comment
            uint8 Data[];
            uint16 Fixed[4];
            uint32 Limit = 10;
            string Label = "x";
            BOOLEAN Flag = true;
        };
        class Second { sint64 Big; };
    )";
    std::vector<ClassDecl> classes = ParseMof(source);
    ASSERT_EQ(classes.size(), 2u);
    const ClassDecl &c = classes[0];
    EXPECT_EQ(c.name, "Sample");
    EXPECT_EQ(c.superclass, "Parent");
    EXPECT_EQ(c.nameSpace, "root\\wmi");
    ASSERT_EQ(c.qualifiers.size(), 5u);
    EXPECT_EQ(c.qualifiers[0], (Qualifier{"Description", std::string("a \"quoted\" joinedA text"), 0}));
    EXPECT_EQ(c.qualifiers[1], (Qualifier{"Count", -3, 0}));
    EXPECT_EQ(c.qualifiers[2], (Qualifier{"Mask", 255, kFlavorToSubclass | kFlavorAmended}));
    EXPECT_EQ(c.qualifiers[3], (Qualifier{"Off", false, 0}));
    EXPECT_EQ(c.qualifiers[4], (Qualifier{"On", true, 0}));
    ASSERT_EQ(c.properties.size(), 6u);
    EXPECT_EQ(c.properties[0], (Property{"Name", "string", false, std::nullopt, {{"key", true, 0}, {"read", true, 0}}}));
    EXPECT_TRUE(c.properties[1].isArray);
    EXPECT_TRUE(c.properties[2].isArray);
    EXPECT_EQ(c.properties[3].defaultValue, Value{10});
    EXPECT_EQ(c.properties[4].defaultValue, Value{std::string("x")});
    EXPECT_EQ(c.properties[5].typeName, "BOOLEAN");
    EXPECT_EQ(c.properties[5].defaultValue, Value{true});
    EXPECT_EQ(classes[1].nameSpace, "root\\wmi");
    EXPECT_EQ(ParseMof("class A { uint32 X; };")[0].nameSpace, "root\\default");
}

TEST(MofParser, ReportsWhereAndWhy)
{
    struct Case {
        const char *source;
        const char *message;  // expected in the error text
    } cases[] = {
        {"class A { uint32 X; }", "1:22: expected ';'"},
        {"class A {\n  float X;\n};", "2:3: unknown property type 'float'"},
        {"class A { uint32 X(); };", "methods are not supported"},
        {"class A { object X; };", "object and reference"},
        {"[Values{\"a\"}] class A { };", "array-valued qualifiers"},
        {"[key, KEY] class A { };", "given twice"},
        {"class A { uint32 X; uint32 x; };", "declared twice"},
        {"class A { uint32 __X; };", "reserved"},
        {"class A { uint32 X = \"s\"; };", "does not match its type"},
        {"class A { uint8 X = 1; };", "does not match its type"},
        {"class A { uint32 X[] = 1; };", "array properties"},
        {"class A { uint32 X[0]; };", "must be positive"},
        {"[Big(4294967296)] class A { };", "32-bit range"},
        {"[D(\"unterminated)] class A { };", "unterminated string"},
        {"[D(\"bad \\q\")] class A { };", "unknown escape"},
        {"[D(\"\\x\")] class A { };", "without hex digits"},
        {"[D(\"\\x0\")] class A { };", "end the string early"},
        {"[D(\"\\xD800\")] class A { };", "surrogate"},
        {"[F : Sometimes] class A { };", "unknown qualifier flavor"},
        {"#pragma include(\"x.mof\")", "unsupported #pragma"},
        {"#define X", "unknown directive"},
        {"#pragma namespace(\"\\\\\\\\.\\\\\")", "empty namespace"},
        {"instance of A { };", "instances are not supported"},
        {"class A { uint32 X;", "not closed"},
        {"/* never closed", "unterminated comment"},
        {"class A { uint32 X; }; @", "unexpected character '@'"},
        {"[N(12abc)] class A { };", "malformed integer"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.source);
        try {
            ParseMof(c.source);
            ADD_FAILURE() << "accepted";
        } catch (const Error &error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace vxbmof
