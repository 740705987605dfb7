// Validation of the configuration descriptor a device returns, before any of
// it is stored or handed to the USB driver library. Plain code: no platform
// calls, no allocation, safe on any byte string, so the same routines run in
// the kernel image, in unit tests and under a fuzzer.
#pragma once

namespace DescriptorCheck {

// USB 2.0 specification, 9.4 (descriptor types) and 9.6 (lengths).
constexpr unsigned char kConfigurationType = 0x02;
constexpr unsigned char kInterfaceType = 0x04;
constexpr unsigned char kEndpointType = 0x05;
constexpr unsigned kConfigurationLength = 9;
constexpr unsigned kInterfaceLength = 9;
constexpr unsigned kEndpointLength = 7;
// bInterfaceNumber is one byte.
constexpr unsigned kInterfaceNumberCount = 256;

enum class Verdict {
    Valid,
    ShortTransfer,             // the device moved a different number of bytes than asked for
    BadHeader,                 // bLength below 9 or bDescriptorType not CONFIGURATION
    TotalLengthTooSmall,       // wTotalLength below the header's own bLength
    TotalLengthChanged,        // wTotalLength differs between the header read and the full read
    NoInterfaces,              // bNumInterfaces 0
    BadDescriptorLength,       // a descriptor with bLength 0 or 1, or one that runs past the end
    ShortInterfaceOrEndpoint,  // an interface or endpoint descriptor below its fixed size
    MissingEndpoints,          // fewer endpoint descriptors follow an interface than it announces
    MissingInterfaces,         // fewer distinct interfaces at alternate setting 0 than bNumInterfaces
};

// The header fields the driver acts on.
struct ConfigurationHeader {
    unsigned TotalLength;      // wTotalLength
    unsigned NumInterfaces;    // bNumInterfaces
    unsigned char Attributes;  // bmAttributes
};

// Checks the 9-byte header read. Buffer holds BufferLength readable bytes, of
// which the device filled Transferred; Header receives the fields on Valid.
Verdict CheckHeader(const unsigned char *Buffer, unsigned BufferLength, unsigned Transferred,
                    ConfigurationHeader *Header);

// Checks the full read of ExpectedTotalLength bytes (the header read's
// wTotalLength) into Buffer, of which the device filled Transferred: the
// header again, every descriptor's bLength within the buffer, interface and
// endpoint descriptors at their fixed sizes, each interface followed by the
// endpoints it announces, and bNumInterfaces distinct interface numbers with
// an alternate setting 0. On Valid every descriptor lies inside the buffer.
Verdict CheckConfiguration(const unsigned char *Buffer, unsigned ExpectedTotalLength, unsigned Transferred,
                           ConfigurationHeader *Header);

// True when bit 5 (remote wake-up) of bmAttributes is set.
inline bool RemoteWakeup(const ConfigurationHeader &Header) { return (Header.Attributes & 0x20) != 0; }

}  // namespace DescriptorCheck
