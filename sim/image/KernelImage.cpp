#include "sim/image/KernelImage.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "sim/image/Exports.h"

namespace sim::image {
namespace {

constexpr uint32_t kPage = 4096;
// Larger than any driver image: a size beyond it is a corrupt header.
constexpr uint32_t kLargestImage = 256u << 20;
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationDir64 = 10;

std::string Hex(uint64_t Value, int Digits = 0)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", Digits, static_cast<unsigned long long>(Value));
    return text;
}

uint32_t Extent(const pe::Section &Section) { return Section.VirtualSize != 0 ? Section.VirtualSize : Section.RawSize; }

uint32_t RoundUp(uint32_t Value, uint32_t Unit) { return (Value + Unit - 1) / Unit * Unit; }

// The section whose mapped extent holds [Rva, Rva + Length), or null.
const pe::Section *SectionOf(const pe::Image &Image, uint32_t Rva, uint32_t Length)
{
    for (const pe::Section &section : Image.Sections) {
        if (Rva >= section.VirtualAddress && Rva - section.VirtualAddress <= Extent(section) &&
            Length <= Extent(section) - (Rva - section.VirtualAddress)) {
            return &section;
        }
    }
    return nullptr;
}

std::string SectionName(const pe::Section &Section)
{
    return Section.Name.empty() ? std::string("(unnamed)") : Section.Name;
}

class Checker {
public:
    Checker(const std::vector<uint8_t> &Bytes, const pe::Image &Headers, std::string *Error)
        : bytes_(Bytes), image_(Headers), error_(Error)
    {
    }

    bool Headers()
    {
        if (image_.Machine == pe::kMachineI386) {
            return Fail("an x86 image (machine 0x014c in the file header): only x64 kernel images run in the "
                        "simulator");
        }
        if (image_.Machine != pe::kMachineAmd64) {
            return Fail("machine " + Hex(image_.Machine, 4) + " in the file header is not x64 (0x8664)");
        }
        if (!image_.Pe32Plus) {
            return Fail("an x64 machine with a 32-bit (PE32) optional header");
        }
        if (image_.Subsystem != pe::kSubsystemNative) {
            return Fail("subsystem " + std::to_string(image_.Subsystem) +
                        " in the optional header: a kernel image has the native subsystem (1)");
        }
        if ((image_.Characteristics & pe::kFileExecutableImage) == 0) {
            return Fail("the file header does not mark the image executable (characteristics " +
                        Hex(image_.Characteristics, 4) + ")");
        }
        if ((image_.Characteristics & pe::kFileRelocsStripped) != 0 ||
            image_.Directories[pe::kDirectoryRelocation].Size == 0) {
            return Fail("no base relocations: the image cannot leave its preferred base " + Hex(image_.ImageBase));
        }
        if (image_.Directories[pe::kDirectoryTls].Size != 0) {
            return Fail("a thread-local storage directory at RVA " + Hex(image_.Directories[pe::kDirectoryTls].Rva) +
                        ": kernel images have none");
        }
        if (image_.SectionAlignment < kPage || image_.SectionAlignment % kPage != 0) {
            return Fail("section alignment " + Hex(image_.SectionAlignment) +
                        " is not a multiple of the page size: sections could not be protected apart");
        }
        if (image_.SizeOfImage == 0 || image_.SizeOfImage > kLargestImage) {
            return Fail("size of image " + Hex(image_.SizeOfImage) + " in the optional header");
        }
        if (image_.SizeOfHeaders == 0 || image_.SizeOfHeaders > bytes_.size() ||
            image_.SizeOfHeaders > image_.SizeOfImage) {
            return Fail("size of headers " + Hex(image_.SizeOfHeaders) + " in the optional header");
        }
        return true;
    }

    bool Sections()
    {
        if (image_.Sections.empty()) {
            return Fail("no sections");
        }
        uint32_t end = RoundUp(image_.SizeOfHeaders, kPage);
        for (const pe::Section &section : image_.Sections) {
            const std::string where = "section " + SectionName(section) + " at RVA " + Hex(section.VirtualAddress);
            if (section.VirtualAddress % image_.SectionAlignment != 0) {
                return Fail(where + " is not aligned to the section alignment " + Hex(image_.SectionAlignment));
            }
            if (section.VirtualAddress < end) {
                return Fail(where + " overlaps the headers or the section before it");
            }
            if (section.VirtualAddress > image_.SizeOfImage ||
                Extent(section) > image_.SizeOfImage - section.VirtualAddress) {
                return Fail(where + " (" + Hex(Extent(section)) + " bytes) ends beyond the size of image " +
                            Hex(image_.SizeOfImage));
            }
            const bool uninitialized = (section.Characteristics & pe::kSectionUninitializedData) != 0;
            if (!uninitialized && section.RawSize != 0 &&
                (section.RawOffset > bytes_.size() || section.RawSize > bytes_.size() - section.RawOffset)) {
                return Fail(where + ": its data at file offset " + Hex(section.RawOffset) + " runs off the file");
            }
            if ((section.Characteristics & pe::kSectionWrite) != 0 &&
                (section.Characteristics & pe::kSectionExecute) != 0) {
                return Fail(where + " is both writable and executable");
            }
            end = section.VirtualAddress + RoundUp(Extent(section), kPage);
        }
        const pe::Section *entry = SectionOf(image_, image_.EntryPoint, 1);
        if (entry == nullptr || (entry->Characteristics & pe::kSectionExecute) == 0) {
            return Fail("the entry point at RVA " + Hex(image_.EntryPoint) + " is not in an executable section");
        }
        return true;
    }

    // Every block of the base relocation directory; the RVAs of its 64-bit
    // fixups in *Fixups.
    bool Relocations(std::vector<uint32_t> *Fixups)
    {
        const pe::Directory directory = image_.Directories[pe::kDirectoryRelocation];
        const auto start = pe::OffsetOf(image_, directory.Rva);
        if (!start || directory.Size > bytes_.size() - *start) {
            return Fail("the base relocation directory at RVA " + Hex(directory.Rva) + " (" + Hex(directory.Size) +
                        " bytes) is not in the file");
        }
        uint32_t at = 0;
        while (at < directory.Size) {
            const std::string block = "the base relocation block at RVA " + Hex(directory.Rva + at);
            if (directory.Size - at < 8) {
                return Fail(block + " is cut short by the end of the directory");
            }
            const uint32_t page = U32(*start + at);
            const uint32_t size = U32(*start + at + 4);
            if (size < 8 || size % 2 != 0 || size > directory.Size - at) {
                return Fail(block + " gives its size as " + Hex(size) + ", with " + Hex(directory.Size - at) +
                            " bytes left in the directory");
            }
            for (uint32_t entry = 8; entry < size; entry += 2) {
                const uint16_t value = U16(*start + at + entry);
                const uint16_t type = value >> 12;
                const uint32_t target = page + (value & 0xFFF);
                if (type == kRelocationAbsolute) {
                    continue;
                }
                const std::string fixup = "relocation " + std::to_string((entry - 8) / 2) + " of " + block;
                if (type != kRelocationDir64) {
                    return Fail(fixup + " has type " + std::to_string(type) +
                                ": only 64-bit (DIR64) relocations belong in an x64 image");
                }
                if (SectionOf(image_, target, 8) == nullptr) {
                    return Fail(fixup + " targets RVA " + Hex(target) + ", outside every section");
                }
                Fixups->push_back(target);
            }
            at += size;
        }
        return true;
    }

    // Each import bound to its service; every import the simulator lacks is
    // named in the one message.
    bool Imports(std::vector<ImageFile::Binding> *Bindings)
    {
        std::string missing;
        size_t missingCount = 0;
        for (const pe::Import &import : image_.Imports) {
            if (SectionOf(image_, import.SlotRva, 8) == nullptr) {
                return Fail("the import address table entry of " + import.Dll + "!" + ImportName(import) + " at RVA " +
                            Hex(import.SlotRva) + " is outside every section");
            }
            const void *address = nullptr;
            const Lookup found =
                import.Name.empty() ? Lookup::UnknownService : FindService(import.Dll, import.Name, &address);
            if (found == Lookup::Found) {
                Bindings->push_back({import.SlotRva, address});
                continue;
            }
            missing += (missingCount++ == 0 ? "" : ", ") + import.Dll + "!" + ImportName(import);
            if (found == Lookup::UnknownModule) {
                missing += " (no such module)";
            }
        }
        if (missingCount != 0) {
            return Fail(std::to_string(missingCount) + (missingCount == 1 ? " import" : " imports") +
                        " the simulator does not provide: " + missing);
        }
        return true;
    }

private:
    static std::string ImportName(const pe::Import &Import)
    {
        return Import.Name.empty() ? "#" + std::to_string(Import.Ordinal) + " (by ordinal)" : Import.Name;
    }
    uint16_t U16(uint64_t Offset) const { return static_cast<uint16_t>(bytes_[Offset] | (bytes_[Offset + 1] << 8)); }
    uint32_t U32(uint64_t Offset) const { return static_cast<uint32_t>(U16(Offset) | (U16(Offset + 2) << 16)); }
    bool Fail(const std::string &Why)
    {
        *error_ = Why;
        return false;
    }

    const std::vector<uint8_t> &bytes_;
    const pe::Image &image_;
    std::string *error_;
};

int Protection(uint32_t Characteristics)
{
    int protection = PROT_NONE;
    if ((Characteristics & (pe::kSectionRead | pe::kSectionExecute)) != 0) {
        protection |= PROT_READ;
    }
    if ((Characteristics & pe::kSectionWrite) != 0) {
        protection |= PROT_WRITE;
    }
    if ((Characteristics & pe::kSectionExecute) != 0) {
        protection |= PROT_EXEC;
    }
    return protection;
}

// "DispatchReadWrite+0x12" for the function of the image's symbol table
// that holds Offset.
std::string FunctionAt(const std::vector<pe::Symbol> &Functions, size_t Offset)
{
    auto after = std::upper_bound(Functions.begin(), Functions.end(), Offset,
                                  [](size_t offset, const pe::Symbol &s) { return offset < s.Rva; });
    if (after == Functions.begin()) {
        return {};
    }
    const pe::Symbol &function = *std::prev(after);
    std::string name = function.Name;
    int status = 0;
    if (char *plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status); status == 0 && plain != nullptr) {
        name = plain;
        std::free(plain);
        // The parameter list adds nothing a reader of the report needs.
        if (size_t open = name.find('('); open != std::string::npos) {
            name.resize(open);
        }
    }
    return name + "+" + Hex(Offset - function.Rva);
}

// The CRC-32 that .gnu_debuglink carries (IEEE 802.3, reflected), as gdb
// and objcopy compute it.
uint32_t DebugLinkCrc(const std::vector<uint8_t> &Bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : Bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

std::optional<std::vector<uint8_t>> ReadFile(const std::string &Path)
{
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The functions of the debug file a stripped image names in .gnu_debuglink
// (its name, NUL, padding to four bytes, the file's CRC-32), looked for in
// Directory as gdb does first. Empty when there is none, it cannot be read,
// or its CRC is not the one recorded: names from another build would
// mislead.
std::vector<pe::Symbol> DebugLinkFunctions(const std::vector<uint8_t> &Bytes, const pe::Image &Headers,
                                           const std::string &Directory)
{
    for (const pe::Section &section : Headers.Sections) {
        if (section.Name != ".gnu_debuglink" || section.RawOffset > Bytes.size() ||
            Bytes.size() - section.RawOffset < std::min(section.RawSize, Extent(section))) {
            continue;
        }
        const uint8_t *data = Bytes.data() + section.RawOffset;
        const size_t size = std::min(section.RawSize, Extent(section));
        const auto *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
        if (nul == nullptr || nul == data) {
            return {};
        }
        const std::string name(reinterpret_cast<const char *>(data), nul - data);
        const size_t crcAt = ((nul - data) + 1 + 3) & ~size_t{3};
        if (name.find('/') != std::string::npos || crcAt + 4 > size) {
            return {};
        }
        const uint32_t crc =
            data[crcAt] | data[crcAt + 1] << 8 | data[crcAt + 2] << 16 | static_cast<uint32_t>(data[crcAt + 3]) << 24;
        auto debug = ReadFile(Directory + name);
        if (!debug || DebugLinkCrc(*debug) != crc) {
            return {};
        }
        std::string ignored;
        auto parsed = pe::Parse(*debug, &ignored, pe::Contents::DebugFile);
        return parsed ? std::move(parsed->Functions) : std::vector<pe::Symbol>{};
    }
    return {};
}

}  // namespace

std::shared_ptr<const ImageFile> ImageFile::Open(const std::string &Path, std::string *Error)
{
    auto bytes = ReadFile(Path);
    if (!bytes) {
        *Error = "cannot read " + Path;
        return nullptr;
    }
    const size_t slash = Path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
    return Check(std::move(*bytes), Path.substr(directory.size()), &directory, Error);
}

std::shared_ptr<const ImageFile> ImageFile::FromBytes(std::vector<uint8_t> Bytes, std::string Name, std::string *Error)
{
    return Check(std::move(Bytes), std::move(Name), nullptr, Error);
}

std::shared_ptr<const ImageFile> ImageFile::Check(std::vector<uint8_t> Bytes, std::string Name,
                                                  const std::string *Directory, std::string *Error)
{
    std::shared_ptr<ImageFile> file(new ImageFile());
    file->name_ = std::move(Name);
    file->bytes_ = std::move(Bytes);
    std::string why;
    auto headers = pe::Parse(file->bytes_, &why);
    if (headers) {
        file->headers_ = std::move(*headers);
        Checker check(file->bytes_, file->headers_, &why);
        if (check.Headers() && check.Sections() && check.Relocations(&file->relocations_) &&
            check.Imports(&file->bindings_)) {
            // A shipped image keeps no symbol table: the names of its
            // functions, for reports, come from the debug file beside it.
            if (Directory != nullptr && file->headers_.Functions.empty()) {
                file->headers_.Functions = DebugLinkFunctions(file->bytes_, file->headers_, *Directory);
            }
            return file;
        }
    }
    *Error = file->name_ + ": " + why;
    return nullptr;
}

PDRIVER_OBJECT LoadDriver(Machine &Machine, const ImageFile &Image, std::u16string_view Name,
                          std::u16string_view RegistryPath, NTSTATUS *Status, std::string *Error)
{
    const pe::Image &headers = Image.Headers();
    const size_t size = headers.SizeOfImage;
    void *mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        if (Status != nullptr) {
            *Status = STATUS_INSUFFICIENT_RESOURCES;
        }
        if (Error != nullptr) {
            *Error = Image.Name() + ": cannot map " + std::to_string(size) + " bytes: " + std::strerror(errno);
        }
        return nullptr;
    }
    auto *base = static_cast<uint8_t *>(mapping);
    const std::vector<uint8_t> &bytes = Image.Bytes();
    std::memcpy(base, bytes.data(), headers.SizeOfHeaders);
    for (const pe::Section &section : headers.Sections) {
        if ((section.Characteristics & pe::kSectionUninitializedData) == 0) {
            std::memcpy(base + section.VirtualAddress, bytes.data() + section.RawOffset,
                        std::min(section.RawSize, Extent(section)));
        }
    }
    const uint64_t delta = reinterpret_cast<uintptr_t>(base) - headers.ImageBase;
    for (uint32_t rva : Image.Relocations()) {
        uint64_t value;
        std::memcpy(&value, base + rva, sizeof value);
        value += delta;
        std::memcpy(base + rva, &value, sizeof value);
    }
    for (const ImageFile::Binding &binding : Image.Bindings()) {
        std::memcpy(base + binding.SlotRva, &binding.Address, sizeof binding.Address);
    }
    // The headers read-only, each section as it asks (never writable and
    // executable: the checks refused that), the rest inaccessible.
    int failed = mprotect(base, size, PROT_NONE);
    failed |= mprotect(base, RoundUp(headers.SizeOfHeaders, kPage), PROT_READ);
    for (const pe::Section &section : headers.Sections) {
        failed |= mprotect(base + section.VirtualAddress, RoundUp(Extent(section), kPage),
                           Protection(section.Characteristics));
    }
    if (failed != 0) {
        munmap(mapping, size);
        if (Status != nullptr) {
            *Status = STATUS_INSUFFICIENT_RESOURCES;
        }
        if (Error != nullptr) {
            *Error = Image.Name() + ": cannot set the protection of its sections: " + std::strerror(errno);
        }
        return nullptr;
    }

    Machine::ImageRegion region;
    region.Name = Image.Name();
    region.Base = mapping;
    region.Size = size;
    region.Symbol = [functions = headers.Functions](size_t Offset) { return FunctionAt(functions, Offset); };
    region.Release = [mapping, size] { munmap(mapping, size); };
    Machine.AddImage(std::move(region));

    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(base + headers.EntryPoint);
    return Machine.LoadDriver(Name, entry, RegistryPath, Status);
}

}  // namespace sim::image
