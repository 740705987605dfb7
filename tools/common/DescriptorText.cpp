#include "tools/common/DescriptorText.h"

#include <cstdio>
#include <string_view>

namespace vx {
namespace {

uint16_t Word(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }

std::string Format(const char *fmt, auto... args)
{
    char line[256];
    std::snprintf(line, sizeof line, fmt, args...);
    return line;
}

const char *ClassName(uint8_t c)
{
    switch (c) {
    case 0x00: return "defined by interface";
    case 0x01: return "audio";
    case 0x02: return "communications";
    case 0x03: return "HID";
    case 0x05: return "physical";
    case 0x06: return "image";
    case 0x07: return "printer";
    case 0x08: return "mass storage";
    case 0x09: return "hub";
    case 0x0A: return "CDC data";
    case 0x0B: return "smart card";
    case 0x0E: return "video";
    case 0x0F: return "personal healthcare";
    case 0x10: return "audio/video";
    case 0xDC: return "diagnostic";
    case 0xE0: return "wireless controller";
    case 0xEF: return "miscellaneous";
    case 0xFE: return "application specific";
    case 0xFF: return "vendor specific";
    default: return "unknown";
    }
}

const char *TransferType(uint8_t attributes)
{
    static const char *names[] = {"control", "isochronous", "bulk", "interrupt"};
    return names[attributes & 3];
}

std::string DescribeEndpoint(std::span<const uint8_t> d)
{
    uint8_t address = d[2];
    uint16_t wMaxPacketSize = Word(d, 4);
    unsigned size = wMaxPacketSize & 0x7FF;
    unsigned extra = (wMaxPacketSize >> 11) & 3;
    std::string s = Format("    endpoint 0x%02X %s %s, max packet %u", address, (address & 0x80) ? "IN" : "OUT",
                           TransferType(d[3]), size);
    if (extra)
        s += Format(" x%u per microframe", extra + 1);
    s += Format(", interval %u\n", d[6]);
    return s;
}

}  // namespace

std::string HexBytes(std::span<const uint8_t> bytes, size_t limit)
{
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i)
        s += Format(i ? " %02X" : "%02X", bytes[i]);
    if (bytes.size() > limit)
        s += Format(" … (%zu bytes)", bytes.size());
    return s;
}

std::string DescribeDeviceDescriptor(std::span<const uint8_t> b)
{
    if (b.size() < 18 || b[0] < 18 || b[1] != 1)
        return "not a device descriptor: " + HexBytes(b) + "\n";
    std::string s;
    s += Format("  USB version      %x.%02x\n", b[3], b[2]);
    s +=
        Format("  class            0x%02X (%s), subclass 0x%02X, protocol 0x%02X\n", b[4], ClassName(b[4]), b[5], b[6]);
    s += Format("  max packet (ep0) %u\n", b[7]);
    s += Format("  vendor:product   %04X:%04X, release %x.%02x\n", Word(b, 8), Word(b, 10), b[13], b[12]);
    s += Format("  strings          manufacturer %u, product %u, serial number %u\n", b[14], b[15], b[16]);
    s += Format("  configurations   %u\n", b[17]);
    return s;
}

std::string DescribeConfiguration(std::span<const uint8_t> b)
{
    if (b.size() < 9 || b[1] != 2 || b[0] < 9)
        return "not a configuration descriptor: " + HexBytes(b) + "\n";
    uint16_t total = Word(b, 2);
    std::string s;
    s += Format("  configuration %u: %u interface(s), %u bytes in all%s%s, max power %u mA\n", b[5], b[4], total,
                (b[7] & 0x40) ? ", self-powered" : "", (b[7] & 0x20) ? ", remote wake-up" : "", b[8] * 2u);
    if (b.size() < total)
        s += Format("  truncated: %zu of %u bytes\n", b.size(), total);
    size_t end = total < b.size() ? total : b.size();
    size_t at = b[0];
    while (at + 2 <= end) {
        uint8_t length = b[at];
        uint8_t type = b[at + 1];
        if (length < 2 || at + length > end) {
            s += Format("  malformed descriptor at offset %zu (bLength %u, %zu bytes left)\n", at, length, end - at);
            return s;
        }
        auto d = b.subspan(at, length);
        if (type == 4 && length >= 9) {
            s += Format("  interface %u alternate %u: %u endpoint(s), class 0x%02X (%s), subclass 0x%02X, "
                        "protocol 0x%02X\n",
                        d[2], d[3], d[4], d[5], ClassName(d[5]), d[6], d[7]);
        } else if (type == 5 && length >= 7) {
            s += DescribeEndpoint(d);
        } else if (type == 11 && length >= 8) {
            s += Format("  interface association: first interface %u, %u interface(s), class 0x%02X (%s)\n", d[2], d[3],
                        d[4], ClassName(d[4]));
        } else {
            s += Format("    descriptor type 0x%02X, %u bytes: %s\n", type, length, HexBytes(d, 16).c_str());
        }
        at += length;
    }
    if (at != end)
        s += Format("  %zu trailing byte(s) after the last descriptor\n", end - at);
    return s;
}

std::string Utf16LeToUtf8(std::span<const uint8_t> bytes)
{
    std::string out;
    auto put = [&out](uint32_t c) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t c = Word(bytes, i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t low = Word(bytes, i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                put(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        put((c >= 0xD800 && c < 0xE000) ? 0xFFFD : c);
    }
    return out;
}

std::string QuoteText(const std::string &utf8)
{
    std::string out = "\"";
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        // C1 controls arrive as the two UTF-8 bytes C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0 &&
            static_cast<unsigned char>(utf8[i + 1]) >= 0x80) {
            out += Format("\\u%04X", static_cast<unsigned char>(utf8[++i]));
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == 0) {
            out += "\\0";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += Format("\\x%02X", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string DescribeString(std::span<const uint8_t> b, bool languageList)
{
    if (b.size() < 2 || b[1] != 3)
        return "not a string descriptor: " + HexBytes(b);
    size_t length = b[0] < b.size() ? b[0] : b.size();
    auto text = b.subspan(2, length >= 2 ? length - 2 : 0);
    if (!languageList)
        return QuoteText(Utf16LeToUtf8(text));
    std::string s = "languages";
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        s += Format(" 0x%04X", Word(text, i));
    return s;
}

}  // namespace vx
