// Description files of devices: JSON with the descriptors of a device and
// the model that plays it.
//
//   {"name": "...", "speed": "low"|"full"|"high"|"super",
//    "device": "<hex, 18 bytes>", "configuration": "<hex, wTotalLength bytes>",
//    "strings": {"0": "<hex>", "1": "<hex>", ...},
//    "model": "source-sink"|"loopback"}            (model optional)
//
// Unknown fields are ignored.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/usb/DeviceModel.h"

namespace vextora::usb {

struct DeviceDescription {
    DeviceDescriptors Descriptors;
    std::string Model = "source-sink";
};

// A refused description; the message names the file, the field and, for a
// bad descriptor, its offset.
class DescriptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses description text; origin names it in messages. Throws
// DescriptionError, never anything else.
DeviceDescription ParseDeviceDescription(const std::string &text, const std::string &origin);

// Reads and parses a description file. Throws DescriptionError.
DeviceDescription LoadDeviceDescription(const std::filesystem::path &path);

// The model the description asks for, with its descriptors.
std::unique_ptr<DeviceModel> MakeModel(const DeviceDescription &description);

}  // namespace vextora::usb
