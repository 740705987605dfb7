// The decompressed binary MOF: root, class objects with their qualifier,
// property and method sets, and the qualifier flavor trailer.
#pragma once

#include "Lz.h"
#include "Mof.h"

#include <string_view>

namespace vxbmof {

// Where one qualifier record sits in the decompressed data and its flavor.
struct FlavorEntry {
    std::uint32_t offset;
    std::uint32_t flavor;

    bool operator==(const FlavorEntry &) const = default;
};

// The decompressed form of the classes. Every property gets a CIMTYPE
// qualifier (flavor ToInstance|ToSubclass), every class the __CLASS and
// __NAMESPACE (and __SUPERCLASS) system properties. Throws Error for a
// value the binary form cannot hold.
Bytes EncodeObjects(const std::vector<ClassDecl> &classes);

// Record length of one qualifier as EncodeObjects writes it.
std::size_t QualifierRecordSize(const Qualifier &qualifier);

struct Decoded {
    std::vector<ClassDecl> classes;
    std::vector<FlavorEntry> flavors;
};

// Parses decompressed data back into classes. Strict: every length, offset,
// count and string is checked against its container, each property's
// CIMTYPE against its numeric type, the system properties against the
// class, and each flavor entry must point at a qualifier record. The
// CIMTYPE qualifiers and system properties are folded back into the model.
Decoded DecodeObjects(std::span<const std::uint8_t> data);

// Compile MOF source to the resource bytes, and resource bytes back.
Bytes CompileMof(std::string_view source);
Decoded DecodeBmof(std::span<const std::uint8_t> container);

// Text conversions between the model's UTF-8 and the stored UTF-16LE.
std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

}  // namespace vxbmof
