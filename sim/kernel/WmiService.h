// WMI on the simulated machine: provider registration
// (IoWMIRegistrationControl), the WMI library drivers link against
// (WmiSystemControl, WmiCompleteRequest; WmiLibrary.cpp), and the consumer
// side that turns a management application's query or change into the
// IRP_MJ_SYSTEM_CONTROL requests Windows' WMI service sends.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/HostLock.h"
#include "sim/kernel/Machine.h"

namespace sim {

namespace checks {
inline constexpr std::string_view WmiRegisteredTwice = "WmiRegisteredTwice";
inline constexpr std::string_view WmiNotRegistered = "WmiNotRegistered";
inline constexpr std::string_view WmiRegisteredAtDelete = "WmiRegisteredAtDelete";
inline constexpr std::string_view WmiUnknownCompletion = "WmiUnknownCompletion";
}  // namespace checks

class WmiService {
public:
    explicit WmiService(Machine &machine);
    ~WmiService();
    WmiService(const WmiService &) = delete;
    WmiService &operator=(const WmiService &) = delete;

    // IoWMIRegistrationControl. PASSIVE_LEVEL. WMIREG_ACTION_REGISTER of a
    // registered device and any other action on an unregistered one are
    // verifier reports; the second registration changes nothing and
    // succeeds, the others fail with STATUS_INVALID_PARAMETER.
    NTSTATUS Registration(PDEVICE_OBJECT Device, ULONG Action);
    bool IsRegistered(PDEVICE_OBJECT Device) const;
    // The device is gone: a registration still held is a verifier report
    // (the device was deleted without deregistering) and is dropped.
    void DeviceDeleted(PDEVICE_OBJECT Device);
    // Reports and drops registrations of device objects their driver no
    // longer has (deleted without deregistering). The PnP manager calls it
    // after AddDevice and after each PnP request.
    void SweepDeleted();

    // ---- raw requests, as the WMI service sends them ----------------------
    // Each sends one IRP_MJ_SYSTEM_CONTROL to the top of Device's stack with
    // Parameters.WMI.ProviderId = Device (or ProviderId when given), waits
    // and returns what came back. PASSIVE_LEVEL; the dispatch routines run
    // in the calling thread.
    struct Reply {
        NTSTATUS Status = STATUS_PENDING;
        ULONG_PTR Information = 0;
        std::vector<uint8_t> Buffer;  // the whole request buffer afterwards
        // A WNODE_TOO_SMALL came back: the buffer size the request needs.
        bool TooSmall = false;
        ULONG SizeNeeded = 0;
        // The instance data of a successful query.
        std::vector<uint8_t> Data;
    };
    Reply RegInfo(PDEVICE_OBJECT Device, ULONG BufferSize, bool Extended = false);
    // DataBytes: room left for data after the WNODE's header.
    Reply QueryAllData(PDEVICE_OBJECT Device, const GUID &Guid, ULONG DataBytes);
    Reply QuerySingleInstance(PDEVICE_OBJECT Device, const GUID &Guid, ULONG InstanceIndex, ULONG DataBytes);
    Reply ChangeSingleInstance(PDEVICE_OBJECT Device, const GUID &Guid, ULONG InstanceIndex,
                               std::span<const uint8_t> Data);
    Reply ChangeSingleItem(PDEVICE_OBJECT Device, const GUID &Guid, ULONG InstanceIndex, ULONG ItemId,
                           std::span<const uint8_t> Data);
    // A request of another provider travelling through this stack: its
    // ProviderId names no device of it, so every driver must pass it on.
    Reply ForeignRequest(PDEVICE_OBJECT Device, UCHAR Minor = IRP_MN_QUERY_ALL_DATA);
    // Any minor function with a caller-made buffer.
    Reply Send(PDEVICE_OBJECT Device, UCHAR Minor, ULONG_PTR ProviderId, const GUID *Guid, std::vector<uint8_t> Buffer);

    // ---- management applications ------------------------------------------
    // Class schema: which block a class is, and where each property lies in
    // an instance's data (what the binary MOF says; the test or vxsim
    // supplies it).
    struct Property {
        std::string Name;
        ULONG ItemId;
        ULONG Offset;
        ULONG Size;  // 1, 2 or 4
    };
    void RegisterClass(std::string ClassName, const GUID &Guid, std::vector<Property> Properties);
    // Instance names of a class over every registered provider: for
    // providers that register WMIREG_FLAG_INSTANCE_PDO, the PDO's device
    // instance id followed by "_<index>".
    std::vector<std::u16string> Instances(std::string_view ClassName);
    // STATUS_WMI_GUID_NOT_FOUND for an unknown class, STATUS_NOT_FOUND for
    // an unknown property, STATUS_WMI_INSTANCE_NOT_FOUND for an unknown
    // instance; else the status of the request the provider completed.
    NTSTATUS QueryProperty(std::string_view ClassName, std::u16string_view Instance, std::string_view Property,
                           uint32_t *Value);
    NTSTATUS SetProperty(std::string_view ClassName, std::u16string_view Instance, std::string_view Property,
                         uint32_t Value);

    // ---- the WMI library's side table --------------------------------------
    // What WmiSystemControl handed to a callback, for WmiCompleteRequest.
    struct Handoff {
        UCHAR Minor = 0;
        ULONG InstanceCount = 0;
        ULONG DataBlockOffset = 0;
        std::vector<ULONG> InstanceLengths;
    };
    Handoff *BeginHandoff(PIRP Irp, Handoff Value);
    // Takes the handoff out (NULL when there is none).
    std::unique_ptr<Handoff> EndHandoff(PIRP Irp);

private:
    struct Registered {
        PDRIVER_OBJECT Driver = nullptr;  // read while the device was alive
        bool HaveInfo = false;
        std::vector<std::pair<GUID, ULONG>> Guids;  // guid, instance count
        bool PdoNames = false;
        PDEVICE_OBJECT Pdo = nullptr;
    };
    struct ClassInfo {
        GUID Guid;
        std::vector<Property> Properties;
    };
    struct Located {
        PDEVICE_OBJECT Device;
        ULONG Index;
    };
    bool Refresh(PDEVICE_OBJECT Device);
    bool Locate(const GUID &Guid, std::u16string_view Instance, Located *Where);

    Machine &machine_;
    mutable sim::HostMutex mutex_;
    std::map<PDEVICE_OBJECT, Registered> registered_;
    std::map<std::string, ClassInfo, std::less<>> classes_;
    std::map<PIRP, std::unique_ptr<Handoff>> handoffs_;
};

}  // namespace sim
