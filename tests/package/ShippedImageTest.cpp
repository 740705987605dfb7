// The images the kernel builds ship, vextora.sys in each package and
// vxctl.exe beside it: without DWARF (kept in <image>.debug next to the
// build's image and named by .gnu_debuglink), with a valid checksum, a
// VERSIONINFO resource carrying the project's version and names, and, for
// vxctl.exe, only imports that Windows 2000 has.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "PeImage.h"
#include "PeResources.h"
#include "vextora_version.h"

namespace {

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The PE checksum as the loader computes it: 16-bit one's-complement sum of
// the file with the checksum field taken as 0, plus the file's length.
std::uint32_t PeChecksum(const std::vector<std::uint8_t> &bytes, std::size_t field)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (i == field || i == field + 2) {
            continue;
        }
        sum += bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + bytes.size());
}

// A VERSIONINFO resource: the fixed part and the strings of its first table.
struct VersionInfo {
    std::uint32_t signature = 0;
    std::uint32_t fileMs = 0, fileLs = 0, productMs = 0, productLs = 0;
    std::uint32_t fileType = 0;
    std::map<std::string, std::string> strings;
};

// Reads the nested blocks of a version resource: wLength, wValueLength,
// wType, a UTF-16 key, padding to 4, the value, padding, the children.
class VersionReader {
public:
    explicit VersionReader(const std::vector<std::uint8_t> &bytes) : bytes_(bytes) {}

    VersionInfo Read()
    {
        VersionInfo info;
        Block(0, bytes_.size(), "", &info);
        return info;
    }

private:
    std::uint16_t Word(std::size_t at) const
    {
        if (at + 2 > bytes_.size()) {
            throw std::runtime_error("version resource truncated");
        }
        return static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
    }
    std::uint32_t Dword(std::size_t at) const { return Word(at) | (std::uint32_t{Word(at + 2)} << 16); }
    static std::size_t Align(std::size_t at) { return (at + 3) & ~std::size_t{3}; }
    // An ASCII view of a NUL-terminated UTF-16 string; `end` gets past it.
    std::string Text(std::size_t at, std::size_t limit, std::size_t *end) const
    {
        std::string text;
        for (; at + 2 <= limit; at += 2) {
            const std::uint16_t c = Word(at);
            if (c == 0) {
                *end = at + 2;
                return text;
            }
            text += c < 0x80 ? static_cast<char>(c) : '?';
        }
        throw std::runtime_error("unterminated string in the version resource");
    }

    void Block(std::size_t at, std::size_t limit, const std::string &parent, VersionInfo *info)
    {
        const std::size_t length = Word(at);
        if (length < 6 || at + length > limit) {
            throw std::runtime_error("bad block length in the version resource");
        }
        const std::size_t end = at + length;
        const std::uint16_t valueLength = Word(at + 2);
        const bool text = Word(at + 4) == 1;
        std::size_t afterKey = 0;
        const std::string key = Text(at + 6, end, &afterKey);
        const std::size_t value = Align(afterKey);
        const std::size_t valueBytes = text ? valueLength * 2u : valueLength;
        if (key == "VS_VERSION_INFO" && valueBytes >= 52) {
            info->signature = Dword(value);
            info->fileMs = Dword(value + 8);
            info->fileLs = Dword(value + 12);
            info->productMs = Dword(value + 16);
            info->productLs = Dword(value + 20);
            info->fileType = Dword(value + 36);
        }
        if (parent.size() == 8 && text) {  // a String in a StringTable ("040904B0")
            std::size_t ignored = 0;
            info->strings[key] = valueLength != 0 ? Text(value, end, &ignored) : std::string();
            return;
        }
        for (std::size_t child = Align(value + valueBytes); child + 6 <= end;) {
            const std::size_t childLength = Word(child);
            if (childLength == 0) {
                break;
            }
            Block(child, end, key, info);
            child = Align(child + childLength);
        }
    }

    const std::vector<std::uint8_t> &bytes_;
};

bool RunningInCi()
{
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

struct Shipped {
    const char *label;
    std::filesystem::path image;  // as shipped
    std::filesystem::path debug;  // the build's debug information file
    std::uint16_t machine;
    const char *fileName;
    std::uint32_t fileType;  // VFT_APP 1, VFT_DRV 3
};

void PrintTo(const Shipped &s, std::ostream *os)
{
    *os << s.label;
}

const std::filesystem::path kX86 = std::filesystem::path(VEXTORA_PACKAGE_X86).parent_path();
const std::filesystem::path kX64 = std::filesystem::path(VEXTORA_PACKAGE_X64).parent_path();

class ShippedImage : public testing::TestWithParam<Shipped> {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(GetParam().image)) {
            if (RunningInCi()) {
                FAIL() << GetParam().image << " is missing; the kernel presets must be built before the tests";
            }
            GTEST_SKIP() << GetParam().image << " not built (build the win-x86 and win-x64 presets first)";
        }
        bytes_ = ReadBytes(GetParam().image);
        std::string error;
        auto image = pe::Parse(bytes_, &error);
        ASSERT_TRUE(image.has_value()) << error;
        image_ = *image;
        ASSERT_EQ(image_.Machine, GetParam().machine);
    }

    std::vector<std::uint8_t> bytes_;
    pe::Image image_;
};

TEST_P(ShippedImage, CarriesNoDebugInformationButNamesItsDebugFile)
{
    std::set<std::string> names;
    for (const pe::Section &section : image_.Sections) {
        names.insert(section.Name);
        EXPECT_NE(section.Name.rfind(".debug", 0), 0u) << "DWARF section " << section.Name << " shipped";
    }
    EXPECT_TRUE(names.count(".gnu_debuglink")) << "no .gnu_debuglink";
    // The link names the file beside the build's image, and that file holds
    // the DWARF.
    const std::string text(bytes_.begin(), bytes_.end());
    EXPECT_NE(text.find(GetParam().debug.filename().string() + '\0'), std::string::npos);
    ASSERT_TRUE(std::filesystem::exists(GetParam().debug)) << GetParam().debug;
    const std::vector<std::uint8_t> debug = ReadBytes(GetParam().debug);
    EXPECT_NE(std::string(debug.begin(), debug.end()).find(std::string(".debug_info") + '\0'), std::string::npos)
        << GetParam().debug << " holds no DWARF";

    // Windows checks the checksum of every driver it loads; an image edited
    // after the link must carry a new one.
    std::uint32_t pe = 0;
    std::memcpy(&pe, bytes_.data() + 0x3C, 4);
    const std::size_t field = pe + 24 + 64;
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes_.data() + field, 4);
    EXPECT_EQ(stored, PeChecksum(bytes_, field));
}

TEST_P(ShippedImage, HasTheProjectsVersionResource)
{
    std::optional<std::vector<std::uint8_t>> resource = vxtest::FindResourceById(bytes_, 16, 1);  // RT_VERSION
    ASSERT_TRUE(resource.has_value()) << "no VERSIONINFO";
    const VersionInfo info = VersionReader(*resource).Read();
    EXPECT_EQ(info.signature, 0xFEEF04BDu);
    const std::uint32_t ms = (VEXTORA_VERSION_MAJOR << 16) | VEXTORA_VERSION_MINOR;
    const std::uint32_t ls = (VEXTORA_VERSION_PATCH << 16) | VEXTORA_VERSION_TWEAK;
    EXPECT_EQ(info.fileMs, ms);
    EXPECT_EQ(info.fileLs, ls);
    EXPECT_EQ(info.productMs, ms);
    EXPECT_EQ(info.productLs, ls);
    EXPECT_EQ(info.fileType, GetParam().fileType);
    const std::map<std::string, std::string> wanted = {
        {"CompanyName", "Vextora"},
        {"ProductName", "Vextora"},
        {"FileVersion", VEXTORA_VERSION_QUAD},
        {"ProductVersion", VEXTORA_VERSION_STRING},
        {"OriginalFilename", GetParam().fileName},
    };
    for (const auto &[key, value] : wanted) {
        auto it = info.strings.find(key);
        ASSERT_NE(it, info.strings.end()) << key;
        EXPECT_EQ(it->second, value) << key;
    }
    EXPECT_FALSE(info.strings.count("FileDescription") == 0 || info.strings.at("FileDescription").empty());
}

INSTANTIATE_TEST_SUITE_P(
    KernelBuilds, ShippedImage,
    testing::Values(
        Shipped{"vextora_sys_x86", kX86 / "package/vextora.sys", kX86 / "vextora.sys.debug", 0x014C, "vextora.sys", 3},
        Shipped{"vextora_sys_x64", kX64 / "package/vextora.sys", kX64 / "vextora.sys.debug", 0x8664, "vextora.sys", 3},
        Shipped{"vxctl_x86", kX86 / "vxctl.exe", kX86 / "vxctl.exe.debug", 0x014C, "vxctl.exe", 1},
        Shipped{"vxctl_x64", kX64 / "vxctl.exe", kX64 / "vxctl.exe.debug", 0x8664, "vxctl.exe", 1}),
    [](const testing::TestParamInfo<Shipped> &info) { return std::string(info.param.label); });

// The allow-list: "dll function" or "dll function x64" per line.
std::set<std::string> AllowedImports(bool x64)
{
    std::ifstream in(VEXTORA_VXCTL_IMPORTS);
    std::set<std::string> allowed;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string dll, function, tag;
        if (!(words >> dll >> function) || dll[0] == '#') {
            continue;
        }
        words >> tag;
        if (tag.empty() || (tag == "x64" && x64)) {
            allowed.insert(Lower(dll) + " " + function);
        }
    }
    return allowed;
}

TEST(VxctlImports, AreAllInWindows2000)
{
    ASSERT_GT(AllowedImports(false).size(), 100u) << VEXTORA_VXCTL_IMPORTS;
    for (const auto &[directory, x64] : {std::pair{kX86, false}, std::pair{kX64, true}}) {
        const std::filesystem::path exe = directory / "vxctl.exe";
        SCOPED_TRACE(exe.string());
        if (!std::filesystem::exists(exe)) {
            if (RunningInCi()) {
                ADD_FAILURE() << exe << " is missing";
            }
            continue;
        }
        std::string error;
        auto image = pe::ParseFile(exe.string(), &error);
        ASSERT_TRUE(image.has_value()) << error;
        const std::set<std::string> allowed = AllowedImports(x64);
        for (const pe::Import &import : image->Imports) {
            EXPECT_FALSE(import.Name.empty()) << import.Dll << " imported by ordinal " << import.Ordinal;
            EXPECT_TRUE(allowed.count(Lower(import.Dll) + " " + import.Name))
                << import.Dll << "!" << import.Name << " is not in " << VEXTORA_VXCTL_IMPORTS;
        }
    }
}

}  // namespace
