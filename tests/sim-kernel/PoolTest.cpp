// Pool guards, double and foreign frees, leaks, IRQL rules, accounting,
// fault injection, and MDLs.
#include "TestDrivers.h"

#include <algorithm>
#include <thread>

using namespace simtest;

namespace {

constexpr ULONG kTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);

class PoolTest : public KernelTest {
protected:
    // Runs Fn as code of the loaded driver, so injection applies to it.
    template <class F> void AsDriver(F &&Fn)
    {
        if (loaded.empty()) {
            AddUpper(LowerDispatch);
        }
        sim::FrameScope frame(sim::FrameKind::Other, loaded.front());
        Fn();
    }
};

TEST_F(PoolTest, CorruptionAndBadFreesAreReported)
{
    struct Case {
        const char *Name;
        std::string_view Check;
        void (*Fault)();
    } cases[] = {
        {"overrun", sim::checks::PoolOverrun,
         [] {
             auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
             p[10] = 1;
             ExFreePool(p);
         }},
        {"underrun", sim::checks::PoolUnderrun,
         [] {
             auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
             p[-1] = 1;
             ExFreePool(p);
         }},
        {"double free", sim::checks::PoolDoubleFree,
         [] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
             ExFreePool(p);
             ExFreePool(p);
         }},
        {"foreign free", sim::checks::PoolForeignFree,
         [] {
             static int notPool;
             ExFreePool(&notPool);
         }},
        {"tag mismatch", sim::checks::PoolTagMismatch,
         [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), kTag + 1); }},
        {"paged pool at DISPATCH_LEVEL", sim::checks::PagedPoolIrql,
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             void *p = ExAllocatePoolWithTag(PagedPool, 4, kTag);
             KeLowerIrql(old);
             ExFreePool(p);
         }},
    };
    for (const Case &c : cases) {
        c.Fault();
        EXPECT_EQ(machine.ReportCount(c.Check), 1u) << c.Name << "\n" << machine.ReportText();
        EXPECT_EQ(machine.Reports().size(), 1u) << c.Name << "\n" << machine.ReportText();
        machine.ClearReports();
    }
}

TEST_F(PoolTest, AccountingPerTagAndLeakReportNamesTheBlock)
{
    size_t before = sim::PoolBlocksInUse(kTag);
    void *a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
    EXPECT_EQ(sim::PoolBytesInUse(kTag), 128u);
    EXPECT_EQ(sim::PoolBlocksInUse(kTag), before + 2);
    ExFreePool(a);
    EXPECT_EQ(sim::PoolBytesInUse(kTag), 28u);
    machine.CheckForLeaks();
    std::string text = machine.ReportText();
    EXPECT_NE(text.find("'Test' of 28 bytes allocated at"), std::string::npos) << text;
    EXPECT_EQ(text.find("of 100 bytes"), std::string::npos) << text;
    machine.ClearReports();
    ExFreePool(b);
}

TEST_F(PoolTest, ManyTagsInTurnAreEachCountedApart)
{
    // More tags than the pool keeps lookup hints for, so several share
    // one, allocated in turn and freed in another order: a block counted
    // under another tag than its own shows in some tag's sums.
    constexpr ULONG kTags = 40;
    std::vector<void *> blocks;
    for (int round = 0; round < 3; ++round) {
        for (ULONG t = 0; t < kTags; ++t) {
            blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8 + t, kTag + (t << 24)));
        }
    }
    for (ULONG t = 0; t < kTags; ++t) {
        EXPECT_EQ(sim::PoolBlocksInUse(kTag + (t << 24)), 3u) << t;
        EXPECT_EQ(sim::PoolBytesInUse(kTag + (t << 24)), 3 * (8 + t)) << t;
    }
    // Every third and every seventh block, last first: the tags keep
    // different numbers of blocks.
    std::vector<size_t> left(kTags, 3);
    for (size_t i = blocks.size(); i-- > 0;) {
        if (i % 3 == 0 || i % 7 == 0) {
            ExFreePool(blocks[i]);
            blocks[i] = nullptr;
            left[i % kTags] -= 1;
        }
    }
    for (ULONG t = 0; t < kTags; ++t) {
        EXPECT_EQ(sim::PoolBlocksInUse(kTag + (t << 24)), left[t]) << t;
        EXPECT_EQ(sim::PoolBytesInUse(kTag + (t << 24)), left[t] * (8 + t)) << t;
    }
    for (void *p : blocks) {
        if (p != nullptr) {
            ExFreePool(p);
        }
    }
    for (ULONG t = 0; t < kTags; ++t) {
        EXPECT_EQ(sim::PoolBlocksInUse(kTag + (t << 24)), 0u) << t;
    }
    EXPECT_EQ(machine.Reports().size(), 0u) << machine.ReportText();
}

// GCC says so with a macro, clang with a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

TEST_F(PoolTest, WriteAfterFreeIsCaught)
{
    // A write into a freed block is found when the quarantine gives it back;
    // under the address sanitizer the write itself is caught instead.
#if defined(UNDER_ASAN)
    GTEST_SKIP() << "the address sanitizer catches the write itself";
#else
    auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
    ExFreePool(p);
    p[3] = 0x42;
    // Enough frees to push it out of the quarantine (8,192 blocks).
    for (int i = 0; i < 40000; ++i) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    }
    EXPECT_EQ(machine.ReportCount(sim::checks::PoolUseAfterFree), 1u) << machine.ReportText();
    machine.ClearReports();
#endif
}

TEST_F(PoolTest, ManyBlocksFreedInAnyOrderOnTwoThreadsStayTracked)
{
    // Thousands of live and quarantined blocks at once, freed out of order
    // from two threads: a block the pool loses track of shows as a foreign
    // free or a wrong count, one it keeps too long as a missed double free.
    auto churn = [](unsigned seed, ULONG tag) {
        std::vector<void *> live;
        uint32_t x = seed;
        for (int round = 0; round < 30000; ++round) {
            x = x * 1664525u + 1013904223u;
            if (live.size() < 3000 && (x >> 28) < 9) {
                live.push_back(ExAllocatePoolWithTag(NonPagedPool, 1 + (x >> 8) % 300, tag));
            } else if (!live.empty()) {
                std::swap(live[(x >> 4) % live.size()], live.back());
                ExFreePool(live.back());
                live.pop_back();
            }
        }
        return live;
    };
    constexpr ULONG kOther = kTag + 1;
    std::vector<void *> mine, theirs;
    sim::SimThread *other = machine.StartThread("churn", [&] { theirs = churn(2, kOther); });
    mine = churn(1, kTag);
    machine.Join(other);
    EXPECT_EQ(machine.Reports().size(), 0u) << machine.ReportText();
    EXPECT_EQ(sim::PoolBlocksInUse(kTag), mine.size());
    EXPECT_EQ(sim::PoolBlocksInUse(kOther), theirs.size());
    for (void *p : theirs) {
        ExFreePool(p);
    }
    // A block of this thread's and one of the other thread's, each freed a
    // second time from here, the latter after thousands of frees: both are
    // double frees, named as such.
    ExFreePool(mine.front());
    ExFreePool(mine.front());
    ExFreePool(theirs.front());
    EXPECT_EQ(machine.ReportCount(sim::checks::PoolDoubleFree), 2u) << machine.ReportText();
    EXPECT_EQ(machine.Reports().size(), 2u) << machine.ReportText();
    EXPECT_NE(machine.ReportText().find("freed twice: block"), std::string::npos) << machine.ReportText();
    machine.ClearReports();
    for (size_t i = 1; i < mine.size(); ++i) {
        ExFreePool(mine[i]);
    }
    EXPECT_EQ(sim::PoolBlocksInUse(kTag) + sim::PoolBlocksInUse(kOther), 0u);
    EXPECT_EQ(sim::PoolBytesInUse(kTag) + sim::PoolBytesInUse(kOther), 0u);
    EXPECT_EQ(machine.Reports().size(), 0u) << machine.ReportText();
}

TEST_F(PoolTest, AQuarantineEmptiedAtOnceKeepsNoLinksToReleasedBlocks)
{
    // A block bigger than the quarantine's byte bound empties it in one
    // free, releasing the blocks just queued; the frees after it must not
    // write into them (the address sanitizer sees any such write).
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 6; ++i) {
            ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 40 + i, kTag));
        }
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, (9u << 20) + round, kTag));
    }
    for (int i = 0; i < 20000; ++i) {
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16 + i % 200, kTag));
    }
    EXPECT_EQ(machine.Reports().size(), 0u) << machine.ReportText();
    EXPECT_EQ(sim::PoolBlocksInUse(kTag), 0u);
}

TEST_F(PoolTest, FailNthAllocationOnlyInDriverCode)
{
    machine.SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Pool), 3, 0.0});
    // Test code is not injected.
    void *mine = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ASSERT_NE(mine, nullptr);
    ExFreePool(mine);
    std::vector<bool> got;
    AsDriver([&] {
        for (int i = 0; i < 5; ++i) {
            void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            got.push_back(p != nullptr);
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
    });
    EXPECT_EQ(got, (std::vector<bool>{true, true, false, true, true}));
    EXPECT_EQ(machine.InjectedFailures(), 1u);
}

// Two call sites of their own. Without noipa, an optimising build folds the
// identical functions into one; without the barrier after the call, it
// jumps to the allocation, which then sees the caller's return address.
#if defined(__clang__)
#define OWN_SITE __attribute__((noinline))
#else
#define OWN_SITE __attribute__((noinline, noipa))
#endif
OWN_SITE void *AllocateAtSiteA()
{
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    asm volatile("" ::: "memory");
    return p;
}
OWN_SITE void *AllocateAtSiteB()
{
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    asm volatile("" ::: "memory");
    return p;
}

TEST_F(PoolTest, CallSiteSweepFailsEachSiteTheFirstTimeOnly)
{
    machine.SetFaultPlan({sim::FaultMode::CallSiteSweep, static_cast<unsigned>(sim::FaultKind::All), 0, 0.0});
    std::vector<bool> got;
    AsDriver([&] {
        for (void *(*site)() : {AllocateAtSiteA, AllocateAtSiteA, AllocateAtSiteB, AllocateAtSiteA, AllocateAtSiteB}) {
            void *p = site();
            got.push_back(p != nullptr);
            if (p != nullptr) {
                ExFreePool(p);
            }
        }
    });
    EXPECT_EQ(got, (std::vector<bool>{false, true, false, true, true}));
}

// The failure pattern of a random plan, drawn on a machine of its own.
std::vector<bool> RandomPattern(uint64_t Seed)
{
    std::vector<bool> got;
    std::thread([&] {
        sim::MachineOptions o;
        o.Seed = Seed;
        sim::Machine m(o);
        sim::ThreadScope scope(m);
        PDRIVER_OBJECT d = m.LoadDriver(u"\\Driver\\r", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS {
            return STATUS_SUCCESS;
        }, u"");
        m.SetFaultPlan({sim::FaultMode::Random, static_cast<unsigned>(sim::FaultKind::Pool), 0, 0.5});
        {
            sim::FrameScope frame(sim::FrameKind::Other, d);
            for (int i = 0; i < 64; ++i) {
                void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
                got.push_back(p != nullptr);
                if (p != nullptr) {
                    ExFreePool(p);
                }
            }
        }
        m.UnloadDriver(d);
        EXPECT_EQ(m.ReportText(), "");
    }).join();
    return got;
}

TEST(PoolRandomFaults, SameSeedSamePatternOtherSeedOtherPattern)
{
    std::vector<bool> a = RandomPattern(77);
    EXPECT_EQ(a, RandomPattern(77));
    EXPECT_NE(a, RandomPattern(78));
    EXPECT_GT(std::count(a.begin(), a.end(), false), 0);
    EXPECT_GT(std::count(a.begin(), a.end(), true), 0);
}

TEST_F(PoolTest, InjectionCoversIrpsWorkItemsAndMdls)
{
    PDEVICE_OBJECT fdo = AddUpper(LowerDispatch);
    machine.SetFaultPlan({sim::FaultMode::CallSiteSweep,
                          static_cast<unsigned>(sim::FaultKind::Irp) | static_cast<unsigned>(sim::FaultKind::WorkItem) |
                              static_cast<unsigned>(sim::FaultKind::Mdl),
                          0, 0.0});
    char buffer[64];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    AsDriver([&] {
        EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
        EXPECT_EQ(IoAllocateWorkItem(fdo), nullptr);
        EXPECT_EQ(IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr), nullptr);
        EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb), nullptr);
        // Pool is not in the plan.
        void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        EXPECT_NE(p, nullptr);
        ExFreePool(p);
    });
    EXPECT_EQ(machine.InjectedFailures(), 4u);
    EXPECT_EQ(sim::LiveIrpCount(), 0u);
}

TEST_F(PoolTest, MdlsDescribeTheCallersOwnPages)
{
    alignas(4096) static UCHAR buffer[3 * PAGE_SIZE];
    UCHAR *start = buffer + 100;
    PMDL mdl = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
    EXPECT_EQ(mdl->ByteOffset, 100u);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);

    // A partial MDL over a window: its system address is the window itself,
    // so writes land in the caller's buffer with no copy.
    PMDL partial = IoAllocateMdl(start + 5000, 300, FALSE, FALSE, nullptr);
    ASSERT_NE(partial, nullptr);
    IoBuildPartialMdl(mdl, partial, start + 5000, 300);
    EXPECT_EQ(MmGetMdlByteCount(partial), 300u);
    auto *window = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
    ASSERT_EQ(window, start + 5000);
    window[0] = 0x5A;
    EXPECT_EQ(start[5000], 0x5A);
    MmUnmapLockedPages(window, partial);
    IoFreeMdl(partial);

    // A window past the source buffer is refused.
    PMDL bad = IoAllocateMdl(start, 100, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, bad, start + 2 * PAGE_SIZE - 10, 100);
    EXPECT_EQ(machine.ReportCount(sim::checks::BadParameter), 1u) << machine.ReportText();
    machine.ClearReports();
    IoFreeMdl(bad);
    IoFreeMdl(mdl);

    // An MDL for an application buffer (direct I/O).
    PMDL app = sim::BuildMdlForBuffer(start, 10);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(app, NormalPagePriority), start);
    IoFreeMdl(app);
}

}  // namespace
