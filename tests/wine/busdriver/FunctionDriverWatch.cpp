#include "tests/wine/busdriver/FunctionDriverWatch.h"

#include <stdint.h>

namespace vxbus {
namespace {

// The watched driver. Written at a child's start and by the unload check,
// both at PASSIVE_LEVEL on the bus's dispatch path; read by the unload
// wrapper.
PDRIVER_OBJECT WatchedDriver;
PDRIVER_UNLOAD WatchedUnload;
LONG volatile UnloadRan;

// IoBuildPartialMdl for a kernel whose pages are the driver host's own
// (Wine's): the target describes `length` bytes from `address` within the
// source's range (the rest of the source when 0), and maps them where they
// are, since the caller's buffer is already in this address space. IoFreeMdl
// frees it as any MDL.
VOID NTAPI BuildPartialMdlStandIn(PMDL source, PMDL target, PVOID address, ULONG length)
{
    auto *sourceStart = static_cast<uint8_t *>(MmGetMdlVirtualAddress(source));
    auto *at = static_cast<uint8_t *>(address);
    const ULONG offset = static_cast<ULONG>(at - sourceStart);
    if (length == 0)
        length = MmGetMdlByteCount(source) - offset;
    target->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(at) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
    target->ByteOffset = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(at) & (PAGE_SIZE - 1));
    target->ByteCount = length;
    target->Process = source->Process;
    target->MappedSystemVa = at;
    target->MdlFlags = static_cast<CSHORT>((target->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                           MDL_MAPPED_TO_SYSTEM_VA);
}

VOID NTAPI UnloadWatched(PDRIVER_OBJECT driver)
{
    InterlockedExchange(&UnloadRan, 1);
    if (WatchedUnload != nullptr)
        WatchedUnload(driver);
}

uint32_t Read32(const uint8_t *at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

bool SameNameIgnoringCase(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
        const char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

// The base of the loaded image that holds `code`: DriverStart when the
// kernel filled it in, else the page at or below `code` that starts with the
// image's headers (an image is mapped whole, so every page down to its base
// can be read).
const uint8_t *ImageBase(PDRIVER_OBJECT driver, const void *code)
{
    auto isHeader = [](const uint8_t *page) {
        if (page[0] != 'M' || page[1] != 'Z')
            return false;
        const uint32_t pe = Read32(page + 0x3C);
        return pe >= 0x40 && pe < PAGE_SIZE - 256 && Read32(page + pe) == 0x00004550;
    };
    if (driver->DriverStart != nullptr && isHeader(static_cast<const uint8_t *>(driver->DriverStart)))
        return static_cast<const uint8_t *>(driver->DriverStart);
    auto page = reinterpret_cast<ULONG_PTR>(code) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1);
    for (ULONG pages = 0; pages < 4096; ++pages, page -= PAGE_SIZE) {
        if (isHeader(reinterpret_cast<const uint8_t *>(page)))
            return reinterpret_cast<const uint8_t *>(page);
    }
    return nullptr;
}

// Points the image's import of `module`!`name` at `routine`. False when the
// image does not import it by name.
bool BindImport(uint8_t *base, const char *module, const char *name, PVOID routine)
{
    const uint32_t pe = Read32(base + 0x3C);
    const uint8_t *optional = base + pe + 24;
    const uint16_t magic = static_cast<uint16_t>(optional[0] | (optional[1] << 8));
    const uint8_t *directories = optional + (magic == 0x20B ? 112 : 96);
    const uint32_t imports = Read32(directories + 8);  // entry 1: the import directory
    if (imports == 0)
        return false;
    for (const uint8_t *descriptor = base + imports; Read32(descriptor + 12) != 0; descriptor += 20) {
        if (!SameNameIgnoringCase(reinterpret_cast<const char *>(base + Read32(descriptor + 12)), module))
            continue;
        const uint32_t names = Read32(descriptor) != 0 ? Read32(descriptor) : Read32(descriptor + 16);
        auto *lookup = reinterpret_cast<const ULONG_PTR *>(base + names);
        auto *bound = reinterpret_cast<PVOID *>(base + Read32(descriptor + 16));
        constexpr ULONG_PTR byOrdinal = static_cast<ULONG_PTR>(1) << (sizeof(ULONG_PTR) * 8 - 1);
        for (ULONG k = 0; lookup[k] != 0; ++k) {
            if ((lookup[k] & byOrdinal) != 0)
                continue;
            // IMAGE_IMPORT_BY_NAME: a 16-bit hint, then the name.
            const char *imported = reinterpret_cast<const char *>(base + static_cast<uint32_t>(lookup[k]) + 2);
            if (SameNameIgnoringCase(imported, name)) {
                InterlockedExchangePointer(&bound[k], routine);
                return true;
            }
        }
    }
    return false;
}

}  // namespace

void WatchFunctionDriver(PDRIVER_OBJECT driver)
{
    if (driver == nullptr || driver == WatchedDriver)
        return;
    const uint8_t *base = ImageBase(driver, reinterpret_cast<const void *>(driver->MajorFunction[IRP_MJ_PNP]));
    if (base != nullptr) {
        (void)BindImport(const_cast<uint8_t *>(base), "ntoskrnl.exe", "IoBuildPartialMdl",
                         reinterpret_cast<PVOID>(BuildPartialMdlStandIn));
    }
    if (WatchedDriver != nullptr)
        ObDereferenceObject(WatchedDriver);
    ObReferenceObject(driver);
    WatchedDriver = driver;
    WatchedUnload = driver->DriverUnload;
    InterlockedExchange(&UnloadRan, 0);
    driver->DriverUnload = UnloadWatched;
}

NTSTATUS UnloadFunctionDriver(VXBUS_UNLOAD *result)
{
    RtlZeroMemory(result, sizeof *result);
    PDRIVER_OBJECT driver = WatchedDriver;
    if (driver == nullptr)
        return STATUS_SUCCESS;
    result->Watched = 1;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
        ++result->DeviceObjects;
    result->UnloadStatus = STATUS_DEVICE_BUSY;
    if (result->DeviceObjects == 0) {
        // \Driver\NAME is the driver of service NAME.
        static const WCHAR prefix[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
        WCHAR path[160];
        const ULONG prefixChars = sizeof prefix / sizeof prefix[0] - 1;
        const ULONG nameChars = driver->DriverName.Length / sizeof(WCHAR);
        ULONG start = nameChars;
        while (start > 0 && driver->DriverName.Buffer[start - 1] != L'\\')
            --start;
        const ULONG serviceChars = nameChars - start;
        if (serviceChars == 0 || prefixChars + serviceChars >= sizeof path / sizeof path[0]) {
            result->UnloadStatus = STATUS_OBJECT_NAME_INVALID;
        } else {
            RtlCopyMemory(path, prefix, prefixChars * sizeof(WCHAR));
            RtlCopyMemory(path + prefixChars, driver->DriverName.Buffer + start, serviceChars * sizeof(WCHAR));
            path[prefixChars + serviceChars] = L'\0';
            UNICODE_STRING service;
            RtlInitUnicodeString(&service, path);
            result->UnloadStatus = ZwUnloadDriver(&service);
        }
    }
    result->UnloadRoutineRan = UnloadRan != 0 ? 1 : 0;
    WatchedDriver = nullptr;
    WatchedUnload = nullptr;
    ObDereferenceObject(driver);
    return STATUS_SUCCESS;
}

}  // namespace vxbus
