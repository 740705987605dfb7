// What the simulated bus and its device models know of a configuration:
// the interfaces and endpoints parsed out of the configuration descriptor
// bytes. Plain C++; the bytes are untrusted and every fault is reported with
// the offset of the descriptor that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vextora::usb {

enum class Speed : uint8_t { Low, Full, High, Super };

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointInfo {
    uint8_t Address = 0;  // bit 7 set: IN
    uint8_t Attributes = 0;
    uint16_t MaxPacketSize = 0;  // bits 10..0 of wMaxPacketSize
    uint8_t Interval = 0;
    // Transactions per service of a high-speed periodic endpoint: 1 plus
    // bits 12..11 of wMaxPacketSize (USB 2.0, 9.6.6); the reserved value 3
    // counts as 1.
    uint8_t Transactions = 1;
    uint16_t RawMaxPacketSize = 0;  // wMaxPacketSize as the descriptor holds it
    size_t Offset = 0;              // of the endpoint descriptor inside the configuration
    EndpointType Type() const { return static_cast<EndpointType>(Attributes & 0x3); }
    bool IsIn() const { return (Address & 0x80) != 0; }
};

struct InterfaceInfo {
    uint8_t Number = 0;
    uint8_t AlternateSetting = 0;
    uint8_t Class = 0;
    uint8_t SubClass = 0;
    uint8_t Protocol = 0;
    size_t Offset = 0;  // of the interface descriptor inside the configuration
    std::vector<EndpointInfo> Endpoints;
};

struct ConfigurationInfo {
    uint8_t Value = 0;
    uint8_t Attributes = 0;
    uint8_t DeclaredInterfaces = 0;         // bNumInterfaces
    std::vector<InterfaceInfo> Interfaces;  // every alternate setting, in order
    bool RemoteWakeup() const { return (Attributes & 0x20) != 0; }
    // The interface with this number and alternate setting, or nullptr.
    const InterfaceInfo *Find(uint8_t number, uint8_t alternate) const;
};

// A malformed descriptor; Offset is where the bad descriptor starts.
class DescriptorError : public std::runtime_error {
public:
    DescriptorError(size_t offset, const std::string &what)
        : std::runtime_error("descriptor at offset " + std::to_string(offset) + ": " + what), Offset(offset)
    {
    }
    size_t Offset;
};

// Parses a whole configuration descriptor (wTotalLength bytes). Throws
// DescriptorError for: fewer than 9 bytes, a wrong type, wTotalLength that
// differs from the size, a bLength below 2 or past the end, an interface or
// endpoint descriptor shorter than its fixed part, an endpoint outside an
// interface, an endpoint count that differs from bNumEndpoints, or no
// interface at all.
ConfigurationInfo ParseConfiguration(std::span<const uint8_t> bytes);

// Checks an 18-byte device descriptor; throws DescriptorError.
void CheckDeviceDescriptor(std::span<const uint8_t> bytes);

// What a host enumerates and uses at `speed`, beyond the layout
// ParseConfiguration checks; throws DescriptorError naming the rule and its
// section of the USB 2.0 specification:
//  - bMaxPacketSize0 as the speed requires (5.5.3, 9.6.1): 8 at low speed;
//    8, 16, 32 or 64 at full; 64 at high; 9 (512 bytes) at SuperSpeed;
//  - bConfigurationValue not 0, the value of the unconfigured state (9.4.7);
//  - no reserved bit set in bEndpointAddress (bits 6..4) or wMaxPacketSize
//    (bits 15..13) (9.6.6);
//  - bulk and interrupt endpoints with a wMaxPacketSize above 0, and no
//    endpoint above its speed's limit (5.6.3, 5.7.3, 5.8.3): bulk 64 at full
//    speed, 512 at high, 1024 at SuperSpeed; interrupt 8 at low, 64 at
//    full, 1024 above; isochronous 1023 at full, 1024 above;
//  - no bulk or isochronous endpoint on a low-speed device (5.6.3, 5.8.3).
// Isochronous endpoints of 0 bytes are allowed: they are the zero-bandwidth
// alternate settings a device must offer (5.6.3).
void CheckDeviceDescriptorForSpeed(std::span<const uint8_t> bytes, Speed speed);
void CheckConfigurationForSpeed(const ConfigurationInfo &config, Speed speed);

// "low", "full", "high" or "super".
const char *SpeedName(Speed speed);

// Checks a string descriptor (bLength == size, type 3, even text length);
// throws DescriptorError.
void CheckStringDescriptor(std::span<const uint8_t> bytes);

inline uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace vextora::usb
