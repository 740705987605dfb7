// The compressed stream: hand-built token sequences for every token kind,
// the 512-byte markers and the decoder's refusals, then the compressor's
// output through the same decoder.
#include "Lz.h"
#include "Mof.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace vxbmof {
namespace {

// Tokens spelled out as bits in stream order ('0'/'1'), packed LSB-first.
std::string Field(std::uint32_t value, unsigned width)
{
    std::string bits;
    for (unsigned i = 0; i < width; ++i) {
        bits += ((value >> i) & 1U) ? '1' : '0';
    }
    return bits;
}

std::string Lit(std::uint8_t byte)
{
    return (byte < 0x80 ? "01" : "10") + Field(byte & 0x7F, 7);
}

std::string Lits(std::string_view text)
{
    std::string bits;
    for (char c : text) {
        bits += Lit(static_cast<std::uint8_t>(c));
    }
    return bits;
}

std::string Len(std::size_t length, unsigned forceWidth = 99)
{
    unsigned n = 0;
    while ((std::size_t{2} << n) <= length - 1) {
        ++n;
    }
    if (forceWidth != 99) {
        n = forceWidth;
    }
    return std::string(n, '0') + "1" + Field(static_cast<std::uint32_t>(length - 1 - (std::size_t{1} << n)), n);
}

std::string Ref6(std::uint32_t offset, std::size_t length) { return "00" + Field(offset, 6) + Len(length); }
std::string Ref8(std::uint32_t offset, std::size_t length) { return "110" + Field(offset - 64, 8) + Len(length); }
std::string Ref12(std::uint32_t offset, std::size_t length)
{
    return "111" + Field(offset - 320, 12) + Len(length);
}
const std::string kMarker = "111" + std::string(12, '1');

Bytes Pack(const std::string &bits)
{
    Bytes out((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '1') {
            out[i / 8] |= static_cast<std::uint8_t>(1U << (i % 8));
        }
    }
    return out;
}

std::string Decode(const std::string &bits, std::size_t size)
{
    Bytes out = DecompressStream(Pack(bits), size);
    return std::string(out.begin(), out.end());
}

// 400 bytes that repeat nowhere within 4 bytes, so a test controls every match.
std::string Distinct(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += static_cast<char>(0x20 + (i * 7 + i / 90) % 90);
    }
    return text;
}

TEST(BitStream, HelperMatchesTheWorkedExample)
{
    Bytes bytes = Pack(Lit('F'));
    EXPECT_EQ(bytes[0], 0x1A);
    EXPECT_EQ(bytes[1] & 1, 1);
}

TEST(BitStream, EveryTokenKindDecodes)
{
    const std::string head = Distinct(400);
    struct Case {
        const char *name;
        std::string bits;
        std::string expected;
    } cases[] = {
        {"small and large literals", Lit('A') + Lit(0xC3) + Lit(0x00) + Lit(0xFF) + kMarker,
         std::string("A\xC3\x00\xFF", 4)},
        {"6-bit offset, overlapping run", Lit('a') + Lit('b') + Ref6(2, 7) + kMarker, "ababababa"},
        {"6-bit offset 63", Lits(Distinct(63)) + Ref6(63, 2) + kMarker, Distinct(63) + Distinct(2)},
        {"8-bit offset 64 and 319", Lits(head.substr(0, 319)) + Ref8(64, 3) + Ref8(319, 2) + kMarker,
         head.substr(0, 319) + head.substr(255, 3) + head.substr(3, 2)},
        {"12-bit offset 320", Lits(head) + Ref12(320, 4) + kMarker, head + head.substr(80, 4)},
        {"length 2 (n = 0) and 512 (n = 8)",
         Lits("xy") + Ref6(2, 2) + Ref6(1, 508) + kMarker + Ref12(512, 512) + kMarker,
         "xyxy" + std::string(508, 'y') + "xyxy" + std::string(508, 'y')},
        {"lengths 3 and 4 share a code width", Lit('q') + Ref6(1, 3) + Ref6(1, 4) + kMarker, "qqqqqqqq"},
        {"exactly one block: one marker", Lits(Distinct(510)) + Ref6(1, 2) + kMarker,
         Distinct(510) + Distinct(510).substr(509, 1) + Distinct(510).substr(509, 1)},
        {"nothing at all", kMarker, ""},
        {"partial zero padding byte", Lits("zz") + kMarker + "0000000", "zz"},
        {"one more zero padding byte", Lit('z') + kMarker + "00000000", "z"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(c.bits, c.expected.size()), c.expected);
    }
}

TEST(BitStream, MarkerEveryBlockAndAtTheEnd)
{
    const std::string block = Distinct(512);
    // 512 + 512 + 3 bytes: markers after 512, 1024 and at the end.
    std::string bits = Lits(block) + kMarker + Ref12(512, 512) + kMarker + Lits("end") + kMarker;
    EXPECT_EQ(Decode(bits, 1027), block + block + "end");
}

TEST(BitStream, DecoderRefusesMalformedStreams)
{
    const std::string block = Distinct(512);
    struct Case {
        const char *name;
        std::string bits;
        std::size_t size;
    } cases[] = {
        {"offset 0", Lit('a') + Ref6(0, 2) + kMarker, 3},
        {"reference before the start", Lit('a') + Ref6(2, 2) + kMarker, 3},
        {"length code of 9 bits", Lit('a') + "00" + Field(1, 6) + std::string(9, '0') + "1" + std::string(9, '0') +
                                      kMarker, 600},
        {"marker inside a block", Lits("abc") + kMarker + Lits("de") + kMarker, 5},
        {"missing marker after 512 bytes", Lits(block) + Lit('x') + kMarker, 513},
        {"reference across a block boundary", Lits(block.substr(0, 510)) + Ref6(4, 4) + kMarker, 514},
        {"literal beyond the announced size", Lits("abc") + kMarker, 2},
        {"reference beyond the announced size", Lit('a') + Ref6(1, 4) + kMarker, 3},
        {"ends without a final marker", Lits("abc"), 3},
        {"ends inside a token", Lits("abc") + "111", 3},
        {"two padding bytes", Lit('z') + kMarker + std::string(16, '0'), 1},
        {"non-zero padding bits", Lits("zz") + kMarker + "0010000", 2},
        {"non-zero padding byte", Lit('z') + kMarker + "10000000", 1},
        {"a second marker at the end", Lit('z') + kMarker + kMarker, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(DecompressStream(Pack(c.bits), c.size), Error);
    }
}

Bytes Container(std::uint32_t version, std::uint32_t compressed, std::uint32_t uncompressed, const Bytes &rest)
{
    Bytes out{'F', 'O', 'M', 'B'};
    for (std::uint32_t v : {version, compressed, uncompressed}) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

TEST(Container, HeaderChecks)
{
    Bytes stream{'D', 'S', 0, 1};
    Bytes bits = Pack(Lits("hi") + kMarker);
    stream.insert(stream.end(), bits.begin(), bits.end());
    const auto c = static_cast<std::uint32_t>(stream.size());

    Bytes good = Container(1, c, 2, stream);
    Bytes data = Unpack(good);
    EXPECT_EQ(std::string(data.begin(), data.end()), "hi");

    Bytes badSignature = good;
    badSignature[3] = 'X';
    Bytes badStreamHeader = good;
    badStreamHeader[19] = 2;
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes truncated(good.begin(), good.end() - 1);
    struct Case {
        const char *name;
        Bytes bytes;
    } cases[] = {
        {"signature", badSignature},
        {"version 2", Container(2, c, 2, stream)},
        {"version 0", Container(0, c, 2, stream)},
        {"trailing byte", trailing},
        {"truncated", truncated},
        {"compressed size too small", Container(1, c - 1, 2, stream)},
        {"uncompressed size too large", Container(1, c, 3, stream)},
        {"uncompressed size too small", Container(1, c, 1, stream)},
        {"stream header", badStreamHeader},
        {"headers only", Bytes(good.begin(), good.begin() + 12)},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_THROW(Unpack(k.bytes), Error);
    }
}

Bytes Random(std::size_t size, std::uint32_t seed, int alphabet)
{
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto &b : out) {
        b = static_cast<std::uint8_t>(rng() % static_cast<std::uint32_t>(alphabet));
    }
    return out;
}

TEST(Compressor, RoundTripsAndRespectsBlocks)
{
    struct Case {
        const char *name;
        Bytes data;
    } cases[] = {
        {"empty", {}},
        {"one byte", {0x9C}},
        {"511 zeros", Bytes(511, 0)},
        {"512 zeros", Bytes(512, 0)},
        {"513 zeros", Bytes(513, 0)},
        {"4 KiB zeros", Bytes(4096, 0)},
        {"random bytes", Random(5000, 1, 256)},
        {"random small alphabet", Random(9000, 2, 3)},
        {"high bytes", Random(700, 3, 256)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes packed = vxbmof::Pack(c.data);
        EXPECT_EQ(Unpack(packed), c.data);
    }
}

TEST(Compressor, FindsMatches)
{
    // Eight blocks of zeros cost a few bits per block with back-references;
    // literals alone would need 9 bits a byte.
    EXPECT_LT(CompressStream(Bytes(4096, 0)).size(), 64u);

    // A phrase repeated at distances that need each offset width.
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += "DebugPrintLevel " + std::to_string(i * 37) + " ";
    }
    Bytes data(text.begin(), text.end());
    Bytes stream = CompressStream(data);
    EXPECT_LT(stream.size(), data.size() / 3);
    EXPECT_EQ(DecompressStream(stream, data.size()), data);
}

TEST(Compressor, CorruptContainersFailCleanly)
{
    Bytes data = Random(600, 4, 20);
    Bytes packed = vxbmof::Pack(data);
    for (std::size_t bit = 0; bit < packed.size() * 8; ++bit) {
        Bytes bad = packed;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
        try {
            Bytes out = Unpack(bad);
            EXPECT_EQ(out.size(), data.size());
        } catch (const Error &) {
        }
    }
}

}  // namespace
}  // namespace vxbmof
