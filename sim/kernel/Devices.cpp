// Driver and device objects: loading and unloading drivers, creating,
// attaching, detaching and deleting devices, object references.
#include "sim/kernel/MachineImpl.h"

#include <cstdlib>

namespace sim {

namespace {

constexpr size_t kDeviceHeader = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};

}  // namespace

void Machine::Impl::PublishLiveDevicesLocked()
{
    auto next = std::make_unique<std::unordered_set<PDEVICE_OBJECT>>();
    for (const auto &[device, record] : Devices) {
        next->insert(device);
    }
    LiveDevices.store(next.get(), std::memory_order_release);
    LiveDeviceVersions.push_back(std::move(next));
}

namespace {

void FinalizeDelete(Machine::Impl &K, PDEVICE_OBJECT Device)
{
    std::lock_guard lock(K.ObjMutex);
    auto it = K.Devices.find(Device);
    if (it == K.Devices.end()) {
        return;
    }
    std::unique_ptr<DeviceRecord> rec = std::move(it->second);
    K.Devices.erase(it);
    K.PublishLiveDevicesLocked();
    rec->Deleted = true;
    memset(rec->Block, 0xDD, rec->BlockSize);
    PoisonRegion(rec->Block, rec->BlockSize);
    K.DeletedDevices.push_back(std::move(rec));
}

PDRIVER_OBJECT NewDriver(Machine::Impl &K, std::u16string_view Name, std::u16string_view RegistryPath, bool Loaded)
{
    auto rec = std::make_unique<DriverRecord>();
    rec->Name = Name;
    rec->RegistryPath = RegistryPath;
    rec->Utf8Name = Utf8(Name);
    rec->Loaded = Loaded;
    auto *obj = new DRIVER_OBJECT{};
    obj->Type = 4;
    obj->Size = sizeof(DRIVER_OBJECT);
    obj->DriverSection = rec.get();
    obj->DriverExtension = &rec->Extension;
    rec->Extension.DriverObject = obj;
    obj->DriverName.Buffer = rec->Name.data();
    obj->DriverName.Length = static_cast<USHORT>(rec->Name.size() * 2);
    obj->DriverName.MaximumLength = obj->DriverName.Length;
    rec->Object = obj;
    std::lock_guard lock(K.ObjMutex);
    K.Drivers.push_back(std::move(rec));
    return obj;
}

void CheckDriverLeftovers(Machine::Impl &K, PDRIVER_OBJECT Driver, const char *When)
{
    std::vector<std::string> found;
    {
        std::lock_guard lock(K.ObjMutex);
        for (auto &[dev, rec] : K.Devices) {
            if (dev->DriverObject == Driver && !rec->DeletePending) {
                found.push_back("device " + rec->Name + " still exists " + When);
            }
        }
    }
    {
        std::unique_lock lock(K.Sched);
        for (PKTIMER t : K.ArmedTimers) {
            if (t->Owner == Driver) {
                found.push_back("timer " + Hex(reinterpret_cast<uintptr_t>(t)) + " still armed " + When);
            }
        }
    }
    std::vector<PDEVICE_OBJECT> itemDevices;
    {
        std::unique_lock lock(K.Sched);
        for (WorkItem *w : K.LiveWorkItems) {
            itemDevices.push_back(w->Device);
        }
    }
    for (PDEVICE_OBJECT d : itemDevices) {
        if (DriverOfDevice(K, d) == Driver) {
            found.push_back("a work item of " + DeviceName(d) + " was never freed " + When);
        }
    }
    for (const std::string &f : found) {
        K.M.ReportViolation(checks::Leak, nullptr, nullptr, f);
    }
    PoolCheckTeardown(K, Driver);
    IrpCheckTeardown(K, Driver);
}

}  // namespace

DeviceRecord *DeviceRecordOf(PDEVICE_OBJECT Device)
{
    Machine::Impl &k = Kernel();
    std::lock_guard lock(k.ObjMutex);
    auto it = k.Devices.find(Device);
    return it == k.Devices.end() ? nullptr : it->second.get();
}

PDRIVER_OBJECT DriverOfDevice(Machine::Impl &I, PDEVICE_OBJECT Device)
{
    std::lock_guard lock(I.ObjMutex);
    auto it = I.Devices.find(Device);
    if (it != I.Devices.end()) {
        return it->second->Driver;
    }
    for (auto &rec : I.DeletedDevices) {
        if (rec->Object == Device) {
            return rec->Driver;
        }
    }
    return nullptr;
}

void ReferenceDevice(PDEVICE_OBJECT Device) { InterlockedIncrement(&Device->ReferenceCount); }

void DereferenceDevice(PDEVICE_OBJECT Device)
{
    Machine::Impl &k = Kernel();
    if (InterlockedDecrement(&Device->ReferenceCount) != 0) {
        return;
    }
    bool deletePending;
    {
        std::lock_guard lock(k.ObjMutex);
        auto it = k.Devices.find(Device);
        deletePending = it != k.Devices.end() && it->second->DeletePending;
    }
    if (deletePending) {
        FinalizeDelete(k, Device);
    }
}

PDRIVER_OBJECT Machine::LoadDriver(std::u16string_view Name, PDRIVER_INITIALIZE Entry, std::u16string_view RegistryPath,
                                   NTSTATUS *Status)
{
    Impl &k = *impl_;
    SimThread *me = Self();
    PDRIVER_OBJECT driver = NewDriver(k, Name, RegistryPath, true);
    auto *rec = static_cast<DriverRecord *>(driver->DriverSection);
    {
        // A driver loaded from a kernel image spans it, as on Windows.
        std::lock_guard lock(k.ImageMutex);
        if (const ImageRegion *image = k.ImageAtLocked(reinterpret_cast<const void *>(Entry))) {
            driver->DriverStart = const_cast<void *>(image->Base);
            driver->DriverSize = static_cast<ULONG>(image->Size);
        }
    }
    UNICODE_STRING path;
    path.Buffer = rec->RegistryPath.data();
    path.Length = static_cast<USHORT>(rec->RegistryPath.size() * 2);
    path.MaximumLength = path.Length;
    NTSTATUS status;
    {
        KIRQL irql = me->Irql;
        if (irql != PASSIVE_LEVEL) {
            ReportViolation(checks::BadParameter, nullptr, nullptr, "LoadDriver above PASSIVE_LEVEL");
        }
        FrameScope frame(FrameKind::DriverEntry, driver, nullptr, nullptr, reinterpret_cast<const void *>(Entry));
        status = Entry(driver, &path);
    }
    if (Status != nullptr) {
        *Status = status;
    }
    if (!NT_SUCCESS(status)) {
        CheckDriverLeftovers(k, driver, "after DriverEntry failed");
        rec->Unloaded = true;
        return nullptr;
    }
    return driver;
}

void Machine::UnloadDriver(PDRIVER_OBJECT Driver)
{
    Impl &k = *impl_;
    auto *rec = k.DriverOf(Driver);
    if (rec == nullptr || !rec->Loaded || rec->Unloaded) {
        ReportViolation(checks::BadParameter, nullptr, nullptr, "UnloadDriver on a driver that is not loaded");
        return;
    }
    if (Driver->DriverUnload != nullptr) {
        FrameScope frame(FrameKind::Unload, Driver, nullptr, nullptr,
                         reinterpret_cast<const void *>(Driver->DriverUnload));
        Driver->DriverUnload(Driver);
    }
    rec->Unloaded = true;
    CheckDriverLeftovers(k, Driver, "after DriverUnload");
    std::unique_lock lock(k.Sched);
    std::erase_if(k.DpcOwners, [Driver](const auto &entry) { return entry.second == Driver; });
}

PDRIVER_OBJECT Machine::CreateSystemDriver(std::u16string_view Name) { return NewDriver(*impl_, Name, u"", false); }

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    *DeviceObject = nullptr;
    if (me->Irql != PASSIVE_LEVEL) {
        k.M.ReportViolation(checks::PoolIrql, nullptr, nullptr, "IoCreateDevice above PASSIVE_LEVEL");
    }
    if (DriverObject == nullptr || k.DriverOf(DriverObject) == nullptr) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr, "IoCreateDevice for an unknown driver object");
        return STATUS_INVALID_PARAMETER;
    }
    if (k.M.ShouldFail(FaultKind::Pool, __builtin_return_address(0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string ntName;
    if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        std::lock_guard lock(k.ObjMutex);
        char buf[16];
        std::snprintf(buf, sizeof(buf), "%08x", k.AutoNameCounter++);
        ntName = u"\\Device\\";
        for (const char *c = buf; *c != 0; ++c) {
            ntName += static_cast<char16_t>(*c);
        }
    } else if (DeviceName != nullptr && DeviceName->Buffer != nullptr) {
        ntName.assign(DeviceName->Buffer, DeviceName->Length / 2);
    }
    size_t blockSize = kDeviceHeader + DeviceExtensionSize;
    // Cache lines of its own: every request reads the device object, and
    // a neighbour written by another processor would take the line away.
    void *block = std::aligned_alloc(64, (blockSize + 63) & ~size_t{63});
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(block, 0, blockSize);
    auto *dev = static_cast<PDEVICE_OBJECT>(block);
    auto rec = std::make_unique<DeviceRecord>();
    rec->Object = dev;
    rec->Driver = DriverObject;
    rec->Block = block;
    rec->BlockSize = blockSize;
    rec->NtName = ntName;
    auto *drec = static_cast<DriverRecord *>(DriverObject->DriverSection);
    rec->Name = ntName.empty() ? ("unnamed device " + Hex(reinterpret_cast<uintptr_t>(dev)) + " of " + drec->Utf8Name)
                               : Utf8(ntName);
    dev->Type = 3;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->Flags = DO_DEVICE_INITIALIZING | (ntName.empty() ? 0 : DO_DEVICE_HAS_NAME) | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    dev->DeviceType = DeviceType;
    dev->StackSize = 1;
    dev->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<UCHAR *>(block) + kDeviceHeader : nullptr;
    dev->DeviceObjectExtension = rec.get();
    {
        std::lock_guard lock(k.ObjMutex);
        if (!ntName.empty()) {
            for (auto &[d, r] : k.Devices) {
                if (r->NtName == ntName) {
                    std::free(block);
                    return STATUS_OBJECT_NAME_COLLISION;
                }
            }
        }
        dev->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = dev;
        k.Devices.emplace(dev, std::move(rec));
        k.PublishLiveDevicesLocked();
    }
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    DeviceRecord *rec = nullptr;
    bool deletedBefore = false;
    PDEVICE_OBJECT lower = nullptr;
    {
        std::lock_guard lock(k.ObjMutex);
        auto it = k.Devices.find(DeviceObject);
        if (it != k.Devices.end()) {
            rec = it->second.get();
        } else {
            for (auto &d : k.DeletedDevices) {
                deletedBefore = deletedBefore || d->Object == DeviceObject;
            }
        }
        if (rec != nullptr && !rec->DeletePending) {
            for (auto &[d, r] : k.Devices) {
                if (d->AttachedDevice == DeviceObject) {
                    lower = d;
                }
            }
        }
    }
    if (rec == nullptr || rec->DeletePending) {
        k.M.ReportViolation(
            rec != nullptr || deletedBefore ? checks::DeleteDeviceTwice : checks::BadParameter, nullptr, nullptr,
            rec != nullptr || deletedBefore ? "IoDeleteDevice on a device that was already deleted"
                                            : "IoDeleteDevice on " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                                  ", which is not a device object");
        return;
    }
    if (lower != nullptr) {
        k.M.ReportViolation(checks::DeleteAttachedDevice, nullptr, DeviceObject,
                            "IoDeleteDevice while still attached to " + DeviceName(lower) + " (IoDetachDevice first)");
    }
    if (DeviceObject->AttachedDevice != nullptr) {
        k.M.ReportViolation(checks::DeleteAttachedDevice, nullptr, DeviceObject,
                            "IoDeleteDevice while " + DeviceName(DeviceObject->AttachedDevice) +
                                " is attached above it");
    }
    CheckPendingWorkIn(k, rec->Block, rec->BlockSize, DeviceObject, checks::DeleteDeviceWithPendingWork,
                       [&] { return "IoDeleteDevice of " + rec->Name; });
    CheckSyncObjectsIn(k, rec->Block, rec->BlockSize, DeviceObject, [&] { return "IoDeleteDevice of " + rec->Name; });
    bool now;
    {
        std::lock_guard lock(k.ObjMutex);
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT *p = &driver->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
            if (*p == DeviceObject) {
                *p = DeviceObject->NextDevice;
                break;
            }
        }
        rec->DeletePending = true;
        // Acquire: the last dereference in another thread must happen
        // before the object is poisoned here.
        now = __atomic_load_n(&DeviceObject->ReferenceCount, __ATOMIC_ACQUIRE) == 0;
    }
    if (now) {
        FinalizeDelete(k, DeviceObject);
    }
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    Machine::Impl &k = Kernel();
    std::lock_guard lock(k.ObjMutex);
    auto src = k.Devices.find(SourceDevice);
    auto dst = k.Devices.find(TargetDevice);
    if (src == k.Devices.end() || dst == k.Devices.end() || dst->second->DeletePending) {
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    auto topRec = k.Devices.find(top);
    if (topRec == k.Devices.end() || topRec->second->DeletePending) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Machine::Impl &k = Kernel();
    {
        std::lock_guard lock(k.ObjMutex);
        if (k.Devices.count(TargetDevice) != 0 && TargetDevice->AttachedDevice != nullptr) {
            TargetDevice->AttachedDevice = nullptr;
            return;
        }
    }
    k.M.ReportViolation(checks::BadParameter, nullptr, TargetDevice,
                        "IoDetachDevice on a device with nothing attached to it");
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    Machine::Impl &k = Kernel();
    std::lock_guard lock(k.ObjMutex);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    // The walk and the reference under the lock IoDetachDevice takes, as
    // Windows holds its device database lock: a device detached and deleted
    // meanwhile is either not reached or kept alive by this reference.
    Machine::Impl &k = Kernel();
    std::lock_guard lock(k.ObjMutex);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    ReferenceDevice(top);
    return top;
}

VOID NTAPI ObReferenceObject(PVOID Object)
{
    Machine::Impl &k = Kernel();
    if (DeviceRecordOf(static_cast<PDEVICE_OBJECT>(Object)) == nullptr) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "ObReferenceObject on something that is not a live device object");
        return;
    }
    ReferenceDevice(static_cast<PDEVICE_OBJECT>(Object));
}

VOID NTAPI ObDereferenceObject(PVOID Object)
{
    Machine::Impl &k = Kernel();
    auto *dev = static_cast<PDEVICE_OBJECT>(Object);
    if (DeviceRecordOf(dev) == nullptr || ReadNoFence(&dev->ReferenceCount) <= 0) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "ObDereferenceObject on something that is not a referenced device object");
        return;
    }
    DereferenceDevice(dev);
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    const MachineOptions &o = Machine::Current().Options();
    return MajorVersion < o.WdmMajor || (MajorVersion == o.WdmMajor && MinorVersion <= o.WdmMinor);
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xfffc) {
        bytes = 0xfffc;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
    }
}

static WCHAR Upcase(WCHAR C) { return (C >= u'a' && C <= u'z') ? static_cast<WCHAR>(C - 32) : C; }

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < std::min(n1, n2); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source == nullptr || Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if (static_cast<size_t>(Destination->Length) + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove(reinterpret_cast<UCHAR *>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

}  // extern "C"
