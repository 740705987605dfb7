#include "sim/usb/Descriptors.h"

#include <cstdio>

namespace vextora::usb {

const InterfaceInfo *ConfigurationInfo::Find(uint8_t number, uint8_t alternate) const
{
    for (const auto &i : Interfaces) {
        if (i.Number == number && i.AlternateSetting == alternate) {
            return &i;
        }
    }
    return nullptr;
}

ConfigurationInfo ParseConfiguration(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 9) {
        throw DescriptorError(0,
                              "configuration descriptor shorter than 9 bytes (" + std::to_string(bytes.size()) + ")");
    }
    if (bytes[0] < 9 || bytes[1] != 0x02) {
        throw DescriptorError(0, "not a configuration descriptor (bLength " + std::to_string(bytes[0]) + ", type " +
                                     std::to_string(bytes[1]) + ")");
    }
    const uint16_t total = Le16(&bytes[2]);
    if (total != bytes.size()) {
        throw DescriptorError(0, "wTotalLength " + std::to_string(total) + " but " + std::to_string(bytes.size()) +
                                     " bytes given");
    }
    ConfigurationInfo config;
    config.DeclaredInterfaces = bytes[4];
    config.Value = bytes[5];
    config.Attributes = bytes[7];

    InterfaceInfo *current = nullptr;
    size_t currentOffset = 0;
    uint8_t expectedEndpoints = 0;
    auto closeInterface = [&]() {
        if (current && current->Endpoints.size() != expectedEndpoints) {
            throw DescriptorError(currentOffset, "interface declares " + std::to_string(expectedEndpoints) +
                                                     " endpoints but " + std::to_string(current->Endpoints.size()) +
                                                     " follow");
        }
    };
    for (size_t off = bytes[0]; off < bytes.size();) {
        const size_t remaining = bytes.size() - off;
        if (remaining < 2) {
            throw DescriptorError(off, "truncated descriptor header");
        }
        const uint8_t len = bytes[off];
        const uint8_t type = bytes[off + 1];
        if (len < 2) {
            throw DescriptorError(off, "bLength " + std::to_string(len) + " is below 2");
        }
        if (len > remaining) {
            throw DescriptorError(off, "bLength " + std::to_string(len) + " runs past the end (" +
                                           std::to_string(remaining) + " bytes left)");
        }
        if (type == 0x04) {
            if (len < 9) {
                throw DescriptorError(off, "interface descriptor bLength " + std::to_string(len) + " is below 9");
            }
            closeInterface();
            InterfaceInfo info;
            info.Number = bytes[off + 2];
            info.AlternateSetting = bytes[off + 3];
            info.Class = bytes[off + 5];
            info.SubClass = bytes[off + 6];
            info.Protocol = bytes[off + 7];
            info.Offset = off;
            config.Interfaces.push_back(std::move(info));
            current = &config.Interfaces.back();
            currentOffset = off;
            expectedEndpoints = bytes[off + 4];
        } else if (type == 0x05) {
            if (len < 7) {
                throw DescriptorError(off, "endpoint descriptor bLength " + std::to_string(len) + " is below 7");
            }
            if (!current) {
                throw DescriptorError(off, "endpoint descriptor outside an interface");
            }
            EndpointInfo ep;
            ep.Address = bytes[off + 2];
            ep.Attributes = bytes[off + 3];
            ep.RawMaxPacketSize = Le16(&bytes[off + 4]);
            ep.MaxPacketSize = ep.RawMaxPacketSize & 0x7ff;
            if (const unsigned extra = (Le16(&bytes[off + 4]) >> 11) & 0x3; extra < 3) {
                ep.Transactions = static_cast<uint8_t>(1 + extra);
            }
            ep.Interval = bytes[off + 6];
            ep.Offset = off;
            if ((ep.Address & 0x0f) == 0) {
                throw DescriptorError(off, "endpoint descriptor for endpoint 0");
            }
            current->Endpoints.push_back(ep);
        } else if (type == 0x02) {
            throw DescriptorError(off, "second configuration descriptor inside the configuration");
        }
        off += len;
    }
    closeInterface();
    if (config.Interfaces.empty()) {
        throw DescriptorError(0, "configuration holds no interface descriptor");
    }
    return config;
}

void CheckDeviceDescriptor(std::span<const uint8_t> bytes)
{
    if (bytes.size() != 18) {
        throw DescriptorError(0, "device descriptor is " + std::to_string(bytes.size()) + " bytes, not 18");
    }
    if (bytes[0] != 18 || bytes[1] != 0x01) {
        throw DescriptorError(0, "not a device descriptor (bLength " + std::to_string(bytes[0]) + ", type " +
                                     std::to_string(bytes[1]) + ")");
    }
    const uint8_t mps0 = bytes[7];
    if (mps0 != 8 && mps0 != 16 && mps0 != 32 && mps0 != 64 && mps0 != 9) {
        throw DescriptorError(0, "bMaxPacketSize0 " + std::to_string(mps0) + " is not valid");
    }
}

const char *SpeedName(Speed speed)
{
    switch (speed) {
    case Speed::Low: return "low";
    case Speed::Full: return "full";
    case Speed::High: return "high";
    case Speed::Super: return "super";
    }
    return "?";
}

void CheckDeviceDescriptorForSpeed(std::span<const uint8_t> bytes, Speed speed)
{
    CheckDeviceDescriptor(bytes);
    const uint8_t mps0 = bytes[7];
    bool ok = false;
    const char *allowed = "";
    switch (speed) {
    case Speed::Low:
        ok = mps0 == 8;
        allowed = "8";
        break;
    case Speed::Full:
        ok = mps0 == 8 || mps0 == 16 || mps0 == 32 || mps0 == 64;
        allowed = "8, 16, 32 or 64";
        break;
    case Speed::High:
        ok = mps0 == 64;
        allowed = "64";
        break;
    case Speed::Super:
        ok = mps0 == 9;
        allowed = "9 (512 bytes)";
        break;
    }
    if (!ok) {
        throw DescriptorError(0, "bMaxPacketSize0 " + std::to_string(mps0) + " at " + SpeedName(speed) +
                                     " speed, where it must be " + allowed + " (USB 2.0, 5.5.3)");
    }
}

void CheckConfigurationForSpeed(const ConfigurationInfo &config, Speed speed)
{
    if (config.Value == 0) {
        throw DescriptorError(0, "bConfigurationValue 0 is the value of the unconfigured state: a host cannot "
                                 "select this configuration (USB 2.0, 9.4.7)");
    }
    static const char *const typeNames[] = {"control", "isochronous", "bulk", "interrupt"};
    for (const auto &iface : config.Interfaces) {
        for (const auto &ep : iface.Endpoints) {
            char address[8];
            std::snprintf(address, sizeof address, "0x%02X", ep.Address);
            const std::string what = std::string(typeNames[ep.Attributes & 3]) + " endpoint " + address;
            if ((ep.Address & 0x70) != 0) {
                throw DescriptorError(ep.Offset, "endpoint address " + std::string(address) +
                                                     " has reserved bits 6..4 set (USB 2.0, 9.6.6)");
            }
            if ((ep.RawMaxPacketSize & 0xE000) != 0) {
                throw DescriptorError(ep.Offset,
                                      what + ": wMaxPacketSize has reserved bits 15..13 set (USB 2.0, 9.6.6)");
            }
            const EndpointType type = ep.Type();
            if (speed == Speed::Low && (type == EndpointType::Bulk || type == EndpointType::Isochronous)) {
                throw DescriptorError(ep.Offset, what + " on a low-speed device: low speed has only control and "
                                                        "interrupt endpoints (USB 2.0, 5.6.3, 5.8.3)");
            }
            if (ep.MaxPacketSize == 0 && type != EndpointType::Isochronous) {
                throw DescriptorError(ep.Offset, what + ": wMaxPacketSize 0, the endpoint can move no data "
                                                        "(USB 2.0, 9.6.6)");
            }
            unsigned limit = 0;
            const char *section = "";
            switch (type) {
            case EndpointType::Bulk:
                limit = speed == Speed::Full ? 64 : speed == Speed::High ? 512 : 1024;
                section = "5.8.3";
                break;
            case EndpointType::Interrupt:
                limit = speed == Speed::Low ? 8 : speed == Speed::Full ? 64 : 1024;
                section = "5.7.3";
                break;
            case EndpointType::Isochronous:
                limit = speed == Speed::Full ? 1023 : 1024;
                section = "5.6.3";
                break;
            case EndpointType::Control:
                limit = speed == Speed::Low ? 8 : speed == Speed::Full ? 64 : speed == Speed::High ? 64 : 512;
                section = "5.5.3";
                break;
            }
            if (ep.MaxPacketSize > limit) {
                throw DescriptorError(ep.Offset, what + ": wMaxPacketSize " + std::to_string(ep.MaxPacketSize) +
                                                     " is above the " + std::to_string(limit) + " bytes of " +
                                                     SpeedName(speed) + " speed (USB 2.0, " + section + ")");
            }
        }
    }
}

void CheckStringDescriptor(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 2) {
        throw DescriptorError(0, "string descriptor shorter than 2 bytes");
    }
    if (bytes[0] != bytes.size()) {
        throw DescriptorError(0, "bLength " + std::to_string(bytes[0]) + " but " + std::to_string(bytes.size()) +
                                     " bytes given");
    }
    if (bytes[1] != 0x03) {
        throw DescriptorError(0, "type " + std::to_string(bytes[1]) + " is not a string (3)");
    }
    if ((bytes.size() % 2) != 0) {
        throw DescriptorError(0, "odd length " + std::to_string(bytes.size()));
    }
}

}  // namespace vextora::usb
