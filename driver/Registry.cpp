#include "driver/Driver.h"

UNICODE_STRING SavedRegistryPath;

namespace {

// Longest key path QueryRegistryDword accepts, in characters.
constexpr ULONG kMaxKeyPathCharacters = 255;

// Stores the value only when it really is a 4-byte REG_DWORD. A direct query
// (RTL_QUERY_REGISTRY_DIRECT) would instead treat a string or binary value's
// destination as a UNICODE_STRING or a sized buffer and write past our ULONG;
// any other type therefore reads as "not set".
NTSTATUS NTAPI StoreDwordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                               PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG) && ValueData != nullptr) {
        RtlMoveMemory(EntryContext, ValueData, sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS QueryRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value)
{
    *Value = 0;

    // Zero-filled first so the copy is always terminated.
    WCHAR path[kMaxKeyPathCharacters + 1] = {};
    ULONG characters = 0;
    while (KeyPath[characters] != 0) {
        if (characters == kMaxKeyPathCharacters) {
            return STATUS_INVALID_PARAMETER;
        }
        path[characters] = KeyPath[characters];
        ++characters;
    }

    ULONG defaultData = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = StoreDwordValue;
    table[0].Name = const_cast<PWSTR>(ValueName);
    table[0].EntryContext = Value;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &defaultData;
    table[0].DefaultLength = sizeof(defaultData);

    const NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        *Value = 0;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
