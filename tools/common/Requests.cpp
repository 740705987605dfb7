#include "tools/common/Requests.h"

#include <cstdio>

#include "include/vextora.h"
#include "tools/common/DescriptorText.h"
#include "tools/common/Numbers.h"

namespace vx {

const std::vector<ControlCode> &ControlCodes()
{
    static const std::vector<ControlCode> codes = {
        {"GET_CONFIG_DESCRIPTOR", IOCTL_GET_CONFIG_DESCRIPTOR},
        {"RESET_DEVICE", IOCTL_RESET_DEVICE},
        {"RESET_PIPE", IOCTL_RESET_PIPE},
        {"CLASS_READ_BLOCK", IOCTL_CLASS_READ_BLOCK},
        {"CLASS_READ", IOCTL_CLASS_READ},
        {"CLASS_OTHER_WRITE", IOCTL_CLASS_OTHER_WRITE},
        {"GET_DEVICE_DESCRIPTOR", IOCTL_GET_DEVICE_DESCRIPTOR},
        {"GET_STRING_DESCRIPTOR", IOCTL_GET_STRING_DESCRIPTOR},
    };
    return codes;
}

std::optional<uint32_t> ControlCodeFromName(const std::string &name)
{
    std::string bare = name.rfind("IOCTL_", 0) == 0 ? name.substr(6) : name;
    for (const auto &c : ControlCodes())
        if (bare == c.name)
            return c.code;
    auto number = ParseNumber(name);
    if (number && *number <= 0xFFFFFFFFull)
        return static_cast<uint32_t>(*number);
    return std::nullopt;
}

std::string ControlCodeName(uint32_t code)
{
    for (const auto &c : ControlCodes())
        if (code == c.code)
            return std::string("IOCTL_") + c.name;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    return hex;
}

std::u16string PipeFileName(unsigned index)
{
    char name[16];
    std::snprintf(name, sizeof name, "PIPE%02u", index);
    return ToU16(name);
}

std::u16string ToU16(const std::string &text)
{
    std::u16string out;
    for (unsigned char c : text)
        out += static_cast<char16_t>(c);
    return out;
}

std::string ToUtf8(const std::u16string &text)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return Utf16LeToUtf8(bytes);
}

ControlAnswer Control(vxio::DeviceIo &io, vxio::Handle handle, uint32_t code, const std::vector<uint8_t> &input,
                      uint32_t outputLength)
{
    ControlAnswer answer;
    std::vector<uint8_t> output(outputLength);
    uint32_t returned = 0;
    answer.status =
        io.ControlSync(handle, code, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
                       output.empty() ? nullptr : output.data(), outputLength, &returned);
    answer.information = returned;
    output.resize(returned <= outputLength ? returned : outputLength);
    answer.output = std::move(output);
    return answer;
}

std::vector<uint8_t> StringRequest(uint8_t index, uint16_t languageId)
{
    return {index, 0, static_cast<uint8_t>(languageId), static_cast<uint8_t>(languageId >> 8)};
}

std::string DescribeAnswer(uint32_t code, const std::vector<uint8_t> &input, const ControlAnswer &answer)
{
    switch (code) {
    case IOCTL_GET_CONFIG_DESCRIPTOR: return DescribeConfiguration(answer.output);
    case IOCTL_GET_DEVICE_DESCRIPTOR: return DescribeDeviceDescriptor(answer.output);
    case IOCTL_GET_STRING_DESCRIPTOR:
        return "  " + DescribeString(answer.output, !input.empty() && input[0] == 0) + "\n";
    case IOCTL_CLASS_READ_BLOCK:
    case IOCTL_CLASS_READ:
        return "  " + std::to_string(answer.output.size()) + " byte(s): " + HexBytes(answer.output, 32) + "\n";
    default: return "";
    }
}

void FillPattern(std::vector<uint8_t> &buffer, uint64_t seed, uint64_t offset)
{
    // A cheap generator whose bytes differ between nearby offsets and seeds.
    for (size_t i = 0; i < buffer.size(); ++i) {
        uint64_t x = (offset + i) * 0x9E3779B97F4A7C15ull + seed * 0xC2B2AE3D27D4EB4Full;
        x ^= x >> 29;
        buffer[i] = static_cast<uint8_t>(x ^ (x >> 17));
    }
}

}  // namespace vx
