#include "tests/wine/busdriver/LoopbackDevice.h"

namespace vxbus {
namespace {

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;

// The answers of the device's class requests: request 0 a block led by its
// 16-bit big-endian length (which counts itself), request 1 a short answer.
const char kBlockPayload[] = "Vextora loopback block";
const uint8_t kShortAnswer[] = {0x56, 0x01};

uint32_t Min(uint32_t a, uint32_t b) { return a < b ? a : b; }
uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void Copy(uint8_t *to, const uint8_t *from, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        to[i] = from[i];
}

constexpr Outcome kStall = {true, 0, false};

}  // namespace

LoopbackDevice::LoopbackDevice(const Descriptors &descriptors, uint8_t *fifo)
    : descriptors_(descriptors), fifo_(fifo)
{
}

uint16_t LoopbackDevice::ConfigurationLength() const { return Le16(descriptors_.Configuration + 2); }

Outcome LoopbackDevice::Answer(const uint8_t *source, uint32_t sourceLength, uint8_t *data, uint32_t room)
{
    const uint32_t n = Min(sourceLength, room);
    Copy(data, source, n);
    return {false, n, false};
}

bool LoopbackDevice::LanguageListed(uint16_t language) const
{
    const uint8_t *list = descriptors_.Strings[0];
    if (list == nullptr)
        return false;
    for (uint32_t i = 2; i + 1 < list[0]; i += 2)
        if (Le16(list + i) == language)
            return true;
    return false;
}

Outcome LoopbackDevice::Control(const Setup &setup, uint8_t *data, uint32_t length)
{
    const uint32_t room = Min(length, setup.Length);
    const bool in = (setup.RequestType & 0x80) != 0;
    const uint8_t type = (setup.RequestType >> 5) & 0x3;
    const uint8_t recipient = setup.RequestType & 0x1F;
    if (type == 1) {
        if (setup.RequestType == 0xA1 && setup.Request == 0) {
            uint8_t block[2 + sizeof kBlockPayload - 1];
            const uint32_t total = sizeof block;
            block[0] = static_cast<uint8_t>(total >> 8);
            block[1] = static_cast<uint8_t>(total);
            Copy(block + 2, reinterpret_cast<const uint8_t *>(kBlockPayload), sizeof kBlockPayload - 1);
            return Answer(block, total, data, room);
        }
        if (setup.RequestType == 0xA1 && setup.Request == 1)
            return Answer(kShortAnswer, sizeof kShortAnswer, data, room);
        if (setup.RequestType == 0x23 && setup.Request == 2)
            return {false, room, false};  // accepted and dropped
        return kStall;
    }
    if (type != 0)
        return kStall;
    switch (setup.Request) {
    case kGetDescriptor: {
        if (!in || recipient != 0)
            return kStall;
        const uint8_t descriptorType = static_cast<uint8_t>(setup.Value >> 8);
        const uint8_t index = static_cast<uint8_t>(setup.Value);
        if (descriptorType == 1 && index == 0)
            return Answer(descriptors_.Device, 18, data, room);
        if (descriptorType == 2 && index == 0)
            return Answer(descriptors_.Configuration, ConfigurationLength(), data, room);
        if (descriptorType == 3) {
            if (index >= Descriptors::kStringSlots || descriptors_.Strings[index] == nullptr)
                return kStall;
            // Strings other than the LANGID list exist only in a listed
            // language (USB 2.0, 9.6.7).
            if (index != 0 && !LanguageListed(setup.Index))
                return kStall;
            const uint8_t *string = descriptors_.Strings[index];
            return Answer(string, string[0], data, room);
        }
        return kStall;
    }
    case kSetConfiguration: {
        const uint8_t value = static_cast<uint8_t>(setup.Value);
        if (recipient != 0 || (value != 0 && value != descriptors_.Configuration[5]))
            return kStall;
        Configure(value);
        return {false, 0, false};
    }
    case kGetConfiguration:
        return Answer(&configuration_, 1, data, room);
    case kGetStatus: {
        if (!in)
            return kStall;
        const uint8_t status[2] = {0, 0};
        return Answer(status, 2, data, room);
    }
    default:
        return kStall;
    }
}

void LoopbackDevice::Configure(uint8_t value)
{
    configuration_ = value;
    head_ = 0;
    level_ = 0;
}

const uint8_t *LoopbackDevice::FindInterface(uint8_t number, uint8_t alternate) const
{
    const uint8_t *config = descriptors_.Configuration;
    const uint32_t total = ConfigurationLength();
    for (uint32_t at = config[0]; at + 2 <= total && config[at] >= 2; at += config[at])
        if (config[at + 1] == 4 && at + 9 <= total && config[at + 2] == number && config[at + 3] == alternate)
            return config + at;
    return nullptr;
}

const uint8_t *LoopbackDevice::FindEndpoint(const uint8_t *interfaceDescriptor, unsigned k) const
{
    const uint8_t *config = descriptors_.Configuration;
    const uint32_t total = ConfigurationLength();
    unsigned seen = 0;
    for (uint32_t at = static_cast<uint32_t>(interfaceDescriptor - config) + interfaceDescriptor[0];
         at + 2 <= total && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == 4)
            break;  // the next interface
        if (config[at + 1] == 5 && at + 7 <= total && seen++ == k)
            return config + at;
    }
    return nullptr;
}

const uint8_t *LoopbackDevice::EndpointDescriptor(uint8_t address) const
{
    const uint8_t *config = descriptors_.Configuration;
    const uint32_t total = ConfigurationLength();
    for (uint32_t at = config[0]; at + 2 <= total && config[at] >= 2; at += config[at])
        if (config[at + 1] == 5 && at + 7 <= total && config[at + 2] == address)
            return config + at;
    return nullptr;
}

Outcome LoopbackDevice::Transfer(uint8_t endpointAddress, uint8_t *data, uint32_t length)
{
    const uint8_t *endpoint = configuration_ != 0 ? EndpointDescriptor(endpointAddress) : nullptr;
    if (endpoint == nullptr)
        return kStall;
    const bool in = (endpointAddress & 0x80) != 0;
    const uint8_t kind = endpoint[3] & 0x3;
    if (kind == 3) {
        if (!in)
            return {false, length, false};
        const uint32_t level = Min(level_, 0xFFFF);
        const uint8_t report[2] = {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8)};
        return Answer(report, 2, data, length);
    }
    if (kind != 2)
        return kStall;
    if (!in) {
        const uint32_t n = Min(length, kFifoBytes - level_);
        for (uint32_t i = 0; i < n; ++i)
            fifo_[(head_ + level_ + i) % kFifoBytes] = data[i];
        level_ += n;
        return {false, n, false};
    }
    if (level_ == 0 && length != 0)
        return {false, 0, true};
    const uint32_t n = Min(length, level_);
    for (uint32_t i = 0; i < n; ++i)
        data[i] = fifo_[(head_ + i) % kFifoBytes];
    head_ = (head_ + n) % kFifoBytes;
    level_ -= n;
    return {false, n, false};
}

}  // namespace vxbus
