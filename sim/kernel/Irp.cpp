// IRPs: allocation from a reserved region with guard-page quarantine, the
// call and completion logic with its verifier checks, cancellation, and
// requests built by IoBuildDeviceIoControlRequest.
#include "sim/kernel/MachineImpl.h"

#include <sys/mman.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

// The verifier's look at an IRP's cancel routine. IoSetCancelRoutine and
// IoCancelIrp exchange it atomically from any thread (a cancel may run
// while the IRP is sent on or completed), so it is read the same way.
PDRIVER_CANCEL CancelRoutineOf(PIRP Irp) { return __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST); }

constexpr size_t kSlotBytes = 8192;
constexpr size_t kSlotCount = 16384;  // 128 MiB of address space, committed on use
constexpr int kMaxStack = 63;
constexpr size_t kQuarantine = 1024;  // per shard
// Free and quarantined slots are kept per shard, and a thread takes and
// returns slots through the shard of its own (by thread id): a thread keeps
// reusing its own slots, and two threads seldom meet on a lock.
constexpr size_t kIrpShards = 8;
constexpr ULONG kBuiltBufferTag = 'I' | ('o' << 8) | ('B' << 16) | ('f' << 24);
// A spare stack location lies between the IRP and its first one. A driver
// that passes an IRP down from the last location writes the next one below
// the first (IofCallDriver reports it, NoStackLocation): on Windows that is
// the IRP's own tail, here the spare, so the IRP the verifier goes on
// checking stays whole. Drivers reach the locations only through
// CurrentStackLocation, so none sees where they start.
constexpr size_t kSpareLocations = 1;
constexpr size_t IrpBytes(CCHAR StackSize)
{
    return sizeof(IRP) + (static_cast<size_t>(StackSize) + kSpareLocations) * sizeof(IO_STACK_LOCATION);
}
static_assert(IrpBytes(kMaxStack) <= kSlotBytes);

// A dispatch routine's view of its own location, filled in by the completion
// walk when it passes that location. Lives on the dispatching thread's stack.
struct DispatchWatch {
    int Location = 0;
    bool Passed = false;
    bool PendingMarked = false;
    NTSTATUS Status = 0;
    DispatchWatch *Next = nullptr;
};

enum class SlotState : uint8_t { Unused, Live, Quarantined };

}  // namespace

// Each on cache lines of its own: neighbouring slots often belong to IRPs of
// other threads, and the record is written at every step of an IRP.
struct alignas(64) IrpRecord {
    AdaptiveMutex Mu;
    SlotState State = SlotState::Unused;
    IrpOrigin Origin = IrpOrigin::Allocated;
    PDRIVER_OBJECT Owner = nullptr;
    const void *Site = nullptr;
    bool Outstanding = false;  // handed down and not yet handed back
    bool Done = false;         // the completion walk passed the top
    bool Walking = false;
    bool FreedDuringWalk = false;
    SimThread *Walker = nullptr;
    // Bumped by every IofCompleteRequest: a completion routine's owner may
    // complete the IRP again (from any thread) before the routine returns
    // STATUS_MORE_PROCESSING_REQUIRED; the older walk then ends quietly.
    uint64_t WalkSeq = 0;
    uint64_t PendingReturnedMask = 0;
    DispatchWatch *Watchers = nullptr;
    unsigned WatchCount = 0;
    FinalCompletion Final = nullptr;
    void *FinalContext = nullptr;
    // Built requests.
    PKEVENT UserEvent = nullptr;
    PIO_STATUS_BLOCK UserIosb = nullptr;
    void *SystemBuffer = nullptr;
    void *OutputBuffer = nullptr;
    ULONG OutputLength = 0;
    ULONG Method = 0;
    PMDL OutputMdl = nullptr;
    bool Sent = false;  // its builder's IofCallDriver happened
};

struct alignas(64) IrpShard {
    AdaptiveMutex Mu;
    std::vector<uint32_t> FreeSlots;
    std::deque<uint32_t> Quarantine;
    // IRPs allocated less IRPs freed by the shard's threads; the sum over
    // the shards is the live count. Kept here rather than in one counter
    // that every allocation on every processor would write.
    std::atomic<int64_t> Live{0};
};

struct IrpTable {
    UCHAR *Base = nullptr;
    std::unique_ptr<IrpRecord[]> Records;
    std::array<IrpShard, kIrpShards> Shards;
    std::atomic<uint32_t> NextUnused{0};  // slots below it have been handed out once
    AdaptiveMutex Mu;                     // BuiltEvents
    std::unordered_map<PKEVENT, unsigned> BuiltEvents;
    bool GuardPages = true;
    bool ProtectSlots = true;  // GuardPages by page protection (not under the address sanitizer)
};

void IrpInit(Machine::Impl &I)
{
    auto t = std::make_shared<IrpTable>();
    t->GuardPages = I.Opt.IrpGuardPages;
    // Slots are made accessible one by one only when freed slots are made
    // inaccessible; otherwise the whole table is mapped once. A protection
    // change per slot would cost, with two threads running, a TLB
    // shootdown across the processors each time a slot is first used.
    t->ProtectSlots = t->GuardPages && !AddressSanitizerActive();
    void *base = mmap(nullptr, kSlotBytes * kSlotCount, t->ProtectSlots ? PROT_NONE : PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        std::fprintf(stderr, "vextora sim: cannot reserve address space for IRPs\n");
        std::abort();
    }
    t->Base = static_cast<UCHAR *>(base);
    t->Records = std::make_unique<IrpRecord[]>(kSlotCount);
    I.Irps = std::move(t);
}

void IrpDestroy(Machine::Impl &I)
{
    if (I.Irps) {
        // Poison must not outlive the mapping: a later mapping may reuse it.
        UnpoisonRegion(I.Irps->Base, size_t{I.Irps->NextUnused.load()} * kSlotBytes);
        munmap(I.Irps->Base, kSlotBytes * kSlotCount);
        I.Irps.reset();
    }
}

namespace {

IrpTable &Table() { return *Kernel().Irps; }

PIRP IrpAt(IrpTable &T, uint32_t Slot) { return reinterpret_cast<PIRP>(T.Base + size_t{Slot} * kSlotBytes); }

IrpRecord *RecordOf(IrpTable &T, PIRP Irp)
{
    auto p = reinterpret_cast<uintptr_t>(Irp);
    auto base = reinterpret_cast<uintptr_t>(T.Base);
    if (p < base || p >= base + kSlotBytes * kSlotCount || (p - base) % kSlotBytes != 0) {
        return nullptr;
    }
    return &T.Records[(p - base) / kSlotBytes];
}

IrpShard &ShardOfThread(IrpTable &T) { return T.Shards[Self()->Id % kIrpShards]; }

// Moves quarantined slots of S to its free list while more than Keep are
// quarantined, or until one is free when Keep is 0; a slot still watched
// by a returning dispatch routine stays until it is not. S.Mu held.
void EvictLocked(IrpTable &T, IrpShard &S, size_t Keep)
{
    size_t spins = S.Quarantine.size();
    while (S.Quarantine.size() > Keep && (Keep != 0 || S.FreeSlots.empty()) && spins-- > 0) {
        uint32_t slot = S.Quarantine.front();
        S.Quarantine.pop_front();
        IrpRecord &r = T.Records[slot];
        std::lock_guard lock(r.Mu);
        if (r.WatchCount != 0) {
            S.Quarantine.push_back(slot);
            continue;
        }
        r.State = SlotState::Unused;
        S.FreeSlots.push_back(slot);
    }
}

// A slot for a new IRP: a free one of the thread's shard, one never used,
// or, when every slot has been used, the oldest quarantined one of any
// shard. Returns false when every slot is live or watched.
bool TakeSlot(IrpTable &T, uint32_t &Slot)
{
    IrpShard &own = ShardOfThread(T);
    {
        std::lock_guard lock(own.Mu);
        if (!own.FreeSlots.empty()) {
            Slot = own.FreeSlots.back();
            own.FreeSlots.pop_back();
            return true;
        }
    }
    uint32_t fresh = T.NextUnused.load(std::memory_order_relaxed);
    while (fresh < kSlotCount) {
        if (T.NextUnused.compare_exchange_weak(fresh, fresh + 1, std::memory_order_relaxed)) {
            Slot = fresh;
            return true;
        }
    }
    for (size_t i = 0; i <= kIrpShards; ++i) {
        IrpShard &s = i == 0 ? own : T.Shards[i - 1];
        if (i != 0 && &s == &own) {
            continue;
        }
        std::lock_guard lock(s.Mu);
        EvictLocked(T, s, 0);
        if (!s.FreeSlots.empty()) {
            Slot = s.FreeSlots.back();
            s.FreeSlots.pop_back();
            return true;
        }
    }
    return false;
}

void InitIrp(PIRP Irp, CCHAR StackSize)
{
    memset(static_cast<void *>(Irp), 0, IrpBytes(StackSize));
    Irp->Type = 6;
    Irp->Size = IoSizeOfIrp(StackSize);
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + kSpareLocations + StackSize;
    Irp->Tail.Overlay.Thread = SelfOrNull();
}

PIRP AllocateIrp(CCHAR StackSize, IrpOrigin Origin, const void *Site, bool Injectable)
{
    Machine::Impl &k = Kernel();
    if (StackSize < 1 || StackSize > kMaxStack) {
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "IRP with a stack size of " + std::to_string(StackSize) + " (1 to " +
                                std::to_string(kMaxStack) + " supported)");
        return nullptr;
    }
    if (Injectable && k.M.ShouldFail(FaultKind::Irp, Site)) {
        return nullptr;
    }
    IrpTable &t = *k.Irps;
    uint32_t slot;
    if (!TakeSlot(t, slot)) {
        return nullptr;
    }
    IrpRecord &r = t.Records[slot];
    PIRP irp = IrpAt(t, slot);
    {
        std::lock_guard lock(r.Mu);
        if (t.ProtectSlots) {
            mprotect(irp, kSlotBytes, PROT_READ | PROT_WRITE);
        }
        UnpoisonRegion(irp, kSlotBytes);
        r.State = SlotState::Live;
        r.Origin = Origin;
        r.Owner = CurrentDriver();
        r.Site = Site;
        r.Outstanding = r.Done = r.Walking = r.FreedDuringWalk = false;
        r.Walker = nullptr;
        r.PendingReturnedMask = 0;
        r.Watchers = nullptr;
        r.Final = nullptr;
        r.FinalContext = nullptr;
        r.UserEvent = nullptr;
        r.UserIosb = nullptr;
        r.SystemBuffer = r.OutputBuffer = nullptr;
        r.OutputLength = r.Method = 0;
        r.OutputMdl = nullptr;
        r.Sent = false;
    }
    InitIrp(irp, StackSize);
    ShardOfThread(t).Live.fetch_add(1, std::memory_order_relaxed);
    return irp;
}

void FreeSlot(IrpTable &T, PIRP Irp, IrpRecord &R)
{
    memset(static_cast<void *>(Irp), 0xDD, IrpBytes(Irp->StackCount));
    // Under the address sanitizer, poisoning catches a touch as precisely as
    // an unmapped page, without two system calls per IRP.
    if (T.GuardPages && !T.ProtectSlots) {
        PoisonRegion(Irp, kSlotBytes);
    } else if (T.ProtectSlots) {
        mprotect(Irp, kSlotBytes, PROT_NONE);
    }
    (void)R;
    IrpShard &s = ShardOfThread(T);
    s.Live.fetch_sub(1, std::memory_order_relaxed);
    std::lock_guard lock(s.Mu);
    s.Quarantine.push_back(static_cast<uint32_t>((reinterpret_cast<UCHAR *>(Irp) - T.Base) / kSlotBytes));
    EvictLocked(T, s, kQuarantine);
}

// Looks up a live IRP; reports and returns NULL otherwise.
IrpRecord *LiveRecord(Machine::Impl &K, PIRP Irp, const char *Operation, std::string_view FreedCheck)
{
    IrpTable &t = *K.Irps;
    IrpRecord *r = RecordOf(t, Irp);
    SlotState state = SlotState::Unused;
    if (r != nullptr) {
        std::lock_guard lock(r->Mu);
        state = r->State;
    }
    if (r == nullptr || state == SlotState::Unused) {
        K.M.ReportViolation(checks::ForeignIrp, nullptr, nullptr,
                            std::string(Operation) + " on " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                ", which is not an IRP of this machine");
        return nullptr;
    }
    if (state == SlotState::Quarantined) {
        K.M.ReportViolation(FreedCheck, Irp, nullptr, std::string(Operation) + " on an IRP that was already freed");
        return nullptr;
    }
    return r;
}

// Whether Driver may cancel the IRP: it allocated, built or requested it, or
// one of its devices holds or has passed on a stack location of it.
bool TakesPartIn(IrpRecord &R, PIRP Irp, PDRIVER_OBJECT Driver)
{
    {
        std::lock_guard lock(R.Mu);
        if (R.Owner == Driver) {
            return true;
        }
    }
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) {
        return false;
    }
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    for (int location = Irp->CurrentLocation; location <= Irp->StackCount; ++location, ++sp) {
        if (sp->DeviceObject != nullptr && sp->DeviceObject->DriverObject == Driver) {
            return true;
        }
    }
    return false;
}

void Notify(Machine::Impl &K, const std::function<void(IrpObserver *)> &Fn)
{
    const std::vector<IrpObserver *> *obs = K.Observers.load(std::memory_order_acquire);
    if (obs == nullptr) {
        return;
    }
    for (IrpObserver *o : *obs) {
        Fn(o);
    }
}

std::string StatusText(NTSTATUS S) { return Hex(static_cast<ULONG>(S)); }

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

bool IsLiveDevice(Machine::Impl &K, PDEVICE_OBJECT Device)
{
    const std::unordered_set<PDEVICE_OBJECT> *live = K.LiveDevices.load(std::memory_order_acquire);
    return live != nullptr && live->count(Device) != 0;
}

void FinishBuilt(Machine::Impl &K, PIRP Irp, IrpRecord &R);

// Walks completion upward from the current location. R.Walking is set and
// R.WalkSeq is Seq.
void WalkUp(Machine::Impl &K, PIRP Irp, IrpRecord &R, uint64_t Seq)
{
    SimThread *me = Self();
    for (;;) {
        int location = Irp->CurrentLocation;
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        bool pending = (sp->Control & SL_PENDING_RETURNED) != 0;
        bool unmarkedPending = false;
        NTSTATUS status = Irp->IoStatus.Status;
        {
            std::lock_guard lock(R.Mu);
            for (DispatchWatch *w = R.Watchers; w != nullptr; w = w->Next) {
                if (w->Location == location && !w->Passed) {
                    w->Passed = true;
                    w->PendingMarked = pending;
                    w->Status = status;
                }
            }
            uint64_t bit = uint64_t{1} << location;
            if (R.PendingReturnedMask & bit) {
                R.PendingReturnedMask &= ~bit;
                unmarkedPending = !pending;
            }
        }
        if (unmarkedPending) {
            K.M.ReportViolation(checks::PendingNotMarked, Irp, sp->DeviceObject,
                                "dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
        }
        Irp->PendingReturned = pending;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        UCHAR control = sp->Control;
        sp->Control = 0;
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        sp->FileObject = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        PDEVICE_OBJECT upper = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            Notify(K, [&](IrpObserver *o) { o->OnCompletionRoutine(upper, Irp); });
            PDRIVER_OBJECT driver = upper != nullptr ? upper->DriverObject : R.Owner;
            NTSTATUS result;
            {
                FrameScope frame(FrameKind::Completion, driver, upper, Irp, reinterpret_cast<const void *>(routine));
                result = routine(upper, Irp, context);
            }
            bool freed = false;
            bool takenOver;
            {
                std::lock_guard lock(R.Mu);
                takenOver = R.WalkSeq != Seq;
                if (!takenOver) {
                    freed = R.FreedDuringWalk;
                    if (result == STATUS_MORE_PROCESSING_REQUIRED || freed) {
                        R.Walking = false;
                        R.Walker = nullptr;
                        R.Outstanding = false;
                        R.FreedDuringWalk = false;
                    }
                }
            }
            if (takenOver) {
                if (result != STATUS_MORE_PROCESSING_REQUIRED) {
                    K.M.ReportViolation(checks::DoubleCompletion, Irp, upper,
                                        "the IRP was completed again while its completion routine ran, and the "
                                        "routine let the first completion continue");
                }
                return;
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            if (freed) {
                K.M.ReportViolation(checks::IrpFreedInUse, Irp, upper,
                                    "completion routine freed the IRP and returned " + StatusText(result) +
                                        " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            if (Irp->PendingReturned && !atTop &&
                !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
                K.M.ReportViolation(checks::PendingReturnedNotPropagated, Irp, upper,
                                    "completion routine saw PendingReturned, did not call IoMarkIrpPending and "
                                    "did not return STATUS_MORE_PROCESSING_REQUIRED");
            }
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
        if (atTop) {
            break;
        }
    }
    IrpOrigin origin;
    {
        std::lock_guard lock(R.Mu);
        R.Done = true;
        R.Walking = false;
        R.Walker = nullptr;
        R.Outstanding = false;
        origin = R.Origin;
    }
    (void)me;
    switch (origin) {
    case IrpOrigin::Allocated:
        K.M.ReportViolation(checks::AllocatedIrpCompletedUpward, Irp, nullptr,
                            "an IRP from IoAllocateIrp was completed past its top location (its owner's "
                            "completion routine must return STATUS_MORE_PROCESSING_REQUIRED)");
        break;
    case IrpOrigin::Built: FinishBuilt(K, Irp, R); break;
    case IrpOrigin::Manager:
        K.ActiveFinals.fetch_add(1, std::memory_order_acq_rel);
        R.Final(Irp, R.FinalContext);
        K.ActiveFinals.fetch_sub(1, std::memory_order_acq_rel);
        break;
    }
}

void FinishBuilt(Machine::Impl &K, PIRP Irp, IrpRecord &R)
{
    IO_STATUS_BLOCK iosb = Irp->IoStatus;
    if (R.Method == METHOD_BUFFERED && R.OutputLength != 0) {
        if (iosb.Information > R.OutputLength) {
            K.M.ReportViolation(checks::InformationTooLarge, Irp, nullptr,
                                "Information " + std::to_string(iosb.Information) + " exceeds the output buffer of " +
                                    std::to_string(R.OutputLength) + " bytes");
        }
        if (!NT_ERROR(iosb.Status) && R.OutputBuffer != nullptr) {
            size_t n = std::min<size_t>(iosb.Information, R.OutputLength);
            memcpy(R.OutputBuffer, R.SystemBuffer, n);
        }
    }
    if (R.SystemBuffer != nullptr) {
        PoolFree(R.SystemBuffer, nullptr, false, 0);
    }
    if (R.OutputMdl != nullptr) {
        PoolFree(R.OutputMdl, nullptr, false, 0);
    }
    if (R.UserIosb != nullptr) {
        *R.UserIosb = iosb;
    }
    PKEVENT event = R.UserEvent;
    IrpTable &t = *K.Irps;
    {
        std::lock_guard lock(t.Mu);
        auto it = t.BuiltEvents.find(event);
        if (it != t.BuiltEvents.end() && --it->second == 0) {
            t.BuiltEvents.erase(it);
            Kernel().BuiltIrpEvents.store(t.BuiltEvents.size());
        }
    }
    {
        std::lock_guard lock(R.Mu);
        R.State = SlotState::Quarantined;
    }
    FreeSlot(t, Irp, R);
    // The IRP is gone before the caller's event is set, as on Windows.
    if (event != nullptr) {
        SetEventInternal(event);
    }
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT Device, PIRP Irp, CallPath Path)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    IrpRecord *r = LiveRecord(k, Irp, "IofCallDriver", checks::IrpUseAfterFree);
    if (r == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::CallDriverIrql, Irp, Device, "IofCallDriver at IRQL " + std::to_string(me->Irql));
    }
    if (Device == nullptr) {
        k.M.ReportViolation(checks::CallDriverNullDevice, Irp, nullptr, "IofCallDriver to a NULL device object");
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsLiveDevice(k, Device)) {
        k.M.ReportViolation(checks::BadParameter, Irp, nullptr,
                            "IofCallDriver to " + Hex(reinterpret_cast<uintptr_t>(Device)) +
                                ", which is not a live device object");
        return STATUS_NO_SUCH_DEVICE;
    }
    if (CancelRoutineOf(Irp) != nullptr) {
        k.M.ReportViolation(checks::CallDriverWithCancelRoutine, Irp, Device,
                            "IofCallDriver on an IRP whose cancel routine is still set");
    }
    if (!me->Held.empty()) {
        k.M.ReportViolation(checks::SpinLockHeldAcrossCall, Irp, Device, "IofCallDriver while holding a spin lock");
    }
    if (Irp->CurrentLocation <= 1) {
        k.M.ReportViolation(checks::NoStackLocation, Irp, Device,
                            "IofCallDriver with no stack location left for " + DeviceName(Device));
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION next = current - 1;
    UCHAR major = next->MajorFunction;
    UCHAR minor = next->MinorFunction;
    if (major == IRP_MJ_POWER && Path == CallPath::IofCallDriver) {
        k.M.ReportViolation(checks::PowerIrpWithIofCallDriver, Irp, Device,
                            "power IRP passed with IofCallDriver instead of PoCallDriver");
    }
    if (Irp->CurrentLocation <= Irp->StackCount && next->CompletionRoutine != nullptr &&
        next->CompletionRoutine == current->CompletionRoutine && next->Context == current->Context) {
        k.M.ReportViolation(checks::ForwardedCompletionRoutine, Irp, Device,
                            "the forwarded stack location still carries the upper driver's completion routine");
    }
    bool fromTop = Irp->CurrentLocation == Irp->StackCount + 1;
    bool noRoutine;
    SimThread::UnwaitedRequest sent{nullptr, nullptr, 0};
    {
        std::lock_guard lock(r->Mu);
        constexpr UCHAR every = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
        noRoutine = r->Origin == IrpOrigin::Allocated && fromTop &&
                    (next->CompletionRoutine == nullptr || (next->Control & every) != every);
        r->Outstanding = true;
        r->Done = false;
        // The IRP may be gone by the time the dispatch routine returns, so
        // what the sender must wait on is taken now.
        // Only the builder's own send counts: a driver below that skips its
        // location passes the IRP on from the top location too.
        if (r->Origin == IrpOrigin::Built && !r->Sent && !me->Frames.empty()) {
            sent = {r->UserEvent, r->UserIosb, me->Frames.size()};
        }
        r->Sent = true;
    }
    if (noRoutine) {
        k.M.ReportViolation(checks::AllocatedIrpWithoutCompletionRoutine, Irp, Device,
                            "an IRP from IoAllocateIrp sent without a completion routine invoked on success, "
                            "error and cancel");
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation = next;
    next->DeviceObject = Device;
    int location = Irp->CurrentLocation;
    Notify(k, [&](IrpObserver *o) { o->OnCallDriver(Device, Irp, Path); });
    PDRIVER_DISPATCH dispatch = Device->DriverObject->MajorFunction[major <= IRP_MJ_MAXIMUM_FUNCTION ? major : 0];
    if (major > IRP_MJ_MAXIMUM_FUNCTION || dispatch == nullptr) {
        dispatch = InvalidDeviceRequest;
    }
    DispatchWatch watch;
    watch.Location = location;
    {
        std::lock_guard lock(r->Mu);
        watch.Next = r->Watchers;
        r->Watchers = &watch;
        r->WatchCount++;
    }
    k.M.YieldPoint("IofCallDriver", Irp);
    NTSTATUS status;
    {
        FrameScope frame(FrameKind::Dispatch, Device->DriverObject, Device, Irp,
                         reinterpret_cast<const void *>(dispatch));
        status = dispatch(Device, Irp);
    }
    std::string_view check;
    std::string detail;
    {
        std::lock_guard lock(r->Mu);
        for (DispatchWatch **p = &r->Watchers; *p != nullptr; p = &(*p)->Next) {
            if (*p == &watch) {
                *p = watch.Next;
                break;
            }
        }
        r->WatchCount--;
        if (status == STATUS_PENDING) {
            if (watch.Passed) {
                if (!watch.PendingMarked) {
                    check = checks::PendingNotMarked;
                    detail = "dispatch routine returned STATUS_PENDING without IoMarkIrpPending";
                }
            } else if (location < 64) {
                // Checked when the completion passes this location.
                r->PendingReturnedMask |= uint64_t{1} << location;
            }
        } else if (watch.Passed) {
            if (watch.PendingMarked) {
                check = checks::MarkedPendingReturnedOther;
                detail = "dispatch routine marked the IRP pending and returned " + StatusText(status);
            } else if (watch.Status != status) {
                check = checks::ReturnDiffersFromStatus;
                detail = "dispatch routine returned " + StatusText(status) + " but completed the IRP with " +
                         StatusText(watch.Status);
            }
        } else {
            check = checks::IrpLost;
            detail = "dispatch routine returned " + StatusText(status) +
                     " without completing the IRP, passing it down or marking it pending";
        }
    }
    if (!check.empty()) {
        k.M.ReportViolation(check, Irp, Device, detail);
    }
    if (status == STATUS_PENDING && sent.Event != nullptr) {
        me->Unwaited.push_back(sent);
    }
    Notify(k, [&](IrpObserver *o) { o->OnDispatchReturn(Device, Irp, major, minor, status); });
    return status;
}

PIRP AllocateManagerIrp(CCHAR StackSize, FinalCompletion Final, void *Context, bool Injectable)
{
    PIRP irp = AllocateIrp(StackSize, IrpOrigin::Manager, __builtin_return_address(0), Injectable);
    if (irp != nullptr) {
        IrpRecord *r = RecordOf(Table(), irp);
        std::lock_guard lock(r->Mu);
        r->Final = Final;
        r->FinalContext = Context;
    }
    return irp;
}

size_t LiveIrpCount()
{
    int64_t live = 0;
    for (const IrpShard &s : Table().Shards) {
        live += s.Live.load(std::memory_order_relaxed);
    }
    return static_cast<size_t>(live);
}

bool IsBuiltIrpEvent(PKEVENT Event)
{
    IrpTable &t = Table();
    // Events of built requests are few and seldom: most sets have none to
    // look for. One registered concurrently with this set is a race of the
    // caller's either way.
    if (Kernel().BuiltIrpEvents.load() == 0) {
        return false;
    }
    std::lock_guard lock(t.Mu);
    return t.BuiltEvents.count(Event) != 0;
}

void IrpCheckTeardown(Machine::Impl &I, PDRIVER_OBJECT OnlyDriver)
{
    IrpTable &t = *I.Irps;
    std::vector<std::pair<PIRP, std::string>> found;
    uint32_t used = std::min<uint32_t>(t.NextUnused.load(), kSlotCount);
    for (uint32_t s = 0; s < used; ++s) {
        IrpRecord &r = t.Records[s];
        std::lock_guard lock(r.Mu);
        if (r.State != SlotState::Live) {
            continue;
        }
        PIRP irp = IrpAt(t, s);
        // A manager's IRP that has come back to it is the manager's to free,
        // whatever the driver that asked for it does meanwhile.
        if (OnlyDriver != nullptr && r.Origin == IrpOrigin::Manager && r.Done) {
            continue;
        }
        if (OnlyDriver != nullptr && r.Owner != OnlyDriver) {
            bool held = false;
            // An IRP sitting at a location of the driver's device counts too.
            if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
                PDEVICE_OBJECT d = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
                held = d != nullptr && DriverOfDevice(I, d) == OnlyDriver;
            }
            if (!held) {
                continue;
            }
        }
        std::string what = r.Origin == IrpOrigin::Allocated ? "IRP from IoAllocateIrp"
                           : r.Origin == IrpOrigin::Built   ? "IRP from IoBuildDeviceIoControlRequest"
                                                            : "system IRP";
        std::string where;
        if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
            PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
            where = " held at " + DeviceName(sp->DeviceObject) + " (major " + Hex(sp->MajorFunction) + ", minor " +
                    Hex(sp->MinorFunction) + ")";
        }
        std::string text = what;
        text += r.Outstanding ? " never completed" : " never freed";
        text += where;
        text += ", allocated at ";
        text += SiteText(r.Site);
        found.emplace_back(irp, std::move(text));
    }
    for (auto &[irp, text] : found) {
        I.M.ReportViolation(checks::IrpLost, irp, nullptr, text);
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CallDriver(DeviceObject, Irp, CallPath::IofCallDriver);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    IrpRecord *r = LiveRecord(k, Irp, "IofCompleteRequest", checks::DoubleCompletion);
    if (r == nullptr) {
        return;
    }
    PDEVICE_OBJECT completer =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::CompletionIrql, Irp, completer,
                            "IofCompleteRequest at IRQL " + std::to_string(me->Irql));
    }
    if (!me->Held.empty()) {
        k.M.ReportViolation(checks::CompletionWithSpinLockHeld, Irp, completer,
                            "IofCompleteRequest while holding a spin lock");
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        k.M.ReportViolation(checks::CompletedWithPending, Irp, completer, "IRP completed with STATUS_PENDING");
    }
    if (CancelRoutineOf(Irp) != nullptr) {
        k.M.ReportViolation(checks::CompletedWithCancelRoutine, Irp, completer,
                            "IRP completed while its cancel routine is still set");
        // A later IoCancelIrp must not call into an IRP that is gone.
        IoSetCancelRoutine(Irp, nullptr);
    }
    uint64_t seq;
    {
        std::unique_lock lock(r->Mu);
        bool twice = r->Done || Irp->CurrentLocation > Irp->StackCount;
        if (twice) {
            lock.unlock();
            k.M.ReportViolation(checks::DoubleCompletion, Irp, completer, "IRP completed twice");
            return;
        }
        r->Walking = true;
        r->Walker = me;
        seq = ++r->WalkSeq;
    }
    Notify(k, [&](IrpObserver *o) { o->OnComplete(completer, Irp, Irp->IoStatus.Status); });
    k.M.YieldPoint("IofCompleteRequest", Irp);
    WalkUp(k, Irp, *r, seq);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    SimThread *me = Self();
    if (me->Irql > DISPATCH_LEVEL) {
        me->M->ReportViolation(checks::PoolIrql, nullptr, nullptr, "IoAllocateIrp above DISPATCH_LEVEL");
    }
    return AllocateIrp(StackSize, IrpOrigin::Allocated, __builtin_return_address(0), true);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    IrpRecord *r = LiveRecord(k, Irp, "IoFreeIrp", checks::IrpFreedTwice);
    if (r == nullptr) {
        return;
    }
    std::string_view check;
    std::string detail;
    {
        std::lock_guard lock(r->Mu);
        if (r->Origin == IrpOrigin::Built) {
            check = checks::BuiltIrpFreedByDriver;
            detail = "IoFreeIrp on a request built by IoBuildDeviceIoControlRequest; the I/O manager frees it";
        } else if (r->Outstanding && !(r->Walking && r->Walker == me)) {
            check = checks::IrpFreedInUse;
            detail = "IoFreeIrp on an IRP that a driver below still holds";
        } else {
            if (r->Walking) {
                r->FreedDuringWalk = true;
            }
            r->State = SlotState::Quarantined;
        }
    }
    if (!check.empty()) {
        k.M.ReportViolation(check, Irp, nullptr, detail);
        return;
    }
    FreeSlot(*k.Irps, Irp, *r);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    Machine::Impl &k = Kernel();
    IrpRecord *r = LiveRecord(k, Irp, "IoReuseIrp", checks::IrpUseAfterFree);
    if (r == nullptr) {
        return;
    }
    {
        std::lock_guard lock(r->Mu);
        if (r->Outstanding || r->Origin != IrpOrigin::Allocated) {
            k.M.ReportViolation(checks::IrpFreedInUse, Irp, nullptr,
                                "IoReuseIrp on an IRP that is in use or not from IoAllocateIrp");
            return;
        }
        r->Done = false;
        r->PendingReturnedMask = 0;
    }
    CCHAR stack = Irp->StackCount;
    InitIrp(Irp, stack);
    Irp->IoStatus.Status = Status;
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::CancelIrql, Irp, nullptr, "IoCancelIrp at IRQL " + std::to_string(me->Irql));
    }
    if (k.Ctl) {
        ControlledPoint(k, me, "IoCancelIrp", Irp);
    }
    IrpRecord *r = LiveRecord(k, Irp, "IoCancelIrp", checks::IrpUseAfterFree);
    if (r == nullptr) {
        return FALSE;
    }
    if (PDRIVER_OBJECT caller = CurrentDriver(); caller != nullptr && !TakesPartIn(*r, Irp, caller)) {
        k.M.ReportViolation(checks::CancelForeignIrp, Irp, nullptr,
                            "IoCancelIrp on an IRP its caller neither allocated, requested nor received");
    }
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(old);
        return FALSE;
    }
    Irp->CancelIrql = old;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    {
        FrameScope frame(FrameKind::Cancel, device != nullptr ? device->DriverObject : nullptr, device, Irp,
                         reinterpret_cast<const void *>(routine));
        routine(device, Irp);
    }
    auto &held = me->Held;
    if (std::find(held.begin(), held.end(), &k.CancelLock) != held.end()) {
        k.M.ReportViolation(checks::SpinLockHeldAtReturn, Irp, device,
                            "cancel routine returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(old);
    } else if (me->Irql != old) {
        k.M.ReportViolation(checks::IrqlChanged, Irp, device,
                            "cancel routine returned at IRQL " + std::to_string(me->Irql) + " instead of " +
                                std::to_string(old));
        me->Irql = old;
    }
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    const void *site = __builtin_return_address(0);
    if (me->Irql > APC_LEVEL) {
        k.M.ReportViolation(checks::BuildIrpIrql, nullptr, DeviceObject,
                            "IoBuildDeviceIoControlRequest at IRQL " + std::to_string(me->Irql));
    }
    if (DeviceObject == nullptr || !IsLiveDevice(k, DeviceObject) || Event == nullptr || IoStatusBlock == nullptr) {
        k.M.ReportViolation(checks::BadParameter, nullptr, DeviceObject,
                            "IoBuildDeviceIoControlRequest without a live device, an event or a status block");
        return nullptr;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Built, site, true);
    if (irp == nullptr) {
        return nullptr;
    }
    IrpTable &t = *k.Irps;
    IrpRecord &r = *RecordOf(t, irp);
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    void *systemBuffer = nullptr;
    PMDL outMdl = nullptr;
    bool failed = false;
    if (method == METHOD_BUFFERED) {
        size_t size = std::max(InputBufferLength, OutputBufferLength);
        if (size != 0) {
            systemBuffer = PoolAllocate(NonPagedPool, size, kBuiltBufferTag, site, true, FaultKind::Irp);
            failed = systemBuffer == nullptr;
            if (!failed && InputBuffer != nullptr && InputBufferLength != 0) {
                memcpy(systemBuffer, InputBuffer, InputBufferLength);
            }
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        irp->UserBuffer = OutputBuffer;
    } else if (method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else {
        irp->AssociatedIrp.SystemBuffer = InputBuffer;
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            outMdl = BuildMdlForBuffer(OutputBuffer, OutputBufferLength, true);
            failed = outMdl == nullptr;
            irp->MdlAddress = outMdl;
        }
    }
    if (failed) {
        std::lock_guard lock(r.Mu);
        r.State = SlotState::Quarantined;
    }
    if (failed) {
        FreeSlot(t, irp, r);
        return nullptr;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    {
        std::lock_guard lock(r.Mu);
        r.UserEvent = Event;
        r.UserIosb = IoStatusBlock;
        r.SystemBuffer = systemBuffer;
        r.OutputBuffer = OutputBuffer;
        r.OutputLength = OutputBufferLength;
        r.Method = method;
        r.OutputMdl = outMdl;
    }
    std::lock_guard lock(t.Mu);
    t.BuiltEvents[Event]++;
    Kernel().BuiltIrpEvents.store(t.BuiltEvents.size());
    return irp;
}

}  // extern "C"
