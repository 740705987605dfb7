// The driver's requests as an application names them, with the answers
// decoded for people; shared by vxsim and vxctl.exe over vxio::DeviceIo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/IoManagerApi.h"

namespace vx {

struct ControlCode {
    const char *name;  // without the IOCTL_ prefix
    uint32_t code;
};

// The driver's eight control codes, in function-number order.
const std::vector<ControlCode> &ControlCodes();
// "GET_DEVICE_DESCRIPTOR", "IOCTL_GET_DEVICE_DESCRIPTOR" or a number.
std::optional<uint32_t> ControlCodeFromName(const std::string &name);
std::string ControlCodeName(uint32_t code);

// The file name that opens pipe `index` ("PIPE00" …).
std::u16string PipeFileName(unsigned index);
std::u16string ToU16(const std::string &text);
std::string ToUtf8(const std::u16string &text);

struct ControlAnswer {
    vxio::Status status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> output;  // the first `information` bytes of the output buffer
};

// A synchronous control request with a buffer of `outputLength` bytes.
ControlAnswer Control(vxio::DeviceIo &io, vxio::Handle handle, uint32_t code, const std::vector<uint8_t> &input,
                      uint32_t outputLength);

// The input of IOCTL_GET_STRING_DESCRIPTOR: index, reserved byte, LANGID.
std::vector<uint8_t> StringRequest(uint8_t index, uint16_t languageId);

// People-readable text for a successful answer of `code`.
std::string DescribeAnswer(uint32_t code, const std::vector<uint8_t> &input, const ControlAnswer &answer);

// The bytes of a pattern that writes and verifying reads agree on.
void FillPattern(std::vector<uint8_t> &buffer, uint64_t seed, uint64_t offset = 0);

}  // namespace vx
