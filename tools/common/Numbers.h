// Numbers and bytes as the tools' users write them, in scenarios and on
// command lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx {

// Decimal or 0x hex, with an optional K (x1024) or M (x1024 x 1024) suffix;
// nothing when the word is not such a number or the value does not fit 64
// bits.
std::optional<unsigned long long> ParseNumber(const std::string &word);
// Words of two hex digits each ("0a FF"); nothing when one is not.
std::optional<std::vector<unsigned char>> ParseHexBytes(const std::vector<std::string> &words);

}  // namespace vx
