#include "sim/kernel/DeviceInterfaces.h"

#include <cstring>

#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"

namespace sim {

namespace {

// Link names handed to drivers: "SmDi" in a pool dump.
constexpr ULONG kInterfacePoolTag = 'S' | ('m' << 8) | ('D' << 16) | (static_cast<ULONG>('i') << 24);

std::u16string Hex(uint64_t value, int digits)
{
    static const char16_t kDigits[] = u"0123456789abcdef";
    std::u16string text(static_cast<size_t>(digits), u'0');
    for (int i = digits - 1; i >= 0; --i) {
        text[static_cast<size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return text;
}

}  // namespace

std::u16string GuidToString(const GUID &Guid)
{
    std::u16string text = u"{" + Hex(Guid.Data1, 8) + u"-" + Hex(Guid.Data2, 4) + u"-" + Hex(Guid.Data3, 4) + u"-" +
                          Hex(Guid.Data4[0], 2) + Hex(Guid.Data4[1], 2) + u"-";
    for (int i = 2; i < 8; ++i) {
        text += Hex(Guid.Data4[i], 2);
    }
    return text + u"}";
}

DeviceInterfaces::DeviceInterfaces(Machine &machine) : machine_(machine) {}

std::u16string DeviceInterfaces::Key(std::u16string_view link)
{
    std::u16string key(link);
    // The user-mode spelling of the same name.
    if (key.size() >= 4 && key[0] == u'\\' && key[1] == u'\\' && key[2] == u'?' && key[3] == u'\\') {
        key[1] = u'?';
        key[2] = u'?';
    }
    for (auto &c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

NTSTATUS DeviceInterfaces::Register(PDEVICE_OBJECT Pdo, const GUID *Class, PCUNICODE_STRING Reference,
                                    PUNICODE_STRING LinkName)
{
    if (Pdo == nullptr || Class == nullptr || LinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto &pnp = machine_.Component<PnpManager>();
    if (!pnp.Knows(Pdo)) {
        // Windows accepts only a PDO that the PnP manager enumerated.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string reference;
    if (Reference != nullptr && Reference->Buffer != nullptr) {
        reference.assign(Reference->Buffer, Reference->Length / sizeof(WCHAR));
    }
    // "\??\USB#VID_1234&PID_0001#5&1a2b#{class}[\reference]"
    std::u16string link = u"\\??\\";
    for (char16_t c : pnp.InstanceId(Pdo)) {
        link.push_back(c == u'\\' ? u'#' : c);
    }
    link += u"#" + GuidToString(*Class);
    if (!reference.empty()) {
        link += u"\\" + reference;
    }
    const size_t bytes = link.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kInterfacePoolTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    {
        std::lock_guard lock(mutex_);
        auto [it, inserted] = entries_.try_emplace(Key(link));
        if (inserted) {
            it->second = Entry{link, Pdo, *Class, reference, false};
        }
    }
    LinkName->Buffer = buffer;
    LinkName->Length = static_cast<USHORT>(bytes);
    LinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS DeviceInterfaces::SetState(PCUNICODE_STRING LinkName, bool Enable)
{
    if (LinkName == nullptr || LinkName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string_view link(LinkName->Buffer, LinkName->Length / sizeof(WCHAR));
    std::lock_guard lock(mutex_);
    auto it = entries_.find(Key(link));
    if (it == entries_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    it->second.Enabled = Enable;
    return STATUS_SUCCESS;
}

std::vector<std::u16string> DeviceInterfaces::Enabled(const GUID &Class) const
{
    std::vector<std::u16string> links;
    std::lock_guard lock(mutex_);
    for (const auto &[key, entry] : entries_) {
        if (entry.Enabled && InlineIsEqualGUID(entry.Class, Class)) {
            // Applications see the user-mode spelling.
            std::u16string user = entry.Link;
            user[1] = u'\\';
            user[2] = u'?';
            links.push_back(std::move(user));
        }
    }
    return links;
}

std::optional<DeviceInterfaces::Target> DeviceInterfaces::Lookup(std::u16string_view LinkName) const
{
    std::lock_guard lock(mutex_);
    auto it = entries_.find(Key(LinkName));
    if (it == entries_.end()) {
        return std::nullopt;
    }
    return Target{it->second.Pdo, it->second.Reference, it->second.Enabled};
}

void DeviceInterfaces::ForgetDevice(PDEVICE_OBJECT Pdo)
{
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [Pdo](const auto &item) { return item.second.Pdo == Pdo; });
}

}  // namespace sim

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    return sim::Machine::Current().Component<sim::DeviceInterfaces>().Register(PhysicalDeviceObject, InterfaceClassGuid,
                                                                               ReferenceString, SymbolicLinkName);
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    return sim::Machine::Current().Component<sim::DeviceInterfaces>().SetState(SymbolicLinkName, Enable != FALSE);
}
