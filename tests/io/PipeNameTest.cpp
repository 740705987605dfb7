// The pipe-name rule on its own: which index a handle's file name denotes.
#include "io/PipeName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

PipeNameIndex Parse(const std::u16string &name)
{
    return PipeIndexFromName(name.data(), static_cast<unsigned int>(name.size()));
}

struct NameCase {
    const char16_t *Name;
    bool Found;
    unsigned int Value;
};

TEST(PipeName, LastRunOfDecimalDigitsIsTheIndex)
{
    const NameCase cases[] = {
        {u"\\PIPE00", true, 0},
        {u"\\PIPE1", true, 1},
        {u"\\pipe2x", true, 2},
        {u"\\7\\2", true, 2},
        {u"\\3-1", true, 1},
        {u"\\PIPE4", true, 4},
        {u"\\PIPE06", true, 6},
        {u"\\12", true, 12},
        {u"\\PIPE", false, 0},
        {u"", false, 0},
        {u"7", true, 7},              // the run reaches the first character
        {u"0000000000000000003", true, 3},
        {u"\\4294967297", true, 1},   // 2^32 + 1 wraps to 1
        {u"\\4294967295", true, 0xFFFFFFFFu},
        {u"\\18446744073709551617", true, 1}, // 2^64 + 1: weights wrap past 0 too
        {u"\\\u0661\u0662", false, 0},  // Arabic-Indic digits are not decimal digits here
        {u"\\1\uFF12", true, 1},        // a fullwidth digit after the run is passed over
        {u"\\/:", false, 0},            // the neighbours of '0' and '9'
    };
    for (const NameCase &c : cases) {
        PipeNameIndex index = Parse(c.Name);
        EXPECT_EQ(index.Found, c.Found) << std::u16string(c.Name).size();
        EXPECT_EQ(index.Value, c.Value);
    }
}

TEST(PipeName, OnlyCountCharactersAreRead)
{
    // A Length that stops short of the buffer's end: the digits beyond it do
    // not count, and the odd trailing byte of an odd Length is never read.
    const char16_t name[] = u"\\PIPE2 9";
    EXPECT_EQ(PipeIndexFromName(name, 6).Value, 2u);
    EXPECT_FALSE(PipeIndexFromName(name, 5).Found);
    EXPECT_FALSE(PipeIndexFromName<char16_t>(nullptr, 0).Found);
}

TEST(PipeName, WorksOnEitherWideCharacterType)
{
    // The kernel image's WCHAR is wchar_t, the simulator's char16_t.
    const wchar_t name[] = L"\\PIPE05";
    PipeNameIndex index = PipeIndexFromName(name, 7);
    EXPECT_TRUE(index.Found);
    EXPECT_EQ(index.Value, 5u);
}

} // namespace
