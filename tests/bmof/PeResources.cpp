#include "PeResources.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace vxtest {
namespace {

constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000;
constexpr std::uint32_t kNameBit = 0x80000000;

class Image {
public:
    explicit Image(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <typename T>
    T Read(std::size_t at) const
    {
        if (at > bytes_.size() || sizeof(T) > bytes_.size() - at) {
            throw std::runtime_error("image truncated at offset " + std::to_string(at));
        }
        T v;
        std::memcpy(&v, bytes_.data() + at, sizeof(T));
        return v;
    }

    std::span<const std::uint8_t> Slice(std::size_t at, std::size_t size) const
    {
        if (at > bytes_.size() || size > bytes_.size() - at) {
            throw std::runtime_error("image truncated at offset " + std::to_string(at));
        }
        return bytes_.subspan(at, size);
    }

private:
    std::span<const std::uint8_t> bytes_;
};

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
};

class Resources {
public:
    Resources(const Image &image, std::vector<Section> sections, std::uint32_t rootRva)
        : image_(image), sections_(std::move(sections)), root_(ToFile(rootRva, 16))
    {
    }

    // Offset (within the resource tree) of the entry named `name`, or 0.
    std::uint32_t Lookup(std::uint32_t directory, std::string_view name, bool wantDirectory) const
    {
        const std::size_t at = root_ + directory;
        const std::uint16_t named = image_.Read<std::uint16_t>(at + 12);
        for (std::uint16_t i = 0; i < named; ++i) {
            const std::size_t entry = at + 16 + 8 * std::size_t{i};
            const std::uint32_t nameField = image_.Read<std::uint32_t>(entry);
            const std::uint32_t target = image_.Read<std::uint32_t>(entry + 4);
            if (!(nameField & kNameBit)) {
                throw std::runtime_error("resource directory: a named entry without a name");
            }
            if (((target & kSubdirectoryBit) != 0) != wantDirectory) {
                continue;
            }
            if (Matches(nameField & ~kNameBit, name)) {
                return target & ~kSubdirectoryBit;
            }
        }
        return 0;
    }

    // Offset of the entry with numeric ID `id`, or 0. ID entries follow the
    // named ones.
    std::uint32_t LookupId(std::uint32_t directory, std::uint16_t id, bool wantDirectory) const
    {
        const std::size_t at = root_ + directory;
        const std::uint16_t named = image_.Read<std::uint16_t>(at + 12);
        const std::uint16_t ids = image_.Read<std::uint16_t>(at + 14);
        for (std::uint32_t i = named; i < std::uint32_t{named} + ids; ++i) {
            const std::size_t entry = at + 16 + 8 * std::size_t{i};
            const std::uint32_t idField = image_.Read<std::uint32_t>(entry);
            const std::uint32_t target = image_.Read<std::uint32_t>(entry + 4);
            if (idField == id && ((target & kSubdirectoryBit) != 0) == wantDirectory) {
                return target & ~kSubdirectoryBit;
            }
        }
        return 0;
    }

    // The first entry of a directory (the first language).
    std::uint32_t First(std::uint32_t directory, bool &isDirectory) const
    {
        const std::size_t at = root_ + directory;
        const unsigned count = image_.Read<std::uint16_t>(at + 12) + image_.Read<std::uint16_t>(at + 14);
        if (count == 0) {
            throw std::runtime_error("resource directory: empty language directory");
        }
        const std::uint32_t target = image_.Read<std::uint32_t>(at + 16 + 4);
        isDirectory = (target & kSubdirectoryBit) != 0;
        return target & ~kSubdirectoryBit;
    }

    std::vector<std::uint8_t> Data(std::uint32_t entry) const
    {
        const std::uint32_t rva = image_.Read<std::uint32_t>(root_ + entry);
        const std::uint32_t size = image_.Read<std::uint32_t>(root_ + entry + 4);
        std::span<const std::uint8_t> bytes = image_.Slice(ToFile(rva, size), size);
        return {bytes.begin(), bytes.end()};
    }

private:
    std::size_t ToFile(std::uint32_t rva, std::uint32_t size) const
    {
        for (const Section &s : sections_) {
            const std::uint32_t extent = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < extent &&
                size <= s.rawSize - std::min(s.rawSize, rva - s.virtualAddress)) {
                return s.rawOffset + (rva - s.virtualAddress);
            }
        }
        throw std::runtime_error("RVA " + std::to_string(rva) + " is not in the file");
    }

    bool Matches(std::uint32_t stringOffset, std::string_view name) const
    {
        const std::uint16_t length = image_.Read<std::uint16_t>(root_ + stringOffset);
        if (length != name.size()) {
            return false;
        }
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint16_t c = image_.Read<std::uint16_t>(root_ + stringOffset + 2 + 2 * i);
            if (c > 0x7F || std::toupper(c) != std::toupper(static_cast<unsigned char>(name[i]))) {
                return false;
            }
        }
        return true;
    }

    const Image &image_;
    std::vector<Section> sections_;
    std::size_t root_;
};

// The image's resource tree, or nothing when it has none.
std::optional<Resources> OpenResources(const Image &image)
{
    if (image.Read<std::uint16_t>(0) != 0x5A4D) {
        throw std::runtime_error("not an MZ image");
    }
    const std::uint32_t pe = image.Read<std::uint32_t>(0x3C);
    if (image.Read<std::uint32_t>(pe) != 0x00004550) {
        throw std::runtime_error("no PE signature");
    }
    const std::uint16_t sectionCount = image.Read<std::uint16_t>(pe + 6);
    const std::uint16_t optionalSize = image.Read<std::uint16_t>(pe + 20);
    const std::size_t optional = pe + 24;
    const std::uint16_t magic = image.Read<std::uint16_t>(optional);
    std::size_t directories;
    if (magic == 0x10B) {
        directories = optional + 96;
    } else if (magic == 0x20B) {
        directories = optional + 112;
    } else {
        throw std::runtime_error("unknown optional header magic");
    }
    const std::uint32_t directoryCount = image.Read<std::uint32_t>(directories - 4);
    if (directoryCount <= kResourceDirectoryIndex) {
        return std::nullopt;
    }
    const std::uint32_t resourceRva = image.Read<std::uint32_t>(directories + 8 * kResourceDirectoryIndex);
    if (resourceRva == 0) {
        return std::nullopt;
    }
    std::vector<Section> sections;
    const std::size_t table = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::size_t s = table + 40 * std::size_t{i};
        sections.push_back({image.Read<std::uint32_t>(s + 12), image.Read<std::uint32_t>(s + 8),
                            image.Read<std::uint32_t>(s + 20), image.Read<std::uint32_t>(s + 16)});
    }
    return Resources(image, std::move(sections), resourceRva);
}

// The data of the first language under a name directory.
std::vector<std::uint8_t> FirstLanguage(const Resources &resources, std::uint32_t nameDirectory)
{
    bool isDirectory = false;
    const std::uint32_t entry = resources.First(nameDirectory, isDirectory);
    if (isDirectory) {
        throw std::runtime_error("resource tree deeper than type/name/language");
    }
    return resources.Data(entry);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> FindNamedResource(std::span<const std::uint8_t> bytes,
                                                           std::string_view type, std::string_view name)
{
    const Image image(bytes);
    const std::optional<Resources> resources = OpenResources(image);
    if (!resources) {
        return std::nullopt;
    }
    const std::uint32_t typeDirectory = resources->Lookup(0, type, true);
    if (typeDirectory == 0) {
        return std::nullopt;
    }
    const std::uint32_t nameDirectory = resources->Lookup(typeDirectory, name, true);
    if (nameDirectory == 0) {
        return std::nullopt;
    }
    return FirstLanguage(*resources, nameDirectory);
}

std::optional<std::vector<std::uint8_t>> FindResourceById(std::span<const std::uint8_t> bytes, std::uint16_t type,
                                                          std::uint16_t id)
{
    const Image image(bytes);
    const std::optional<Resources> resources = OpenResources(image);
    if (!resources) {
        return std::nullopt;
    }
    const std::uint32_t typeDirectory = resources->LookupId(0, type, true);
    if (typeDirectory == 0) {
        return std::nullopt;
    }
    const std::uint32_t nameDirectory = resources->LookupId(typeDirectory, id, true);
    if (nameDirectory == 0) {
        return std::nullopt;
    }
    return FirstLanguage(*resources, nameDirectory);
}

}  // namespace vxtest
