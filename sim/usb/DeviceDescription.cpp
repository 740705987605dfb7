#include "sim/usb/DeviceDescription.h"

#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/usb/Models.h"

namespace vextora::usb {

namespace {

using nlohmann::json;

[[noreturn]] void Refuse(const std::string &origin, const std::string &field, const std::string &why)
{
    throw DescriptionError(origin + ": field '" + field + "': " + why);
}

std::vector<uint8_t> Hex(const json &doc, const std::string &origin, const std::string &field, const json &value)
{
    (void)doc;
    if (!value.is_string()) {
        Refuse(origin, field, "not a string of hex digits");
    }
    const std::string &s = value.get_ref<const std::string &>();
    if (s.size() % 2 != 0) {
        Refuse(origin, field, "odd number of hex digits (" + std::to_string(s.size()) + ")");
    }
    std::vector<uint8_t> out;
    out.reserve(s.size() / 2);
    auto digit = [&](size_t i) -> int {
        const char c = s[i];
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        Refuse(origin, field, "character " + std::to_string(i) + " is not a hex digit");
    };
    for (size_t i = 0; i < s.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(digit(i) << 4 | digit(i + 1)));
    }
    return out;
}

}  // namespace

DeviceDescription ParseDeviceDescription(const std::string &text, const std::string &origin)
{
    // JSON lets a key appear twice and the parser keeps the last one; two
    // strings under one index are a mistake in the file, so every object's
    // keys are checked as they are read.
    std::vector<std::set<std::string>> keys;
    std::string duplicate;
    json::parser_callback_t noteKeys = [&](int, json::parse_event_t event, json &parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end && !keys.empty()) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.empty() && duplicate.empty() &&
                   !keys.back().insert(parsed.get<std::string>()).second) {
            duplicate = parsed.get<std::string>();
        }
        return true;
    };
    json doc;
    try {
        doc = json::parse(text, noteKeys);
    } catch (const json::parse_error &e) {
        throw DescriptionError(origin + ": not valid JSON at byte " + std::to_string(e.byte) + ": " + e.what());
    }
    if (!duplicate.empty()) {
        throw DescriptionError(origin + ": the key '" + duplicate + "' appears twice in one object");
    }
    if (!doc.is_object()) {
        throw DescriptionError(origin + ": the top level is not an object");
    }
    DeviceDescription d;
    auto required = [&](const char *field) -> const json & {
        auto it = doc.find(field);
        if (it == doc.end()) {
            Refuse(origin, field, "missing");
        }
        return *it;
    };

    const json &name = required("name");
    if (!name.is_string()) {
        Refuse(origin, "name", "not a string");
    }
    d.Descriptors.Name = name.get<std::string>();

    const json &speed = required("speed");
    const std::string sp = speed.is_string() ? speed.get<std::string>() : std::string();
    if (sp == "low") {
        d.Descriptors.DeviceSpeed = Speed::Low;
    } else if (sp == "full") {
        d.Descriptors.DeviceSpeed = Speed::Full;
    } else if (sp == "high") {
        d.Descriptors.DeviceSpeed = Speed::High;
    } else if (sp == "super") {
        d.Descriptors.DeviceSpeed = Speed::Super;
    } else {
        Refuse(origin, "speed", "must be \"low\", \"full\", \"high\" or \"super\"");
    }

    d.Descriptors.Device = Hex(doc, origin, "device", required("device"));
    try {
        CheckDeviceDescriptorForSpeed(d.Descriptors.Device, d.Descriptors.DeviceSpeed);
    } catch (const DescriptorError &e) {
        Refuse(origin, "device", e.what());
    }

    d.Descriptors.Configuration = Hex(doc, origin, "configuration", required("configuration"));
    try {
        CheckConfigurationForSpeed(ParseConfiguration(d.Descriptors.Configuration), d.Descriptors.DeviceSpeed);
    } catch (const DescriptorError &e) {
        Refuse(origin, "configuration", e.what());
    }

    const json &strings = required("strings");
    if (!strings.is_object()) {
        Refuse(origin, "strings", "not an object");
    }
    for (const auto &[key, value] : strings.items()) {
        const std::string field = "strings." + key;
        // Plain decimal only: " 1", "+2" or "01" would each name index 1 or
        // 2 beside another spelling of it.
        unsigned index = 0;
        bool plain = !key.empty() && key.size() <= 3 && (key == "0" || key[0] != '0');
        for (char c : key) {
            plain = plain && c >= '0' && c <= '9';
            index = index * 10 + static_cast<unsigned>(c - '0');
        }
        if (!plain || index > 255) {
            Refuse(origin, field, "the key is not a string index from 0 to 255 in plain decimal");
        }
        std::vector<uint8_t> bytes = Hex(doc, origin, field, value);
        try {
            CheckStringDescriptor(bytes);
        } catch (const DescriptorError &e) {
            Refuse(origin, field, e.what());
        }
        if (index == 0 && bytes.size() < 4) {
            Refuse(origin, field, "the LANGID list names no language");
        }
        d.Descriptors.Strings[static_cast<uint8_t>(index)] = std::move(bytes);
    }

    if (auto it = doc.find("model"); it != doc.end()) {
        if (!it->is_string() || (*it != "loopback" && *it != "source-sink")) {
            Refuse(origin, "model", "must be \"loopback\" or \"source-sink\"");
        }
        d.Model = it->get<std::string>();
    }
    return d;
}

DeviceDescription LoadDeviceDescription(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw DescriptionError(path.string() + ": cannot be opened");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseDeviceDescription(text.str(), path.string());
}

std::unique_ptr<DeviceModel> MakeModel(const DeviceDescription &description)
{
    return MakeModel(description.Model, description.Descriptors);
}

}  // namespace vextora::usb
