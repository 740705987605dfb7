// Takes over part of the simulated bus driver's dispatch table and plays the
// bus driver's power side for the test: it answers set and query power,
// keeps wait-wake and idle notification requests pending, and can hold any of
// them, or a bulk transfer, until the test lets it go. Everything else goes
// to the bus driver's own routines untouched.
#pragma once

#include "sim/kernel/Machine.h"

#include <deque>
#include <mutex>
#include <vector>

namespace vxtest {

// What the bus does when one of its pending requests is cancelled.
enum class CancelMode {
    CompleteAtOnce,  // STATUS_CANCELLED from the cancel routine, inside IoCancelIrp
    Defer,           // kept until the test completes it (a bus that answers later)
    WakeAtOnce,      // STATUS_SUCCESS from the cancel routine: a wake-up raced the cancel
};

struct PowerRecord {
    UCHAR Minor;
    ULONG Type;  // POWER_STATE_TYPE, kept as a number: tests send unknown ones
    LONG State;
};

class BusHook {
public:
    explicit BusHook(sim::Machine &Machine);
    ~BusHook();
    BusHook(const BusHook &) = delete;
    BusHook &operator=(const BusHook &) = delete;

    // Routes the bus driver's power, internal device-control requests through
    // this object. Before the device is plugged in; one bus per hook.
    void Install(PDRIVER_OBJECT BusDriver);
    // While on, every request goes to the bus driver's own routines (its own
    // power, wait-wake and idle handling); off by default.
    void SetTransparent(bool Transparent);

    // ---- set and query power ------------------------------------------------
    // Status given to every later set/query power IRP (success by default).
    void SetPowerStatus(NTSTATUS Status);
    // While on, set/query power IRPs wait until ReleasePower.
    void HoldPower(bool Hold);
    // Completes the oldest held set/query IRP with Status. False when none.
    bool ReleasePower(NTSTATUS Status);
    size_t HeldPowerCount();
    // Every power IRP of any minor function that reached the bus driver.
    std::vector<PowerRecord> PowerLog();
    // Every D-IRP of minor SET_POWER, as the sequence of device states.
    std::vector<LONG> DeviceSets();

    // ---- wait-wake -------------------------------------------------------
    void SetWaitWakeCancelMode(CancelMode Mode);
    // STATUS_PENDING (default): kept pending; anything else: completed at once
    // with that status, inside the dispatch routine.
    void SetWaitWakeAnswer(NTSTATUS Status);
    // Completes the pending (or cancel-deferred) wait-wake IRP with Status:
    // STATUS_SUCCESS is the device signalling wake-up. False when none.
    bool CompleteWaitWake(NTSTATUS Status);
    size_t WaitWakeCount();      // received in all
    bool WaitWakePending();      // one waits (cancelled or not)

    // ---- idle notification ---------------------------------------------------
    // STATUS_PENDING (default): kept pending; anything else: completed at once
    // with that status.
    void SetIdleAnswer(NTSTATUS Status);
    void SetIdleCancelMode(CancelMode Mode);
    size_t IdleCount();
    bool IdlePending();
    bool CompleteIdle(NTSTATUS Status);
    // Calls the pending request's idle callback in a new simulated thread, as
    // the hub does when it is ready to suspend; the caller joins it. A request
    // cancelled in CancelMode::Defer still counts as pending (the hub may call
    // back before it answers the cancel). NULL when no request is pending.
    sim::SimThread *StartIdleCallback();

    // ---- bulk and interrupt transfers -------------------------------------
    void HoldTransfers(bool Hold);
    size_t HeldTransferCount();
    // Completes every held transfer with success (nothing moved).
    void ReleaseTransfers();

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS DispatchPowerIrp(PDEVICE_OBJECT Pdo, PIRP Irp);
    NTSTATUS DispatchInternal(PDEVICE_OBJECT Pdo, PIRP Irp);
    NTSTATUS Pend(PIRP Irp, std::deque<PIRP> &Queue, bool Cancellable);
    bool TakeForCompletion(std::deque<PIRP> &Queue, std::deque<PIRP> &Deferred, PIRP *Irp);
    void FinishPower(PIRP Irp, NTSTATUS Status);

    sim::Machine &machine_;
    PDRIVER_OBJECT bus_ = nullptr;
    PDRIVER_DISPATCH original_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};

    std::mutex mutex_;
    bool transparent_ = false;
    NTSTATUS powerStatus_ = STATUS_SUCCESS;
    bool holdPower_ = false;
    std::deque<PIRP> heldPower_;
    std::vector<PowerRecord> powerLog_;
    CancelMode waitWakeCancel_ = CancelMode::CompleteAtOnce;
    NTSTATUS waitWakeAnswer_ = STATUS_PENDING;
    std::deque<PIRP> waitWake_;
    std::deque<PIRP> waitWakeCancelled_;
    size_t waitWakeCount_ = 0;
    NTSTATUS idleAnswer_ = STATUS_PENDING;
    CancelMode idleCancel_ = CancelMode::CompleteAtOnce;
    std::deque<PIRP> idle_;
    std::deque<PIRP> idleCancelled_;
    size_t idleCount_ = 0;
    bool holdTransfers_ = false;
    std::deque<PIRP> transfers_;
};

}  // namespace vxtest
