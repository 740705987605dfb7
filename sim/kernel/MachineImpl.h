// Inside of sim::Machine, shared by the kernel core's translation units.
// Not for use outside sim/kernel's core files.
#pragma once

#include "sim/kernel/AdaptiveMutex.h"
#include "sim/kernel/Machine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <typeindex>
#include <unordered_map>
#include <unordered_set>

// A work item: the routine runs on a delayed-work-queue worker, with the
// device referenced from queueing until the routine has returned.
struct _IO_WORKITEM {
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    bool Queued;
    bool FreeAfterRun;  // freed while queued: released once it has run
    bool Running;
};

namespace sim {

constexpr uint64_t kTicksPerMs = 10000;  // 100 ns units

struct WaitBlock;
struct IrpTable;
struct PoolState;

// The spin locks a thread holds, in the order it took them. Taken and
// released several times per request, so the common case (a few locks)
// lives in the thread record and needs no call; more spill to the heap.
class LockStack {
public:
    LockStack() = default;
    LockStack(const LockStack &) = delete;
    LockStack &operator=(const LockStack &) = delete;

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    PKSPIN_LOCK back() const { return data_[size_ - 1]; }
    PKSPIN_LOCK *begin() { return data_; }
    PKSPIN_LOCK *end() { return data_ + size_; }
    void push_back(PKSPIN_LOCK Lock)
    {
        if (size_ == capacity_) {
            Grow();
        }
        data_[size_++] = Lock;
    }
    bool full() const { return size_ == capacity_; }
    // push_back for a caller that has seen !full(): nothing to grow, so
    // nothing to call.
    void push_back_within_capacity(PKSPIN_LOCK Lock) { data_[size_++] = Lock; }
    void pop_back() { --size_; }
    void erase(PKSPIN_LOCK *At)
    {
        std::copy(At + 1, end(), At);
        --size_;
    }

private:
    [[gnu::noinline]] void Grow()
    {
        auto bigger = std::make_unique<PKSPIN_LOCK[]>(capacity_ * 2);
        std::copy(begin(), end(), bigger.get());
        spilled_ = std::move(bigger);
        data_ = spilled_.get();
        capacity_ *= 2;
    }

    PKSPIN_LOCK inline_[8] = {};
    PKSPIN_LOCK *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = 8;
    std::unique_ptr<PKSPIN_LOCK[]> spilled_;
};

// A bound thread. Scheduling fields change under Impl::Sched; the rest is
// touched only by the thread itself, on every kernel service it calls
// (IRQL, held spin locks, frames): each record starts a cache line of its
// own, so that two threads' records, often allocated one after the other,
// never share one.
class alignas(64) SimThread {
public:
    Machine *M = nullptr;
    Machine::Impl *I = nullptr;
    std::string Name;
    ThreadKind Kind = ThreadKind::Normal;
    uint64_t Id = 0;

    // Scheduling, under Sched.
    std::condition_variable Cv;
    bool Blocked = false;
    WaitBlock *CurrentWait = nullptr;
    uint64_t WaitStart = 0;
    bool Finished = false;
    WaitBlock *JoinWaiters = nullptr;
    bool IsWorker = false;
    bool InWorkItem = false;
    // Controlled mode (Controlled.cpp), under Sched: a spin lock another
    // thread holds, which this one waits for without the turn; the event of
    // the KeSetEvent, KeClearEvent, KeResetEvent or KeWaitForSingleObject
    // it is inside; its last scheduling decisions, for failure reports.
    PKSPIN_LOCK SpinningOn = nullptr;
    bool Attaching = false;  // a ThreadScope waiting to join
    const void *InEventCall = nullptr;
    struct Decision {
        uint64_t Step;
        const char *What;
        const void *Object;
        uint64_t Next;  // the thread that took the turn
    };
    static constexpr unsigned kTrail = 6;
    Decision Trail[kTrail] = {};
    unsigned TrailCount = 0;

    // Thread-owned.
    KIRQL Irql = PASSIVE_LEVEL;
    LockStack Held;
    std::vector<Frame> Frames;
    // Requests from IoBuildDeviceIoControlRequest that this thread sent and
    // that came back STATUS_PENDING, not yet waited for. Each belongs to the
    // driver frame that sent it (Depth = Frames.size() then), which must wait
    // on the event before it returns.
    struct UnwaitedRequest {
        PKEVENT Event;
        PIO_STATUS_BLOCK Iosb;
        size_t Depth;
    };
    std::vector<UnwaitedRequest> Unwaited;
    std::thread Os;
    std::function<void()> Body;
    bool Started = false;  // by StartThread (joinable) rather than a scope
};

// A thread waiting for an object, a queue or a deadline. Lives on the
// waiter's stack; linked into a list under Sched.
struct WaitBlock {
    SimThread *Thread = nullptr;
    WaitBlock *Next = nullptr;
    WaitBlock *Prev = nullptr;
    WaitBlock **Head = nullptr;
    bool HasDeadline = false;
    std::multimap<uint64_t, struct Deadline>::iterator DeadlineIt;
    bool Done = false;
    NTSTATUS Result = STATUS_SUCCESS;
    const char *What = "";
    const void *Object = nullptr;
};

struct Deadline {
    enum Kind { Wait, Timer } Type;
    void *Item;
};

struct DriverRecord {
    PDRIVER_OBJECT Object = nullptr;
    DRIVER_EXTENSION Extension{};
    std::u16string Name;
    std::u16string RegistryPath;
    bool Loaded = false;  // from LoadDriver: injectable, leak-checked at unload
    bool Unloaded = false;
    std::string Utf8Name;
};

struct DeviceRecord {
    PDEVICE_OBJECT Object = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    void *Block = nullptr;
    size_t BlockSize = 0;
    std::string Name;
    std::u16string NtName;
    bool DeletePending = false;  // IoDeleteDevice called, references remain
    bool Deleted = false;        // memory poisoned
};

struct WorkItem : _IO_WORKITEM {};

class Controller;

struct Machine::Impl {
    explicit Impl(Machine &Owner, MachineOptions Options);
    ~Impl();

    Machine &M;
    MachineOptions Opt;
    uint64_t Seed = 0;

    // ---- scheduler -----------------------------------------------------
    // Locks written on every request sit on cache lines of their own, apart
    // from the fields every request reads (Opt, Pool, Irps, ...): a line
    // shared with them would pass between the processors on every request.
    alignas(64) std::mutex Sched;
    std::condition_variable ClockCv;
    std::vector<SimThread *> Threads;
    int Runnable = 0;
    int NormalThreads = 0;
    std::atomic<uint64_t> VirtualNow{0};
    std::chrono::steady_clock::time_point WallStart;
    std::multimap<uint64_t, Deadline> Deadlines;
    bool Stopping = false;
    bool ClockStop = false;
    std::thread ClockThread;
    std::atomic<uint64_t> NextThreadId{1};
    // Controlled mode (Controlled.cpp); null in threaded mode.
    std::unique_ptr<Controller> Ctl;
    // Machine::StopAfterSet, under Sched (the event also in an atomic, read
    // by every KeSetEvent).
    std::atomic<PKEVENT> StopSetEvent{nullptr};
    PKEVENT StopSetSignal = nullptr;
    bool StopSetHeld = false;
    WaitBlock *StopSetWaiters = nullptr;
    void StopAfterSetHere(PKEVENT Event);

    // ---- DPCs ----------------------------------------------------------
    LIST_ENTRY DpcQueue;
    WaitBlock *DpcWaiters = nullptr;
    WaitBlock *FlushWaiters = nullptr;
    bool DpcRunning = false;
    SimThread *DpcThread = nullptr;
    std::set<PKDPC> HeldDpcs;  // Machine::HoldDpc, under Sched
    // The driver whose KeInitializeDpc made each DPC, by the DPC's address:
    // its routine runs as that driver's code. A KDPC has the DDK's size and
    // no field for it. Entries stay until the address is initialized again
    // or the driver unloads. Under Sched.
    std::unordered_map<const KDPC *, PDRIVER_OBJECT> DpcOwners;
    // Whether KeInitializeDpc made Dpc; when it did, its driver in *Owner.
    // Sched held.
    bool DpcOwnerLocked(const KDPC *Dpc, PDRIVER_OBJECT *Owner) const;
    // The first queued DPC that is not held; NULL when none. Sched held.
    PKDPC NextDpcLocked();

    // ---- spin-lock release hook (TestHooks.cpp) ----------------------------
    std::atomic<bool> HasReleaseHook{false};
    std::mutex ReleaseHookMutex;
    Machine::SpinLockReleaseHook ReleaseHook;  // under ReleaseHookMutex
    void RunReleaseHook(PKSPIN_LOCK Lock);
    std::atomic<bool> HasAcquireHook{false};
    Machine::SpinLockReleaseHook AcquireHook;  // under ReleaseHookMutex
    void RunAcquireHook(PKSPIN_LOCK Lock);

    // ---- timers (armed), under Sched --------------------------------------
    std::set<PKTIMER> ArmedTimers;
    // Armed timers, queued DPCs and queued work items, changed under Sched:
    // a free with nothing pending anywhere skips the search for work in it.
    std::atomic<size_t> PendingWork{0};

    // ---- work items, under Sched ------------------------------------------
    std::deque<WorkItem *> WorkQueue;
    WaitBlock *WorkerWaiters = nullptr;
    std::vector<SimThread *> Workers;
    unsigned IdleWorkers = 0;
    unsigned BusyBlockedWorkers = 0;
    std::unordered_set<WorkItem *> LiveWorkItems;

    // ---- reports -------------------------------------------------------
    mutable std::mutex ReportMutex;
    std::vector<Report> Reports;

    // ---- randomness and faults -------------------------------------------
    std::mutex RngMutex;
    std::mt19937_64 Rng;
    std::mutex FaultMutex;
    FaultPlan Plan;
    // Kinds the plan fails, for a look without FaultMutex: every allocation
    // asks, and almost always no plan is set.
    std::atomic<unsigned> PlannedKinds{0};
    // Events of built requests in flight (the IRP table's registry), so that
    // KeSetEvent looks the event up only when there are any.
    std::atomic<size_t> BuiltIrpEvents{0};
    // Threads inside a manager's final completion (FinalCompletion) right
    // now. The manager frees the IRP there, after calling back whoever asked
    // for it, who may meanwhile go on to run the leak checks.
    std::atomic<unsigned> ActiveFinals{0};
    uint64_t FaultCounter = 0;
    std::unordered_set<const void *> SeenSites;
    std::atomic<uint64_t> Injected{0};
    Machine::FaultObserver OnInjected;  // under FaultMutex

    // ---- memory and IRPs ---------------------------------------------------
    alignas(64) std::shared_ptr<PoolState> Pool;  // shared_ptr: the type is complete only in Pool.cpp
    std::shared_ptr<IrpTable> Irps;

    // ---- objects -------------------------------------------------------
    alignas(64) mutable AdaptiveMutex ObjMutex;
    std::vector<std::unique_ptr<DriverRecord>> Drivers;
    std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> Devices;
    std::vector<std::unique_ptr<DeviceRecord>> DeletedDevices;
    // The keys of Devices, republished whole under ObjMutex whenever a
    // device is created or deleted: every IofCallDriver asks whether its
    // target is a live device, and reads a version without a lock. Old
    // versions stay alive: a thread may still be reading one.
    std::atomic<const std::unordered_set<PDEVICE_OBJECT> *> LiveDevices{nullptr};
    std::vector<std::unique_ptr<const std::unordered_set<PDEVICE_OBJECT>>> LiveDeviceVersions;
    void PublishLiveDevicesLocked();
    unsigned AutoNameCounter = 0;
    KSPIN_LOCK CancelLock = 0;

    // ---- kernel images (Machine::AddImage), under ImageMutex ------------------
    mutable std::mutex ImageMutex;
    std::vector<Machine::ImageRegion> Images;
    const Machine::ImageRegion *ImageAtLocked(const void *Address) const;

    // ---- components and observers ------------------------------------------
    std::mutex ComponentMutex;
    std::vector<std::pair<std::type_index, std::shared_ptr<void>>> Components;
    std::mutex ObserverMutex;
    std::atomic<const std::vector<IrpObserver *> *> Observers{nullptr};
    std::vector<std::unique_ptr<std::vector<IrpObserver *>>> ObserverVersions;

    // ---- scheduler operations (Sched held) ---------------------------------
    uint64_t Now() const;
    // Blocks the calling thread until the wait block is satisfied.
    void Block(std::unique_lock<std::mutex> &Lock, SimThread *Self, WaitBlock &Wb);
    void Enqueue(WaitBlock **Head, WaitBlock &Wb);
    void Wake(WaitBlock *Wb, NTSTATUS Result);
    void WakeAll(WaitBlock **Head, NTSTATUS Result);
    void AddWaitDeadline(WaitBlock &Wb, uint64_t When);
    void FireTimer(PKTIMER Timer);
    bool QueueDpcLocked(PKDPC Dpc, PVOID Arg1, PVOID Arg2);
    void FireDue();
    [[noreturn]] void Hang(const std::string &Why);
    SimThread *StartThreadLocked(std::string Name, std::function<void()> Body, ThreadKind Kind);
    void MaybeGrowWorkers();
    std::string DescribeThreads();

    // ---- threads (no lock) ---------------------------------------------------
    void ClockLoop();
    void DpcLoop();
    void WorkerLoop();
    void StartServices();
    void StopServices();

    // ---- misc ----------------------------------------------------------
    DriverRecord *DriverOf(PDRIVER_OBJECT Driver) const;
    bool IsLoaded(PDRIVER_OBJECT Driver) const;
};

// The calling thread's binding. Read on every kernel service call, so the
// variable is visible here and the read inlines to a single load.
extern thread_local constinit SimThread *tlsThread;
[[noreturn, gnu::cold]] void UnboundThread();

// The calling thread's binding; fatal when unbound.
inline SimThread *Self()
{
    SimThread *t = tlsThread;
    if (__builtin_expect(t == nullptr, 0)) {
        UnboundThread();
    }
    return t;
}
inline SimThread *SelfOrNull() { return tlsThread; }
// Sets the calling thread's binding (NULL unbinds).
void BindThread(SimThread *Thread);
inline Machine::Impl &Kernel() { return *Self()->I; }

// The driver whose code the calling thread runs, or NULL for system code.
inline PDRIVER_OBJECT CurrentDriver()
{
    SimThread *t = tlsThread;
    if (t == nullptr) {
        return nullptr;
    }
    for (auto it = t->Frames.rbegin(); it != t->Frames.rend(); ++it) {
        if (it->Driver != nullptr) {
            return it->Driver;
        }
    }
    return nullptr;
}

// The type of a dispatcher object's header (DISPATCHER_HEADER::Type).
enum ObjectType : UCHAR {
    kEventNotification = 1,
    kEventSynchronization = 2,
    kTimerNotification = 3,
    kTimerSynchronization = 4
};

inline bool IsTimer(const DISPATCHER_HEADER *H)
{
    return H->Type == kTimerNotification || H->Type == kTimerSynchronization;
}
inline bool IsSynchronization(const DISPATCHER_HEADER *H)
{
    return H->Type == kEventSynchronization || H->Type == kTimerSynchronization;
}

// System time at boot: 2001-01-01 in 100 ns units since 1601.
constexpr LONGLONG kBootTime = 126227808000000000LL;

// Converts a kernel due time (negative: relative, positive: absolute system
// time) to an absolute virtual time. Any lock.
uint64_t AbsoluteDue(Machine::Impl &I, LONGLONG Due);

// The IRQL and spin-lock check at the end of a frame.
void CheckFrameExit(SimThread *T, size_t Depth, KIRQL EntryIrql, size_t EntryLocks, const char *What);

// Pool internals used by the teardown checks and the timer check.
void PoolCheckTeardown(Machine::Impl &I, PDRIVER_OBJECT OnlyDriver);
void IrpCheckTeardown(Machine::Impl &I, PDRIVER_OBJECT OnlyDriver);
void PoolDestroy(Machine::Impl &I);
void IrpDestroy(Machine::Impl &I);
void PoolInit(Machine::Impl &I);
void IrpInit(Machine::Impl &I);
// Reports armed timers or queued DPCs inside [Base, Base + Size). What()
// names the memory; it is called only when there is something to report,
// since this runs on every pool free.
void CheckPendingWorkIn(Machine::Impl &I, const void *Base, size_t Size, PDEVICE_OBJECT Device, std::string_view Check,
                        const std::function<std::string()> &What);
// Reports spin locks held, or events inside a set, clear or wait, in
// [Base, Base + Size) that is being freed (controlled mode only: there the
// other threads stand still at known points).
void CheckSyncObjectsIn(Machine::Impl &I, const void *Base, size_t Size, PDEVICE_OBJECT Device,
                        const std::function<std::string()> &What);
// A scheduling point of the controlled mode (I.Ctl set; Me has the turn).
void ControlledPoint(Machine::Impl &I, SimThread *Me, const char *What, const void *Object);
// Internal event set that skips the "event set by driver" check.
void SetEventInternal(PKEVENT Event);
// Built-IRP event registry for the "set by driver" check.
bool IsBuiltIrpEvent(PKEVENT Event);
// Device bookkeeping.
// The driver of a live or deleted device, without touching its memory.
PDRIVER_OBJECT DriverOfDevice(Machine::Impl &I, PDEVICE_OBJECT Device);
DeviceRecord *DeviceRecordOf(PDEVICE_OBJECT Device);
void DereferenceDevice(PDEVICE_OBJECT Device);
void ReferenceDevice(PDEVICE_OBJECT Device);
// Hex formatting for reports.
std::string Hex(uint64_t Value);
std::string Utf8(std::u16string_view Text);
// Poisons memory for the address sanitizer (no-op without it).
void PoisonRegion(void *Address, size_t Size);
void UnpoisonRegion(void *Address, size_t Size);
bool AddressSanitizerActive();

// Allocation path shared by the kernel's own allocations (no injection).
void *PoolAllocate(POOL_TYPE Type, size_t Bytes, ULONG Tag, const void *CallSite, bool Injectable,
                   FaultKind Kind = FaultKind::Pool);
// "0x... (symbol)" for a call site.
std::string SiteText(const void *Site);
void PoolFree(void *P, const void *CallSite, bool CheckTag, ULONG Tag);

}  // namespace sim
