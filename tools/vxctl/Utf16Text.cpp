#include "tools/vxctl/Utf16Text.h"

#include <cstdint>

namespace vxctl {

std::size_t AppendUtf16(std::string_view text, std::u16string &out)
{
    constexpr char16_t kReplacement = 0xFFFD;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<uint8_t>(text[at]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++at;
            continue;
        }
        std::size_t length;
        uint32_t value;
        uint32_t least;  // the smallest value this length may carry
        if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, least = 0x10000;
        } else {
            out += kReplacement;
            ++at;
            continue;
        }
        std::size_t k = 1;
        for (; k < length && at + k < text.size(); ++k) {
            const auto next = static_cast<uint8_t>(text[at + k]);
            if ((next & 0xC0) != 0x80)
                break;
            value = (value << 6) | (next & 0x3F);
        }
        if (k < length && at + k == text.size())
            return at;  // cut off: the rest comes with the next piece
        if (k < length || value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            out += kReplacement;
            ++at;
            continue;
        }
        if (value >= 0x10000) {
            value -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (value >> 10));
            out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
        } else {
            out += static_cast<char16_t>(value);
        }
        at += length;
    }
    return at;
}

}  // namespace vxctl
