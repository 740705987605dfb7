// Pool with tags, guard bytes, a poisoned quarantine of freed blocks and
// per-tag accounting; memory descriptor lists over it and over application
// buffers.
#include "sim/kernel/MachineImpl.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#if defined(__SANITIZE_ADDRESS__)
#define VX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_ASAN 1
#endif
#endif
#ifdef VX_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

void PoisonRegion(void *Address, size_t Size)
{
#ifdef VX_ASAN
    ASAN_POISON_MEMORY_REGION(Address, Size);
#else
    (void)Address;
    (void)Size;
#endif
}

bool AddressSanitizerActive()
{
#ifdef VX_ASAN
    return true;
#else
    return false;
#endif
}

void UnpoisonRegion(void *Address, size_t Size)
{
#ifdef VX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(Address, Size);
#else
    (void)Address;
    (void)Size;
#endif
}

namespace {

constexpr size_t kGuard = 32;
constexpr UCHAR kGuardByte = 0xAB;
constexpr UCHAR kPoisonByte = 0xDD;
constexpr uint64_t kMagic = 0x566f6f50584c4f56ULL;
constexpr size_t kQuarantineBytes = 8u << 20;
constexpr size_t kQuarantineBlocks = 8192;

struct alignas(16) BlockHeader {
    uint64_t Magic;
    ULONG Tag;
    POOL_TYPE Type;
    size_t Size;
    const void *CallSite;
    PDRIVER_OBJECT Owner;
};
static_assert(sizeof(BlockHeader) % 16 == 0);

UCHAR *UserOf(BlockHeader *H) { return reinterpret_cast<UCHAR *>(H + 1) + kGuard; }

std::string TagText(ULONG Tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((Tag >> (8 * i)) & 0xff);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

}  // namespace

std::string SiteText(const void *Site)
{
    // Every free describes its block in case a check fires, so the symbol
    // lookup (a walk of the dynamic symbol tables) is remembered per call
    // site: code addresses and their names are the same for every machine.
    static std::mutex mutex;
    static std::unordered_map<const void *, std::string> names;
    std::lock_guard lock(mutex);
    auto [it, fresh] = names.try_emplace(Site);
    if (fresh) {
        it->second = Hex(reinterpret_cast<uintptr_t>(Site));
        Dl_info info{};
        if (Site != nullptr && dladdr(Site, &info) != 0 && info.dli_sname != nullptr) {
            it->second += " (" + std::string(info.dli_sname) + ")";
        }
    }
    return it->second;
}

struct TagUse {
    size_t Bytes = 0;
    size_t Blocks = 0;
};

struct PoolState {
    std::mutex Mu;
    std::unordered_map<void *, BlockHeader *> Live;
    std::unordered_map<void *, BlockHeader *> Quarantined;
    std::deque<void *> QuarantineOrder;
    size_t QuarantineBytes = 0;
    std::unordered_map<ULONG, TagUse> Tags;
};

void PoolInit(Machine::Impl &I) { I.Pool = std::make_shared<PoolState>(); }

// Whether Size bytes at P all hold Byte; compared a row at a time, since
// every free checks guards and every eviction a whole block.
template <UCHAR Byte>
static bool AllBytesAre(const UCHAR *P, size_t Size)
{
    static const auto row = [] {
        std::array<UCHAR, 256> r;
        r.fill(Byte);
        return r;
    }();
    for (size_t done = 0; done < Size;) {
        size_t chunk = std::min(Size - done, row.size());
        if (memcmp(P + done, row.data(), chunk) != 0) {
            return false;
        }
        done += chunk;
    }
    return true;
}

static std::string GuardProblem(BlockHeader *H, bool *Underrun)
{
    UCHAR *front = reinterpret_cast<UCHAR *>(H + 1);
    UCHAR *back = UserOf(H) + H->Size;
    if (AllBytesAre<kGuardByte>(front, kGuard) && AllBytesAre<kGuardByte>(back, kGuard)) {
        return {};
    }
    for (size_t i = 0; i < kGuard; ++i) {
        if (front[i] != kGuardByte) {
            *Underrun = true;
            return "the " + std::to_string(kGuard - i) + " bytes before it were written";
        }
    }
    for (size_t i = kGuard; i-- > 0;) {
        if (back[i] != kGuardByte) {
            *Underrun = false;
            return "byte " + std::to_string(H->Size + i) + " past its start was written";
        }
    }
    return {};
}

static std::string Describe(BlockHeader *H, void *P)
{
    return "block " + Hex(reinterpret_cast<uintptr_t>(P)) + " tag '" + TagText(H->Tag) + "' of " +
           std::to_string(H->Size) + " bytes allocated at " + SiteText(H->CallSite);
}

// Takes the oldest blocks out of the quarantine while it is over its
// bounds; S.Mu held. The caller checks and frees them without the lock
// (CheckEvicted): nothing else can reach a block once it has left the maps.
static std::vector<std::pair<void *, BlockHeader *>> TakeEvictedLocked(PoolState &S)
{
    std::vector<std::pair<void *, BlockHeader *>> evicted;
    while (S.QuarantineBytes > kQuarantineBytes || S.QuarantineOrder.size() > kQuarantineBlocks) {
        void *p = S.QuarantineOrder.front();
        S.QuarantineOrder.pop_front();
        auto it = S.Quarantined.find(p);
        if (it == S.Quarantined.end()) {
            continue;
        }
        BlockHeader *h = it->second;
        S.Quarantined.erase(it);
        S.QuarantineBytes -= h->Size;
        evicted.emplace_back(p, h);
    }
    return evicted;
}

// Reports a write after free in each evicted block, then releases it.
static void CheckEvicted(const std::vector<std::pair<void *, BlockHeader *>> &Evicted,
                         std::vector<std::string> &Problems)
{
    for (auto [p, h] : Evicted) {
        size_t total = sizeof(BlockHeader) + 2 * kGuard + h->Size;
        UnpoisonRegion(h + 1, total - sizeof(BlockHeader));
        UCHAR *user = UserOf(h);
        for (size_t i = AllBytesAre<kPoisonByte>(user, h->Size) ? h->Size : 0; i < h->Size; ++i) {
            if (user[i] != kPoisonByte) {
                Problems.push_back("freed " + Describe(h, p) + " was written after it was freed (offset " +
                                   std::to_string(i) + ")");
                break;
            }
        }
        std::free(h);
    }
}

void *PoolAllocate(POOL_TYPE Type, size_t Bytes, ULONG Tag, const void *CallSite, bool Injectable, FaultKind Kind)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    bool paged = (Type & 1) != 0;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::PoolIrql, nullptr, nullptr,
                            "pool allocation at IRQL " + std::to_string(me->Irql));
    } else if (paged && me->Irql > APC_LEVEL) {
        k.M.ReportViolation(checks::PagedPoolIrql, nullptr, nullptr,
                            "paged pool allocation at IRQL " + std::to_string(me->Irql));
    }
    if (Injectable && k.M.ShouldFail(Kind, CallSite)) {
        return nullptr;
    }
    if (Bytes > (size_t{1} << 32)) {
        return nullptr;
    }
    size_t total = sizeof(BlockHeader) + 2 * kGuard + Bytes;
    auto *h = static_cast<BlockHeader *>(std::malloc(total));
    if (h == nullptr) {
        return nullptr;
    }
    h->Magic = kMagic;
    h->Tag = Tag;
    h->Type = Type;
    h->Size = Bytes;
    h->CallSite = CallSite;
    h->Owner = CurrentDriver();
    memset(h + 1, kGuardByte, kGuard);
    UCHAR *user = UserOf(h);
    // Uninitialised pool is not zero on Windows; a pattern shows reliance on it.
    memset(user, 0xCD, Bytes);
    memset(user + Bytes, kGuardByte, kGuard);
    PoolState &s = *k.Pool;
    std::lock_guard lock(s.Mu);
    s.Live.emplace(user, h);
    TagUse &use = s.Tags[Tag];
    use.Bytes += Bytes;
    use.Blocks += 1;
    return user;
}

void PoolFree(void *P, const void *CallSite, bool CheckTag, ULONG Tag)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::PoolIrql, nullptr, nullptr, "ExFreePool at IRQL " + std::to_string(me->Irql));
    }
    if (P == nullptr) {
        k.M.ReportViolation(checks::PoolForeignFree, nullptr, nullptr, "ExFreePool(NULL) at " + SiteText(CallSite));
        return;
    }
    PoolState &s = *k.Pool;
    BlockHeader *h = nullptr;
    std::string problem;
    std::string_view check;
    {
        std::lock_guard lock(s.Mu);
        auto it = s.Live.find(P);
        if (it == s.Live.end()) {
            if (s.Quarantined.count(P) != 0) {
                auto *q = s.Quarantined[P];
                problem = "freed twice: " + Describe(q, P) + "; second free at " + SiteText(CallSite);
                check = checks::PoolDoubleFree;
            } else {
                problem = "free of memory that is not a pool block: " + Hex(reinterpret_cast<uintptr_t>(P)) +
                          " at " + SiteText(CallSite);
                check = checks::PoolForeignFree;
            }
        } else {
            h = it->second;
            s.Live.erase(it);
            TagUse &use = s.Tags[h->Tag];
            use.Bytes -= h->Size;
            use.Blocks -= 1;
        }
    }
    if (h == nullptr) {
        k.M.ReportViolation(check, nullptr, nullptr, problem);
        return;
    }
    if (CheckTag && Tag != h->Tag) {
        k.M.ReportViolation(checks::PoolTagMismatch, nullptr, nullptr,
                            "ExFreePoolWithTag with tag '" + TagText(Tag) + "' on " + Describe(h, P));
    }
    bool underrun = false;
    std::string guard = GuardProblem(h, &underrun);
    if (!guard.empty()) {
        k.M.ReportViolation(underrun ? checks::PoolUnderrun : checks::PoolOverrun, nullptr, nullptr,
                            Describe(h, P) + ": " + guard + " (found at free)");
    }
    CheckPendingWorkIn(k, P, h->Size, nullptr, checks::TimerInFreedMemory, [&] { return "freed " + Describe(h, P); });
    memset(P, kPoisonByte, h->Size);
    std::vector<std::string> problems;
    std::vector<std::pair<void *, BlockHeader *>> evicted;
    {
        std::lock_guard lock(s.Mu);
        // The header stays readable: a second free reports what the block was.
        PoisonRegion(h + 1, 2 * kGuard + h->Size);
        s.Quarantined.emplace(P, h);
        s.QuarantineOrder.push_back(P);
        s.QuarantineBytes += h->Size;
        evicted = TakeEvictedLocked(s);
    }
    // Checked outside the pool's lock, which every allocation and free of
    // every thread takes.
    CheckEvicted(evicted, problems);
    for (const std::string &p : problems) {
        k.M.ReportViolation(checks::PoolUseAfterFree, nullptr, nullptr, p);
    }
}

void PoolCheckTeardown(Machine::Impl &I, PDRIVER_OBJECT OnlyDriver)
{
    PoolState &s = *I.Pool;
    std::vector<std::pair<std::string_view, std::string>> found;
    {
        std::lock_guard lock(s.Mu);
        for (auto &[p, h] : s.Live) {
            bool underrun = false;
            std::string guard = GuardProblem(h, &underrun);
            if (!guard.empty()) {
                found.emplace_back(underrun ? checks::PoolUnderrun : checks::PoolOverrun, Describe(h, p) + ": " + guard);
            }
            if (OnlyDriver == nullptr || h->Owner == OnlyDriver) {
                found.emplace_back(checks::Leak, "pool " + Describe(h, p) + " was never freed");
            }
        }
    }
    for (auto &[check, text] : found) {
        I.M.ReportViolation(check, nullptr, nullptr, text);
    }
}

void PoolDestroy(Machine::Impl &I)
{
    if (!I.Pool) {
        return;
    }
    PoolState &s = *I.Pool;
    for (auto &[p, h] : s.Quarantined) {
        UnpoisonRegion(h + 1, 2 * kGuard + h->Size);
        std::free(h);
    }
    for (auto &[p, h] : s.Live) {
        std::free(h);
    }
    s.Quarantined.clear();
    s.Live.clear();
}

size_t PoolBytesInUse(ULONG Tag)
{
    PoolState &s = *Kernel().Pool;
    std::lock_guard lock(s.Mu);
    size_t total = 0;
    for (auto &[t, use] : s.Tags) {
        if (Tag == 0 || t == Tag) {
            total += use.Bytes;
        }
    }
    return total;
}

size_t PoolBlocksInUse(ULONG Tag)
{
    PoolState &s = *Kernel().Pool;
    std::lock_guard lock(s.Mu);
    size_t total = 0;
    for (auto &[t, use] : s.Tags) {
        if (Tag == 0 || t == Tag) {
            total += use.Blocks;
        }
    }
    return total;
}

}  // namespace sim

using namespace sim;

namespace {

constexpr ULONG kMdlTag = 'M' | ('d' << 8) | ('l' << 16) | (' ' << 24);
constexpr ULONG kNoTag = 'N' | ('o' << 8) | ('n' << 16) | ('e' << 24);

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

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return PoolAllocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), true, FaultKind::Pool);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return PoolAllocate(PoolType, NumberOfBytes, kNoTag, __builtin_return_address(0), true, FaultKind::Pool);
}

VOID NTAPI ExFreePool(PVOID P) { PoolFree(P, __builtin_return_address(0), false, 0); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { PoolFree(P, __builtin_return_address(0), true, Tag); }

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

SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) { return sizeof(MDL) + SpanPages(Base, Length) * sizeof(ULONG_PTR); }

}  // extern "C"
