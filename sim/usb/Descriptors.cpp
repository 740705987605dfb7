#include "sim/usb/Descriptors.h"

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
        throw DescriptorError(0, "configuration descriptor shorter than 9 bytes (" +
                                     std::to_string(bytes.size()) + ")");
    }
    if (bytes[0] < 9 || bytes[1] != 0x02) {
        throw DescriptorError(0, "not a configuration descriptor (bLength " +
                                     std::to_string(bytes[0]) + ", type " +
                                     std::to_string(bytes[1]) + ")");
    }
    const uint16_t total = Le16(&bytes[2]);
    if (total != bytes.size()) {
        throw DescriptorError(0, "wTotalLength " + std::to_string(total) + " but " +
                                     std::to_string(bytes.size()) + " bytes given");
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
            throw DescriptorError(currentOffset,
                                  "interface declares " + std::to_string(expectedEndpoints) +
                                      " endpoints but " +
                                      std::to_string(current->Endpoints.size()) + " follow");
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
                throw DescriptorError(off, "interface descriptor bLength " + std::to_string(len) +
                                               " is below 9");
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
                throw DescriptorError(off, "endpoint descriptor bLength " + std::to_string(len) +
                                               " is below 7");
            }
            if (!current) {
                throw DescriptorError(off, "endpoint descriptor outside an interface");
            }
            EndpointInfo ep;
            ep.Address = bytes[off + 2];
            ep.Attributes = bytes[off + 3];
            ep.MaxPacketSize = Le16(&bytes[off + 4]) & 0x7ff;
            if (const unsigned extra = (Le16(&bytes[off + 4]) >> 11) & 0x3; extra < 3) {
                ep.Transactions = static_cast<uint8_t>(1 + extra);
            }
            ep.Interval = bytes[off + 6];
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
        throw DescriptorError(0, "device descriptor is " + std::to_string(bytes.size()) +
                                     " bytes, not 18");
    }
    if (bytes[0] != 18 || bytes[1] != 0x01) {
        throw DescriptorError(0, "not a device descriptor (bLength " + std::to_string(bytes[0]) +
                                     ", type " + std::to_string(bytes[1]) + ")");
    }
    const uint8_t mps0 = bytes[7];
    if (mps0 != 8 && mps0 != 16 && mps0 != 32 && mps0 != 64 && mps0 != 9) {
        throw DescriptorError(0, "bMaxPacketSize0 " + std::to_string(mps0) + " is not valid");
    }
}

void CheckStringDescriptor(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 2) {
        throw DescriptorError(0, "string descriptor shorter than 2 bytes");
    }
    if (bytes[0] != bytes.size()) {
        throw DescriptorError(0, "bLength " + std::to_string(bytes[0]) + " but " +
                                     std::to_string(bytes.size()) + " bytes given");
    }
    if (bytes[1] != 0x03) {
        throw DescriptorError(0, "type " + std::to_string(bytes[1]) + " is not a string (3)");
    }
    if ((bytes.size() % 2) != 0) {
        throw DescriptorError(0, "odd length " + std::to_string(bytes.size()));
    }
}

}  // namespace vextora::usb
