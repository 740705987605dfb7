// Device interfaces: the registrations drivers make on a PDO
// (IoRegisterDeviceInterface), their enabled state (IoSetDeviceInterfaceState)
// and the application's view of them (enumeration by class, lookup of a link
// name when a handle is opened).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/HostLock.h"
#include "platform/sim/SimPlatform.h"

namespace sim {

class Machine;

// "{9a655975-1560-4e63-9577-3524a0394d23}", as Windows spells it in links.
std::u16string GuidToString(const GUID &Guid);

class DeviceInterfaces {
public:
    explicit DeviceInterfaces(Machine &machine);

    // IoRegisterDeviceInterface. PASSIVE_LEVEL. The link name comes back in
    // a buffer from paged pool that the caller owns and frees with
    // RtlFreeUnicodeString. Registering the same class and reference string
    // on the same PDO again gives the same name (a new buffer). Statuses:
    // STATUS_SUCCESS, STATUS_INVALID_PARAMETER (no PDO, no class, no result),
    // STATUS_INVALID_DEVICE_REQUEST (the device is not a PDO the PnP manager
    // knows), STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS Register(PDEVICE_OBJECT Pdo, const GUID *Class, PCUNICODE_STRING Reference, PUNICODE_STRING LinkName);
    // IoSetDeviceInterfaceState. PASSIVE_LEVEL. STATUS_OBJECT_NAME_NOT_FOUND
    // for a name never registered; enabling an enabled interface, or
    // disabling a disabled one, succeeds and changes nothing.
    NTSTATUS SetState(PCUNICODE_STRING LinkName, bool Enable);

    // Application side. Link names are matched without regard to case and
    // may be given with the user-mode prefix "\\?\" instead of "\??\".
    std::vector<std::u16string> Enabled(const GUID &Class) const;
    struct Target {
        PDEVICE_OBJECT Pdo;
        std::u16string Reference;
        bool Enabled;
    };
    std::optional<Target> Lookup(std::u16string_view LinkName) const;

    // The PnP manager drops a PDO's interfaces when the PDO goes away.
    void ForgetDevice(PDEVICE_OBJECT Pdo);

private:
    struct Entry {
        std::u16string Link;  // as handed out
        PDEVICE_OBJECT Pdo;
        GUID Class;
        std::u16string Reference;
        bool Enabled = false;
    };
    static std::u16string Key(std::u16string_view link);

    Machine &machine_;
    mutable sim::HostMutex mutex_;
    std::map<std::u16string, Entry> entries_;  // by folded link name
};

}  // namespace sim
