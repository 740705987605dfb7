// The simulated machine's registry: keys and typed values in memory, the
// service RtlQueryRegistryValues over them, and the test API that sets them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/HostLock.h"
#include "sim/kernel/Machine.h"

namespace sim {

namespace checks {
inline constexpr std::string_view RegistryIrql = "RegistryIrql";
}  // namespace checks

class Registry {
public:
    Registry() = default;
    explicit Registry(Machine &) {}

    struct Value {
        ULONG Type = REG_NONE;
        std::vector<uint8_t> Data;
    };

    // Key paths are absolute ("\Registry\Machine\System\..."); names of keys
    // and values are matched without regard to case, as Windows does.
    // Setting a value creates its key and every key above it.
    void CreateKey(std::u16string_view key);
    void SetValue(std::u16string_view key, std::u16string_view name, ULONG type, std::span<const uint8_t> data);
    void SetDword(std::u16string_view key, std::u16string_view name, uint32_t value);
    // REG_SZ / REG_EXPAND_SZ: stored with its terminating NUL, as Windows stores it.
    void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value, ULONG type = REG_SZ);
    void SetBinary(std::u16string_view key, std::u16string_view name, std::span<const uint8_t> value);
    // Return whether something was deleted. Deleting a key deletes its subkeys.
    bool DeleteValue(std::u16string_view key, std::u16string_view name);
    bool DeleteKey(std::u16string_view key);

    bool KeyExists(std::u16string_view key) const;
    std::optional<Value> GetValue(std::u16string_view key, std::u16string_view name) const;

    // The service behind RtlQueryRegistryValues (see Registry.cpp for the
    // rules). Runs the table's query routines without holding any lock.
    NTSTATUS QueryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                         PVOID environment);

    // The key RelativeTo + Path name, or nothing for an unsupported RelativeTo.
    static std::optional<std::u16string> ResolvePath(ULONG relativeTo, std::u16string_view path);

private:
    struct StoredValue {
        std::u16string Name;  // as first written
        Value Data;
    };
    struct Key {
        std::map<std::u16string, StoredValue> Values;  // by folded name
    };

    static std::u16string Normalize(std::u16string_view key);
    static std::u16string Fold(std::u16string_view text);

    mutable sim::HostMutex mutex_;
    std::map<std::u16string, Key> keys_;  // by normalized, folded path
};

}  // namespace sim
