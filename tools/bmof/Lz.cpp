// LZ77 codec of the compressed binary MOF and its container.
#include "Lz.h"

#include "Mof.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>

namespace vxbmof {

namespace {

constexpr std::uint32_t kMarkerField = 0xFFF;  // 12-bit field value of a marker
constexpr std::uint32_t kVersion = 1;
constexpr std::array<std::uint8_t, 4> kStreamHeader{'D', 'S', 0x00, 0x01};
constexpr std::size_t kMaxChainSteps = 1024;

class BitWriter {
public:
    void Put(std::uint32_t value, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) {
            if (bit_ == 0) {
                bytes_.push_back(0);
            }
            if ((value >> i) & 1U) {
                bytes_.back() |= static_cast<std::uint8_t>(1U << bit_);
            }
            bit_ = (bit_ + 1) % 8;
        }
    }

    Bytes Take() { return std::move(bytes_); }

private:
    Bytes bytes_;
    unsigned bit_ = 0;
};

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint32_t Get(unsigned count)
    {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (position_ >= bytes_.size() * 8) {
                throw Error("compressed stream ends before its last marker");
            }
            std::uint32_t bit = (bytes_[position_ / 8] >> (position_ % 8)) & 1U;
            value |= bit << i;
            ++position_;
        }
        return value;
    }

    // After the final marker: zero bits up to the byte boundary, then at
    // most one more byte, which must be zero too.
    void CheckPadding() const
    {
        std::size_t usedBytes = (position_ + 7) / 8;
        if (position_ % 8 != 0 && (bytes_[position_ / 8] >> (position_ % 8)) != 0) {
            throw Error("non-zero padding bits after the last marker");
        }
        std::size_t extra = bytes_.size() - usedBytes;
        if (extra > 1) {
            throw Error(std::to_string(extra) + " bytes after the last marker (at most 1 byte of padding)");
        }
        if (extra == 1 && bytes_.back() != 0) {
            throw Error("non-zero padding byte after the last marker");
        }
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

unsigned LengthCodeWidth(std::size_t length)
{
    // length = 2^n + v + 1 with 0 <= v < 2^n
    unsigned n = 0;
    while ((std::size_t{2} << n) <= length - 1) {
        ++n;
    }
    return n;
}

unsigned OffsetCost(std::size_t offset)
{
    if (offset < 64) {
        return 2 + 6;
    }
    if (offset < 320) {
        return 3 + 8;
    }
    return 3 + 12;
}

unsigned MatchCost(std::size_t offset, std::size_t length)
{
    return OffsetCost(offset) + 2 * LengthCodeWidth(length) + 1;
}

constexpr unsigned kLiteralCost = 9;

void PutLiteral(BitWriter &out, std::uint8_t byte)
{
    out.Put(byte < 0x80 ? 2U : 1U, 2);
    out.Put(byte & 0x7FU, 7);
}

void PutMatch(BitWriter &out, std::size_t offset, std::size_t length)
{
    if (offset < 64) {
        out.Put(0, 2);
        out.Put(static_cast<std::uint32_t>(offset), 6);
    } else if (offset < 320) {
        out.Put(3, 2);
        out.Put(0, 1);
        out.Put(static_cast<std::uint32_t>(offset - 64), 8);
    } else {
        out.Put(3, 2);
        out.Put(1, 1);
        out.Put(static_cast<std::uint32_t>(offset - 320), 12);
    }
    unsigned n = LengthCodeWidth(length);
    out.Put(0, n);
    out.Put(1, 1);
    out.Put(static_cast<std::uint32_t>(length - 1 - (std::size_t{1} << n)), n);
}

void PutMarker(BitWriter &out)
{
    out.Put(3, 2);
    out.Put(1, 1);
    out.Put(kMarkerField, 12);
}

struct Step {
    std::uint32_t cost = std::numeric_limits<std::uint32_t>::max();
    std::uint16_t length = 0;  // of the token that ends here; 1: literal
    std::uint16_t offset = 0;
};

std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t at)
{
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

void Append32(Bytes &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

}  // namespace

Bytes CompressStream(std::span<const std::uint8_t> data)
{
    const std::size_t size = data.size();
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw Error("input too large to compress (" + std::to_string(size) + " bytes)");
    }

    // Hash chains over the two-byte prefix of every position, nearest first.
    std::vector<std::int32_t> head(1 << 16, -1);
    std::vector<std::int32_t> previous(size, -1);

    // Cheapest encoding of every prefix of the input (an optimal parse for
    // the candidates the chains offer).
    std::vector<Step> best(size + 1);
    best[0].cost = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t here = best[i].cost;
        if (here + kLiteralCost < best[i + 1].cost) {
            best[i + 1] = {here + kLiteralCost, 1, 0};
        }
        if (i + 1 >= size) {
            continue;
        }
        // A back-reference stays inside the current output block.
        const std::size_t limit = std::min({kMaxMatch, size - i, kBlockSize - i % kBlockSize});
        const unsigned key = data[i] | (unsigned{data[i + 1]} << 8);
        std::size_t longest = 1;
        std::size_t steps = 0;
        for (std::int32_t c = head[key]; c >= 0 && steps < kMaxChainSteps && longest < limit;
             c = previous[static_cast<std::size_t>(c)], ++steps) {
            const std::size_t offset = i - static_cast<std::size_t>(c);
            if (offset > kMaxOffset) {
                break;
            }
            std::size_t length = 0;
            while (length < limit && data[static_cast<std::size_t>(c) + length] == data[i + length]) {
                ++length;
            }
            // Shorter lengths were already offered by a nearer, no dearer candidate.
            for (std::size_t l = std::max(longest + 1, kMinMatch); l <= length; ++l) {
                const std::uint32_t cost = here + MatchCost(offset, l);
                if (cost < best[i + l].cost) {
                    best[i + l] = {cost, static_cast<std::uint16_t>(l), static_cast<std::uint16_t>(offset)};
                }
            }
            longest = std::max(longest, length);
        }
        previous[i] = head[key];
        head[key] = static_cast<std::int32_t>(i);
    }

    std::vector<const Step *> path;
    for (std::size_t at = size; at > 0; at -= best[at].length) {
        path.push_back(&best[at]);
    }

    BitWriter out;
    std::size_t produced = 0;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        const Step &step = **it;
        if (step.length == 1) {
            PutLiteral(out, data[produced]);
        } else {
            PutMatch(out, step.offset, step.length);
        }
        produced += step.length;
        if (produced % kBlockSize == 0) {
            PutMarker(out);
        }
    }
    if (produced % kBlockSize != 0 || produced == 0) {
        PutMarker(out);
    }
    return out.Take();
}

Bytes DecompressStream(std::span<const std::uint8_t> stream, std::size_t expectedSize)
{
    Bytes out;
    // The announced size is untrusted: no token yields more than 512 bytes
    // from at least 9 bits, so never reserve beyond what the stream can give.
    out.reserve(std::min(expectedSize, stream.size() * 8 / 9 * kMaxMatch));
    BitReader in(stream);
    std::size_t markedAt = 0;
    for (;;) {
        const bool blockFull = out.size() % kBlockSize == 0 && out.size() != markedAt;
        const std::uint32_t t = in.Get(2);
        std::size_t offset;
        if (t == 2 || t == 1) {
            if (blockFull) {
                throw Error("missing marker after output byte " + std::to_string(out.size()));
            }
            if (out.size() == expectedSize) {
                throw Error("stream produces more than the " + std::to_string(expectedSize) + " bytes announced");
            }
            const std::uint32_t low = in.Get(7);
            out.push_back(static_cast<std::uint8_t>(t == 2 ? low : low | 0x80U));
            continue;
        }
        if (t == 0) {
            offset = in.Get(6);
            if (offset == 0) {
                throw Error("back-reference with offset 0 at output byte " + std::to_string(out.size()));
            }
        } else if (in.Get(1) == 0) {
            offset = in.Get(8) + 64;
        } else {
            const std::uint32_t field = in.Get(12);
            if (field == kMarkerField) {
                if (out.size() == expectedSize) {
                    in.CheckPadding();
                    return out;
                }
                if (!blockFull) {
                    throw Error("unexpected marker at output byte " + std::to_string(out.size()));
                }
                markedAt = out.size();
                continue;
            }
            offset = field + 320;
        }
        if (blockFull) {
            throw Error("missing marker after output byte " + std::to_string(out.size()));
        }
        unsigned n = 0;
        while (in.Get(1) == 0) {
            if (++n > 8) {
                throw Error("length code longer than 8 bits at output byte " + std::to_string(out.size()));
            }
        }
        const std::size_t length = (std::size_t{1} << n) + in.Get(n) + 1;
        if (offset > out.size()) {
            throw Error("back-reference to " + std::to_string(offset) + " bytes before output byte " +
                        std::to_string(out.size()));
        }
        if (out.size() + length > expectedSize) {
            throw Error("stream produces more than the " + std::to_string(expectedSize) + " bytes announced");
        }
        if (out.size() / kBlockSize != (out.size() + length - 1) / kBlockSize) {
            throw Error("back-reference across the block boundary after output byte " +
                        std::to_string((out.size() / kBlockSize + 1) * kBlockSize));
        }
        for (std::size_t k = 0; k < length; ++k) {
            out.push_back(out[out.size() - offset]);
        }
    }
}

Bytes Pack(std::span<const std::uint8_t> data)
{
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw Error("input too large for a binary MOF");
    }
    Bytes stream = CompressStream(data);
    Bytes out{'F', 'O', 'M', 'B'};
    Append32(out, kVersion);
    Append32(out, static_cast<std::uint32_t>(kStreamHeader.size() + stream.size()));
    Append32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), kStreamHeader.begin(), kStreamHeader.end());
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

Bytes Unpack(std::span<const std::uint8_t> container)
{
    if (container.size() < kContainerHeaderSize + kStreamHeader.size()) {
        throw Error("binary MOF shorter than its headers (" + std::to_string(container.size()) + " bytes)");
    }
    if (std::memcmp(container.data(), "FOMB", 4) != 0) {
        throw Error("binary MOF does not start with \"FOMB\"");
    }
    const std::uint32_t version = Read32(container, 4);
    if (version != kVersion) {
        throw Error("binary MOF version " + std::to_string(version) + ", expected 1");
    }
    const std::uint32_t compressed = Read32(container, 8);
    const std::uint32_t uncompressed = Read32(container, 12);
    if (container.size() - kContainerHeaderSize != compressed) {
        throw Error("binary MOF announces " + std::to_string(compressed) + " compressed bytes but holds " +
                    std::to_string(container.size() - kContainerHeaderSize));
    }
    if (std::memcmp(container.data() + kContainerHeaderSize, kStreamHeader.data(), kStreamHeader.size()) != 0) {
        throw Error("compressed stream does not start with \"DS\" 00 01");
    }
    return DecompressStream(container.subspan(kContainerHeaderSize + kStreamHeader.size()), uncompressed);
}

}  // namespace vxbmof
