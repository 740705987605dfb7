// Checks how each vextora.sys was linked: a native image whose entry point
// is DriverEntry, with relocations, without the DLL flag, a C runtime or
// exception tables, importing nothing but the kernel services the driver is
// meant to use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>

#include "sim/image/PeImage.h"

namespace {

struct ImageCase {
    const char *Label;
    const char *Path;
    uint16_t Machine;
    bool Pe32Plus;
};

void PrintTo(const ImageCase &c, std::ostream *os)
{
    *os << c.Label << " image " << c.Path;
}

// Kernel services the driver calls by name, on both architectures.
const std::set<std::string> kKernelServices = {
    // Device objects and interfaces
    "IoCreateDevice", "IoAttachDeviceToDeviceStack", "IoDetachDevice", "IoDeleteDevice",
    "IoRegisterDeviceInterface", "IoSetDeviceInterfaceState", "IoIsWdmVersionAvailable",
    "IoWMIRegistrationControl",
    // IRP flow
    "IofCallDriver", "IofCompleteRequest", "IoBuildDeviceIoControlRequest", "IoAllocateIrp",
    "IoFreeIrp", "IoCancelIrp",
    // Power
    "PoCallDriver", "PoStartNextPowerIrp", "PoSetPowerState", "PoRequestPowerIrp",
    // Synchronisation
    "KeInitializeEvent", "KeSetEvent", "KeClearEvent", "KeWaitForSingleObject",
    "KeInitializeSpinLock",
    // Timers and deferred work. Not KeFlushQueuedDpcs: it exists only from
    // Windows XP SP2, and the driver must load on Windows 2000.
    "KeInitializeTimerEx", "KeInitializeDpc", "KeSetTimerEx", "KeCancelTimer",
    "IoAllocateWorkItem", "IoQueueWorkItem", "IoFreeWorkItem",
    // Memory
    "ExAllocatePoolWithTag", "ExFreePool", "IoAllocateMdl", "IoBuildPartialMdl", "IoFreeMdl",
    "MmUnmapLockedPages",
    // Registry and strings
    "RtlQueryRegistryValues", "RtlInitUnicodeString", "RtlFreeUnicodeString", "wcslen", "memmove",
    // What RtlCopyMemory and RtlZeroMemory expand to
    "memcpy", "memset",
};

// 32-bit: the interlocked routines are ntoskrnl exports, and KeAcquireSpinLock
// and KeReleaseSpinLock expand to HAL's fastcall pair.
const std::set<std::string> kKernelServicesX86 = {"InterlockedIncrement", "InterlockedDecrement",
                                                  "InterlockedExchange", "InterlockedCompareExchange"};
const std::set<std::string> kHalServicesX86 = {"KfAcquireSpinLock", "KfReleaseSpinLock"};
// 64-bit: interlocked operations are compiler intrinsics; the spin lock
// macros expand to these ntoskrnl exports.
const std::set<std::string> kKernelServicesX64 = {"KeAcquireSpinLockRaiseToDpc",
                                                  "KeReleaseSpinLock"};
const std::set<std::string> kUsbdServices = {"USBD_ParseConfigurationDescriptorEx",
                                             "USBD_CreateConfigurationRequestEx"};
const std::set<std::string> kWmiLibraryServices = {"WmiSystemControl", "WmiCompleteRequest"};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool Allowed(const pe::Import &import, bool x64)
{
    const std::string dll = Lower(import.Dll);
    const std::string &name = import.Name;
    if (dll == "ntoskrnl.exe") {
        return kKernelServices.count(name) != 0 ||
               (x64 ? kKernelServicesX64 : kKernelServicesX86).count(name) != 0;
    }
    if (dll == "hal.dll") {
        return !x64 && kHalServicesX86.count(name) != 0;
    }
    if (dll == "usbd.sys") {
        return kUsbdServices.count(name) != 0;
    }
    if (dll == "wmilib.sys") {
        return kWmiLibraryServices.count(name) != 0;
    }
    return false;
}

bool RunningInCi()
{
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

class KernelImage : public ::testing::TestWithParam<ImageCase> {
protected:
    void SetUp() override
    {
        const ImageCase &c = GetParam();
        if (!std::filesystem::exists(c.Path)) {
            // CI builds the kernel presets first; a missing image there is a
            // broken build, not something to skip.
            if (RunningInCi()) {
                FAIL() << "kernel image missing: " << c.Path;
            }
            GTEST_SKIP() << "kernel image not built: " << c.Path;
        }
        std::string error;
        auto image = pe::ParseFile(c.Path, &error);
        ASSERT_TRUE(image.has_value()) << c.Path << ": " << error;
        image_ = *image;
    }

    pe::Image image_;
};

TEST_P(KernelImage, IsANativeRelocatableDriverImage)
{
    const ImageCase &c = GetParam();
    EXPECT_EQ(image_.Machine, c.Machine);
    EXPECT_EQ(image_.Pe32Plus, c.Pe32Plus);
    EXPECT_EQ(image_.Subsystem, pe::kSubsystemNative);
    EXPECT_NE(image_.Characteristics & pe::kFileExecutableImage, 0);
    EXPECT_EQ(image_.Characteristics & pe::kFileDll, 0) << "linked with IMAGE_FILE_DLL";
    EXPECT_EQ(image_.Characteristics & pe::kFileRelocsStripped, 0) << "relocations stripped";
    EXPECT_GT(image_.RelocationDirectorySize, 0u) << "no base relocations";
    EXPECT_EQ(image_.TlsDirectorySize, 0u) << "thread-local storage in a driver";
    EXPECT_EQ(image_.ExportDirectorySize, 0u);

    // The entry point lies in executable code.
    bool entryInCode = false;
    for (const pe::Section &section : image_.Sections) {
        const bool executable = (section.Characteristics & 0x20000000) != 0;
        if (executable && image_.EntryPoint >= section.VirtualAddress &&
            image_.EntryPoint < section.VirtualAddress + section.VirtualSize) {
            entryInCode = true;
        }
        // DWARF unwind tables come only with C++ exceptions or a runtime.
        EXPECT_NE(section.Name.rfind(".eh_fram", 0), 0u) << "exception tables present";
        EXPECT_NE(section.Name, ".tls");
        EXPECT_NE(section.Name, ".CRT");
    }
    EXPECT_TRUE(entryInCode);
}

TEST_P(KernelImage, ImportsOnlyTheKernelServicesTheDriverUses)
{
    const bool x64 = GetParam().Pe32Plus;
    ASSERT_FALSE(image_.Imports.empty());
    for (const pe::Import &import : image_.Imports) {
        EXPECT_FALSE(import.Name.empty())
            << import.Dll << " imported by ordinal " << import.Ordinal;
        EXPECT_TRUE(Allowed(import, x64)) << "unexpected import " << import.Dll << "!"
                                          << import.Name;
    }
    // What the frame itself cannot do without; a broken import library
    // (decorated names on x86) would show up here as well.
    for (const char *needed : {"IoCreateDevice", "IofCallDriver", "ExAllocatePoolWithTag"}) {
        EXPECT_TRUE(std::any_of(image_.Imports.begin(), image_.Imports.end(),
                                [&](const pe::Import &i) { return i.Name == needed; }))
            << needed;
    }
    EXPECT_TRUE(std::any_of(image_.Imports.begin(), image_.Imports.end(),
                            [](const pe::Import &i) {
                                return i.Name == "USBD_ParseConfigurationDescriptorEx";
                            }));
}

INSTANTIATE_TEST_SUITE_P(
    Images, KernelImage,
    ::testing::Values(ImageCase{"x86", VEXTORA_KERNEL_IMAGE_X86, pe::kMachineI386, false},
                      ImageCase{"x64", VEXTORA_KERNEL_IMAGE_X64, pe::kMachineAmd64, true}),
    [](const ::testing::TestParamInfo<ImageCase> &info) { return std::string(info.param.Label); });

TEST(PeReader, RefusesTruncatedAndForeignFiles)
{
    std::string error;
    EXPECT_FALSE(pe::Parse({}, &error).has_value());
    EXPECT_FALSE(pe::Parse(std::vector<uint8_t>(64, 0), &error).has_value());
    std::vector<uint8_t> mzOnly(64, 0);
    mzOnly[0] = 'M';
    mzOnly[1] = 'Z';
    mzOnly[0x3C] = 0xF0;  // PE header beyond the end
    EXPECT_FALSE(pe::Parse(mzOnly, &error).has_value());
    EXPECT_EQ(error, "no PE signature");
}

}  // namespace
