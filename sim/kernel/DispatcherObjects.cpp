// Dispatcher objects: events, and the waits on events and timers
// (KeWaitForSingleObject, KeDelayExecutionThread).
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Controlled.h"

// Wait blocks live on the waiting thread's stack and are linked into an
// object's wait list only while that thread is blocked in Block(); they are
// always unlinked before the frame returns, which GCC cannot see.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

namespace sim {

namespace {

// An event's SignalState holds its lock bit beside the signal. The bit
// makes a set that finds no waiter independent of Sched: the setter takes
// the bit, sees the wait list empty, and stores the signal and the free bit
// at once, which is the last it writes to the event. A waiter checks the
// signal and links itself under Sched and the bit, so it either sees the
// signal or is seen by the setter. The order is Sched, then the bit.
// Timers are set and fired under Sched alone; their waiters take the bit
// as well, which costs nothing there and keeps one wait path.

LONG LockObject(DISPATCHER_HEADER *H)
{
    for (;;) {
        LONG state = __atomic_load_n(&H->SignalState, __ATOMIC_RELAXED);
        if ((state & kEventLockBit) == 0 && __atomic_compare_exchange_n(&H->SignalState, &state, state | kEventLockBit,
                                                                        false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return state;
        }
        __builtin_ia32_pause();
    }
}

// Releases the bit and leaves Signal as the state, in one store.
void UnlockObject(DISPATCHER_HEADER *H, LONG Signal) { __atomic_store_n(&H->SignalState, Signal, __ATOMIC_RELEASE); }

// Replaces the signal once the bit is free; returns the signal it replaced.
LONG ExchangeSignal(DISPATCHER_HEADER *H, LONG Signal)
{
    const LONG previous = LockObject(H);
    UnlockObject(H, Signal);
    return previous;
}

}  // namespace

}  // namespace sim

using namespace sim;

namespace {

// Controlled mode: a scheduling point at the start of an event or timer
// call, and the object marked as in use by the thread until the call
// returns (the verifier's check of memory freed under it).
class EventCall {
public:
    EventCall(SimThread *Me, const char *What, const void *Object) : me_(Me->I->Ctl ? Me : nullptr)
    {
        if (me_ != nullptr) {
            me_->InEventCall = Object;
            ControlledPoint(*me_->I, me_, What, Object);
        }
    }
    ~EventCall()
    {
        if (me_ != nullptr) {
            me_->InEventCall = nullptr;
        }
    }
    EventCall(const EventCall &) = delete;
    EventCall &operator=(const EventCall &) = delete;

private:
    SimThread *me_;
};

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Self();
    Event->Header.Type = Type == NotificationEvent ? kEventNotification : kEventSynchronization;
    Event->Header.Initialized = 1;
    Event->Header.Inserted = 0;
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELAXED);
    Event->Header.WaitListHead = nullptr;
}

static LONG SetEventImpl(PRKEVENT Event)
{
    Machine::Impl &k = Kernel();
    if (Event->Header.Initialized != 1 || IsTimer(&Event->Header)) {
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr,
                            "KeSetEvent on an object that is not an initialized event");
        return 0;
    }
    DISPATCHER_HEADER *header = &Event->Header;
    auto **head = reinterpret_cast<WaitBlock **>(&header->WaitListHead);
    // No waiter: the signal is stored with the bit's release, and nothing
    // of the event is touched after it (a waiter or a poller that sees the
    // signal may free the event at once).
    LONG previous = LockObject(header);
    if (__atomic_load_n(head, __ATOMIC_RELAXED) == nullptr) {
        UnlockObject(header, 1);
        return previous;
    }
    UnlockObject(header, previous);
    // Waiters: they are woken under Sched, which each needs before it can
    // return, and the bit's release is again the last write.
    std::unique_lock lock(k.Sched);
    previous = LockObject(header);
    LONG signal = 1;
    if (IsSynchronization(header)) {
        if (*head != nullptr) {
            k.Wake(*head, STATUS_SUCCESS);
            signal = previous;
        }
    } else {
        k.WakeAll(head, STATUS_SUCCESS);
    }
    UnlockObject(header, signal);
    return previous;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    SimThread *me = Self();
    if (me->Irql > DISPATCH_LEVEL) {
        me->M->ReportViolation(checks::WaitIrql, nullptr, nullptr, "KeSetEvent above DISPATCH_LEVEL");
    }
    if (Wait) {
        me->M->ReportViolation(checks::BadParameter, nullptr, nullptr,
                               "KeSetEvent with Wait TRUE (this platform's drivers never follow it with a wait)");
    }
    if (me->I->BuiltIrpEvents.load(std::memory_order_relaxed) != 0 && IsBuiltIrpEvent(Event)) {
        me->M->ReportViolation(checks::BuiltIrpEventSetByDriver, nullptr, nullptr,
                               "KeSetEvent on the event of a request built by IoBuildDeviceIoControlRequest "
                               "that is still in flight; the I/O manager sets it");
    }
    LONG previous;
    {
        EventCall call(me, "KeSetEvent", Event);
        previous = SetEventImpl(Event);
    }
    if (me->I->StopSetEvent.load(std::memory_order_relaxed) == Event) {
        me->I->StopAfterSetHere(Event);
    }
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    EventCall call(Self(), "KeClearEvent", Event);
    (void)ExchangeSignal(&Event->Header, 0);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    EventCall call(Self(), "KeResetEvent", Event);
    return ExchangeSignal(&Event->Header, 0);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    Self();
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE) & ~kEventLockBit;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!zeroTimeout) {
        std::erase_if(me->Unwaited, [&](const SimThread::UnwaitedRequest &u) { return u.Event == Object; });
    }
    if (me->Irql > DISPATCH_LEVEL || (me->Irql > APC_LEVEL && !zeroTimeout)) {
        k.M.ReportViolation(checks::WaitIrql, nullptr, nullptr,
                            "KeWaitForSingleObject at IRQL " + std::to_string(me->Irql) +
                                (zeroTimeout ? "" : " with a non-zero or no time-out"));
        if (!zeroTimeout) {
            return STATUS_TIMEOUT;  // blocking here would deadlock a real processor
        }
    }
    if (!me->Held.empty() && !zeroTimeout) {
        k.M.ReportViolation(checks::WaitWithSpinLockHeld, nullptr, nullptr,
                            "KeWaitForSingleObject while holding a spin lock");
    }
    auto *header = static_cast<DISPATCHER_HEADER *>(Object);
    if (header == nullptr || header->Initialized != 1) {
        k.M.ReportViolation(checks::UninitializedObject, nullptr, nullptr,
                            "KeWaitForSingleObject on an object that is not an initialized event or timer");
        return STATUS_INVALID_PARAMETER;
    }
    EventCall call(me, "KeWaitForSingleObject", Object);
    if (!k.Ctl) {
        k.M.YieldPoint();
    }
    std::unique_lock lock(k.Sched);
    // An event may be set without Sched, so the signal is checked and the
    // wait list joined under the object's lock bit.
    const LONG signal = LockObject(header);
    if (signal != 0) {
        UnlockObject(header, IsSynchronization(header) ? 0 : signal);
        return STATUS_SUCCESS;
    }
    if (zeroTimeout) {
        UnlockObject(header, signal);
        return STATUS_TIMEOUT;
    }
    WaitBlock wb;
    wb.Thread = me;
    wb.What = IsTimer(header) ? "timer" : "event";
    wb.Object = Object;
    k.Enqueue(reinterpret_cast<WaitBlock **>(&header->WaitListHead), wb);
    UnlockObject(header, signal);
    if (Timeout != nullptr) {
        k.AddWaitDeadline(wb, AbsoluteDue(k, Timeout->QuadPart));
    }
    k.Block(lock, me, wb);
    return wb.Result;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    SimThread *me = Self();
    if (me->Irql > APC_LEVEL) {
        me->M->ReportViolation(checks::WaitIrql, nullptr, nullptr, "KeDelayExecutionThread above APC_LEVEL");
        return STATUS_SUCCESS;
    }
    if (Interval == nullptr) {
        me->M->ReportViolation(checks::BadParameter, nullptr, nullptr, "KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    Machine::Impl &k = *me->I;
    std::unique_lock lock(k.Sched);
    WaitBlock wb;
    wb.Thread = me;
    wb.What = "a delay";
    k.AddWaitDeadline(wb, AbsoluteDue(k, Interval->QuadPart));
    k.Block(lock, me, wb);
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace sim {

void SetEventInternal(PKEVENT Event) { SetEventImpl(Event); }

}  // namespace sim
