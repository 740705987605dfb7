// Encoder and strict decoder of the decompressed binary MOF layout.
#include "Layout.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>

namespace vxbmof {

namespace {

constexpr std::uint32_t kRecordHeader = 16;    // qualifier record before its name
constexpr std::uint32_t kPropertyHeader = 20;  // property record before its name
constexpr std::uint32_t kObjectHeader = 20;
constexpr std::uint32_t kSetHeader = 8;
constexpr std::uint32_t kRootHeader = 20;
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kKindClass = 0;
constexpr std::uint32_t kTypeBoolean = 0x0B;
constexpr std::uint32_t kTypeSint32 = 0x03;
constexpr std::uint32_t kTypeUint32 = 0x13;
constexpr std::uint32_t kTypeString = 0x08;
constexpr std::uint32_t kBooleanTrue = 0x0000FFFF;
constexpr std::uint32_t kCimtypeFlavor = kFlavorToInstance | kFlavorToSubclass;
constexpr std::string_view kTrailerSignature = "BMOFQUALFLAVOR11";
constexpr std::string_view kCimtype = "CIMTYPE";

std::uint32_t Padded(std::size_t bytes) { return static_cast<std::uint32_t>((bytes + 3) & ~std::size_t{3}); }

std::uint32_t StringSize(std::string_view utf8) { return Padded((ToUtf16(utf8).size() + 1) * 2); }

std::uint32_t TypeOfValue(const Value &value)
{
    if (std::holds_alternative<bool>(value)) {
        return kTypeBoolean;
    }
    if (std::holds_alternative<std::int32_t>(value)) {
        return kTypeSint32;
    }
    return kTypeString;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

class Writer {
public:
    std::size_t Size() const { return bytes_.size(); }

    void Put32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }

    std::size_t Reserve32()
    {
        std::size_t at = bytes_.size();
        Put32(0);
        return at;
    }

    void Patch32(std::size_t at, std::size_t v)
    {
        if (v > 0xFFFFFFFFu) {
            throw Error("binary MOF larger than 4 GiB");
        }
        for (int i = 0; i < 4; ++i) {
            bytes_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }

    void PutString(std::string_view utf8)
    {
        std::u16string text = ToUtf16(utf8);
        for (char16_t c : text) {
            bytes_.push_back(static_cast<std::uint8_t>(c & 0xFF));
            bytes_.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        std::size_t written = (text.size() + 1) * 2;
        bytes_.insert(bytes_.end(), Padded(written) - written + 2, 0);
    }

    void PutBytes(std::string_view raw) { bytes_.insert(bytes_.end(), raw.begin(), raw.end()); }

    void PutValue(const Value &value)
    {
        if (const bool *b = std::get_if<bool>(&value)) {
            Put32(*b ? kBooleanTrue : 0);
        } else if (const std::int32_t *i = std::get_if<std::int32_t>(&value)) {
            Put32(static_cast<std::uint32_t>(*i));
        } else {
            PutString(std::get<std::string>(value));
        }
    }

    Bytes Take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

class Encoder {
public:
    Bytes Run(const std::vector<ClassDecl> &classes)
    {
        out_.PutBytes("FOMB");
        std::size_t trailerOffset = out_.Reserve32();
        out_.Put32(1);
        out_.Put32(1);
        out_.Put32(static_cast<std::uint32_t>(classes.size()));
        for (const ClassDecl &c : classes) {
            PutClass(c);
        }
        out_.Patch32(trailerOffset, out_.Size());
        out_.PutBytes(kTrailerSignature);
        out_.Put32(static_cast<std::uint32_t>(flavors_.size()));
        for (const FlavorEntry &entry : flavors_) {
            out_.Put32(entry.offset);
            out_.Put32(entry.flavor);
        }
        return out_.Take();
    }

private:
    void PutQualifier(const Qualifier &q)
    {
        std::size_t start = out_.Size();
        std::size_t length = out_.Reserve32();
        out_.Put32(TypeOfValue(q.value));
        out_.Put32(0);
        out_.Put32(StringSize(q.name));
        out_.PutString(q.name);
        out_.PutValue(q.value);
        out_.Patch32(length, out_.Size() - start);
        if (q.flavor != 0) {
            flavors_.push_back({static_cast<std::uint32_t>(start), q.flavor});
        }
    }

    void PutQualifierSet(const std::vector<Qualifier> &qualifiers)
    {
        std::size_t start = out_.Size();
        std::size_t length = out_.Reserve32();
        out_.Put32(static_cast<std::uint32_t>(qualifiers.size()));
        for (const Qualifier &q : qualifiers) {
            PutQualifier(q);
        }
        out_.Patch32(length, out_.Size() - start);
    }

    void PutProperty(std::string_view name, std::uint32_t cimType, const std::optional<Value> &value,
                     const std::vector<Qualifier> *qualifiers)
    {
        std::size_t start = out_.Size();
        std::size_t length = out_.Reserve32();
        out_.Put32(cimType);
        out_.Put32(0);
        std::uint32_t nameSize = StringSize(name);
        std::uint32_t valueSize =
            value ? (std::holds_alternative<std::string>(*value) ? StringSize(std::get<std::string>(*value)) : 4) : 0;
        out_.Put32(value ? nameSize : kNone);
        out_.Put32(qualifiers ? nameSize + valueSize : kNone);
        out_.PutString(name);
        if (value) {
            out_.PutValue(*value);
        }
        if (qualifiers) {
            PutQualifierSet(*qualifiers);
        }
        out_.Patch32(length, out_.Size() - start);
    }

    void PutClass(const ClassDecl &c)
    {
        std::size_t start = out_.Size();
        std::size_t length = out_.Reserve32();
        out_.Put32(0);
        std::size_t propertySetOffset = out_.Reserve32();
        std::size_t methodSetOffset = out_.Reserve32();
        out_.Put32(kKindClass);
        std::size_t body = out_.Size();

        PutQualifierSet(c.qualifiers);
        out_.Patch32(propertySetOffset, out_.Size() - body);

        std::size_t setStart = out_.Size();
        std::size_t setLength = out_.Reserve32();
        std::size_t systemCount = c.superclass.empty() ? 2 : 3;
        out_.Put32(static_cast<std::uint32_t>(c.properties.size() + systemCount));
        for (const Property &p : c.properties) {
            std::optional<std::uint32_t> type = CimTypeOf(p.typeName);
            if (!type) {
                throw Error("property '" + p.name + "' has unknown type '" + p.typeName + "'");
            }
            if (p.defaultValue) {
                const std::uint32_t valueType = TypeOfValue(*p.defaultValue);
                const bool fits =
                    !p.isArray && (valueType == *type || (valueType == kTypeSint32 && *type == kTypeUint32));
                if (!fits) {
                    throw Error("default value of property '" + p.name + "' does not fit its type " + p.typeName);
                }
            }
            std::vector<Qualifier> qualifiers = p.qualifiers;
            qualifiers.push_back({std::string(kCimtype), p.typeName, kCimtypeFlavor});
            PutProperty(p.name, *type | (p.isArray ? kCimArrayFlag : 0), p.defaultValue, &qualifiers);
        }
        PutProperty("__CLASS", kTypeString, c.name, nullptr);
        PutProperty("__NAMESPACE", kTypeString, c.nameSpace, nullptr);
        if (!c.superclass.empty()) {
            PutProperty("__SUPERCLASS", kTypeString, c.superclass, nullptr);
        }
        out_.Patch32(setLength, out_.Size() - setStart);

        out_.Patch32(methodSetOffset, out_.Size() - body);
        out_.Put32(kSetHeader);
        out_.Put32(0);
        out_.Patch32(length, out_.Size() - start);
    }

    Writer out_;
    std::vector<FlavorEntry> flavors_;
};

// Bounds-checked view of one record or set of the decompressed data.
class Region {
public:
    Region(std::span<const std::uint8_t> all, std::size_t begin, std::size_t size, std::string what)
        : all_(all), begin_(begin), size_(size), what_(std::move(what))
    {
        if (begin > all.size() || size > all.size() - begin) {
            Fail("extends beyond the data (" + std::to_string(begin) + "+" + std::to_string(size) + " of " +
                 std::to_string(all.size()) + ")");
        }
    }

    std::size_t Begin() const { return begin_; }
    std::size_t Size() const { return size_; }

    std::uint32_t U32(std::size_t at) const
    {
        if (at > size_ || 4 > size_ - at) {
            Fail("too short for a field at +" + std::to_string(at));
        }
        std::uint32_t v;
        std::memcpy(&v, all_.data() + begin_ + at, 4);
        return v;
    }

    Region Sub(std::size_t at, std::size_t size, const std::string &what) const
    {
        if (at > size_ || size > size_ - at) {
            Fail("holds a " + what + " that runs past its end");
        }
        return Region(all_, begin_ + at, size, what_ + " / " + what);
    }

    // A padded UTF-16 string that fills the whole region exactly.
    std::string String() const
    {
        std::u16string text;
        std::size_t at = 0;
        for (;; at += 2) {
            if (at + 2 > size_) {
                Fail("string without terminating zero");
            }
            char16_t c = static_cast<char16_t>(all_[begin_ + at] | (all_[begin_ + at + 1] << 8));
            if (c == 0) {
                break;
            }
            text += c;
        }
        if (Padded(at + 2) != size_) {
            Fail("string of " + std::to_string(at / 2) + " characters stored in " + std::to_string(size_) + " bytes");
        }
        for (std::size_t k = at + 2; k < size_; ++k) {
            if (all_[begin_ + k] != 0) {
                Fail("non-zero string padding");
            }
        }
        return ToUtf8(text);
    }

    [[noreturn]] void Fail(const std::string &why) const
    {
        throw Error(what_ + " at offset " + std::to_string(begin_) + ": " + why);
    }

private:
    std::span<const std::uint8_t> all_;
    std::size_t begin_;
    std::size_t size_;
    std::string what_;
};

class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> data) : data_(data) {}

    Decoded Run()
    {
        Region root(data_, 0, data_.size(), "root");
        if (data_.size() < kRootHeader || std::memcmp(data_.data(), "FOMB", 4) != 0) {
            root.Fail("does not start with \"FOMB\"");
        }
        if (root.U32(8) != 1 || root.U32(12) != 1) {
            root.Fail("unexpected header values " + std::to_string(root.U32(8)) + ", " + std::to_string(root.U32(12)));
        }
        const std::uint32_t trailerOffset = root.U32(4);
        if (trailerOffset < kRootHeader || trailerOffset > data_.size()) {
            root.Fail("flavor trailer offset " + std::to_string(trailerOffset) + " out of range");
        }
        const std::uint32_t count = root.U32(16);
        std::vector<RawClass> raw;
        std::size_t at = kRootHeader;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (trailerOffset - at < kObjectHeader) {
                root.Fail("object " + std::to_string(i) + " of " + std::to_string(count) +
                          " does not fit before the flavor trailer");
            }
            const std::uint32_t length = Region(data_, at, kObjectHeader, "object").U32(0);
            if (length < kObjectHeader || length > trailerOffset - at) {
                root.Fail("object " + std::to_string(i) + " has record length " + std::to_string(length));
            }
            raw.push_back(ParseClass(Region(data_, at, length, "class " + std::to_string(i))));
            at += length;
        }
        if (at != trailerOffset) {
            root.Fail(std::to_string(trailerOffset - at) + " bytes between the objects and the flavor trailer");
        }

        Decoded result;
        result.flavors = ParseTrailer(trailerOffset);
        for (const FlavorEntry &entry : result.flavors) {
            flavorAt_[entry.offset] = entry.flavor;
        }
        for (RawClass &c : raw) {
            ClassDecl out;
            out.name = std::move(c.name);
            out.superclass = std::move(c.superclass);
            out.nameSpace = std::move(c.nameSpace);
            out.qualifiers = Finish(c.qualifiers);
            for (RawProperty &p : c.properties) {
                out.properties.push_back(
                    {std::move(p.name), std::move(p.typeName), p.isArray, std::move(p.value), Finish(p.qualifiers)});
            }
            result.classes.push_back(std::move(out));
        }
        return result;
    }

private:
    struct RawQualifier {
        Qualifier qualifier;
        std::uint32_t offset;
    };

    struct RawProperty {
        std::string name;
        std::uint32_t type = 0;
        std::string typeName;
        bool isArray = false;
        std::optional<Value> value;
        bool hasQualifiers = false;
        std::vector<RawQualifier> qualifiers;
    };

    struct RawClass {
        std::string name;
        std::string superclass;
        std::string nameSpace;
        std::vector<RawQualifier> qualifiers;
        std::vector<RawProperty> properties;
    };

    std::vector<Qualifier> Finish(std::vector<RawQualifier> &raw) const
    {
        std::vector<Qualifier> out;
        for (RawQualifier &r : raw) {
            auto found = flavorAt_.find(r.offset);
            r.qualifier.flavor = found == flavorAt_.end() ? 0 : found->second;
            out.push_back(std::move(r.qualifier));
        }
        return out;
    }

    std::vector<FlavorEntry> ParseTrailer(std::uint32_t offset) const
    {
        Region trailer(data_, offset, data_.size() - offset, "flavor trailer");
        if (trailer.Size() < kTrailerSignature.size() + 4 ||
            std::memcmp(data_.data() + offset, kTrailerSignature.data(), kTrailerSignature.size()) != 0) {
            trailer.Fail("does not start with \"BMOFQUALFLAVOR11\"");
        }
        const std::uint32_t count = trailer.U32(kTrailerSignature.size());
        const std::size_t expected = kTrailerSignature.size() + 4 + std::size_t{8} * count;
        if (trailer.Size() != expected) {
            trailer.Fail("holds " + std::to_string(trailer.Size()) + " bytes for " + std::to_string(count) +
                         " entries (expected " + std::to_string(expected) + ")");
        }
        std::vector<FlavorEntry> entries;
        std::set<std::uint32_t> seen;
        for (std::uint32_t i = 0; i < count; ++i) {
            FlavorEntry entry{trailer.U32(20 + 8 * i), trailer.U32(24 + 8 * i)};
            if (!qualifierRecords_.contains(entry.offset)) {
                trailer.Fail("entry " + std::to_string(i) + " points at " + std::to_string(entry.offset) +
                             ", not at a qualifier record");
            }
            if (!seen.insert(entry.offset).second) {
                trailer.Fail("entry " + std::to_string(i) + " repeats the qualifier at " +
                             std::to_string(entry.offset));
            }
            if (entry.flavor &
                ~std::uint32_t{kFlavorToInstance | kFlavorToSubclass | kFlavorDisableOverride | kFlavorAmended}) {
                trailer.Fail("entry " + std::to_string(i) + " has unknown flavor bits");
            }
            entries.push_back(entry);
        }
        return entries;
    }

    static Value ParseValue(const Region &region, std::uint32_t type)
    {
        if (type == kTypeString) {
            return region.String();
        }
        if (region.Size() != 4) {
            region.Fail("a 4-byte value stored in " + std::to_string(region.Size()) + " bytes");
        }
        const std::uint32_t raw = region.U32(0);
        if (type == kTypeBoolean) {
            if (raw != kBooleanTrue && raw != 0) {
                region.Fail("boolean value " + std::to_string(raw));
            }
            return raw == kBooleanTrue;
        }
        return static_cast<std::int32_t>(raw);
    }

    static void CheckSetHeader(const Region &set)
    {
        if (set.U32(0) != set.Size()) {
            set.Fail("set length " + std::to_string(set.U32(0)) + " where " + std::to_string(set.Size()) +
                     " bytes are available");
        }
    }

    std::vector<RawQualifier> ParseQualifierSet(const Region &set)
    {
        CheckSetHeader(set);
        const std::uint32_t count = set.U32(4);
        std::vector<RawQualifier> out;
        std::size_t at = kSetHeader;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t recordLength = set.U32(at);
            Region record = set.Sub(at, recordLength, "qualifier " + std::to_string(i));
            if (recordLength < kRecordHeader) {
                record.Fail("record length " + std::to_string(recordLength));
            }
            const std::uint32_t type = record.U32(4);
            if (type != kTypeBoolean && type != kTypeSint32 && type != kTypeString) {
                record.Fail("unsupported qualifier type " + std::to_string(type));
            }
            if (record.U32(8) != 0) {
                record.Fail("name offset is not 0");
            }
            const std::uint32_t nameSize = record.U32(12);
            if (nameSize > recordLength - kRecordHeader) {
                record.Fail("name size " + std::to_string(nameSize) + " out of range");
            }
            RawQualifier r{{}, static_cast<std::uint32_t>(record.Begin())};
            r.qualifier.name = record.Sub(kRecordHeader, nameSize, "name").String();
            r.qualifier.value = ParseValue(
                record.Sub(kRecordHeader + nameSize, recordLength - kRecordHeader - nameSize, "value"), type);
            qualifierRecords_.insert(r.offset);
            out.push_back(std::move(r));
            at += recordLength;
        }
        if (at != set.Size()) {
            set.Fail(std::to_string(set.Size() - at) + " bytes after the last record");
        }
        return out;
    }

    RawProperty ParseProperty(const Region &record)
    {
        RawProperty p;
        p.type = record.U32(4);
        if (record.U32(8) != 0) {
            record.Fail("name offset is not 0");
        }
        const std::uint32_t valueOffset = record.U32(12);
        const std::uint32_t qualifierOffset = record.U32(16);
        const std::uint32_t dataSize = static_cast<std::uint32_t>(record.Size()) - kPropertyHeader;
        const std::uint32_t qualifierAt = qualifierOffset == kNone ? dataSize : qualifierOffset;
        const std::uint32_t nameEnd = valueOffset == kNone ? qualifierAt : valueOffset;
        if (qualifierAt > dataSize || nameEnd > qualifierAt) {
            record.Fail("value or qualifier-set offset out of order or out of range");
        }
        p.name = record.Sub(kPropertyHeader, nameEnd, "name").String();
        if (valueOffset != kNone) {
            const std::uint32_t type = p.type;
            if (type != kTypeString && type != kTypeBoolean && type != kTypeSint32 && type != kTypeUint32) {
                record.Fail("default value of unsupported type " + std::to_string(type));
            }
            p.value = ParseValue(record.Sub(kPropertyHeader + valueOffset, qualifierAt - valueOffset, "value"),
                                 type == kTypeUint32 ? kTypeSint32 : type);
        }
        if (qualifierOffset != kNone) {
            p.hasQualifiers = true;
            p.qualifiers =
                ParseQualifierSet(record.Sub(kPropertyHeader + qualifierAt, dataSize - qualifierAt, "qualifier set"));
        }
        return p;
    }

    // Takes the CIMTYPE qualifier out of the property's qualifiers, after
    // checking that it names the property's numeric type.
    static void FoldCimtype(const Region &where, RawProperty &p)
    {
        auto cimtype = std::find_if(p.qualifiers.begin(), p.qualifiers.end(),
                                    [](const RawQualifier &r) { return EqualsIgnoreCase(r.qualifier.name, kCimtype); });
        if (cimtype == p.qualifiers.end() || !std::holds_alternative<std::string>(cimtype->qualifier.value)) {
            where.Fail("property " + p.name + " lacks a string CIMTYPE qualifier");
        }
        p.typeName = std::get<std::string>(cimtype->qualifier.value);
        std::optional<std::uint32_t> type = CimTypeOf(p.typeName);
        if (!type || (p.type & ~kCimArrayFlag) != *type) {
            where.Fail("property " + p.name + " has CIMTYPE \"" + p.typeName + "\" but numeric type " +
                       std::to_string(p.type));
        }
        p.isArray = (p.type & kCimArrayFlag) != 0;
        p.qualifiers.erase(cimtype);
    }

    RawClass ParseClass(const Region &object)
    {
        RawClass c;
        if (object.U32(16) != kKindClass) {
            object.Fail("is not a class (kind " + std::to_string(object.U32(16)) + ")");
        }
        const std::uint32_t bodySize = static_cast<std::uint32_t>(object.Size()) - kObjectHeader;
        const std::uint32_t qualifierAt = object.U32(4);
        const std::uint32_t propertyAt = object.U32(8);
        const std::uint32_t methodAt = object.U32(12);
        if (qualifierAt != 0 || propertyAt > methodAt || methodAt > bodySize) {
            object.Fail("set offsets out of order or out of range");
        }
        c.qualifiers = ParseQualifierSet(object.Sub(kObjectHeader, propertyAt, "class qualifier set"));

        Region properties = object.Sub(kObjectHeader + propertyAt, methodAt - propertyAt, "property set");
        CheckSetHeader(properties);
        const std::uint32_t count = properties.U32(4);
        std::size_t at = kSetHeader;
        bool sawClass = false;
        bool sawNamespace = false;
        bool sawSuperclass = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t length = properties.U32(at);
            Region record = properties.Sub(at, length, "property " + std::to_string(i));
            if (length < kPropertyHeader) {
                record.Fail("record length " + std::to_string(length));
            }
            RawProperty p = ParseProperty(record);
            at += length;
            if (p.name.starts_with("__")) {
                if (p.type != kTypeString || !p.value || p.hasQualifiers) {
                    record.Fail("system property " + p.name + " is not a plain string value");
                }
                std::string value = std::get<std::string>(*p.value);
                if (p.name == "__CLASS" && !sawClass) {
                    c.name = value;
                    sawClass = true;
                } else if (p.name == "__NAMESPACE" && !sawNamespace) {
                    c.nameSpace = value;
                    sawNamespace = true;
                } else if (p.name == "__SUPERCLASS" && !sawSuperclass) {
                    c.superclass = value;
                    sawSuperclass = true;
                } else {
                    record.Fail("unexpected or repeated system property " + p.name);
                }
                continue;
            }
            if (sawClass || sawNamespace || sawSuperclass) {
                record.Fail("property " + p.name + " after the system properties");
            }
            FoldCimtype(record, p);
            c.properties.push_back(std::move(p));
        }
        if (at != properties.Size()) {
            properties.Fail(std::to_string(properties.Size() - at) + " bytes after the last property");
        }
        if (!sawClass || !sawNamespace || c.name.empty()) {
            properties.Fail("lacks the __CLASS or __NAMESPACE system property");
        }
        Region methods = object.Sub(kObjectHeader + methodAt, bodySize - methodAt, "method set");
        if (methods.Size() != kSetHeader || methods.U32(0) != kSetHeader || methods.U32(4) != 0) {
            methods.Fail("methods are not supported (expected an empty method set)");
        }
        return c;
    }

    std::span<const std::uint8_t> data_;
    std::set<std::uint32_t> qualifierRecords_;
    std::map<std::uint32_t, std::uint32_t> flavorAt_;
};

}  // namespace

std::u16string ToUtf16(std::string_view utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp;
        std::size_t extra;
        if (lead < 0x80) {
            cp = lead;
            extra = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1FU;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0FU;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07U;
            extra = 3;
        } else {
            throw Error("invalid UTF-8 in text at byte " + std::to_string(i));
        }
        if (utf8.size() - i <= extra) {
            throw Error("truncated UTF-8 sequence at byte " + std::to_string(i));
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                throw Error("invalid UTF-8 in text at byte " + std::to_string(i + k));
            }
            cp = (cp << 6) | (next & 0x3FU);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0) {
            throw Error("invalid code point in text at byte " + std::to_string(i));
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return out;
}

std::string ToUtf8(std::u16string_view utf16)
{
    std::string out;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00U);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            throw Error("unpaired UTF-16 surrogate in stored text");
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

Bytes EncodeObjects(const std::vector<ClassDecl> &classes) { return Encoder().Run(classes); }

std::size_t QualifierRecordSize(const Qualifier &qualifier)
{
    std::size_t value =
        std::holds_alternative<std::string>(qualifier.value) ? StringSize(std::get<std::string>(qualifier.value)) : 4;
    return kRecordHeader + StringSize(qualifier.name) + value;
}

Decoded DecodeObjects(std::span<const std::uint8_t> data) { return Decoder(data).Run(); }

Bytes CompileMof(std::string_view source)
{
    std::vector<ClassDecl> classes = ParseMof(source);
    if (classes.empty()) {
        throw Error("the MOF source declares no class");
    }
    return Pack(EncodeObjects(classes));
}

Decoded DecodeBmof(std::span<const std::uint8_t> container) { return DecodeObjects(Unpack(container)); }

}  // namespace vxbmof
