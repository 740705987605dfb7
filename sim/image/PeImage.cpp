#include "sim/image/PeImage.h"

#include <cctype>
#include <cstdlib>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

class Reader {
public:
    explicit Reader(const std::vector<uint8_t> &Bytes) : bytes_(Bytes) {}

    bool Has(uint64_t Offset, uint64_t Length) const
    {
        return Offset <= bytes_.size() && Length <= bytes_.size() - Offset;
    }
    uint8_t U8(uint64_t Offset) const { return static_cast<uint8_t>(U(Offset, 1)); }
    uint16_t U16(uint64_t Offset) const { return static_cast<uint16_t>(U(Offset, 2)); }
    uint32_t U32(uint64_t Offset) const { return static_cast<uint32_t>(U(Offset, 4)); }
    uint64_t U64(uint64_t Offset) const { return U(Offset, 8); }

    // A NUL-terminated string starting at Offset, or nothing if it runs off
    // the end of the file.
    std::optional<std::string> String(uint64_t Offset) const
    {
        std::string text;
        for (uint64_t at = Offset; at < bytes_.size(); ++at) {
            if (bytes_[at] == 0) {
                return text;
            }
            text.push_back(static_cast<char>(bytes_[at]));
        }
        return std::nullopt;
    }

private:
    // Little-endian; callers check Has() first.
    uint64_t U(uint64_t Offset, unsigned Width) const
    {
        uint64_t value = 0;
        for (unsigned i = 0; i < Width; ++i) {
            value |= static_cast<uint64_t>(bytes_[Offset + i]) << (8 * i);
        }
        return value;
    }

    const std::vector<uint8_t> &bytes_;
};

bool Fail(std::string *Error, const std::string &Why)
{
    *Error = Why;
    return false;
}

bool ReadImports(const Reader &reader, Image &image, uint32_t DirectoryRva, std::string *Error)
{
    if (DirectoryRva == 0) {
        return true;
    }
    const auto directory = OffsetOf(image, DirectoryRva);
    if (!directory) {
        return Fail(Error, "import directory outside every section");
    }
    const unsigned thunkWidth = image.Pe32Plus ? 8 : 4;
    const uint64_t ordinalFlag = image.Pe32Plus ? (1ULL << 63) : (1ULL << 31);
    for (uint64_t entry = *directory;; entry += 20) {
        if (!reader.Has(entry, 20)) {
            return Fail(Error, "import descriptor runs off the file");
        }
        const uint32_t lookupRva = reader.U32(entry);
        const uint32_t nameRva = reader.U32(entry + 12);
        const uint32_t addressRva = reader.U32(entry + 16);
        if (lookupRva == 0 && nameRva == 0 && addressRva == 0) {
            return true;
        }
        const auto nameOffset = OffsetOf(image, nameRva);
        const auto dll = nameOffset ? reader.String(*nameOffset) : std::nullopt;
        if (!dll) {
            return Fail(Error, "import descriptor with an unreadable DLL name");
        }
        const auto thunks = OffsetOf(image, lookupRva != 0 ? lookupRva : addressRva);
        if (!thunks) {
            return Fail(Error, "import lookup table outside every section of " + *dll);
        }
        uint32_t slot = addressRva;
        for (uint64_t thunk = *thunks;; thunk += thunkWidth, slot += thunkWidth) {
            if (!reader.Has(thunk, thunkWidth)) {
                return Fail(Error, "import lookup table of " + *dll + " runs off the file");
            }
            const uint64_t value = image.Pe32Plus ? reader.U64(thunk) : reader.U32(thunk);
            if (value == 0) {
                break;
            }
            Import import;
            import.Dll = *dll;
            import.SlotRva = slot;
            if ((value & ordinalFlag) != 0) {
                import.Ordinal = static_cast<uint32_t>(value & 0xFFFF);
            } else {
                const auto hint = OffsetOf(image, static_cast<uint32_t>(value & 0x7FFFFFFF));
                const auto name = hint ? reader.String(*hint + 2) : std::nullopt;
                if (!name) {
                    return Fail(Error, "unreadable import name in " + *dll);
                }
                import.Name = *name;
            }
            image.Imports.push_back(import);
        }
    }
}

// The functions of the COFF symbol table. The table only names things for
// reports: one that does not read cleanly leaves the list empty.
void ReadFunctions(const Reader &reader, Image &image, uint32_t TableOffset, uint32_t Count)
{
    constexpr uint64_t kEntry = 18;
    const uint64_t strings = TableOffset + kEntry * Count;
    if (TableOffset == 0 || !reader.Has(TableOffset, kEntry * Count) || !reader.Has(strings, 4)) {
        return;
    }
    std::vector<Symbol> found;
    for (uint32_t i = 0; i < Count; ++i) {
        const uint64_t at = TableOffset + kEntry * i;
        const auto section = static_cast<int16_t>(reader.U16(at + 12));
        const uint16_t type = reader.U16(at + 14);
        const uint8_t auxiliary = reader.U8(at + 17);
        if (section >= 1 && static_cast<size_t>(section) <= image.Sections.size() && (type >> 4) == 2) {
            std::optional<std::string> name;
            if (reader.U32(at) == 0) {
                name = reader.String(strings + reader.U32(at + 4));
            } else {
                name = std::string();
                for (unsigned c = 0; c < 8 && reader.U8(at + c) != 0; ++c) {
                    name->push_back(static_cast<char>(reader.U8(at + c)));
                }
            }
            if (!name) {
                return;
            }
            found.push_back({*name, image.Sections[section - 1].VirtualAddress + reader.U32(at + 8)});
        }
        i += auxiliary;
    }
    std::sort(found.begin(), found.end(), [](const Symbol &a, const Symbol &b) { return a.Rva < b.Rva; });
    image.Functions = std::move(found);
}

}  // namespace

std::optional<uint64_t> OffsetOf(const Image &image, uint32_t Rva)
{
    for (const Section &section : image.Sections) {
        const uint32_t extent = std::max(section.VirtualSize, section.RawSize);
        if (Rva >= section.VirtualAddress && Rva - section.VirtualAddress < extent &&
            Rva - section.VirtualAddress < section.RawSize) {
            return static_cast<uint64_t>(section.RawOffset) + (Rva - section.VirtualAddress);
        }
    }
    return std::nullopt;
}

std::optional<Image> Parse(const std::vector<uint8_t> &Bytes, std::string *Error, Contents What)
{
    Reader reader(Bytes);
    if (!reader.Has(0, 0x40) || reader.U16(0) != 0x5A4D) {
        Fail(Error, "no MZ header");
        return std::nullopt;
    }
    const uint32_t peOffset = reader.U32(0x3C);
    if (!reader.Has(peOffset, 24) || reader.U32(peOffset) != 0x00004550) {
        Fail(Error, "no PE signature");
        return std::nullopt;
    }
    Image image;
    const uint64_t fileHeader = peOffset + 4;
    image.Machine = reader.U16(fileHeader);
    const uint16_t sectionCount = reader.U16(fileHeader + 2);
    const uint32_t symbolTable = reader.U32(fileHeader + 8);
    const uint32_t symbolCount = reader.U32(fileHeader + 12);
    const uint16_t optionalSize = reader.U16(fileHeader + 16);
    image.Characteristics = reader.U16(fileHeader + 18);

    const uint64_t optional = fileHeader + 20;
    if (!reader.Has(optional, optionalSize) || optionalSize < 2) {
        Fail(Error, "optional header runs off the file");
        return std::nullopt;
    }
    const uint16_t magic = reader.U16(optional);
    if (magic != 0x10b && magic != 0x20b) {
        Fail(Error, "unknown optional header magic");
        return std::nullopt;
    }
    image.Pe32Plus = magic == 0x20b;
    const uint64_t directoriesAt = optional + (image.Pe32Plus ? 112 : 96);
    if (optionalSize < (directoriesAt - optional) + uint64_t{16} * 8) {
        Fail(Error, "optional header too short for the data directories");
        return std::nullopt;
    }
    image.EntryPoint = reader.U32(optional + 16);
    image.ImageBase = image.Pe32Plus ? reader.U64(optional + 24) : reader.U32(optional + 28);
    image.SectionAlignment = reader.U32(optional + 32);
    image.SizeOfImage = reader.U32(optional + 56);
    image.SizeOfHeaders = reader.U32(optional + 60);
    image.Subsystem = reader.U16(optional + 68);
    image.DllCharacteristics = reader.U16(optional + 70);
    auto directory = [&](unsigned index, uint32_t *size) {
        *size = reader.U32(directoriesAt + uint64_t{8} * index + 4);
        return reader.U32(directoriesAt + uint64_t{8} * index);
    };
    for (unsigned i = 0; i < 16; ++i) {
        image.Directories[i].Rva = directory(i, &image.Directories[i].Size);
    }
    (void)directory(0, &image.ExportDirectorySize);
    uint32_t importSize = 0;
    const uint32_t importRva = directory(1, &importSize);
    (void)directory(5, &image.RelocationDirectorySize);
    (void)directory(9, &image.TlsDirectorySize);

    const uint64_t sections = optional + optionalSize;
    if (!reader.Has(sections, static_cast<uint64_t>(sectionCount) * 40)) {
        Fail(Error, "section table runs off the file");
        return std::nullopt;
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t at = sections + 40ULL * i;
        Section section;
        char name[9] = {};
        std::memcpy(name, Bytes.data() + at, 8);
        section.Name = name;
        // "/N": a longer name at offset N of the COFF string table, which
        // follows the symbol table (.gnu_debuglink, .debug_info).
        if (name[0] == '/' && std::isdigit(static_cast<unsigned char>(name[1]))) {
            const uint64_t strings = symbolTable + 18ULL * symbolCount;
            auto longName = reader.String(strings + std::strtoull(name + 1, nullptr, 10));
            if (symbolTable == 0 || !longName) {
                Fail(Error, std::string("section name ") + name + " is not in the string table");
                return std::nullopt;
            }
            section.Name = *longName;
        }
        section.VirtualSize = reader.U32(at + 8);
        section.VirtualAddress = reader.U32(at + 12);
        section.RawSize = reader.U32(at + 16);
        section.RawOffset = reader.U32(at + 20);
        section.Characteristics = reader.U32(at + 36);
        if (!reader.Has(section.RawOffset, section.RawSize)) {
            char where[96];
            std::snprintf(where, sizeof where, " (%u bytes at file offset 0x%x, in a file of %zu bytes)",
                          section.RawSize, section.RawOffset, Bytes.size());
            Fail(Error, "section " + section.Name + " runs off the file" + where);
            return std::nullopt;
        }
        image.Sections.push_back(section);
    }
    if (What == Contents::Image && !ReadImports(reader, image, importSize != 0 ? importRva : 0, Error)) {
        return std::nullopt;
    }
    ReadFunctions(reader, image, reader.U32(fileHeader + 8), reader.U32(fileHeader + 12));
    return image;
}

std::optional<Image> ParseFile(const std::string &Path, std::string *Error)
{
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        *Error = "cannot open " + Path;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return Parse(bytes, Error);
}

}  // namespace pe
