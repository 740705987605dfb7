// Memory descriptor lists: over pool blocks, application buffers and
// windows of other MDLs. A simulated page's system address is its own.
#include "sim/kernel/MachineImpl.h"

#include <cstring>

using namespace sim;

namespace {

constexpr ULONG kMdlTag = 'M' | ('d' << 8) | ('l' << 16) | (' ' << 24);

ULONG SpanPages(const void *Va, size_t Length)
{
    auto a = reinterpret_cast<uintptr_t>(Va);
    return static_cast<ULONG>(((a & (PAGE_SIZE - 1)) + Length + PAGE_SIZE - 1) >> PAGE_SHIFT);
}

void FillMdl(PMDL Mdl, void *Va, ULONG Length, CSHORT Size)
{
    auto a = reinterpret_cast<uintptr_t>(Va);
    Mdl->Next = nullptr;
    Mdl->Size = Size;
    Mdl->MdlFlags = 0;
    Mdl->Process = nullptr;
    Mdl->MappedSystemVa = nullptr;
    Mdl->StartVa = reinterpret_cast<PVOID>(a & ~uintptr_t(PAGE_SIZE - 1));
    Mdl->ByteOffset = static_cast<ULONG>(a & (PAGE_SIZE - 1));
    Mdl->ByteCount = Length;
    auto *pfn = reinterpret_cast<ULONG_PTR *>(Mdl + 1);
    ULONG pages = SpanPages(Va, Length);
    for (ULONG i = 0; i < pages; ++i) {
        pfn[i] = (a >> PAGE_SHIFT) + i;
    }
}

PMDL AllocateMdl(void *Va, ULONG Length, const void *Site, bool Injectable)
{
    size_t size = sizeof(MDL) + SpanPages(Va, Length) * sizeof(ULONG_PTR);
    if (size > 0x7fff) {
        return nullptr;
    }
    auto *mdl = static_cast<PMDL>(PoolAllocate(NonPagedPool, size, kMdlTag, Site, Injectable, FaultKind::Mdl));
    if (mdl != nullptr) {
        FillMdl(mdl, Va, Length, static_cast<CSHORT>(size));
    }
    return mdl;
}

}  // namespace

namespace sim {

PMDL BuildMdlForBuffer(void *Buffer, ULONG Length, bool Injectable)
{
    PMDL mdl = AllocateMdl(Buffer, Length, __builtin_return_address(0), Injectable);
    if (mdl != nullptr) {
        mdl->MdlFlags |= MDL_PAGES_LOCKED;
    }
    return mdl;
}

}  // namespace sim

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    Machine::Impl &k = Kernel();
    if (Length == 0) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr, "IoAllocateMdl with a length of 0");
        return nullptr;
    }
    PMDL mdl = AllocateMdl(VirtualAddress, Length, __builtin_return_address(0), true);
    if (mdl != nullptr && Irp != nullptr) {
        if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
            PMDL tail = Irp->MdlAddress;
            while (tail->Next != nullptr) {
                tail = tail->Next;
            }
            tail->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    Machine::Impl &k = Kernel();
    auto *srcStart = static_cast<UCHAR *>(MmGetMdlVirtualAddress(SourceMdl));
    auto *srcEnd = srcStart + SourceMdl->ByteCount;
    auto *va = static_cast<UCHAR *>(VirtualAddress);
    if (va < srcStart || va > srcEnd) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "IoBuildPartialMdl with an address outside the source MDL's buffer");
        return;
    }
    if (Length == 0) {
        Length = static_cast<ULONG>(srcEnd - va);
    }
    if (static_cast<size_t>(srcEnd - va) < Length) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "IoBuildPartialMdl with a window that runs past the source MDL's buffer");
        return;
    }
    size_t need = sizeof(MDL) + SpanPages(va, Length) * sizeof(ULONG_PTR);
    if (static_cast<size_t>(TargetMdl->Size) < need) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "IoBuildPartialMdl into a target MDL too small for the window");
        return;
    }
    CSHORT size = TargetMdl->Size;
    FillMdl(TargetMdl, va, Length, size);
    TargetMdl->MdlFlags = MDL_PARTIAL;
    if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        TargetMdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        TargetMdl->MappedSystemVa = va;
    }
    TargetMdl->Process = SourceMdl->Process;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) { PoolFree(Mdl, __builtin_return_address(0), false, 0); }

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl)
{
    Self();
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    (void)AccessMode;
    (void)Operation;
    Self();
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI MmUnlockPages(PMDL Mdl)
{
    Self();
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                         PVOID BaseAddress, ULONG BugCheckOnFailure, ULONG Priority)
{
    (void)AccessMode;
    (void)CacheType;
    (void)BaseAddress;
    (void)BugCheckOnFailure;
    (void)Priority;
    Machine::Impl &k = Kernel();
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL))) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr, "mapping an MDL whose pages are not locked");
    }
    // The simulated system address of a page is its own address: the driver
    // reads and writes the application's buffer itself, with no copy.
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (Mdl->MdlFlags & MDL_PARTIAL) {
        Mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    }
    return Mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl)
{
    Machine::Impl &k = Kernel();
    if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "MmUnmapLockedPages on an address that is not the MDL's mapping");
        return;
    }
    Mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    Mdl->MappedSystemVa = nullptr;
}

SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length)
{
    return sizeof(MDL) + SpanPages(Base, Length) * sizeof(ULONG_PTR);
}

}  // extern "C"
