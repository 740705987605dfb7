#include "sim/usb/DeviceModel.h"

#include <algorithm>
#include <cstring>

namespace vextora::usb {

namespace {
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0a;
constexpr uint8_t kSetInterface = 0x0b;
constexpr uint16_t kEndpointHalt = 0;
constexpr uint16_t kDeviceRemoteWakeup = 1;
}  // namespace

DeviceModel::DeviceModel(DeviceDescriptors descriptors) : descriptors_(std::move(descriptors))
{
    CheckDeviceDescriptorForSpeed(descriptors_.Device, descriptors_.DeviceSpeed);
    config_ = ParseConfiguration(descriptors_.Configuration);
    CheckConfigurationForSpeed(config_, descriptors_.DeviceSpeed);
    for (const auto &[index, bytes] : descriptors_.Strings) {
        (void)index;
        CheckStringDescriptor(bytes);
    }
}

void DeviceModel::OnPortReset()
{
    // A bus reset returns the device to the Default state (USB 2.0, 9.1.1.3).
    halted_.clear();
    remoteWakeEnabled_ = false;
    configValue_ = 0;
}

Result DeviceModel::Answer(std::span<const uint8_t> source, std::span<uint8_t> data)
{
    const size_t n = std::min(source.size(), data.size());
    std::copy_n(source.begin(), n, data.begin());
    return Result::Ok(static_cast<uint32_t>(n));
}

Result DeviceModel::Control(const SetupPacket &setup, std::span<uint8_t> data)
{
    setupLog_.push_back(setup);
    if (data.size() > setup.Length) {
        data = data.first(setup.Length);
    }
    Result intercepted;
    if (Intercept(setup, data, intercepted)) {
        return intercepted;
    }
    if (setup.Type() == 0) {
        return Standard(setup, data);
    }
    return ClassOrVendor(setup, data);
}

Result DeviceModel::ClassOrVendor(const SetupPacket &, std::span<uint8_t>) { return Result::Stalled(); }

Result DeviceModel::Standard(const SetupPacket &setup, std::span<uint8_t> data)
{
    const uint8_t recipient = setup.Recipient();
    switch (setup.Request) {
    case kGetDescriptor: {
        if (!setup.IsIn() || recipient != 0) {
            return Result::Stalled();
        }
        const uint8_t type = static_cast<uint8_t>(setup.Value >> 8);
        const uint8_t index = static_cast<uint8_t>(setup.Value);
        if (type == 0x01 && index == 0) {
            return Answer(descriptors_.Device, data);
        }
        if (type == 0x02 && index == 0) {
            return Answer(descriptors_.Configuration, data);
        }
        if (type == 0x03) {
            auto it = descriptors_.Strings.find(index);
            if (it == descriptors_.Strings.end()) {
                return Result::Stalled();
            }
            // Strings are served only in a language the device lists in
            // string 0 (USB 2.0, 9.6.7). A device without string 0 has no
            // list to check against: like the many real devices that have
            // none, it answers whatever language is asked for.
            auto langs = descriptors_.Strings.find(0);
            if (index != 0 && langs != descriptors_.Strings.end()) {
                bool listed = false;
                const auto &l = langs->second;
                for (size_t i = 2; i + 1 < l.size(); i += 2) {
                    listed = listed || Le16(&l[i]) == setup.Index;
                }
                if (!listed) {
                    return Result::Stalled();
                }
            }
            return Answer(it->second, data);
        }
        return Result::Stalled();
    }
    case kSetConfiguration: {
        const uint8_t value = static_cast<uint8_t>(setup.Value);
        if (recipient != 0 || (value != 0 && value != config_.Value)) {
            return Result::Stalled();
        }
        configValue_ = value;
        halted_.clear();
        OnConfigured(value);
        return Result::Ok(0);
    }
    case kGetConfiguration: {
        const uint8_t value = configValue_;
        return Answer(std::span<const uint8_t>(&value, 1), data);
    }
    case kGetInterface: {
        const uint8_t alt = 0;
        return Answer(std::span<const uint8_t>(&alt, 1), data);
    }
    case kSetInterface:
        if (!config_.Find(static_cast<uint8_t>(setup.Index), static_cast<uint8_t>(setup.Value))) {
            return Result::Stalled();
        }
        return Result::Ok(0);
    case kGetStatus: {
        uint8_t status[2] = {0, 0};
        if (recipient == 0) {
            status[0] = static_cast<uint8_t>(((config_.Attributes & 0x40) ? 1 : 0) | (remoteWakeEnabled_ ? 2 : 0));
        } else if (recipient == 2) {
            status[0] = IsHalted(static_cast<uint8_t>(setup.Index)) ? 1 : 0;
        }
        return Answer(status, data);
    }
    case kClearFeature:
    case kSetFeature: {
        const bool set = setup.Request == kSetFeature;
        if (recipient == 0 && setup.Value == kDeviceRemoteWakeup) {
            if (set && !config_.RemoteWakeup()) {
                return Result::Stalled();
            }
            remoteWakeEnabled_ = set;
            return Result::Ok(0);
        }
        if (recipient == 2 && setup.Value == kEndpointHalt) {
            const uint8_t ep = static_cast<uint8_t>(setup.Index);
            if (set) {
                Halt(ep);
            } else {
                ClearHalt(ep);
            }
            return Result::Ok(0);
        }
        return Result::Stalled();
    }
    default: return Result::Stalled();
    }
}

Result DeviceModel::Transfer(const EndpointInfo &endpoint, std::span<uint8_t> data)
{
    if (IsHalted(endpoint.Address)) {
        return Result::Stalled();
    }
    Result r = EndpointTransfer(endpoint, data);
    if (r.Kind == Outcome::Stall) {
        Halt(endpoint.Address);
    }
    return r;
}

std::vector<uint8_t> StringDescriptor(const std::string &ascii)
{
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>(2 + 2 * ascii.size()));
    out.push_back(0x03);
    for (char c : ascii) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

}  // namespace vextora::usb
