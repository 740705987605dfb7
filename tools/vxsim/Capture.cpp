#include "tools/vxsim/Capture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/usb/DeviceDescription.h"

namespace vx {
namespace {

std::optional<std::string> ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// An attribute's text without the newline sysfs ends it with.
std::optional<std::string> Attribute(const std::filesystem::path &path)
{
    auto text = ReadFile(path);
    if (text && !text->empty() && text->back() == '\n')
        text->pop_back();
    return text;
}

std::string Hex(const std::string &bytes)
{
    std::string out;
    char pair[3];
    for (unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

// The code points of UTF-8 text; a malformed sequence gives U+FFFD.
std::vector<uint32_t> CodePoints(const std::string &utf8)
{
    std::vector<uint32_t> out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        uint32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = length != 0 && i + length <= utf8.size();
        for (size_t k = 1; ok && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            ok = (next >> 6) == 0x2;
            c = (c << 6) | (next & 0x3F);
        }
        ok = ok && c <= 0x10FFFF && !(c >= 0xD800 && c < 0xE000);
        out.push_back(ok ? c : 0xFFFD);
        i += ok ? length : 1;
    }
    return out;
}

// Which index the string of `attribute` has: device descriptor fields,
// iConfiguration of the selected configuration, iInterface of an interface.
struct Named {
    uint8_t index;
    std::string text;
    std::string from;  // the attribute, for the notes
};

}  // namespace

std::string StringDescriptorHex(const std::string &utf8)
{
    std::string units;
    for (uint32_t c : CodePoints(utf8)) {
        std::vector<uint16_t> pieces;
        if (c >= 0x10000)
            pieces = {static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)),
                      static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
        else
            pieces = {static_cast<uint16_t>(c)};
        // bLength is one byte: at most 126 UTF-16 code units fit.
        if (units.size() / 2 + pieces.size() > 126)
            break;
        for (uint16_t u : pieces) {
            units += static_cast<char>(u & 0xFF);
            units += static_cast<char>(u >> 8);
        }
    }
    return Hex(std::string{static_cast<char>(2 + units.size()), 0x03} + units);
}

std::string CaptureDescription(const std::filesystem::path &dir)
{
    const std::string where = dir.string();
    auto raw = ReadFile(dir / "descriptors");
    if (!raw)
        throw std::runtime_error(where + ": no 'descriptors' file (is it a USB device folder such as "
                                         "/sys/bus/usb/devices/1-2?)");
    if (raw->size() < 18 || (*raw)[0] != 18 || (*raw)[1] != 1)
        throw std::runtime_error(where + "/descriptors: does not start with an 18-byte device descriptor");
    const std::string device = raw->substr(0, 18);
    if (raw->size() < 18 + 9)
        throw std::runtime_error(where + "/descriptors: the device descriptor is followed by no configuration");
    const auto total = static_cast<size_t>(static_cast<uint8_t>((*raw)[20]) | static_cast<uint8_t>((*raw)[21]) << 8);
    if (18 + total > raw->size())
        throw std::runtime_error(where + "/descriptors: the first configuration's wTotalLength " +
                                 std::to_string(total) + " runs past the " + std::to_string(raw->size() - 18) +
                                 " bytes after the device descriptor");
    const std::string configuration = raw->substr(18, total);

    std::string speed = "full";
    if (auto text = Attribute(dir / "speed")) {
        const double mbps = std::atof(text->c_str());
        speed = mbps < 10 ? "low" : mbps < 100 ? "full" : mbps < 1000 ? "high" : "super";
    } else {
        throw std::runtime_error(where + ": no 'speed' file");
    }

    std::vector<Named> strings;
    std::vector<std::string> notes;
    auto name = [&](uint8_t index, const std::filesystem::path &file, const std::string &what) {
        auto text = Attribute(file);
        if (index == 0)
            return;
        if (!text) {
            notes.push_back("string " + std::to_string(index) + " (" + what + ") is not in sysfs");
            return;
        }
        for (const auto &s : strings)
            if (s.index == index)
                return;
        strings.push_back({index, *text, what});
    };
    name(static_cast<uint8_t>(device[14]), dir / "manufacturer", "iManufacturer");
    name(static_cast<uint8_t>(device[15]), dir / "product", "iProduct");
    name(static_cast<uint8_t>(device[16]), dir / "serial", "iSerialNumber");

    // The configuration and interface strings sysfs shows are those of the
    // selected configuration only: they are this file's when it is the
    // first one.
    const auto value = Attribute(dir / "bConfigurationValue");
    const bool selected =
        value && !value->empty() && std::atoi(value->c_str()) == static_cast<uint8_t>(configuration[5]);
    if (selected) {
        name(static_cast<uint8_t>(configuration[6]), dir / "configuration", "iConfiguration");
        const std::string prefix = dir.filename().string() + ":" + *value + ".";
        std::map<std::pair<int, int>, std::filesystem::path> interfaces;
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
            const std::string folder = entry.path().filename().string();
            if (folder.rfind(prefix, 0) != 0)
                continue;
            auto number = Attribute(entry.path() / "bInterfaceNumber");
            auto alternate = Attribute(entry.path() / "bAlternateSetting");
            if (number && alternate)
                interfaces[{std::stoi(*number, nullptr, 16), std::atoi(alternate->c_str())}] = entry.path();
        }
        for (size_t off = 0; off + 9 <= configuration.size() && configuration[off] != 0;
             off += static_cast<uint8_t>(configuration[off])) {
            if (configuration[off + 1] != 4)
                continue;
            auto it = interfaces.find(
                {static_cast<uint8_t>(configuration[off + 2]), static_cast<uint8_t>(configuration[off + 3])});
            if (it != interfaces.end())
                name(static_cast<uint8_t>(configuration[off + 8]), it->second / "interface", "iInterface");
        }
    } else {
        notes.push_back("the first configuration is not the selected one: its configuration and interface "
                        "strings are not in sysfs");
    }

    nlohmann::ordered_json j;
    const std::string folder = dir.filename().string();
    std::string label = folder;
    for (const auto &s : strings)
        if (s.from == "iProduct")
            label = s.text;
    j["name"] = label;
    j["source"] = "sysfs " + std::filesystem::absolute(dir).lexically_normal().string() + " (vxsim capture)";
    j["speed"] = speed;
    j["device"] = Hex(device);
    j["configuration"] = Hex(configuration);
    nlohmann::ordered_json texts = nlohmann::ordered_json::object();
    if (!strings.empty()) {
        texts["0"] = "04030904";
        notes.push_back("sysfs holds no LANGID list: string 0 lists US English (0x0409)");
    }
    std::sort(strings.begin(), strings.end(), [](const Named &a, const Named &b) { return a.index < b.index; });
    for (const auto &s : strings)
        texts[std::to_string(s.index)] = StringDescriptorHex(s.text);
    j["strings"] = texts;
    std::string joined;
    for (const auto &n : notes)
        joined += (joined.empty() ? "" : "; ") + n;
    j["notes"] = joined;
    return j.dump(2) + "\n";
}

int Capture(const std::filesystem::path &dir, std::ostream &out, std::ostream &err)
{
    std::string text;
    try {
        text = CaptureDescription(dir);
    } catch (const std::exception &e) {
        err << "vxsim capture: " << e.what() << "\n";
        return 2;
    }
    out << text;
    try {
        (void)vextora::usb::ParseDeviceDescription(text, dir.string());
    } catch (const std::exception &e) {
        err << "vxsim capture: written, but the simulator refuses the device: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace vx
