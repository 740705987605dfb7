#include "sim/kernel/WmiService.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "sim/kernel/PnpManager.h"

namespace sim {

namespace {

struct WmiWait {
    KEVENT Done;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
};

void WmiIrpFinished(PIRP Irp, void *Context)
{
    auto *wait = static_cast<WmiWait *>(Context);
    wait->Status = Irp->IoStatus.Status;
    wait->Information = Irp->IoStatus.Information;
    IoFreeIrp(Irp);
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

std::u16string Widen(std::string_view text)
{
    std::u16string wide;
    for (char c : text) {
        wide.push_back(static_cast<unsigned char>(c));
    }
    return wide;
}

std::u16string Decimal(unsigned value) { return Widen(std::to_string(value)); }

constexpr ULONG kSingleInstanceData = 8 * ((offsetof(WNODE_SINGLE_INSTANCE, VariableData) + 7) / 8);
constexpr ULONG kSingleItemData = 8 * ((offsetof(WNODE_SINGLE_ITEM, VariableData) + 7) / 8);

}  // namespace

WmiService::WmiService(Machine &machine) : machine_(machine) {}

WmiService::~WmiService()
{
    std::vector<PDEVICE_OBJECT> left;
    {
        std::lock_guard lock(mutex_);
        for (auto &[device, info] : registered_) {
            left.push_back(device);
        }
    }
    if (left.empty()) {
        return;
    }
    std::unique_ptr<ThreadScope> scope;
    if (Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<ThreadScope>(machine_, "wmi-teardown");
    }
    for (PDEVICE_OBJECT device : left) {
        machine_.ReportViolation(checks::WmiRegisteredAtDelete, nullptr, nullptr,
                                 "a device was still registered with WMI when the machine "
                                 "went away");
        (void)device;
    }
}

NTSTATUS WmiService::Registration(PDEVICE_OBJECT Device, ULONG Action)
{
    if (Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string_view problem;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        auto it = registered_.find(Device);
        switch (Action) {
        case WMIREG_ACTION_REGISTER:
            if (it != registered_.end()) {
                problem = checks::WmiRegisteredTwice;
            } else {
                Registered entry;
                entry.Driver = Device->DriverObject;
                registered_.emplace(Device, std::move(entry));
            }
            break;
        case WMIREG_ACTION_DEREGISTER:
            if (it == registered_.end()) {
                problem = checks::WmiNotRegistered;
                status = STATUS_INVALID_PARAMETER;
            } else {
                registered_.erase(it);
            }
            break;
        case WMIREG_ACTION_REREGISTER:
        case WMIREG_ACTION_UPDATE_GUIDS:
            if (it == registered_.end()) {
                problem = checks::WmiNotRegistered;
                status = STATUS_INVALID_PARAMETER;
            } else {
                Registered entry;
                entry.Driver = it->second.Driver;
                it->second = std::move(entry);
            }
            break;
        default: status = STATUS_INVALID_PARAMETER; break;
        }
    }
    if (problem == checks::WmiRegisteredTwice) {
        machine_.ReportViolation(problem, nullptr, Device,
                                 "IoWMIRegistrationControl registers a device that is already "
                                 "registered");
    } else if (!problem.empty()) {
        machine_.ReportViolation(problem, nullptr, Device,
                                 "IoWMIRegistrationControl on a device that is not registered");
    }
    return status;
}

bool WmiService::IsRegistered(PDEVICE_OBJECT Device) const
{
    std::lock_guard lock(mutex_);
    return registered_.contains(Device);
}

void WmiService::DeviceDeleted(PDEVICE_OBJECT Device)
{
    bool was = false;
    {
        std::lock_guard lock(mutex_);
        was = registered_.erase(Device) != 0;
    }
    if (was) {
        // The device object may be gone already: named by address only.
        char detail[128];
        std::snprintf(detail, sizeof(detail), "device object %p went away still registered with WMI",
                      static_cast<void *>(Device));
        machine_.ReportViolation(checks::WmiRegisteredAtDelete, nullptr, nullptr, detail);
    }
}

void WmiService::SweepDeleted()
{
    std::vector<PDEVICE_OBJECT> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto it = registered_.begin(); it != registered_.end();) {
            bool present = false;
            if (it->second.Driver != nullptr) {
                for (PDEVICE_OBJECT d = it->second.Driver->DeviceObject; d != nullptr; d = d->NextDevice) {
                    present = present || d == it->first;
                }
            }
            if (present) {
                ++it;
            } else {
                gone.push_back(it->first);
                it = registered_.erase(it);
            }
        }
    }
    for (PDEVICE_OBJECT device : gone) {
        char detail[128];
        std::snprintf(detail, sizeof(detail), "device object %p was deleted while still registered with WMI",
                      static_cast<void *>(device));
        machine_.ReportViolation(checks::WmiRegisteredAtDelete, nullptr, nullptr, detail);
    }
}

WmiService::Handoff *WmiService::BeginHandoff(PIRP Irp, Handoff Value)
{
    std::lock_guard lock(mutex_);
    auto &slot = handoffs_[Irp];
    slot = std::make_unique<Handoff>(std::move(Value));
    return slot.get();
}

std::unique_ptr<WmiService::Handoff> WmiService::EndHandoff(PIRP Irp)
{
    std::lock_guard lock(mutex_);
    auto it = handoffs_.find(Irp);
    if (it == handoffs_.end()) {
        return nullptr;
    }
    auto handoff = std::move(it->second);
    handoffs_.erase(it);
    return handoff;
}

WmiService::Reply WmiService::Send(PDEVICE_OBJECT Device, UCHAR Minor, ULONG_PTR ProviderId, const GUID *Guid,
                                   std::vector<uint8_t> Buffer)
{
    Reply reply;
    reply.Buffer = std::move(Buffer);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
    WmiWait wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    PIRP irp = AllocateManagerIrp(top->StackSize, WmiIrpFinished, &wait);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        reply.Status = STATUS_INSUFFICIENT_RESOURCES;
        return reply;
    }
    GUID guid{};
    if (Guid != nullptr) {
        guid = *Guid;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    location->MinorFunction = Minor;
    location->Parameters.WMI.ProviderId = ProviderId;
    location->Parameters.WMI.DataPath = Guid != nullptr ? &guid : nullptr;
    location->Parameters.WMI.BufferSize = static_cast<ULONG>(reply.Buffer.size());
    location->Parameters.WMI.Buffer = reply.Buffer.empty() ? nullptr : reply.Buffer.data();
    (void)IofCallDriver(top, irp);
    (void)KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    reply.Status = wait.Status;
    reply.Information = wait.Information;

    // Read the answer back out of the WNODE.
    if (NT_SUCCESS(reply.Status) && reply.Buffer.size() >= sizeof(WNODE_HEADER) && Minor != IRP_MN_REGINFO &&
        Minor != IRP_MN_REGINFO_EX) {
        WNODE_HEADER header;
        std::memcpy(&header, reply.Buffer.data(), sizeof(header));
        if ((header.Flags & WNODE_FLAG_TOO_SMALL) != 0 && reply.Buffer.size() >= sizeof(WNODE_TOO_SMALL)) {
            WNODE_TOO_SMALL tooSmall;
            std::memcpy(&tooSmall, reply.Buffer.data(), sizeof(tooSmall));
            reply.TooSmall = true;
            reply.SizeNeeded = tooSmall.SizeNeeded;
        } else if (Minor == IRP_MN_QUERY_ALL_DATA && reply.Buffer.size() >= sizeof(WNODE_ALL_DATA)) {
            WNODE_ALL_DATA all;
            std::memcpy(&all, reply.Buffer.data(), sizeof(all));
            if (all.DataBlockOffset <= header.BufferSize && header.BufferSize <= reply.Buffer.size()) {
                reply.Data.assign(reply.Buffer.begin() + all.DataBlockOffset, reply.Buffer.begin() + header.BufferSize);
            }
        } else if (Minor == IRP_MN_QUERY_SINGLE_INSTANCE &&
                   reply.Buffer.size() >= offsetof(WNODE_SINGLE_INSTANCE, VariableData)) {
            WNODE_SINGLE_INSTANCE single;
            std::memcpy(&single, reply.Buffer.data(), offsetof(WNODE_SINGLE_INSTANCE, VariableData));
            if (single.DataBlockOffset <= reply.Buffer.size() &&
                single.SizeDataBlock <= reply.Buffer.size() - single.DataBlockOffset) {
                reply.Data.assign(reply.Buffer.begin() + single.DataBlockOffset,
                                  reply.Buffer.begin() + single.DataBlockOffset + single.SizeDataBlock);
            }
        }
    }
    return reply;
}

WmiService::Reply WmiService::RegInfo(PDEVICE_OBJECT Device, ULONG BufferSize, bool Extended)
{
    return Send(Device, Extended ? IRP_MN_REGINFO_EX : IRP_MN_REGINFO, reinterpret_cast<ULONG_PTR>(Device), nullptr,
                std::vector<uint8_t>(BufferSize, 0));
}

WmiService::Reply WmiService::QueryAllData(PDEVICE_OBJECT Device, const GUID &Guid, ULONG DataBytes)
{
    // The library places the data after the per-instance table; leave the
    // caller's DataBytes of room beyond the largest table it could use.
    const ULONG header = 8 * ((sizeof(WNODE_ALL_DATA) + 7) / 8);
    std::vector<uint8_t> buffer(header + DataBytes, 0);
    WNODE_ALL_DATA all{};
    all.WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    all.WnodeHeader.Guid = Guid;
    all.WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
    std::memcpy(buffer.data(), &all, sizeof(all));
    return Send(Device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(Device), &Guid, std::move(buffer));
}

WmiService::Reply WmiService::QuerySingleInstance(PDEVICE_OBJECT Device, const GUID &Guid, ULONG InstanceIndex,
                                                  ULONG DataBytes)
{
    std::vector<uint8_t> buffer(kSingleInstanceData + DataBytes, 0);
    WNODE_SINGLE_INSTANCE single{};
    single.WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    single.WnodeHeader.Guid = Guid;
    single.WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    single.InstanceIndex = InstanceIndex;
    single.DataBlockOffset = kSingleInstanceData;
    std::memcpy(buffer.data(), &single, offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    return Send(Device, IRP_MN_QUERY_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(Device), &Guid, std::move(buffer));
}

WmiService::Reply WmiService::ChangeSingleInstance(PDEVICE_OBJECT Device, const GUID &Guid, ULONG InstanceIndex,
                                                   std::span<const uint8_t> Data)
{
    std::vector<uint8_t> buffer(kSingleInstanceData + Data.size(), 0);
    WNODE_SINGLE_INSTANCE single{};
    single.WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    single.WnodeHeader.Guid = Guid;
    single.WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    single.InstanceIndex = InstanceIndex;
    single.DataBlockOffset = kSingleInstanceData;
    single.SizeDataBlock = static_cast<ULONG>(Data.size());
    std::memcpy(buffer.data(), &single, offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    if (!Data.empty()) {
        std::memcpy(buffer.data() + kSingleInstanceData, Data.data(), Data.size());
    }
    return Send(Device, IRP_MN_CHANGE_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(Device), &Guid, std::move(buffer));
}

WmiService::Reply WmiService::ChangeSingleItem(PDEVICE_OBJECT Device, const GUID &Guid, ULONG InstanceIndex,
                                               ULONG ItemId, std::span<const uint8_t> Data)
{
    std::vector<uint8_t> buffer(kSingleItemData + Data.size(), 0);
    WNODE_SINGLE_ITEM item{};
    item.WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    item.WnodeHeader.Guid = Guid;
    item.WnodeHeader.Flags = WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    item.InstanceIndex = InstanceIndex;
    item.ItemId = ItemId;
    item.DataBlockOffset = kSingleItemData;
    item.SizeDataItem = static_cast<ULONG>(Data.size());
    std::memcpy(buffer.data(), &item, offsetof(WNODE_SINGLE_ITEM, VariableData));
    if (!Data.empty()) {
        std::memcpy(buffer.data() + kSingleItemData, Data.data(), Data.size());
    }
    return Send(Device, IRP_MN_CHANGE_SINGLE_ITEM, reinterpret_cast<ULONG_PTR>(Device), &Guid, std::move(buffer));
}

WmiService::Reply WmiService::ForeignRequest(PDEVICE_OBJECT Device, UCHAR Minor)
{
    // A provider id no device of this stack has: the address of a local.
    static const int kElsewhere = 0;
    std::vector<uint8_t> buffer(sizeof(WNODE_ALL_DATA) + 64, 0);
    return Send(Device, Minor, reinterpret_cast<ULONG_PTR>(&kElsewhere), nullptr, std::move(buffer));
}

void WmiService::RegisterClass(std::string ClassName, const GUID &Guid, std::vector<Property> Properties)
{
    std::lock_guard lock(mutex_);
    classes_[std::move(ClassName)] = ClassInfo{Guid, std::move(Properties)};
}

// Fetches a provider's registration (IRP_MN_REGINFO) once per registration.
bool WmiService::Refresh(PDEVICE_OBJECT Device)
{
    {
        std::lock_guard lock(mutex_);
        auto it = registered_.find(Device);
        if (it == registered_.end()) {
            return false;
        }
        if (it->second.HaveInfo) {
            return true;
        }
    }
    Reply reply = RegInfo(Device, 512);
    if (reply.Status == STATUS_BUFFER_TOO_SMALL && reply.Information == sizeof(ULONG)) {
        ULONG needed = 0;
        std::memcpy(&needed, reply.Buffer.data(), sizeof(needed));
        if (needed > 0x10000) {
            return false;
        }
        reply = RegInfo(Device, needed);
    }
    if (!NT_SUCCESS(reply.Status) || reply.Information < offsetof(WMIREGINFOW, WmiRegGuid) ||
        reply.Information > reply.Buffer.size()) {
        return false;
    }
    Registered info;
    info.HaveInfo = true;
    ULONG guidCount = 0;
    std::memcpy(&guidCount, reply.Buffer.data() + offsetof(WMIREGINFOW, GuidCount), sizeof(ULONG));
    for (ULONG i = 0; i < guidCount; ++i) {
        const size_t at = offsetof(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW);
        if (at + sizeof(WMIREGGUIDW) > reply.Information) {
            return false;
        }
        WMIREGGUIDW guid;
        std::memcpy(&guid, reply.Buffer.data() + at, sizeof(guid));
        info.Guids.emplace_back(guid.Guid, guid.InstanceCount);
        if ((guid.Flags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
            info.PdoNames = true;
            info.Pdo = reinterpret_cast<PDEVICE_OBJECT>(guid.Pdo);
        }
    }
    std::lock_guard lock(mutex_);
    auto it = registered_.find(Device);
    if (it == registered_.end()) {
        return false;
    }
    info.Driver = it->second.Driver;
    it->second = std::move(info);
    return true;
}

std::vector<std::u16string> WmiService::Instances(std::string_view ClassName)
{
    GUID guid{};
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard lock(mutex_);
        auto cls = classes_.find(ClassName);
        if (cls == classes_.end()) {
            return {};
        }
        guid = cls->second.Guid;
        for (auto &[device, info] : registered_) {
            devices.push_back(device);
        }
    }
    std::vector<std::u16string> names;
    auto &pnp = machine_.Component<PnpManager>();
    for (PDEVICE_OBJECT device : devices) {
        if (!Refresh(device)) {
            continue;
        }
        Registered info;
        {
            std::lock_guard lock(mutex_);
            auto it = registered_.find(device);
            if (it == registered_.end()) {
                continue;
            }
            info = it->second;
        }
        for (auto &[candidate, count] : info.Guids) {
            if (!InlineIsEqualGUID(candidate, guid)) {
                continue;
            }
            std::u16string base = info.PdoNames ? pnp.InstanceId(info.Pdo) : Widen(DeviceName(device));
            for (ULONG i = 0; i < count; ++i) {
                names.push_back(base + u"_" + Decimal(i));
            }
        }
    }
    return names;
}

bool WmiService::Locate(const GUID &Guid, std::u16string_view Instance, Located *Where)
{
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard lock(mutex_);
        for (auto &[device, info] : registered_) {
            devices.push_back(device);
        }
    }
    auto &pnp = machine_.Component<PnpManager>();
    for (PDEVICE_OBJECT device : devices) {
        if (!Refresh(device)) {
            continue;
        }
        Registered info;
        {
            std::lock_guard lock(mutex_);
            auto it = registered_.find(device);
            if (it == registered_.end()) {
                continue;
            }
            info = it->second;
        }
        const std::u16string base = info.PdoNames ? pnp.InstanceId(info.Pdo) : Widen(DeviceName(device));
        for (auto &[candidate, count] : info.Guids) {
            if (!InlineIsEqualGUID(candidate, Guid)) {
                continue;
            }
            for (ULONG i = 0; i < count; ++i) {
                if (Instance == base + u"_" + Decimal(i)) {
                    *Where = Located{device, i};
                    return true;
                }
            }
        }
    }
    return false;
}

NTSTATUS WmiService::QueryProperty(std::string_view ClassName, std::u16string_view Instance,
                                   std::string_view PropertyName, uint32_t *Value)
{
    ClassInfo cls;
    {
        std::lock_guard lock(mutex_);
        auto it = classes_.find(ClassName);
        if (it == classes_.end()) {
            return STATUS_WMI_GUID_NOT_FOUND;
        }
        cls = it->second;
    }
    const Property *property = nullptr;
    for (const auto &candidate : cls.Properties) {
        if (candidate.Name == PropertyName) {
            property = &candidate;
        }
    }
    if (property == nullptr || property->Size == 0 || property->Size > sizeof(uint32_t)) {
        return STATUS_NOT_FOUND;
    }
    Located where{};
    if (!Locate(cls.Guid, Instance, &where)) {
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    }
    Reply reply = QuerySingleInstance(where.Device, cls.Guid, where.Index, 64);
    if (NT_SUCCESS(reply.Status) && reply.TooSmall) {
        if (reply.SizeNeeded > 0x100000) {
            return STATUS_BUFFER_OVERFLOW;
        }
        reply = QuerySingleInstance(where.Device, cls.Guid, where.Index, reply.SizeNeeded);
    }
    if (!NT_SUCCESS(reply.Status)) {
        return reply.Status;
    }
    if (reply.TooSmall || property->Offset + property->Size > reply.Data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    uint32_t value = 0;
    std::memcpy(&value, reply.Data.data() + property->Offset, property->Size);
    *Value = value;
    return reply.Status;
}

NTSTATUS WmiService::SetProperty(std::string_view ClassName, std::u16string_view Instance,
                                 std::string_view PropertyName, uint32_t Value)
{
    ClassInfo cls;
    {
        std::lock_guard lock(mutex_);
        auto it = classes_.find(ClassName);
        if (it == classes_.end()) {
            return STATUS_WMI_GUID_NOT_FOUND;
        }
        cls = it->second;
    }
    const Property *property = nullptr;
    for (const auto &candidate : cls.Properties) {
        if (candidate.Name == PropertyName) {
            property = &candidate;
        }
    }
    if (property == nullptr || property->Size == 0 || property->Size > sizeof(uint32_t)) {
        return STATUS_NOT_FOUND;
    }
    Located where{};
    if (!Locate(cls.Guid, Instance, &where)) {
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    }
    uint8_t bytes[sizeof(uint32_t)];
    std::memcpy(bytes, &Value, sizeof(bytes));
    return ChangeSingleItem(where.Device, cls.Guid, where.Index, property->ItemId,
                            std::span<const uint8_t>(bytes, property->Size))
        .Status;
}

}  // namespace sim

extern "C" NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    return sim::Machine::Current().Component<sim::WmiService>().Registration(DeviceObject, Action);
}
