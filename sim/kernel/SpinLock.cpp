// Spin locks, IRQL and the frames that check a driver routine leaves IRQL
// and spin locks as it found them.
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Controlled.h"

#include <algorithm>
#include <pthread.h>
#include <thread>

namespace sim {

namespace {

// The value a held lock carries: the holder's thread record.
ULONG_PTR Token(SimThread *T) { return reinterpret_cast<ULONG_PTR>(T); }

// The lock word carries its holder's token, so this needs no search.

// Spins until the lock is free; the first attempt failed. As the kernel
// does, it waits by reading (the line stays shared until the holder's
// release) and tries the exchange only once the lock looks free; a holder
// that is not running (more simulated threads than processors) gets the
// processor after a while.
[[gnu::noinline]] void SpinUntilAcquired(SimThread *Me, PKSPIN_LOCK Lock)
{
    // Controlled mode: the holder runs only once this thread gives up the turn.
    if (Me->I->Ctl && Me->I->Ctl->Spin(Me, Lock, Token(Me))) {
        return;
    }
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_load_n(Lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(Lock, &expected, Token(Me), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        if (++spins % 256 == 0) {
            std::this_thread::yield();
        } else {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }
}

// Takes the lock; returns false, holding nothing more, when the calling
// thread holds it already. The exchange comes first, as the kernel's
// does: one transfer of the line when another processor released it
// last. Only a failed exchange looks at the holder, which the lock word
// names.
bool AcquireRaw(SimThread *Me, PKSPIN_LOCK Lock)
{
    ULONG_PTR holder = 0;
    if (!__atomic_compare_exchange_n(Lock, &holder, Token(Me), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        if (holder == Token(Me)) {
            return false;
        }
        SpinUntilAcquired(Me, Lock);
    }
    Me->Held.push_back(Lock);
    return true;
}

// Controlled mode: a release is a scheduling point while the lock is still
// held (others run meanwhile, as on other processors: what the holder did
// just before, a set of an event say, is seen while it still holds the
// lock), and its spinners may run again once it is free.
[[gnu::noinline]] void ControlledBeforeRelease(SimThread *Me, PKSPIN_LOCK Lock)
{
    if (__atomic_load_n(Lock, __ATOMIC_RELAXED) == Token(Me)) {
        ControlledPoint(*Me->I, Me, "a spin-lock release", Lock);
    }
}

[[gnu::noinline]] void ControlledReleased(SimThread *Me, PKSPIN_LOCK Lock) { Me->I->Ctl->Released(Lock); }

[[gnu::noinline]] bool ReleaseOutOfOrder(SimThread *Me, PKSPIN_LOCK Lock)
{
    auto it = std::find(Me->Held.begin(), Me->Held.end(), Lock);
    if (it == Me->Held.end()) {
        return false;
    }
    Me->Held.erase(it);
    __atomic_store_n(Lock, 0, __ATOMIC_RELEASE);
    return true;
}

// Returns false when the lock was not held by the caller.
inline bool ReleaseRaw(SimThread *Me, PKSPIN_LOCK Lock)
{
    // Locks are mostly released in the reverse order of acquisition.
    if (!Me->Held.empty() && Me->Held.back() == Lock) {
        Me->Held.pop_back();
        __atomic_store_n(Lock, 0, __ATOMIC_RELEASE);
        return true;
    }
    return ReleaseOutOfOrder(Me, Lock);
}

// The reports of KfAcquireSpinLock and KfReleaseSpinLock, out of line and
// cold: those two run several times per request, and the text building
// would otherwise cost their fast path its registers.
[[gnu::cold, gnu::noinline]] void ReportAtIrql(SimThread *Me, std::string_view Check, const char *What, int Irql)
{
    Me->M->ReportViolation(Check, nullptr, nullptr, What + std::to_string(Irql));
}

[[gnu::cold, gnu::noinline]] void ReportOnLock(SimThread *Me, std::string_view Check, const char *What,
                                               PKSPIN_LOCK Lock)
{
    Me->M->ReportViolation(Check, nullptr, nullptr, What + Hex(reinterpret_cast<uintptr_t>(Lock)));
}

}  // namespace

void CheckFrameExit(SimThread *T, size_t Depth, KIRQL EntryIrql, size_t EntryLocks, const char *What)
{
    (void)Depth;
    if (T->Irql != EntryIrql) {
        T->M->ReportViolation(checks::IrqlChanged, nullptr, nullptr,
                              std::string(What) + " entered at IRQL " + std::to_string(EntryIrql) +
                                  " and returned at IRQL " + std::to_string(T->Irql));
        T->Irql = EntryIrql;
    }
    if (T->Held.size() > EntryLocks) {
        T->M->ReportViolation(checks::SpinLockHeldAtReturn, nullptr, nullptr,
                              std::string(What) + " returned holding a spin lock it acquired");
    }
}

namespace {

// True when Address lies in this thread's stack below Mark: in frames of
// routines that were called after Mark's frame and have returned.
bool InReturnedFrame(const void *Address, const void *Mark)
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
    void *low = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    auto a = reinterpret_cast<uintptr_t>(Address);
    return rc == 0 && a >= reinterpret_cast<uintptr_t>(low) && a < reinterpret_cast<uintptr_t>(Mark);
}

// A driver routine that sent a built request which came back STATUS_PENDING
// must wait on its event before returning: the I/O manager still writes the
// status block and sets the event, typically in that routine's own frame.
void CheckUnwaitedRequests(SimThread *T, size_t Depth, const void *Mark, const char *What)
{
    for (auto it = T->Unwaited.begin(); it != T->Unwaited.end();) {
        if (it->Depth < Depth) {
            ++it;
            continue;
        }
        bool onStack = InReturnedFrame(it->Event, Mark) || InReturnedFrame(it->Iosb, Mark);
        T->M->ReportViolation(checks::BuiltIrpNotWaited, nullptr, nullptr,
                              std::string(What) +
                                  " returned without waiting for a request from IoBuildDeviceIoControlRequest "
                                  "that returned STATUS_PENDING" +
                                  (onStack ? "; its event or status block was in the returned frame" : ""));
        it = T->Unwaited.erase(it);
    }
}

}  // namespace

FrameScope::FrameScope(FrameKind Kind, PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device, PIRP Irp, const void *Routine)
    : kind_(Kind)
{
    SimThread *t = Self();
    entryIrql_ = t->Irql;
    t->Frames.push_back(Frame{Kind, Driver, Device, Irp, Routine});
    entryLocks_ = t->Held.size();
}

FrameScope::~FrameScope()
{
    SimThread *t = Self();
    static const char *const kNames[] = {"dispatch routine", "completion routine", "cancel routine", "DPC routine",
                                         "work item",        "DriverEntry",        "AddDevice",      "DriverUnload",
                                         "power callback",   "driver routine"};
    const char *name = kNames[static_cast<int>(kind_)];
    if (kind_ != FrameKind::Cancel) {
        CheckFrameExit(t, t->Frames.size(), entryIrql_, entryLocks_, name);
    }
    CheckUnwaitedRequests(t, t->Frames.size(), this, name);
    t->Frames.pop_back();
}

DispatchLevelScope::DispatchLevelScope()
{
    SimThread *t = Self();
    old_ = t->Irql;
    if (old_ > DISPATCH_LEVEL) {
        t->M->ReportViolation(checks::IrqlLowered, nullptr, nullptr, "DispatchLevelScope entered above DISPATCH_LEVEL");
    }
    t->Irql = DISPATCH_LEVEL;
}

DispatchLevelScope::~DispatchLevelScope()
{
    SimThread *t = Self();
    if (t->Irql != DISPATCH_LEVEL) {
        t->M->ReportViolation(checks::IrqlChanged, nullptr, nullptr,
                              "code run at DISPATCH_LEVEL returned at IRQL " + std::to_string(t->Irql));
    }
    t->Irql = old_;
}

namespace {

// KfAcquireSpinLock past its first attempt: a report, a held lock, a full
// lock stack. In the services' convention (NTAPI), as is ReleaseSlow: a
// service that calls a routine of the host's convention must keep ten
// vector registers the Windows convention preserves and the host's does
// not, and these two services' fast paths call nothing else.
[[gnu::noinline]] KIRQL NTAPI AcquireSlow(SimThread *me, PKSPIN_LOCK SpinLock, KIRQL old)
{
    if (me->I->HasAcquireHook.load(std::memory_order_acquire)) {
        me->I->RunAcquireHook(SpinLock);
    }
    if (me->I->Ctl) {
        ControlledPoint(*me->I, me, "a spin-lock acquire", SpinLock);
    }
    if (old > DISPATCH_LEVEL) {
        ReportAtIrql(me, checks::SpinLockIrql, "KeAcquireSpinLock at IRQL ", old);
    }
    me->Irql = DISPATCH_LEVEL;
    if (!AcquireRaw(me, SpinLock)) {
        // Acquiring again would spin forever; the caller keeps its one hold.
        ReportOnLock(me, checks::SpinLockRecursive, "KeAcquireSpinLock on a lock this thread already holds at ",
                     SpinLock);
    }
    return old;
}

[[gnu::noinline]] void NTAPI ReleaseSlow(SimThread *me, PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (me->Irql != DISPATCH_LEVEL) {
        ReportAtIrql(me, checks::SpinLockIrql, "KeReleaseSpinLock at IRQL ", me->Irql);
    }
    if (me->I->Ctl) {
        ControlledBeforeRelease(me, SpinLock);
    }
    if (!ReleaseRaw(me, SpinLock)) {
        ReportOnLock(me, checks::SpinLockNotHeld, "KeReleaseSpinLock on a lock this thread does not hold at ",
                     SpinLock);
    }
    if (me->I->Ctl) {
        ControlledReleased(me, SpinLock);
    }
    if (NewIrql > DISPATCH_LEVEL) {
        ReportAtIrql(me, checks::IrqlLowered, "KeReleaseSpinLock to IRQL ", NewIrql);
        return;
    }
    me->Irql = NewIrql;
    if (me->I->HasReleaseHook.load(std::memory_order_acquire)) {
        me->I->RunReleaseHook(SpinLock);
    }
    if (me->I->Opt.RandomYields) {
        me->M->YieldPoint();
    }
}

}  // namespace

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    Self();
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
}

// Both run several times per request, so each has a fast path that calls
// nothing (and so saves no registers) and hands anything else, checks
// that fail included, to an out-of-line slow path with a tail call.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    SimThread *me = Self();
    const KIRQL old = me->Irql;
    ULONG_PTR expected = 0;
    if (old <= DISPATCH_LEVEL && !me->Held.full() && !me->I->HasAcquireHook.load(std::memory_order_relaxed) &&
        __atomic_compare_exchange_n(SpinLock, &expected, Token(me), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        me->Irql = DISPATCH_LEVEL;
        me->Held.push_back_within_capacity(SpinLock);
        return old;
    }
    return AcquireSlow(me, SpinLock, old);
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    SimThread *me = Self();
    if (me->Irql == DISPATCH_LEVEL && NewIrql <= DISPATCH_LEVEL && !me->Held.empty() && me->Held.back() == SpinLock &&
        !me->I->HasReleaseHook.load(std::memory_order_acquire) && !me->I->Opt.RandomYields) {
        me->Held.pop_back();
        __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
        me->Irql = NewIrql;
        return;
    }
    ReleaseSlow(me, SpinLock, NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    SimThread *me = Self();
    if (me->Irql != DISPATCH_LEVEL) {
        me->M->ReportViolation(checks::SpinLockIrql, nullptr, nullptr,
                               "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(me->Irql));
    }
    if (me->I->Ctl) {
        ControlledPoint(*me->I, me, "a spin-lock acquire", SpinLock);
    }
    if (!AcquireRaw(me, SpinLock)) {
        me->M->ReportViolation(checks::SpinLockRecursive, nullptr, nullptr,
                               "KeAcquireSpinLockAtDpcLevel on a lock this thread already holds");
    }
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    SimThread *me = Self();
    if (me->Irql != DISPATCH_LEVEL) {
        me->M->ReportViolation(checks::SpinLockIrql, nullptr, nullptr,
                               "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(me->Irql));
    }
    if (me->I->Ctl) {
        ControlledBeforeRelease(me, SpinLock);
    }
    if (!ReleaseRaw(me, SpinLock)) {
        me->M->ReportViolation(checks::SpinLockNotHeld, nullptr, nullptr,
                               "KeReleaseSpinLockFromDpcLevel on a lock this thread does not hold");
    }
    if (me->I->Ctl) {
        ControlledReleased(me, SpinLock);
    }
}

KIRQL NTAPI KeGetCurrentIrql(void) { return Self()->Irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    SimThread *me = Self();
    KIRQL old = me->Irql;
    if (NewIrql < old) {
        me->M->ReportViolation(checks::IrqlLowered, nullptr, nullptr,
                               "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher " + std::to_string(old));
        return old;
    }
    me->Irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    SimThread *me = Self();
    if (NewIrql > me->Irql) {
        me->M->ReportViolation(checks::IrqlLowered, nullptr, nullptr,
                               "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower " +
                                   std::to_string(me->Irql));
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && !me->Held.empty()) {
        me->M->ReportViolation(checks::SpinLockIrql, nullptr, nullptr,
                               "KeLowerIrql below DISPATCH_LEVEL while holding a spin lock");
    }
    me->Irql = NewIrql;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&Kernel().CancelLock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&Kernel().CancelLock, Irql); }

}  // extern "C"
