#include "tools/common/Numbers.h"

#include <cctype>
#include <string>

namespace vx {

std::optional<unsigned long long> ParseNumber(const std::string &word)
{
    if (word.empty())
        return std::nullopt;
    std::string digits = word;
    unsigned long long scale = 1;
    char last = digits.back();
    if (last == 'K' || last == 'k') {
        scale = 1024;
        digits.pop_back();
    } else if (last == 'M' || last == 'm') {
        scale = 1024ull * 1024;
        digits.pop_back();
    }
    if (digits.empty())
        return std::nullopt;
    int base = 10;
    size_t start = 0;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        start = 2;
    }
    unsigned long long value = 0;
    for (size_t i = start; i < digits.size(); ++i) {
        int d;
        char c = digits[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (~0ull - d) / base)
            return std::nullopt;
        value = value * base + d;
    }
    if (scale != 1 && value > ~0ull / scale)
        return std::nullopt;
    return value * scale;
}

std::optional<std::vector<unsigned char>> ParseHexBytes(const std::vector<std::string> &words)
{
    std::vector<unsigned char> bytes;
    for (const auto &w : words) {
        if (w.size() != 2 || !std::isxdigit(static_cast<unsigned char>(w[0])) ||
            !std::isxdigit(static_cast<unsigned char>(w[1])))
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(std::stoul(w, nullptr, 16)));
    }
    return bytes;
}

}  // namespace vx
