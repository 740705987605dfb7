// The subset of the MOF language that vxbmof compiles: classes with
// qualifiers and typed properties with qualifiers, in a namespace chosen by
// #pragma namespace. The same model is what the binary decoder gives back.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vxbmof {

// Every malformed input, textual or binary, ends in one of these; the message
// says where and why.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Flavor bits of a qualifier, as the binary form's flavor trailer stores them.
enum Flavor : std::uint32_t {
    kFlavorToInstance = 0x01,
    kFlavorToSubclass = 0x02,
    kFlavorDisableOverride = 0x10,
    kFlavorAmended = 0x80,
};

// A qualifier or default value: boolean, 32-bit integer or string (UTF-8).
using Value = std::variant<bool, std::int32_t, std::string>;

struct Qualifier {
    std::string name;
    Value value;
    std::uint32_t flavor = 0;  // 0: none given

    bool operator==(const Qualifier &) const = default;
};

struct Property {
    std::string name;
    std::string typeName;  // as written in the source: "uint32", "string", ...
    bool isArray = false;
    std::optional<Value> defaultValue;
    std::vector<Qualifier> qualifiers;  // without the CIMTYPE qualifier

    bool operator==(const Property &) const = default;
};

struct ClassDecl {
    std::string name;
    std::string superclass;  // empty: none
    std::string nameSpace;   // e.g. "root\default"
    std::vector<Qualifier> qualifiers;
    std::vector<Property> properties;

    bool operator==(const ClassDecl &) const = default;
};

// Namespace of classes declared before any #pragma namespace.
inline constexpr std::string_view kDefaultNamespace = "root\\default";

// CIM type code of a MOF type name (case-insensitive), without the array bit;
// nullopt for a name this compiler does not know.
std::optional<std::uint32_t> CimTypeOf(std::string_view typeName);
inline constexpr std::uint32_t kCimArrayFlag = 0x2000;

// Parses MOF source. Throws Error with "line:column: reason" on anything
// outside the supported subset.
std::vector<ClassDecl> ParseMof(std::string_view source);

}  // namespace vxbmof
