// A small reader of PE images (the format of vextora.sys), enough to check
// how the kernel image was linked: header fields, sections, base relocations
// and the import table. Every offset is bounds-checked; a malformed file
// yields an error message instead of a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe {

struct Import {
    std::string Dll;
    std::string Name;     // empty when imported by ordinal
    uint32_t Ordinal = 0; // set when imported by ordinal
};

struct Section {
    std::string Name;
    uint32_t VirtualAddress = 0;
    uint32_t VirtualSize = 0;
    uint32_t RawOffset = 0;
    uint32_t RawSize = 0;
    uint32_t Characteristics = 0;
};

struct Image {
    uint16_t Machine = 0;
    uint16_t Characteristics = 0;
    bool Pe32Plus = false;
    uint16_t Subsystem = 0;
    uint16_t DllCharacteristics = 0;
    uint32_t EntryPoint = 0;
    uint32_t RelocationDirectorySize = 0;
    uint32_t TlsDirectorySize = 0;
    uint32_t ExportDirectorySize = 0;
    std::vector<Section> Sections;
    std::vector<Import> Imports;
};

// Parses Bytes; on failure returns nothing and describes why in Error.
std::optional<Image> Parse(const std::vector<uint8_t> &Bytes, std::string *Error);
std::optional<Image> ParseFile(const std::string &Path, std::string *Error);

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kSubsystemNative = 1;

}  // namespace pe
