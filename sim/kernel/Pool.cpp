// Pool with tags, guard bytes, a poisoned quarantine of freed blocks and
// per-tag accounting.
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/YieldingLock.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>

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
// The pool is split into shards, each with its own lock, table, quarantine
// and blocks to reuse. A thread allocates from the shard of its own (by
// thread id), where the same thread usually frees, so two threads seldom
// meet on a lock or pass a cache line between processors. The quarantine
// bounds hold per shard: one thread's frees keep the whole window.
constexpr size_t kShards = 8;
constexpr size_t kQuarantineBytes = 8u << 20;
constexpr size_t kQuarantineBlocks = 8192;
// Blocks that left the quarantine are kept for reuse by size class (64-byte
// steps up to 4 KiB), a few per class, instead of going back to malloc.
// Not under the address sanitizer, whose own quarantine then sees every
// block the pool lets go.
constexpr size_t kClassBytes = 64;
constexpr size_t kClasses = 64;
constexpr size_t kKeptPerClass = 32;
constexpr size_t kPrefetchAhead = 4;

struct alignas(16) BlockHeader {
    uint64_t Magic;
    ULONG Tag;
    POOL_TYPE Type;
    uint32_t TagSlot;  // its entry in the shard's Tags
    size_t Size;
    const void *CallSite;
    PDRIVER_OBJECT Owner;
    BlockHeader *Next;  // the shard's quarantine, oldest first; under its lock
    // The block queued kPrefetchAhead frees after this one, with its size,
    // noted when that one is queued: the eviction of this block prefetches
    // it without reading its (cold) header, early enough for a burst of
    // frees (a completion routine freeing three blocks).
    BlockHeader *Ahead;
    size_t AheadSize;
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

uint64_t AddressHash(const void *P)
{
    // Fibonacci hashing: one multiplication carries every bit of the
    // address into the high bits, which pick the slot.
    return reinterpret_cast<uintptr_t>(P) * 0x9E3779B97F4A7C15ULL;
}

// The live blocks of one shard, by user address: open addressing with
// linear probing, so a lookup touches one or two cache lines and nothing
// is allocated per block. A block leaves it when it is freed; the
// quarantine keeps freed blocks in a list of its own, which only a
// bad free has to search.
class BlockTable {
public:
    BlockTable() : slots_(64), mask_(63), shift_(64 - 6) {}

    void Insert(void *P, uint64_t Hash, BlockHeader *H)
    {
        // At most half full: probe runs stay short, and so does the shift
        // after an erase.
        if ((count_ + 1) * 2 > mask_ + 1) {
            Grow();
        }
        size_t i = Home(Hash);
        while (slots_[i].Key != nullptr) {
            i = (i + 1) & Mask();
        }
        slots_[i] = {P, H};
        ++count_;
    }

    // Removes P and returns its header, or returns NULL when P is not here.
    BlockHeader *Take(const void *P, uint64_t Hash)
    {
        size_t i = Home(Hash);
        while (slots_[i].Key != P) {
            if (slots_[i].Key == nullptr) {
                return nullptr;
            }
            i = (i + 1) & Mask();
        }
        BlockHeader *found = slots_[i].Header;
        // Backward-shift deletion: move later entries of the probe run into
        // the hole when their home slot allows it, so no tombstones build up.
        for (size_t j = (i + 1) & Mask(); slots_[j].Key != nullptr; j = (j + 1) & Mask()) {
            size_t home = Home(AddressHash(slots_[j].Key));
            if (((j - home) & Mask()) >= ((j - i) & Mask())) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = {};
        --count_;
        return found;
    }

    template <typename F> void ForEach(F &&Visit) const
    {
        for (const Slot &s : slots_) {
            if (s.Key != nullptr) {
                Visit(s.Key, s.Header);
            }
        }
    }

    void Clear()
    {
        std::fill(slots_.begin(), slots_.end(), Slot{});
        count_ = 0;
    }

private:
    struct Slot {
        void *Key = nullptr;
        BlockHeader *Header = nullptr;
    };

    size_t Mask() const { return mask_; }
    // The slot a hash belongs in: its top bits.
    size_t Home(uint64_t Hash) const { return static_cast<size_t>(Hash >> shift_); }

    void Grow()
    {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        shift_ -= 1;
        count_ = 0;
        for (const Slot &s : old) {
            if (s.Key != nullptr) {
                Insert(s.Key, AddressHash(s.Key), s.Header);
            }
        }
    }

    std::vector<Slot> slots_;
    size_t mask_;     // slots_.size() - 1
    unsigned shift_;  // 64 - log2(slots_.size())
    size_t count_ = 0;
};

}  // namespace

std::string SiteText(const void *Site)
{
    // A kernel image is named by its own symbols; its addresses are this
    // machine's alone, so they stay out of the cache below.
    if (Machine *machine = Machine::CurrentOrNull(); machine != nullptr && machine->InImage(Site)) {
        return Hex(reinterpret_cast<uintptr_t>(Site)) + " (" + machine->DescribeImageAddress(Site) + ")";
    }
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
    ULONG Tag = 0;
    size_t Bytes = 0;
    size_t Blocks = 0;
};

struct alignas(64) PoolShard {
    YieldingLock Mu;
    BlockTable Blocks;
    BlockHeader *QuarantineHead = nullptr;
    BlockHeader *QuarantineTail = nullptr;
    // The last kPrefetchAhead blocks queued, oldest at RecentNext; an
    // entry is cleared when its block leaves the quarantine.
    std::array<BlockHeader *, kPrefetchAhead> Recent{};
    size_t RecentNext = 0;
    size_t QuarantineBytes = 0;
    size_t QuarantineCount = 0;
    // A driver uses a handful of tags; a short list beats a hash map. A
    // block notes its entry, so a free goes straight to it.
    std::vector<TagUse> Tags;
    // The entry last found for a tag, in one of a few buckets by tag: a
    // driver allocating with two or three tags in turn finds each at once.
    std::array<uint32_t, 8> TagHint{};
    // Released blocks for reuse, by size class, linked through Next.
    std::array<BlockHeader *, kClasses> Kept{};
    std::array<uint8_t, kClasses> KeptCount{};

    uint32_t TagSlotOf(ULONG Tag)
    {
        uint32_t &hint = TagHint[(Tag * 0x9E3779B1u) >> 29];
        if (hint < Tags.size() && Tags[hint].Tag == Tag) {
            return hint;
        }
        for (uint32_t i = 0; i < Tags.size(); ++i) {
            if (Tags[i].Tag == Tag) {
                return hint = i;
            }
        }
        Tags.push_back(TagUse{Tag, 0, 0});
        return hint = static_cast<uint32_t>(Tags.size() - 1);
    }
};

struct PoolState {
    std::array<PoolShard, kShards> Shards;
};

namespace {

PoolShard &ShardOfThread(PoolState &S, const SimThread *T) { return S.Shards[T->Id % kShards]; }

// The size class of a block of Total bytes (header and guards included),
// or kClasses when it is too big to keep.
size_t ClassOf(size_t Total) { return (Total + kClassBytes - 1) / kClassBytes - 1; }

bool KeepsBlocks() { return !AddressSanitizerActive(); }

}  // namespace

void PoolInit(Machine::Impl &I) { I.Pool = std::make_shared<PoolState>(); }

// Whether Size bytes at P all hold Byte; compared a row at a time, since
// every free checks guards and every eviction a whole block.
template <UCHAR Byte> static bool AllBytesAre(const UCHAR *P, size_t Size)
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

// Whether both guards are intact: four words a side, every free.
static bool GuardsIntact(BlockHeader *H)
{
    constexpr uint64_t kWord = 0x0101010101010101ULL * kGuardByte;
    const UCHAR *front = reinterpret_cast<UCHAR *>(H + 1);
    const UCHAR *back = UserOf(H) + H->Size;
    uint64_t differ = 0;
    for (size_t i = 0; i < kGuard; i += sizeof(uint64_t)) {
        uint64_t f;
        uint64_t b;
        memcpy(&f, front + i, sizeof f);
        memcpy(&b, back + i, sizeof b);
        differ |= (f ^ kWord) | (b ^ kWord);
    }
    return differ == 0;
}

static std::string GuardProblem(BlockHeader *H, bool *Underrun)
{
    UCHAR *front = reinterpret_cast<UCHAR *>(H + 1);
    UCHAR *back = UserOf(H) + H->Size;
    if (GuardsIntact(H)) {
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

// Takes the oldest blocks out of the shard's quarantine while it is over
// its bounds, checks that nothing wrote into them since they were freed,
// and keeps or releases them; the shard's lock held. What was found is
// added to Problems, for the caller to report without the lock.
static void EvictLocked(PoolShard &S, std::unique_ptr<std::vector<std::string>> &Problems)
{
    while (S.QuarantineHead != nullptr &&
           (S.QuarantineBytes > kQuarantineBytes || S.QuarantineCount > kQuarantineBlocks)) {
        BlockHeader *h = S.QuarantineHead;
        S.QuarantineHead = h->Next;
        if (h->Ahead != nullptr) {
            // The blocks to leave next are the oldest, long out of the
            // cache; the one kPrefetchAhead places on leaves a few frees
            // from now: fetch what it will read (its header and first
            // bytes) meanwhile.
            const auto *first = reinterpret_cast<const UCHAR *>(h->Ahead);
            const size_t span = sizeof(BlockHeader) + kGuard + std::min<size_t>(h->AheadSize, 256);
            for (size_t offset = 0; offset < span + 63; offset += 64) {
                __builtin_prefetch(first + offset);
            }
        }
        // Only one of the last few queued can be the oldest.
        if (S.QuarantineCount <= kPrefetchAhead) {
            for (BlockHeader *&recent : S.Recent) {
                if (recent == h) {
                    recent = nullptr;
                }
            }
        }
        if (S.QuarantineHead == nullptr) {
            S.QuarantineTail = nullptr;
        }
        S.QuarantineBytes -= h->Size;
        S.QuarantineCount -= 1;
        UCHAR *user = UserOf(h);
        const size_t total = sizeof(BlockHeader) + 2 * kGuard + h->Size;
        UnpoisonRegion(h + 1, total - sizeof(BlockHeader));
        if (!AllBytesAre<kPoisonByte>(user, h->Size)) {
            for (size_t i = 0; i < h->Size; ++i) {
                if (user[i] != kPoisonByte) {
                    if (!Problems) {
                        Problems = std::make_unique<std::vector<std::string>>();
                    }
                    Problems->push_back("freed " + Describe(h, user) + " was written after it was freed (offset " +
                                        std::to_string(i) + ")");
                    break;
                }
            }
        }
        const size_t c = ClassOf(total);
        if (KeepsBlocks() && c < kClasses && S.KeptCount[c] < kKeptPerClass) {
            h->Next = S.Kept[c];
            S.Kept[c] = h;
            S.KeptCount[c] += 1;
        } else {
            std::free(h);
        }
    }
}

// What a free found wrong with its block, or may need to name later.
struct FreeFindings {
    std::string TagProblem;
    std::string Guard;
    bool Underrun = false;
    std::string Freed;
};

// Out of line and cold: a clean free with no pending work builds no text.
[[gnu::cold, gnu::noinline]] static void DescribeFree(FreeFindings &F, BlockHeader *H, void *P, const ULONG *WrongTag,
                                                      bool GuardsHit, bool WorkPending)
{
    if (WrongTag != nullptr) {
        F.TagProblem = "ExFreePoolWithTag with tag '" + TagText(*WrongTag) + "' on " + Describe(H, P);
    }
    if (GuardsHit) {
        F.Guard = Describe(H, P) + ": " + GuardProblem(H, &F.Underrun) + " (found at free)";
    }
    if (WorkPending) {
        F.Freed = "freed " + Describe(H, P);
    }
}

void *PoolAllocate(POOL_TYPE Type, size_t Bytes, ULONG Tag, const void *CallSite, bool Injectable, FaultKind Kind)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    bool paged = (Type & 1) != 0;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::PoolIrql, nullptr, nullptr, "pool allocation at IRQL " + std::to_string(me->Irql));
    } else if (paged && me->Irql > APC_LEVEL) {
        k.M.ReportViolation(checks::PagedPoolIrql, nullptr, nullptr,
                            "paged pool allocation at IRQL " + std::to_string(me->Irql));
    }
    // The plan is read without the lock first: most runs have none.
    if (Injectable && (k.PlannedKinds.load(std::memory_order_relaxed) & static_cast<unsigned>(Kind)) != 0 &&
        k.M.ShouldFail(Kind, CallSite)) {
        return nullptr;
    }
    if (Bytes > (size_t{1} << 32)) {
        return nullptr;
    }
    const size_t total = sizeof(BlockHeader) + 2 * kGuard + Bytes;
    const size_t c = ClassOf(total);
    PoolShard &s = ShardOfThread(*k.Pool, me);
    std::unique_lock lock(s.Mu);
    BlockHeader *h = nullptr;
    if (c < kClasses && s.Kept[c] != nullptr) {
        h = s.Kept[c];
        s.Kept[c] = h->Next;
        s.KeptCount[c] -= 1;
    } else {
        lock.unlock();
        // A block that may be kept later has its class's full size.
        h = static_cast<BlockHeader *>(std::malloc(c < kClasses ? (c + 1) * kClassBytes : total));
        if (h == nullptr) {
            return nullptr;
        }
        lock.lock();
    }
    h->Magic = kMagic;
    h->Tag = Tag;
    h->Type = Type;
    h->Size = Bytes;
    h->CallSite = CallSite;
    h->Owner = CurrentDriver();
    h->Next = nullptr;
    memset(h + 1, kGuardByte, kGuard);
    UCHAR *user = UserOf(h);
    // Uninitialised pool is not zero on Windows; a pattern shows reliance on it.
    memset(user, 0xCD, Bytes);
    memset(user + Bytes, kGuardByte, kGuard);
    s.Blocks.Insert(user, AddressHash(user), h);
    h->TagSlot = s.TagSlotOf(Tag);
    TagUse &use = s.Tags[h->TagSlot];
    use.Bytes += Bytes;
    use.Blocks += 1;
    return user;
}

// A free of something that is no live block: a block still in a
// quarantine was freed twice, anything else never came from the pool.
// Only here are the quarantines searched.
[[gnu::cold, gnu::noinline]] static void ReportBadFree(Machine::Impl &K, PoolState &Pool, void *P, const void *CallSite)
{
    for (PoolShard &s : Pool.Shards) {
        std::unique_lock lock(s.Mu);
        for (BlockHeader *q = s.QuarantineHead; q != nullptr; q = q->Next) {
            if (UserOf(q) == P) {
                // Described under the lock, before an eviction can release it.
                std::string text = "freed twice: " + Describe(q, P) + "; second free at " + SiteText(CallSite);
                lock.unlock();
                K.M.ReportViolation(checks::PoolDoubleFree, nullptr, nullptr, text);
                return;
            }
        }
    }
    K.M.ReportViolation(checks::PoolForeignFree, nullptr, nullptr,
                        "free of memory that is not a pool block: " + Hex(reinterpret_cast<uintptr_t>(P)) + " at " +
                            SiteText(CallSite));
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
    const uint64_t hash = AddressHash(P);
    PoolState &pool = *k.Pool;
    // The freeing thread's shard first: most blocks are freed by the thread
    // that allocated them.
    PoolShard *own = &ShardOfThread(pool, me);
    PoolShard *s = own;
    std::unique_lock<YieldingLock> lock(own->Mu);
    BlockHeader *h = own->Blocks.Take(P, hash);
    if (h == nullptr) {
        lock.unlock();
        for (PoolShard &candidate : pool.Shards) {
            if (&candidate == own) {
                continue;
            }
            lock = std::unique_lock(candidate.Mu);
            h = candidate.Blocks.Take(P, hash);
            if (h != nullptr) {
                s = &candidate;
                break;
            }
            lock.unlock();
        }
    }
    if (h == nullptr) {
        ReportBadFree(k, pool, P, CallSite);
        return;
    }
    TagUse &use = s->Tags[h->TagSlot];
    use.Bytes -= h->Size;
    use.Blocks -= 1;
    const size_t size = h->Size;
    // Described now, under the lock: once it is released the block may
    // leave the quarantine (after thousands more frees, but still).
    const bool tagDiffers = CheckTag && Tag != h->Tag;
    const bool guardsHit = !GuardsIntact(h);
    std::unique_ptr<FreeFindings> findings;
    if (tagDiffers || guardsHit || k.PendingWork.load() != 0) {
        findings = std::make_unique<FreeFindings>();
        DescribeFree(*findings, h, P, tagDiffers ? &Tag : nullptr, guardsHit, k.PendingWork.load() != 0);
    }
    memset(P, kPoisonByte, size);
    // The header stays readable: a second free reports what the block was.
    PoisonRegion(h + 1, 2 * kGuard + size);
    h->Next = nullptr;
    h->Ahead = nullptr;
    if (BlockHeader *behind = s->Recent[s->RecentNext]; behind != nullptr) {
        behind->Ahead = h;
        behind->AheadSize = size;
    }
    s->Recent[s->RecentNext] = h;
    s->RecentNext = (s->RecentNext + 1) % kPrefetchAhead;
    if (s->QuarantineTail != nullptr) {
        s->QuarantineTail->Next = h;
    } else {
        s->QuarantineHead = h;
    }
    s->QuarantineTail = h;
    s->QuarantineBytes += size;
    s->QuarantineCount += 1;
    std::unique_ptr<std::vector<std::string>> problems;
    EvictLocked(*s, problems);
    lock.unlock();

    if (findings && !findings->TagProblem.empty()) {
        k.M.ReportViolation(checks::PoolTagMismatch, nullptr, nullptr, findings->TagProblem);
    }
    if (findings && !findings->Guard.empty()) {
        k.M.ReportViolation(findings->Underrun ? checks::PoolUnderrun : checks::PoolOverrun, nullptr, nullptr,
                            findings->Guard);
    }
    if (k.Ctl) {
        CheckSyncObjectsIn(k, P, size, nullptr, [&] {
            return findings && !findings->Freed.empty() ? findings->Freed
                                                        : "freed block " + Hex(reinterpret_cast<uintptr_t>(P));
        });
    }
    if (k.PendingWork.load() != 0) {
        CheckPendingWorkIn(k, P, size, nullptr, checks::TimerInFreedMemory, [&] {
            return findings && !findings->Freed.empty() ? findings->Freed
                                                        : "freed block " + Hex(reinterpret_cast<uintptr_t>(P));
        });
    }
    if (problems) {
        for (const std::string &p : *problems) {
            k.M.ReportViolation(checks::PoolUseAfterFree, nullptr, nullptr, p);
        }
    }
}

void PoolCheckTeardown(Machine::Impl &I, PDRIVER_OBJECT OnlyDriver)
{
    std::vector<std::pair<std::string_view, std::string>> found;
    for (PoolShard &s : I.Pool->Shards) {
        std::lock_guard lock(s.Mu);
        s.Blocks.ForEach([&](void *p, BlockHeader *h) {
            bool underrun = false;
            std::string guard = GuardProblem(h, &underrun);
            if (!guard.empty()) {
                found.emplace_back(underrun ? checks::PoolUnderrun : checks::PoolOverrun,
                                   Describe(h, p) + ": " + guard);
            }
            if (OnlyDriver == nullptr || h->Owner == OnlyDriver) {
                found.emplace_back(checks::Leak, "pool " + Describe(h, p) + " was never freed");
            }
        });
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
    for (PoolShard &s : I.Pool->Shards) {
        s.Blocks.ForEach([](void *, BlockHeader *h) { std::free(h); });
        s.Blocks.Clear();
        for (BlockHeader *h = s.QuarantineHead; h != nullptr;) {
            BlockHeader *next = h->Next;
            UnpoisonRegion(h + 1, 2 * kGuard + h->Size);
            std::free(h);
            h = next;
        }
        for (BlockHeader *&kept : s.Kept) {
            while (kept != nullptr) {
                BlockHeader *h = kept;
                kept = h->Next;
                std::free(h);
            }
        }
        s.KeptCount.fill(0);
        s.QuarantineHead = s.QuarantineTail = nullptr;
        s.QuarantineBytes = s.QuarantineCount = 0;
        s.Recent.fill(nullptr);
    }
}

// Bytes (or blocks) in use under Tag, or under every tag for 0.
static size_t PoolInUse(ULONG Tag, size_t TagUse::*Field)
{
    size_t total = 0;
    for (PoolShard &s : Kernel().Pool->Shards) {
        std::lock_guard lock(s.Mu);
        for (const TagUse &use : s.Tags) {
            if (Tag == 0 || use.Tag == Tag) {
                total += use.*Field;
            }
        }
    }
    return total;
}

size_t PoolBytesInUse(ULONG Tag) { return PoolInUse(Tag, &TagUse::Bytes); }

size_t PoolBlocksInUse(ULONG Tag) { return PoolInUse(Tag, &TagUse::Blocks); }

}  // namespace sim

using namespace sim;

namespace {

constexpr ULONG kNoTag = 'N' | ('o' << 8) | ('n' << 16) | ('e' << 24);

}  // namespace

extern "C" {

// The controlled mode's scheduling point of a pool call.
static void PoolPoint(const char *What, const void *Block)
{
    SimThread *me = Self();
    if (me->I->Ctl) {
        ControlledPoint(*me->I, me, What, Block);
    }
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    PoolPoint("ExAllocatePoolWithTag", nullptr);
    return PoolAllocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), true, FaultKind::Pool);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    PoolPoint("ExAllocatePool", nullptr);
    return PoolAllocate(PoolType, NumberOfBytes, kNoTag, __builtin_return_address(0), true, FaultKind::Pool);
}

VOID NTAPI ExFreePool(PVOID P)
{
    PoolPoint("ExFreePool", P);
    PoolFree(P, __builtin_return_address(0), false, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    PoolPoint("ExFreePoolWithTag", P);
    PoolFree(P, __builtin_return_address(0), true, Tag);
}

}  // extern "C"
