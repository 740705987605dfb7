// The loader on vextora.sys for x64 as it is shipped: mapped with the
// protections its sections ask for, and every way of being foreign or
// corrupt refused before anything runs, saying what and where.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sim/image/KernelImage.h"
#include "sim/rig/VextoraNames.h"

namespace {


std::vector<uint8_t> ImageBytes()
{
    std::ifstream file(VEXTORA_IMAGE, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

uint32_t U32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    Put16(b, at, static_cast<uint16_t>(v));
    Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// Where the headers the mutations below change sit in the file.
struct Layout {
    size_t FileHeader;
    size_t Optional;
    size_t Sections;
    size_t Text;      // the .text section header
    size_t Relocations;  // the first base relocation block
};

Layout Locate(const std::vector<uint8_t> &b)
{
    Layout l{};
    l.FileHeader = U32(b, 0x3C) + 4;
    l.Optional = l.FileHeader + 20;
    l.Sections = l.Optional + (b[l.FileHeader + 16] | b[l.FileHeader + 17] << 8);
    const size_t count = b[l.FileHeader + 2] | b[l.FileHeader + 3] << 8;
    for (size_t at = l.Sections; at < l.Sections + 40 * count; at += 40) {
        if (std::memcmp(&b[at], ".text\0", 6) == 0)
            l.Text = at;
        if (std::memcmp(&b[at], ".reloc\0", 7) == 0)
            l.Relocations = U32(b, at + 20);
    }
    return l;
}

void Rename(std::vector<uint8_t> &b, const std::string &from, const std::string &to)
{
    ASSERT_EQ(from.size(), to.size());
    const std::string needle = from + '\0';
    auto at = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    ASSERT_NE(at, b.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

// The process's mappings inside [Base, Base + Size): offset range and
// permissions ("r-xp"), as the kernel lists them.
struct Mapping {
    size_t Start, End;
    std::string Perms;
};
std::vector<Mapping> Mappings(const void *Base, size_t Size)
{
    std::ifstream maps("/proc/self/maps");
    std::vector<Mapping> found;
    const auto lo = reinterpret_cast<uintptr_t>(Base);
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && start >= lo && end <= lo + Size)
            found.push_back({start - lo, end - lo, perms});
    }
    return found;
}
std::string PermsAt(const std::vector<Mapping> &Maps, size_t Offset)
{
    for (const Mapping &m : Maps)
        if (Offset >= m.Start && Offset < m.End)
            return m.Perms;
    return "unmapped";
}

TEST(KernelImageLoader, MapsTheImageWithItsSectionsProtectionsAndNamesPlacesInIt)
{
    std::string error;
    auto image = sim::image::ImageFile::Open(VEXTORA_IMAGE, &error);
    ASSERT_TRUE(image) << error;
    const void *base = nullptr;
    size_t size = 0;
    {
        sim::Machine machine;
        sim::ThreadScope scope(machine);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT driver =
            sim::image::LoadDriver(machine, *image, vx::kVextoraDriverName, vx::kVextoraServiceKey, &status, &error);
        ASSERT_NE(driver, nullptr) << error << " status " << status;
        base = driver->DriverStart;
        size = driver->DriverSize;
        EXPECT_EQ(size, image->Headers().SizeOfImage);
        EXPECT_NE(driver->MajorFunction[IRP_MJ_PNP], nullptr);
        EXPECT_TRUE(machine.InImage(reinterpret_cast<const void *>(driver->MajorFunction[IRP_MJ_PNP])));

        // The headers and read-only data read-only, code readable and
        // executable, data writable, nothing both.
        const std::vector<Mapping> maps = Mappings(base, size);
        EXPECT_EQ(PermsAt(maps, 0), "r--p");
        for (const pe::Section &section : image->Headers().Sections) {
            const bool x = section.Characteristics & pe::kSectionExecute;
            const bool w = section.Characteristics & pe::kSectionWrite;
            EXPECT_EQ(PermsAt(maps, section.VirtualAddress), x ? "r-xp" : w ? "rw-p" : "r--p") << section.Name;
        }
        for (const Mapping &m : maps)
            EXPECT_EQ(m.Perms.find("wx"), std::string::npos) << m.Start;

        const uint32_t entry = image->Headers().EntryPoint;
        std::ostringstream name;
        name << "vextora.sys+0x" << std::hex << entry << " (DriverEntry+0x0)";
        EXPECT_EQ(machine.DescribeImageAddress(static_cast<const uint8_t *>(base) + entry), name.str());

        machine.UnloadDriver(driver);
        EXPECT_EQ(machine.ReportText(), "");
    }
    EXPECT_TRUE(Mappings(base, size).empty()) << "the image outlived its machine";
}

// Names come from the debug file only when it is the image's own: one that
// is missing or from another build leaves the place unnamed.
TEST(KernelImageLoader, NamesComeOnlyFromTheImagesOwnDebugFile)
{
    const std::filesystem::path shipped(VEXTORA_IMAGE);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vx-debuglink-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(shipped, dir / "vextora.sys", std::filesystem::copy_options::overwrite_existing);
    for (const char *debug : {"missing", "other build"}) {
        std::filesystem::remove(dir / "vextora.sys.debug");
        if (std::string(debug) == "other build") {
            std::filesystem::path theirs = shipped;
            std::filesystem::copy_file(theirs += ".debug", dir / "vextora.sys.debug");
            std::fstream f(dir / "vextora.sys.debug", std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(-1, std::ios::end);
            f.put('\x55');
        }
        std::string error;
        auto image = sim::image::ImageFile::Open(dir / "vextora.sys", &error);
        ASSERT_TRUE(image) << error;
        EXPECT_TRUE(image->Headers().Functions.empty()) << debug;
    }
    std::filesystem::remove_all(dir);
}

TEST(KernelImageLoader, RefusesForeignAndCorruptImagesSayingWhatAndWhere)
{
    const std::vector<uint8_t> good = ImageBytes();
    ASSERT_GT(good.size(), 4096u) << VEXTORA_IMAGE;
    const Layout l = Locate(good);
    ASSERT_NE(l.Text, 0u);
    ASSERT_NE(l.Relocations, 0u);
    std::string error;
    const auto headers = pe::Parse(good, &error);
    ASSERT_TRUE(headers) << error;
    std::ostringstream relocationDirectory;
    relocationDirectory << std::hex << headers->Directories[pe::kDirectoryRelocation].Rva;
    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> mutate;
        std::string message;
    } cases[] = {
        {"x86", [&](auto &b) { Put16(b, l.FileHeader, 0x014C); }, "an x86 image (machine 0x014c in the file header)"},
        {"arm64", [&](auto &b) { Put16(b, l.FileHeader, 0xAA64); }, "machine 0xaa64 in the file header is not x64"},
        {"windows subsystem", [&](auto &b) { Put16(b, l.Optional + 68, 2); }, "subsystem 2 in the optional header"},
        {"relocations stripped", [&](auto &b) { b[l.FileHeader + 18] |= 1; }, "no base relocations"},
        {"relocation block size",
         [&](auto &b) { Put32(b, l.Relocations + 4, 0x7FFE); },
         "the base relocation block at RVA 0x" + relocationDirectory.str() + " gives its size as 0x7ffe"},
        {"relocation type", [&](auto &b) { Put16(b, l.Relocations + 8, 0x3000); }, "has type 3: only 64-bit (DIR64)"},
        {"relocation target", [&](auto &b) { Put32(b, l.Relocations, 0x7FFF0000); }, "targets RVA 0x7fff0000"},
        {"writable code",
         [&](auto &b) { b[l.Text + 39] |= 0x80; },
         "section .text at RVA 0x1000 is both writable and executable"},
        {"entry point", [&](auto &b) { Put32(b, l.Optional + 16, 0x0FFF0); }, "the entry point at RVA 0xfff0"},
        {"section data", [&](auto &b) { Put32(b, l.Text + 20, 0x7FFFFF00); }, "section .text runs off the file"},
        {"cut short", [&](auto &b) { b.resize(l.Sections + 20); }, "section table runs off the file"},
        {"PE header", [&](auto &b) { Put32(b, 0x3C, 0xFFFFF0); }, "no PE signature"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bytes = good;
        c.mutate(bytes);
        std::string error;
        EXPECT_FALSE(sim::image::ImageFile::FromBytes(std::move(bytes), "vextora.sys", &error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.rfind("vextora.sys: ", 0), 0u) << c.what << ": " << error;
    }
}

TEST(KernelImageLoader, NamesEveryImportTheSimulatorDoesNotProvide)
{
    std::vector<uint8_t> bytes = ImageBytes();
    Rename(bytes, "KeSetEvent", "KeSetEvenX");
    Rename(bytes, "WmiSystemControl", "WmiSystemContrl_");
    Rename(bytes, "USBD.SYS", "USBX.SYS");
    std::string error;
    EXPECT_FALSE(sim::image::ImageFile::FromBytes(std::move(bytes), "vextora.sys", &error));
    EXPECT_NE(error.find("4 imports the simulator does not provide: "), std::string::npos) << error;
    for (const char *name :
         {"ntoskrnl.exe!KeSetEvenX", "USBX.SYS!USBD_CreateConfigurationRequestEx (no such module)",
          "USBX.SYS!USBD_ParseConfigurationDescriptorEx (no such module)", "WMILIB.SYS!WmiSystemContrl_"})
        EXPECT_NE(error.find(name), std::string::npos) << name << " in: " << error;
}

}  // namespace
