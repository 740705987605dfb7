// vxsim capture over sysfs trees built from the repository's real devices:
// what Linux would show of each, read back into a description file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <sstream>
#include <unistd.h>

#include "sim/usb/DeviceDescription.h"
#include "tools/common/DescriptorText.h"
#include "tools/vxsim/Capture.h"

namespace {

std::vector<uint8_t> Bytes(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void Put(const std::filesystem::path &file, const std::string &text)
{
    std::ofstream(file, std::ios::binary) << text;
}

// The folder Linux makes for the device: its descriptors, speed, the
// selected configuration (the first) and the strings it names, as text.
// Returns the string indices it shows.
std::set<unsigned> MakeSysfs(const std::filesystem::path &dir, const nlohmann::json &description)
{
    std::filesystem::create_directories(dir);
    const auto device = Bytes(description["device"]);
    const auto config = Bytes(description["configuration"]);
    std::string raw(device.begin(), device.end());
    raw.append(config.begin(), config.end());
    Put(dir / "descriptors", raw);
    const std::string speed = description["speed"];
    Put(dir / "speed", (speed == "low"    ? "1.5"
                        : speed == "full" ? "12"
                        : speed == "high" ? "480"
                                          : "5000") +
                           std::string("\n"));
    Put(dir / "bConfigurationValue", std::to_string(config[5]) + "\n");
    std::set<unsigned> shown;
    auto text = [&](unsigned index, const std::filesystem::path &file) {
        const std::string key = std::to_string(index);
        if (index == 0 || !description["strings"].contains(key))
            return;
        const auto bytes = Bytes(description["strings"][key]);
        Put(file, vx::Utf16LeToUtf8(std::span(bytes).subspan(2)) + "\n");
        shown.insert(index);
    };
    text(device[14], dir / "manufacturer");
    text(device[15], dir / "product");
    text(device[16], dir / "serial");
    text(config[6], dir / "configuration");
    for (size_t off = 0; off + 9 <= config.size(); off += config[off]) {
        if (config[off + 1] != 4 || config[off + 3] != 0)
            continue;
        char name[32];
        std::snprintf(name, sizeof name, ":%u.%u", config[5], config[off + 2]);
        const auto folder = dir / (dir.filename().string() + name);
        std::filesystem::create_directories(folder);
        std::snprintf(name, sizeof name, "%02x\n", config[off + 2]);
        Put(folder / "bInterfaceNumber", name);
        Put(folder / "bAlternateSetting", " 0\n");
        text(config[off + 8], folder / "interface");
    }
    return shown;
}

TEST(Capture, EveryRealDeviceComesBackFromItsSysfsFolder)
{
    const auto root =
        std::filesystem::temp_directory_path() / ("vxsim-capture-" + std::to_string(::getpid()));
    int devices = 0;
    for (const auto &entry : std::filesystem::directory_iterator(VEXTORA_DEVICES_DIR)) {
        if (entry.path().extension() != ".json")
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++devices;
        std::ifstream in(entry.path());
        const auto original = nlohmann::json::parse(in);
        const auto dir = root / ("1-" + std::to_string(devices));
        const std::set<unsigned> shown = MakeSysfs(dir, original);

        std::ostringstream out, err;
        ASSERT_EQ(vx::Capture(dir, out, err), 0) << err.str();
        const auto captured = nlohmann::json::parse(out.str());
        EXPECT_EQ(captured["speed"], original["speed"]);
        EXPECT_EQ(captured["device"], original["device"]);
        EXPECT_EQ(captured["configuration"], original["configuration"]);
        for (unsigned index : shown)
            EXPECT_EQ(captured["strings"][std::to_string(index)], original["strings"][std::to_string(index)])
                << index;
        EXPECT_EQ(captured["strings"].size(), shown.empty() ? 0u : shown.size() + 1);
        if (!shown.empty()) {
            EXPECT_EQ(captured["strings"]["0"], "04030904");
        }
    }
    EXPECT_EQ(devices, 14);
    std::filesystem::remove_all(root);
}

TEST(Capture, AFolderThatIsNoUsbDeviceIsRefused)
{
    const auto dir =
        std::filesystem::temp_directory_path() / ("vxsim-capture-bad-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ostringstream out, err;
    EXPECT_EQ(vx::Capture(dir, out, err), 2);
    EXPECT_NE(err.str().find("no 'descriptors' file"), std::string::npos) << err.str();
    Put(dir / "descriptors", std::string("\x12\x01\x00\x02", 4));
    EXPECT_EQ(vx::Capture(dir, out, err), 2);
    EXPECT_NE(err.str().find("18-byte device descriptor"), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().empty());
    std::filesystem::remove_all(dir);
}

} // namespace
