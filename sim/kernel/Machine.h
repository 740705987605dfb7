// One simulated Windows machine: its threads, virtual clock, pool, IRPs,
// device and driver objects, verifier reports and fault injectors. Nothing
// of it is process-global; several machines may live side by side. A thread
// that calls kernel services must be bound to exactly one machine (see
// ThreadScope and Machine::StartThread).
#pragma once

#include "platform/sim/SimPlatform.h"
#include "sim/kernel/Schedule.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

namespace sim {

class Machine;
class SimThread;

// The bit of a DISPATCHER_HEADER's SignalState that a waiter, and for an
// event a set, a clear or a reset, holds while it works on the object; the
// signal is the rest of the word. KeReadStateEvent and KeReadStateTimer
// mask it. Tests that play a setter caught half-way set it by hand.
constexpr LONG kEventLockBit = 0x40000000;

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
enum class ClockMode {
    // Time stands still while any simulated thread can run and jumps to the
    // next deadline when every one of them is blocked.
    Virtual,
    // Wall-clock time, for demos and benchmarks. No hang detection beyond
    // the untimed-wait limit.
    RealTime,
};

struct MachineOptions {
    // 0: take VEXTORA_SEED from the environment, or else a fresh random seed.
    // Every report prints which seed is in use.
    uint64_t Seed = 0;
    ClockMode Clock = ClockMode::Virtual;
    // A non-service thread whose untimed wait is still unsatisfied after this
    // much virtual time is declared hung (a periodic timer would otherwise
    // keep virtual time moving forever).
    std::chrono::nanoseconds UntimedWaitLimit = std::chrono::minutes(10);
    // Delayed-work-queue workers: started at once, and the most the pool
    // grows to while every worker is blocked inside a work item.
    unsigned InitialWorkers = 2;
    unsigned MaxWorkers = 16;
    // Freed IRPs stay unmapped (PROT_NONE; under the address sanitizer,
    // poisoned for it) in a quarantine, so a touch after free faults.
    // Benchmarks turn it off (two system calls per IRP); freed IRPs are then
    // only filled with a pattern.
    bool IrpGuardPages = true;
    // Print each verifier report and abort at the first one.
    bool AbortOnReport = false;
    // Result of IoIsWdmVersionAvailable: true for versions up to this one.
    // 1.20 is Windows XP; 1.10 Windows 2000.
    UCHAR WdmMajor = 1;
    UCHAR WdmMinor = 0x20;
    // Random delays at thread hand-offs (YieldPoint), to shake out races.
    bool RandomYields = false;
    // Called by the hang detector once it has printed its report, before it
    // aborts the process: a front end names what it was waiting for and
    // ends the process its own way. It runs on the machine's clock thread
    // with the scheduler stopped, and must not return into the machine's
    // services (if it returns, the process aborts).
    std::function<void()> OnHang;
    // Threaded (the default), or a controlled mode: one simulated thread at
    // a time, the next one chosen by a strategy at every scheduling point
    // (Schedule.h). Controlled mode needs the virtual clock.
    SchedulePlan Schedule;
    // Controlled mode: filled with the run's decisions as it goes; may be
    // null. Outlives the machine.
    std::shared_ptr<ScheduleRecord> Record;
    // Controlled mode: the command that replays this run, printed with hang
    // reports and verifier reports.
    std::string ReplayCommand;
    // Controlled mode: at this step the thread that takes the turn raises
    // SIGTRAP (a debugger stops there). 0: the VEXTORA_BREAK_AT_STEP
    // environment variable, else never.
    uint64_t BreakAtStep = 0;
};

// ---------------------------------------------------------------------------
// Verifier reports
// ---------------------------------------------------------------------------
struct Report {
    std::string Check;    // short name, e.g. "DoubleCompletion" (see Checks below)
    std::string Message;  // full text: detail, IRP, device, driver, thread, IRQL, time, seed
};

// Names of the checks the kernel core makes. Managers add their own names.
namespace checks {
inline constexpr std::string_view DoubleCompletion = "DoubleCompletion";
inline constexpr std::string_view CompletedWithPending = "CompletedWithPending";
inline constexpr std::string_view CompletedWithCancelRoutine = "CompletedWithCancelRoutine";
inline constexpr std::string_view CompletionIrql = "CompletionIrql";
inline constexpr std::string_view CompletionWithSpinLockHeld = "CompletionWithSpinLockHeld";
inline constexpr std::string_view PendingNotMarked = "PendingNotMarked";
inline constexpr std::string_view MarkedPendingReturnedOther = "MarkedPendingReturnedOther";
inline constexpr std::string_view ReturnDiffersFromStatus = "ReturnDiffersFromStatus";
inline constexpr std::string_view IrpLost = "IrpLost";
inline constexpr std::string_view IrqlChanged = "IrqlChanged";
inline constexpr std::string_view CallDriverIrql = "CallDriverIrql";
inline constexpr std::string_view CallDriverNullDevice = "CallDriverNullDevice";
inline constexpr std::string_view CallDriverWithCancelRoutine = "CallDriverWithCancelRoutine";
inline constexpr std::string_view ForwardedCompletionRoutine = "ForwardedCompletionRoutine";
inline constexpr std::string_view NoStackLocation = "NoStackLocation";
inline constexpr std::string_view PowerIrpWithIofCallDriver = "PowerIrpWithIofCallDriver";
inline constexpr std::string_view PendingReturnedNotPropagated = "PendingReturnedNotPropagated";
inline constexpr std::string_view AllocatedIrpWithoutCompletionRoutine = "AllocatedIrpWithoutCompletionRoutine";
inline constexpr std::string_view AllocatedIrpCompletedUpward = "AllocatedIrpCompletedUpward";
inline constexpr std::string_view IrpFreedInUse = "IrpFreedInUse";
inline constexpr std::string_view IrpFreedTwice = "IrpFreedTwice";
inline constexpr std::string_view ForeignIrp = "ForeignIrp";
inline constexpr std::string_view IrpUseAfterFree = "IrpUseAfterFree";
inline constexpr std::string_view BuiltIrpFreedByDriver = "BuiltIrpFreedByDriver";
inline constexpr std::string_view BuiltIrpEventSetByDriver = "BuiltIrpEventSetByDriver";
inline constexpr std::string_view BuiltIrpNotWaited = "BuiltIrpNotWaited";
inline constexpr std::string_view CancelForeignIrp = "CancelForeignIrp";
inline constexpr std::string_view BuildIrpIrql = "BuildIrpIrql";
inline constexpr std::string_view InformationTooLarge = "InformationTooLarge";
inline constexpr std::string_view WaitIrql = "WaitIrql";
inline constexpr std::string_view WaitWithSpinLockHeld = "WaitWithSpinLockHeld";
inline constexpr std::string_view SpinLockIrql = "SpinLockIrql";
inline constexpr std::string_view SpinLockRecursive = "SpinLockRecursive";
inline constexpr std::string_view SpinLockNotHeld = "SpinLockNotHeld";
inline constexpr std::string_view SpinLockHeldAcrossCall = "SpinLockHeldAcrossCall";
inline constexpr std::string_view SpinLockHeldAtReturn = "SpinLockHeldAtReturn";
inline constexpr std::string_view IrqlLowered = "IrqlLowered";
inline constexpr std::string_view CancelIrql = "CancelIrql";
inline constexpr std::string_view DeleteAttachedDevice = "DeleteAttachedDevice";
inline constexpr std::string_view DeleteDeviceTwice = "DeleteDeviceTwice";
inline constexpr std::string_view DeleteDeviceWithPendingWork = "DeleteDeviceWithPendingWork";
inline constexpr std::string_view DeviceInitializing = "DeviceInitializing";
inline constexpr std::string_view PoolOverrun = "PoolOverrun";
inline constexpr std::string_view PoolUnderrun = "PoolUnderrun";
inline constexpr std::string_view PoolDoubleFree = "PoolDoubleFree";
inline constexpr std::string_view PoolForeignFree = "PoolForeignFree";
inline constexpr std::string_view PoolUseAfterFree = "PoolUseAfterFree";
inline constexpr std::string_view PoolTagMismatch = "PoolTagMismatch";
inline constexpr std::string_view PagedPoolIrql = "PagedPoolIrql";
inline constexpr std::string_view PoolIrql = "PoolIrql";
inline constexpr std::string_view Leak = "Leak";
inline constexpr std::string_view WorkItemFreedWhileQueued = "WorkItemFreedWhileQueued";
inline constexpr std::string_view WorkItemQueuedTwice = "WorkItemQueuedTwice";
inline constexpr std::string_view TimerInFreedMemory = "TimerInFreedMemory";
inline constexpr std::string_view FreedWithSpinLockHeld = "FreedWithSpinLockHeld";
inline constexpr std::string_view FreedDuringEventCall = "FreedDuringEventCall";
inline constexpr std::string_view UninitializedObject = "UninitializedObject";
inline constexpr std::string_view BadParameter = "BadParameter";
}  // namespace checks

// ---------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------
enum class FaultKind : unsigned {
    Pool = 1u << 0,
    Irp = 1u << 1,  // IoAllocateIrp, IoBuildDeviceIoControlRequest
    WorkItem = 1u << 2,
    Mdl = 1u << 3,
    PowerRequest = 1u << 4,  // PoRequestPowerIrp (power manager asks ShouldFail)
    All = 0x1f,
};

enum class FaultMode {
    Off,
    FailNth,        // the Nth injectable allocation (1-based) fails, once
    CallSiteSweep,  // the first allocation from each call site fails
    Random,         // each allocation fails with Probability, from the seeded generator
};

struct FaultPlan {
    FaultMode Mode = FaultMode::Off;
    unsigned Kinds = static_cast<unsigned>(FaultKind::All);
    uint64_t N = 0;
    double Probability = 0.0;
};

// ---------------------------------------------------------------------------
// What a simulated thread is doing, for the verifier and the hang report.
// ---------------------------------------------------------------------------
enum class FrameKind {
    Dispatch,
    Completion,
    Cancel,
    Dpc,
    WorkItem,
    DriverEntry,
    AddDevice,
    Unload,
    PowerCallback,
    Other
};

struct Frame {
    FrameKind Kind;
    PDRIVER_OBJECT Driver;  // may be NULL (system)
    PDEVICE_OBJECT Device;
    PIRP Irp;
    const void *Routine;
};

enum class ThreadKind {
    Normal,   // a test or application thread; hangs are reported for it
    Service,  // waits for work forever by design (DPC, workers, bus models)
};

// ---------------------------------------------------------------------------
// IRP bookkeeping and observers for the managers
// ---------------------------------------------------------------------------
enum class IrpOrigin {
    Allocated,  // IoAllocateIrp by a driver: the driver frees it
    Built,      // IoBuildDeviceIoControlRequest: the kernel frees it
    Manager,    // a sim manager's IRP: FinalCompletion runs at the top
};

// Runs when the completion walk of a Manager IRP passes the top location.
// It owns the IRP and frees it with IoFreeIrp (now or later). Any IRQL <=
// DISPATCH_LEVEL, in the completing thread.
using FinalCompletion = void (*)(PIRP Irp, void *Context);

// How an IRP was handed to IofCallDriver's logic.
enum class CallPath { IofCallDriver, PoCallDriver };

// Hooks the managers attach to watch IRPs cross driver boundaries. Each runs
// in the thread doing the operation, without kernel locks held. They must
// not block.
class IrpObserver {
public:
    virtual ~IrpObserver() = default;
    // Before the target's dispatch routine runs; the location is the target's.
    virtual void OnCallDriver(PDEVICE_OBJECT /*Target*/, PIRP /*Irp*/, CallPath /*Path*/) {}
    // After the dispatch returned. The IRP may be gone: only its address,
    // major/minor function (saved at call time) and the status are given.
    virtual void OnDispatchReturn(PDEVICE_OBJECT /*Target*/, PIRP /*Irp*/, UCHAR /*Major*/, UCHAR /*Minor*/,
                                  NTSTATUS /*Returned*/)
    {
    }
    // IofCompleteRequest entered by the driver owning the current location.
    virtual void OnComplete(PDEVICE_OBJECT /*Completer*/, PIRP /*Irp*/, NTSTATUS /*Status*/) {}
    // Before a completion routine runs; Location is the location it belongs to.
    virtual void OnCompletionRoutine(PDEVICE_OBJECT /*Owner*/, PIRP /*Irp*/) {}
};

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------
class Machine {
public:
    explicit Machine(MachineOptions Options = {});
    // Stops the kernel's threads, destroys components in reverse order of
    // creation, reports leaks (pool, IRPs, armed timers, queued DPCs and work
    // items, undeleted devices) and prints every report. Every thread started
    // with StartThread must have ended (Join) and no ThreadScope may remain.
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    const MachineOptions &Options() const;
    uint64_t Seed() const;

    // The machine the calling thread is bound to; a fatal error when unbound.
    static Machine &Current();
    // NULL when the calling thread is unbound.
    static Machine *CurrentOrNull();

    // ---- threads -------------------------------------------------------
    // Starts a simulated thread bound to this machine at PASSIVE_LEVEL.
    SimThread *StartThread(std::string Name, std::function<void()> Body, ThreadKind Kind = ThreadKind::Normal);
    // Waits (through the scheduler) until the thread's body has returned,
    // then releases it. Call from a bound thread.
    void Join(SimThread *Thread);

    // ---- clock ---------------------------------------------------------
    // Virtual (or, in RealTime mode, wall) time since boot, in 100 ns units.
    uint64_t Now() const;
    // Blocks the calling bound thread for the given time (virtual or wall).
    void Sleep(std::chrono::nanoseconds Duration);
    // A yield point at a thread hand-off: with RandomYields, sometimes yields
    // or sleeps a little wall time; in controlled mode, a scheduling point
    // (What and Object name it in the decision trail). Cheap otherwise.
    void YieldPoint(const char *What = "a hand-off", const void *Object = nullptr);
    // A scheduling point of the controlled mode (managers, the bus driver,
    // the application's requests); nothing in the threaded mode. Call it
    // holding no lock of your own.
    void SchedulingPoint(const char *What, const void *Object = nullptr);
    // True in controlled mode (MachineOptions::Schedule).
    bool Controlled() const;
    // Controlled mode: scheduling steps taken so far, and the last decisions
    // of each thread, for failure reports. 0 and "" otherwise.
    uint64_t ScheduleStep() const;
    std::string ScheduleTrail() const;
    // Seeded randomness. Use from any bound thread; it is locked.
    uint64_t Random();
    // True with the given probability, from the seeded generator.
    bool Chance(double Probability);

    // ---- drivers -------------------------------------------------------
    // Builds a DRIVER_OBJECT and runs DriverEntry at PASSIVE_LEVEL in the
    // calling (bound) thread. Returns NULL when DriverEntry fails (its status
    // in *Status); the object is then gone.
    PDRIVER_OBJECT LoadDriver(std::u16string_view Name, PDRIVER_INITIALIZE Entry, std::u16string_view RegistryPath,
                              NTSTATUS *Status = nullptr);
    // Calls DriverUnload (the driver must have deleted its devices), then
    // reports what the driver still holds: pool, IRPs, work items, timers.
    void UnloadDriver(PDRIVER_OBJECT Driver);
    // A driver object for a simulator component (bus driver, test double).
    // Its devices and IRPs get the same verifier checks; fault injection and
    // leak-at-unload apply only to drivers from LoadDriver. Freed at teardown.
    PDRIVER_OBJECT CreateSystemDriver(std::u16string_view Name);

    // ---- verifier ------------------------------------------------------
    // Records a report with the calling thread's context and prints it.
    void ReportViolation(std::string_view Check, PIRP Irp, PDEVICE_OBJECT Device, std::string_view Detail);
    std::vector<Report> Reports() const;
    size_t ReportCount(std::string_view Check) const;
    // Every report's text, one per line; empty when there is none. Tests:
    //   EXPECT_EQ(machine.ReportText(), "");
    std::string ReportText() const;
    // Forgets the reports (tests that expect one clear it after checking).
    void ClearReports();
    // Runs the teardown checks now (leaks, lost IRPs, armed timers) without
    // destroying anything; the reports land on the machine.
    void CheckForLeaks();

    // ---- fault injection ------------------------------------------------
    void SetFaultPlan(const FaultPlan &Plan);
    // Asks the injector whether this allocation fails. CallSite identifies
    // the caller (a return address). Only counts allocations made while a
    // driver's code from LoadDriver runs.
    bool ShouldFail(FaultKind Kind, const void *CallSite);
    uint64_t InjectedFailures() const;
    // Called on the allocating thread, inside the service, each time the
    // injector fails an allocation; a backtrace taken there reaches the
    // driver routine that called the service, however deep the service
    // allocates (IoCreateDevice, USBD_CreateConfigurationRequestEx, ...).
    // No kernel lock is held. Empty: no observer.
    using FaultObserver = std::function<void(FaultKind Kind, const void *CallSite)>;
    void SetFaultObserver(FaultObserver Observer);

    // ---- managers and components ----------------------------------------
    // One instance of T per machine, made on first use with T(Machine&), and
    // destroyed at machine teardown in reverse order of creation, before the
    // kernel core checks for leaks. Thread-safe.
    template <class T> T &Component()
    {
        return *static_cast<T *>(ComponentSlot(
            std::type_index(typeid(T)), [this]() -> std::shared_ptr<void> { return std::make_shared<T>(*this); }));
    }
    void AddIrpObserver(IrpObserver *Observer);
    void RemoveIrpObserver(IrpObserver *Observer);

    // ---- test hooks (off by default) --------------------------------------
    // While held, Dpc stays in the DPC queue, not run, and the DPC thread
    // runs the DPCs behind it; ReleaseDpc lets it run. Lets a test keep a
    // DPC queued while another thread acts. Any bound thread.
    void HoldDpc(PKDPC Dpc);
    void ReleaseDpc(PKDPC Dpc);
    // Called in the releasing thread at the end of every KeReleaseSpinLock
    // on this machine, with the lock free and the IRQL restored. At
    // PASSIVE_LEVEL it may block through the scheduler (a KEVENT); above it
    // must not block. Lets a test stop a routine between two steps. Empty:
    // none.
    using SpinLockReleaseHook = std::function<void(PKSPIN_LOCK Lock)>;
    void SetSpinLockReleaseHook(SpinLockReleaseHook Hook);
    // The same at the start of every KeAcquireSpinLock, before the lock is
    // taken or the IRQL raised: it may block through the scheduler when the
    // caller is at PASSIVE_LEVEL. Lets a test stop a routine just before a
    // step that begins with a lock. Empty: none.
    void SetSpinLockAcquireHook(SpinLockReleaseHook Hook);
    // The next thread that sets Event with KeSetEvent stops right after the
    // set, at whatever IRQL and with whatever spin locks it holds (as a
    // processor stalled there), until ResumeAfterSet(Event). When it stops,
    // Stopped (if not NULL) is set, for the test to wait on. One event at a
    // time.
    void StopAfterSet(PKEVENT Event, PKEVENT Stopped = nullptr);
    void ResumeAfterSet(PKEVENT Event);

    // ---- kernel images ---------------------------------------------------
    // A kernel image mapped into the process for this machine (sim/image
    // maps them): its extent, a namer for addresses in it, and the release
    // that unmaps it, which runs when the machine has ended, after anything
    // that could still call into the image.
    struct ImageRegion {
        std::string Name;  // e.g. "vextora.sys"
        const void *Base = nullptr;
        size_t Size = 0;
        // The function holding an offset into the image ("AddDevice+0x1c"),
        // or "" when the image does not say.
        std::function<std::string(size_t Offset)> Symbol;
        std::function<void()> Release;
    };
    void AddImage(ImageRegion Region);
    // Whether Address lies in a kernel image of this machine. Such code
    // follows the Windows x64 conventions throughout: its routines that the
    // DDK declares without NTAPI (the USB idle callback) take the Windows
    // convention too, where the driver compiled into the simulator takes the
    // host's. Any thread.
    bool InImage(const void *Address) const;
    // "vextora.sys+0x3650 (DispatchReadWrite+0x12)"; "" outside every image.
    std::string DescribeImageAddress(const void *Address) const;

    struct Impl;
    Impl &Internal() { return *impl_; }

private:
    void *ComponentSlot(std::type_index Type, const std::function<std::shared_ptr<void>()> &Make);
    std::unique_ptr<Impl> impl_;
};

// Binds the calling thread to a machine for its lifetime (a test's own
// thread). Nests: an inner scope on the same machine is a no-op.
class ThreadScope {
public:
    explicit ThreadScope(Machine &M, std::string Name = "test", ThreadKind Kind = ThreadKind::Normal);
    ~ThreadScope();
    ThreadScope(const ThreadScope &) = delete;
    ThreadScope &operator=(const ThreadScope &) = delete;

private:
    SimThread *thread_;
    bool owner_;
};

// Marks the calling thread as running code of a driver (for pool accounting,
// fault injection and reports) without an IRP. Used by tests that call
// driver routines directly, and by managers calling AddDevice and callbacks.
class FrameScope {
public:
    FrameScope(FrameKind Kind, PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device = nullptr, PIRP Irp = nullptr,
               const void *Routine = nullptr);
    ~FrameScope();
    FrameScope(const FrameScope &) = delete;
    FrameScope &operator=(const FrameScope &) = delete;

private:
    KIRQL entryIrql_;
    FrameKind kind_;
    size_t entryLocks_;
};

// Runs a block at DISPATCH_LEVEL (e.g. a bus model completing an IRP the
// way a DPC would) and checks the IRQL is back at the end.
class DispatchLevelScope {
public:
    DispatchLevelScope();
    ~DispatchLevelScope();

private:
    KIRQL old_;
};

// ---------------------------------------------------------------------------
// Services for the managers (I/O, PnP, power) and the bus driver
// ---------------------------------------------------------------------------
// An IRP owned by a manager: when completion passes the top location,
// Final(Irp, Context) runs and owns it. NULL when injection fails it
// (FaultKind::Irp) or StackSize is out of range. Any IRQL <= DISPATCH_LEVEL.
PIRP AllocateManagerIrp(CCHAR StackSize, FinalCompletion Final, void *Context, bool Injectable = false);
// The power manager's entry into the call logic: same checks as
// IofCallDriver except that power IRPs are expected here.
NTSTATUS CallDriver(PDEVICE_OBJECT Device, PIRP Irp, CallPath Path);
// An MDL over an application's buffer (direct I/O): pages locked, system
// address = the buffer itself (no copy). Free with IoFreeMdl. NULL on
// injected failure (FaultKind::Mdl) only when Injectable.
PMDL BuildMdlForBuffer(void *Buffer, ULONG Length, bool Injectable = false);
// Invokes a driver's routine under a frame (IRQL and spin-lock checks on
// return). Used by managers to call AddDevice, power callbacks and the like.
template <class F>
auto CallInFrame(FrameKind Kind, PDRIVER_OBJECT Driver, PDEVICE_OBJECT Device, PIRP Irp, const void *Routine, F &&Fn)
{
    FrameScope frame(Kind, Driver, Device, Irp, Routine);
    return Fn();
}
// Name of a device for reports ("\Device\VxUsb0" or "FDO 0x..." of driver X).
std::string DeviceName(PDEVICE_OBJECT Device);
// Number of IRPs alive (allocated, not freed) on the machine.
size_t LiveIrpCount();
// Pool bytes and blocks currently allocated with a tag (0: every tag).
size_t PoolBytesInUse(ULONG Tag = 0);
size_t PoolBlocksInUse(ULONG Tag = 0);

}  // namespace sim
