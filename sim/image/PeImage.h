// A small reader of PE images (the format of vextora.sys): header fields,
// sections, data directories, the import table and the COFF symbol table.
// Enough to check how a kernel image was linked and, for the loader beside
// it, to map one. Every offset is bounds-checked; a malformed file yields an
// error message instead of a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe {

struct Import {
    std::string Dll;
    std::string Name;      // empty when imported by ordinal
    uint32_t Ordinal = 0;  // set when imported by ordinal
    uint32_t SlotRva = 0;  // its entry in the import address table
};

struct Directory {
    uint32_t Rva = 0;
    uint32_t Size = 0;
};

// A function of the COFF symbol table (of an unstripped image, or of the
// debug file a stripped one links to): its name as linked, mangled for C++.
struct Symbol {
    std::string Name;
    uint32_t Rva = 0;
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
    uint64_t ImageBase = 0;
    uint32_t SectionAlignment = 0;
    uint32_t SizeOfImage = 0;
    uint32_t SizeOfHeaders = 0;
    uint32_t RelocationDirectorySize = 0;
    uint32_t TlsDirectorySize = 0;
    uint32_t ExportDirectorySize = 0;
    Directory Directories[16];
    std::vector<Section> Sections;
    std::vector<Import> Imports;
    std::vector<Symbol> Functions;  // sorted by Rva; empty without a symbol table
};

// DebugFile: the file objcopy --only-keep-debug writes, whose headers and
// symbol table are the image's but whose sections other than the debug
// ones hold no data; its imports are not read.
enum class Contents { Image, DebugFile };

// Parses Bytes; on failure returns nothing and describes why in Error.
std::optional<Image> Parse(const std::vector<uint8_t> &Bytes, std::string *Error, Contents What = Contents::Image);
std::optional<Image> ParseFile(const std::string &Path, std::string *Error);

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kSubsystemNative = 1;
constexpr unsigned kDirectoryImport = 1;
constexpr unsigned kDirectoryException = 3;
constexpr unsigned kDirectoryRelocation = 5;
constexpr unsigned kDirectoryTls = 9;
constexpr unsigned kDirectoryLoadConfig = 10;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kSectionUninitializedData = 0x00000080;

// The file offset of an RVA, through the section whose raw data holds it.
std::optional<uint64_t> OffsetOf(const Image &Image, uint32_t Rva);

}  // namespace pe
