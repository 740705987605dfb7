#include "sim/image/Exports.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Platform.h"

namespace sim::image {
namespace {

// The C runtime routines ntoskrnl.exe exports and the DDK's RtlCopyMemory,
// RtlZeroMemory, RtlMoveMemory, RtlEqualMemory and RtlFillMemory expand to:
// the image calls them with the Windows convention, the host's take its own.
void *NTAPI ImageMemcpy(void *Destination, const void *Source, size_t Length)
{
    return std::memcpy(Destination, Source, Length);
}
void *NTAPI ImageMemmove(void *Destination, const void *Source, size_t Length)
{
    return std::memmove(Destination, Source, Length);
}
void *NTAPI ImageMemset(void *Destination, int Value, size_t Length) { return std::memset(Destination, Value, Length); }
int NTAPI ImageMemcmp(const void *Left, const void *Right, size_t Length) { return std::memcmp(Left, Right, Length); }
size_t NTAPI ImageWcslen(const WCHAR *String) { return wcslen(String); }

struct Service {
    const char *Name;
    const void *Address;
};

template <class F> constexpr Service S(const char *Name, F *Function)
{
    return {Name, reinterpret_cast<const void *>(Function)};
}

// ntoskrnl.exe as the x64 kernel exports it, each with the signature it
// has there. The x86-only names (the Kf spin-lock and IRQL routines of the
// 32-bit HAL, KeGetCurrentIrql) are not here: the x64 DDK spells
// KeAcquireSpinLock and KeReleaseSpinLock as the two exports below and
// reads and writes the IRQL inline, in CR8. Nor is ObfReferenceObject or
// ObfDereferenceObject: they return the new count, which the simulator's
// object references do not give.
const Service kKernel[] = {
    S("ExAllocatePool", ExAllocatePool),
    S("ExAllocatePoolWithTag", ExAllocatePoolWithTag),
    S("ExFreePool", ExFreePool),
    S("ExFreePoolWithTag", ExFreePoolWithTag),
    S("IoAcquireCancelSpinLock", IoAcquireCancelSpinLock),
    S("IoAllocateIrp", IoAllocateIrp),
    S("IoAllocateMdl", IoAllocateMdl),
    S("IoAllocateWorkItem", IoAllocateWorkItem),
    S("IoAttachDeviceToDeviceStack", IoAttachDeviceToDeviceStack),
    S("IoBuildDeviceIoControlRequest", IoBuildDeviceIoControlRequest),
    S("IoBuildPartialMdl", IoBuildPartialMdl),
    S("IoCancelIrp", IoCancelIrp),
    S("IoCreateDevice", IoCreateDevice),
    S("IoDeleteDevice", IoDeleteDevice),
    S("IoDetachDevice", IoDetachDevice),
    S("IoFreeIrp", IoFreeIrp),
    S("IoFreeMdl", IoFreeMdl),
    S("IoFreeWorkItem", IoFreeWorkItem),
    S("IoGetAttachedDevice", IoGetAttachedDevice),
    S("IoGetAttachedDeviceReference", IoGetAttachedDeviceReference),
    S("IoIsWdmVersionAvailable", IoIsWdmVersionAvailable),
    S("IoQueueWorkItem", IoQueueWorkItem),
    S("IoRegisterDeviceInterface", IoRegisterDeviceInterface),
    S("IoReleaseCancelSpinLock", IoReleaseCancelSpinLock),
    S("IoReuseIrp", IoReuseIrp),
    S("IoSetDeviceInterfaceState", IoSetDeviceInterfaceState),
    S("IoWMIRegistrationControl", IoWMIRegistrationControl),
    S("IofCallDriver", IofCallDriver),
    S("IofCompleteRequest", IofCompleteRequest),
    S("KeAcquireSpinLockAtDpcLevel", KeAcquireSpinLockAtDpcLevel),
    S("KeAcquireSpinLockRaiseToDpc", KfAcquireSpinLock),
    S("KeBugCheckEx", KeBugCheckEx),
    S("KeCancelTimer", KeCancelTimer),
    S("KeClearEvent", KeClearEvent),
    S("KeDelayExecutionThread", KeDelayExecutionThread),
    S("KeFlushQueuedDpcs", KeFlushQueuedDpcs),
    S("KeInitializeDpc", KeInitializeDpc),
    S("KeInitializeEvent", KeInitializeEvent),
    S("KeInitializeTimer", KeInitializeTimer),
    S("KeInitializeTimerEx", KeInitializeTimerEx),
    S("KeInsertQueueDpc", KeInsertQueueDpc),
    S("KeQueryInterruptTime", KeQueryInterruptTime),
    S("KeQueryTimeIncrement", KeQueryTimeIncrement),
    S("KeReadStateEvent", KeReadStateEvent),
    S("KeReadStateTimer", KeReadStateTimer),
    S("KeReleaseSpinLock", KfReleaseSpinLock),
    S("KeReleaseSpinLockFromDpcLevel", KeReleaseSpinLockFromDpcLevel),
    S("KeRemoveQueueDpc", KeRemoveQueueDpc),
    S("KeResetEvent", KeResetEvent),
    S("KeSetEvent", KeSetEvent),
    S("KeSetTimer", KeSetTimer),
    S("KeSetTimerEx", KeSetTimerEx),
    S("KeWaitForSingleObject", KeWaitForSingleObject),
    S("MmBuildMdlForNonPagedPool", MmBuildMdlForNonPagedPool),
    S("MmMapLockedPagesSpecifyCache", MmMapLockedPagesSpecifyCache),
    S("MmProbeAndLockPages", MmProbeAndLockPages),
    S("MmSizeOfMdl", MmSizeOfMdl),
    S("MmUnlockPages", MmUnlockPages),
    S("MmUnmapLockedPages", MmUnmapLockedPages),
    S("PoCallDriver", PoCallDriver),
    S("PoRequestPowerIrp", PoRequestPowerIrp),
    S("PoSetPowerState", PoSetPowerState),
    S("PoStartNextPowerIrp", PoStartNextPowerIrp),
    S("RtlAppendUnicodeStringToString", RtlAppendUnicodeStringToString),
    S("RtlAppendUnicodeToString", RtlAppendUnicodeToString),
    S("RtlCompareUnicodeString", RtlCompareUnicodeString),
    S("RtlCopyUnicodeString", RtlCopyUnicodeString),
    S("RtlEqualUnicodeString", RtlEqualUnicodeString),
    S("RtlFreeUnicodeString", RtlFreeUnicodeString),
    S("RtlInitUnicodeString", RtlInitUnicodeString),
    S("RtlQueryRegistryValues", RtlQueryRegistryValues),
    S("memcmp", ImageMemcmp),
    S("memcpy", ImageMemcpy),
    S("memmove", ImageMemmove),
    S("memset", ImageMemset),
    S("wcslen", ImageWcslen),
};

const Service kHal[] = {
    S("KeQueryPerformanceCounter", KeQueryPerformanceCounter),
};

const Service kUsbd[] = {
    S("USBD_CreateConfigurationRequestEx", USBD_CreateConfigurationRequestEx),
    S("USBD_ParseConfigurationDescriptorEx", USBD_ParseConfigurationDescriptorEx),
    S("USBD_ParseDescriptors", USBD_ParseDescriptors),
};

const Service kWmiLibrary[] = {
    S("WmiCompleteRequest", WmiCompleteRequest),
    S("WmiSystemControl", WmiSystemControl),
};

struct Module {
    const char *Name;
    const Service *Begin;
    const Service *End;
};

const Module kModules[] = {
    {"ntoskrnl.exe", std::begin(kKernel), std::end(kKernel)},
    {"hal.dll", std::begin(kHal), std::end(kHal)},
    {"usbd.sys", std::begin(kUsbd), std::end(kUsbd)},
    {"wmilib.sys", std::begin(kWmiLibrary), std::end(kWmiLibrary)},
};

bool SameModule(std::string_view Left, std::string_view Right)
{
    return Left.size() == Right.size() && std::equal(Left.begin(), Left.end(), Right.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

Lookup FindService(std::string_view ModuleName, std::string_view Name, const void **Address)
{
    for (const Module &module : kModules) {
        if (!SameModule(module.Name, ModuleName)) {
            continue;
        }
        for (const Service *service = module.Begin; service != module.End; ++service) {
            if (Name == service->Name) {
                *Address = service->Address;
                return Lookup::Found;
            }
        }
        return Lookup::UnknownService;
    }
    return Lookup::UnknownModule;
}

}  // namespace sim::image
