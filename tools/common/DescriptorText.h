// Readable text for USB descriptors as they come off the wire. Plain code
// over byte spans: used by vxsim and by vxctl.exe alike.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vx {

// The 18-byte device descriptor, one field per line.
std::string DescribeDeviceDescriptor(std::span<const uint8_t> bytes);

// A configuration descriptor with everything that follows it (interfaces,
// endpoints, class-specific descriptors), indented as a tree. Malformed
// input is described as far as it is well formed, then named.
std::string DescribeConfiguration(std::span<const uint8_t> bytes);

// A string descriptor as text: the LANGID list for index 0, the UTF-16LE
// text (converted to UTF-8) otherwise.
std::string DescribeString(std::span<const uint8_t> bytes, bool languageList);

// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);

// Text from a device in double quotes, safe to print: control characters
// (NUL, escape, C1 controls ...), backslash and quote are escaped (\0, \n,
// \x1B, \u009B, \\, \"), the rest is kept.
std::string QuoteText(const std::string &utf8);

std::string HexBytes(std::span<const uint8_t> bytes, size_t limit = 64);

}  // namespace vx
