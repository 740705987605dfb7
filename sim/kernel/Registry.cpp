#include "sim/kernel/Registry.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// Strings a direct query allocates for its caller: "SmRg" in a pool dump.
constexpr ULONG kRegistryPoolTag = 'S' | ('m' << 8) | ('R' << 16) | (static_cast<ULONG>('g') << 24);

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// How a direct query stores a value: which layout EntryContext must have.
enum class DirectShape { String, Small, Sized };

DirectShape ShapeOf(ULONG type, size_t length)
{
    if (IsStringType(type)) {
        return DirectShape::String;
    }
    return length <= sizeof(ULONG) ? DirectShape::Small : DirectShape::Sized;
}

size_t Utf16Length(const WCHAR *text)
{
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

std::u16string TableName(PCWSTR name)
{
    return name == nullptr ? std::u16string() : std::u16string(name, Utf16Length(name));
}

// Stores a value into the destination a direct query names, in the layout the
// documentation gives for the value's shape.
NTSTATUS StoreDirect(const Registry::Value &value, ULONG flags, PVOID entryContext)
{
    if (entryContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t length = value.Data.size();
    switch (ShapeOf(value.Type, length)) {
    case DirectShape::Small:
        if (length != 0) {
            std::memcpy(entryContext, value.Data.data(), length);
        }
        return STATUS_SUCCESS;
    case DirectShape::Sized: {
        // The destination starts with a LONG whose magnitude is its size in
        // bytes; a negative one asks for the bare data, a positive one for
        // length, type and then data.
        LONG declared = 0;
        std::memcpy(&declared, entryContext, sizeof(declared));
        auto *bytes = static_cast<uint8_t *>(entryContext);
        if (declared < 0) {
            if (length > static_cast<size_t>(-static_cast<int64_t>(declared))) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            std::memcpy(bytes, value.Data.data(), length);
            return STATUS_SUCCESS;
        }
        if (length + 2 * sizeof(ULONG) > static_cast<size_t>(declared)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        const ULONG storedLength = static_cast<ULONG>(length);
        std::memcpy(bytes, &storedLength, sizeof(ULONG));
        std::memcpy(bytes + sizeof(ULONG), &value.Type, sizeof(ULONG));
        std::memcpy(bytes + 2 * sizeof(ULONG), value.Data.data(), length);
        return STATUS_SUCCESS;
    }
    case DirectShape::String: break;
    }

    // A multi-string can only be delivered whole, which the caller asks for
    // with NOEXPAND; split into pieces it has no single destination.
    if (value.Type == REG_MULTI_SZ && (flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto *destination = static_cast<PUNICODE_STRING>(entryContext);
    size_t bytes = length & ~static_cast<size_t>(1);
    if (bytes > 0xFFFE) {
        return STATUS_BUFFER_OVERFLOW;
    }
    // Length excludes the terminating NUL, MaximumLength includes it.
    size_t visible = bytes;
    if (visible >= sizeof(WCHAR)) {
        WCHAR last = 0;
        std::memcpy(&last, value.Data.data() + visible - sizeof(WCHAR), sizeof(WCHAR));
        if (last == 0) {
            visible -= sizeof(WCHAR);
        }
    }
    const size_t needed = visible + sizeof(WCHAR);
    if (destination->Buffer == nullptr) {
        auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kRegistryPoolTag));
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(needed);
    } else if (destination->MaximumLength < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(destination->Buffer, value.Data.data(), visible);
    destination->Buffer[visible / sizeof(WCHAR)] = 0;
    destination->Length = static_cast<USHORT>(visible);
    return STATUS_SUCCESS;
}

// Calls a table's query routine for one value, splitting a multi-string into
// its strings unless the entry asks for it whole.
NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE &entry, const std::u16string &name, const Registry::Value &value,
                     PVOID context)
{
    std::u16string nameCopy = name;
    PWSTR namePointer = nameCopy.data();
    std::vector<uint8_t> data = value.Data;
    const bool noExpand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    if (value.Type == REG_MULTI_SZ && !noExpand) {
        const size_t characters = data.size() / sizeof(WCHAR);
        std::u16string all(characters, u'\0');
        std::memcpy(all.data(), data.data(), characters * sizeof(WCHAR));
        size_t start = 0;
        while (start < all.size() && all[start] != 0) {
            size_t end = all.find(u'\0', start);
            if (end == std::u16string::npos) {
                end = all.size();
            }
            std::u16string piece = all.substr(start, end - start);
            const ULONG bytes = static_cast<ULONG>((piece.size() + 1) * sizeof(WCHAR));
            NTSTATUS status = entry.QueryRoutine(namePointer, REG_SZ, piece.data(), bytes, context, entry.EntryContext);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    // Without an environment to expand from, an expandable string is handed
    // over as the plain string it is.
    const ULONG type = (value.Type == REG_EXPAND_SZ && !noExpand) ? REG_SZ : value.Type;
    return entry.QueryRoutine(namePointer, type, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()),
                              context, entry.EntryContext);
}

std::optional<Registry::Value> DefaultOf(const RTL_QUERY_REGISTRY_TABLE &entry)
{
    if (entry.DefaultType == REG_NONE) {
        return std::nullopt;
    }
    Registry::Value value;
    value.Type = entry.DefaultType;
    size_t length = entry.DefaultLength;
    if (length == 0 && entry.DefaultData != nullptr && IsStringType(entry.DefaultType)) {
        // A zero length asks for the string's own length with its NUL (a
        // multi-string's up to and including its final double NUL).
        const auto *text = static_cast<const WCHAR *>(entry.DefaultData);
        if (entry.DefaultType == REG_MULTI_SZ) {
            size_t n = 0;
            while (text[n] != 0 || text[n + 1] != 0) {
                ++n;
            }
            length = (n + 2) * sizeof(WCHAR);
        } else {
            length = (Utf16Length(text) + 1) * sizeof(WCHAR);
        }
    }
    if (entry.DefaultData != nullptr && length != 0) {
        const auto *bytes = static_cast<const uint8_t *>(entry.DefaultData);
        value.Data.assign(bytes, bytes + length);
    }
    return value;
}

}  // namespace

std::u16string Registry::Fold(std::u16string_view text)
{
    std::u16string folded(text);
    for (auto &c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return folded;
}

std::u16string Registry::Normalize(std::u16string_view key)
{
    std::u16string result;
    result.reserve(key.size() + 1);
    for (char16_t c : key) {
        if (c == u'\\' && (result.empty() || result.back() == u'\\')) {
            if (result.empty()) {
                result.push_back(c);
            }
            continue;
        }
        result.push_back(c);
    }
    while (result.size() > 1 && result.back() == u'\\') {
        result.pop_back();
    }
    if (result.empty() || result.front() != u'\\') {
        result.insert(result.begin(), u'\\');
    }
    return Fold(result);
}

void Registry::CreateKey(std::u16string_view key)
{
    const std::u16string path = Normalize(key);
    std::lock_guard lock(mutex_);
    // Every key above it exists too, as in a real hive.
    for (size_t pos = path.find(u'\\', 1); pos != std::u16string::npos; pos = path.find(u'\\', pos + 1)) {
        keys_.try_emplace(path.substr(0, pos));
    }
    keys_.try_emplace(path);
}

void Registry::SetValue(std::u16string_view key, std::u16string_view name, ULONG type, std::span<const uint8_t> data)
{
    CreateKey(key);
    const std::u16string path = Normalize(key);
    std::lock_guard lock(mutex_);
    StoredValue stored{std::u16string(name), Value{type, {data.begin(), data.end()}}};
    keys_[path].Values.insert_or_assign(Fold(name), std::move(stored));
}

void Registry::SetDword(std::u16string_view key, std::u16string_view name, uint32_t value)
{
    uint8_t bytes[sizeof(value)];
    std::memcpy(bytes, &value, sizeof(value));
    SetValue(key, name, REG_DWORD, bytes);
}

void Registry::SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value, ULONG type)
{
    std::vector<uint8_t> bytes((value.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), value.data(), value.size() * sizeof(char16_t));
    SetValue(key, name, type, bytes);
}

void Registry::SetBinary(std::u16string_view key, std::u16string_view name, std::span<const uint8_t> value)
{
    SetValue(key, name, REG_BINARY, value);
}

bool Registry::DeleteValue(std::u16string_view key, std::u16string_view name)
{
    const std::u16string path = Normalize(key);
    std::lock_guard lock(mutex_);
    auto it = keys_.find(path);
    return it != keys_.end() && it->second.Values.erase(Fold(name)) != 0;
}

bool Registry::DeleteKey(std::u16string_view key)
{
    const std::u16string path = Normalize(key);
    const std::u16string below = path + u'\\';
    std::lock_guard lock(mutex_);
    bool deleted = keys_.erase(path) != 0;
    for (auto it = keys_.lower_bound(below); it != keys_.end() && it->first.starts_with(below);) {
        it = keys_.erase(it);
        deleted = true;
    }
    return deleted;
}

bool Registry::KeyExists(std::u16string_view key) const
{
    const std::u16string path = Normalize(key);
    std::lock_guard lock(mutex_);
    return keys_.contains(path);
}

std::optional<Registry::Value> Registry::GetValue(std::u16string_view key, std::u16string_view name) const
{
    const std::u16string path = Normalize(key);
    std::lock_guard lock(mutex_);
    auto it = keys_.find(path);
    if (it == keys_.end()) {
        return std::nullopt;
    }
    auto value = it->second.Values.find(Fold(name));
    if (value == it->second.Values.end()) {
        return std::nullopt;
    }
    return value->second.Data;
}

std::optional<std::u16string> Registry::ResolvePath(ULONG relativeTo, std::u16string_view path)
{
    std::u16string base;
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return std::u16string(path);
    case RTL_REGISTRY_SERVICES: base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"; break;
    case RTL_REGISTRY_CONTROL: base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control"; break;
    case RTL_REGISTRY_WINDOWS_NT: base = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"; break;
    case RTL_REGISTRY_DEVICEMAP: base = u"\\Registry\\Machine\\Hardware\\DeviceMap"; break;
    case RTL_REGISTRY_USER: base = u"\\Registry\\User\\.Default"; break;
    default: return std::nullopt;
    }
    if (!path.empty()) {
        base += u'\\';
        base += path;
    }
    return base;
}

// The rules, as documented, and the simulator's choices where it is silent:
// - RelativeTo with RTL_REGISTRY_OPTIONAL: an absent key is success and the
//   table is not looked at; without it, STATUS_OBJECT_NAME_NOT_FOUND.
//   RTL_REGISTRY_HANDLE is not supported (the simulator hands out no
//   registry handles): STATUS_INVALID_PARAMETER.
// - An absent value takes the entry's default when DefaultType is not
//   REG_NONE; otherwise the entry is skipped, unless it is REQUIRED, which
//   ends the query with STATUS_OBJECT_NAME_NOT_FOUND.
// - DIRECT stores by the value's type: a value of at most 4 bytes (REG_DWORD)
//   into EntryContext itself, a string into the UNICODE_STRING EntryContext
//   points at (allocated from paged pool when its Buffer is NULL,
//   STATUS_BUFFER_TOO_SMALL when the given buffer is short), any larger value
//   into a buffer that begins with its signed size. Since the caller cannot
//   say which layout it gave, a value whose layout differs from the one its
//   entry's DefaultType implies (a REG_SZ where a REG_DWORD default was
//   given) is refused with STATUS_OBJECT_TYPE_MISMATCH and nothing is
//   written: Windows would write a UNICODE_STRING over the caller's ULONG.
// - A query routine's failure status ends the query and is returned.
NTSTATUS Registry::QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                               PVOID environment)
{
    (void)environment;
    if (table == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    const ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if ((base & RTL_REGISTRY_HANDLE) != 0 || (base == RTL_REGISTRY_ABSOLUTE && path == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto resolved = ResolvePath(base, TableName(path));
    if (!resolved) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string topKey = *resolved;
    if (!KeyExists(topKey)) {
        return optional ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }

    std::u16string currentKey = topKey;
    bool skipToNextKey = false;
    for (PRTL_QUERY_REGISTRY_TABLE entry = table; entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) != 0) {
            currentKey = topKey;
            skipToNextKey = false;
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if (entry->Name == nullptr) {
                return STATUS_INVALID_PARAMETER;
            }
            currentKey = topKey + u'\\' + TableName(entry->Name);
            skipToNextKey = !KeyExists(currentKey);
            if (skipToNextKey && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (skipToNextKey || entry->QueryRoutine == nullptr) {
                continue;
            }
            // A subkey entry with a routine enumerates the subkey's values.
        }
        if (skipToNextKey) {
            continue;
        }
        const bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if ((entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) != 0 && !direct) {
            if (entry->QueryRoutine == nullptr) {
                return STATUS_INVALID_PARAMETER;
            }
            NTSTATUS status = entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context, entry->EntryContext);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            continue;
        }

        if (entry->Name == nullptr || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if (direct) {
                return STATUS_INVALID_PARAMETER;
            }
            std::vector<std::pair<std::u16string, Value>> all;
            {
                std::lock_guard lock(mutex_);
                auto it = keys_.find(Normalize(currentKey));
                if (it != keys_.end()) {
                    for (const auto &[folded, stored] : it->second.Values) {
                        all.emplace_back(stored.Name, stored.Data);
                    }
                }
            }
            for (const auto &[name, value] : all) {
                NTSTATUS status = CallRoutine(*entry, name, value, context);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
            continue;
        }

        const std::u16string name = TableName(entry->Name);
        std::optional<Value> value = GetValue(currentKey, name);
        if (!value) {
            if ((entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            value = DefaultOf(*entry);
            if (!value) {
                continue;
            }
        }

        NTSTATUS status = STATUS_SUCCESS;
        if (direct) {
            if (entry->DefaultType != REG_NONE) {
                const size_t expected = IsStringType(entry->DefaultType) ? 0
                                        : entry->DefaultLength != 0      ? entry->DefaultLength
                                                                         : sizeof(ULONG);
                if (ShapeOf(entry->DefaultType, expected) != ShapeOf(value->Type, value->Data.size())) {
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
            }
            status = StoreDirect(*value, entry->Flags, entry->EntryContext);
        } else if (entry->QueryRoutine != nullptr) {
            status = CallRoutine(*entry, name, *value, context);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_DELETE) != 0) {
            DeleteValue(currentKey, name);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace sim

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment)
{
    sim::Machine &machine = sim::Machine::Current();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        machine.ReportViolation(sim::checks::RegistryIrql, nullptr, nullptr,
                                "RtlQueryRegistryValues called above PASSIVE_LEVEL");
    }
    return machine.Component<sim::Registry>().QueryValues(RelativeTo, Path, QueryTable, Context, Environment);
}
