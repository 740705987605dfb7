// The power manager: PoRequestPowerIrp, PoCallDriver with the Windows
// 2000/XP serialisation of set and query IRPs, PoStartNextPowerIrp,
// PoSetPowerState, and system power transitions sent to a device stack.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "sim/kernel/HostLock.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/ManagerThread.h"

namespace sim {

namespace checks {
inline constexpr std::string_view PowerRequestIrql = "PowerRequestIrql";
inline constexpr std::string_view PowerRequestIrpOutParameter = "PowerRequestIrpOutParameter";
inline constexpr std::string_view StartNextPowerIrpMissing = "StartNextPowerIrpMissing";
inline constexpr std::string_view StartNextPowerIrpRepeated = "StartNextPowerIrpRepeated";
inline constexpr std::string_view StartNextPowerIrpLate = "StartNextPowerIrpLate";
inline constexpr std::string_view NotAPowerIrp = "NotAPowerIrp";
}  // namespace checks

class PowerManager {
public:
    explicit PowerManager(Machine &machine);
    ~PowerManager();
    PowerManager(const PowerManager &) = delete;
    PowerManager &operator=(const PowerManager &) = delete;

    // ---- the services ----------------------------------------------------
    NTSTATUS Call(PDEVICE_OBJECT Device, PIRP Irp);
    void StartNext(PIRP Irp);
    POWER_STATE SetState(PDEVICE_OBJECT Device, POWER_STATE_TYPE Type, POWER_STATE State);
    NTSTATUS Request(PDEVICE_OBJECT Pdo, UCHAR Minor, POWER_STATE State, PREQUEST_POWER_COMPLETE Callback,
                     PVOID Context, PIRP *Irp, const void *CallSite);

    // ---- system transitions (tests, vxsim) --------------------------------
    // One system power IRP (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER, type
    // SystemPowerState) sent to the top of the PDO's stack; waits for it and
    // returns its final status. PASSIVE_LEVEL, bound thread; the stack's
    // dispatch routines run in the calling thread.
    NTSTATUS SendSystemIrp(PDEVICE_OBJECT Pdo, UCHAR Minor, SYSTEM_POWER_STATE State);
    // A transition as Windows makes it: to a sleeping state a query and then
    // the set (a failed query is followed by a set of the working state, and
    // its status is returned); back to PowerSystemWorking the set alone.
    NTSTATUS SetSystemPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE State);

    // ---- what tests look at ----------------------------------------------
    struct RequestRecord {
        PDEVICE_OBJECT Pdo;
        UCHAR Minor;
        POWER_STATE State;
        NTSTATUS Status;  // STATUS_PENDING until the callback ran
    };
    // Every PoRequestPowerIrp that sent an IRP, in order.
    std::vector<RequestRecord> Requests() const;
    struct StateRecord {
        PDEVICE_OBJECT Device;
        POWER_STATE_TYPE Type;
        POWER_STATE State;
    };
    std::vector<StateRecord> StateHistory() const;
    // Makes the next N PoRequestPowerIrp calls fail with
    // STATUS_INSUFFICIENT_RESOURCES (besides the machine's fault plan).
    void FailNextRequests(unsigned Count);
    // While held, requested IRPs of this minor function that complete do
    // not run their callback; ReleaseHeld() runs the callbacks (in the
    // calling thread, in completion order) and frees the IRPs.
    void HoldCompletions(UCHAR Minor, bool Hold);
    size_t HeldCount() const;
    void ReleaseHeld();
    // Off (default): PoRequestPowerIrp writes the IRP out-parameter before it
    // sends the IRP. On: only after the IRP was sent (and from PASSIVE_LEVEL
    // after the stack's dispatch routines returned), so the IRP may have
    // completed, or be completing in another thread, before its requester
    // can see it, as Windows allows. The pointer is written before
    // PoRequestPowerIrp returns either way.
    void StoreRequestedIrpAfterSending(bool After);
    // PoStartNextPowerIrp calls on power IRPs of this minor function while
    // Device's stack location was the current one, wait-wake IRPs included
    // (whose calls the serialisation checks do not cover).
    unsigned StartNextCount(PDEVICE_OBJECT Device, UCHAR Minor) const;
    // Waits until every deferred dispatch has run.
    void WaitIdle();

    struct Requested;  // one PoRequestPowerIrp in flight (PowerManager.cpp)
    void FinishRequest(Requested *request, PIRP Irp);
    void IrpEnded(PIRP Irp);

private:
    struct Tracked {
        bool Serialised = false;
        int Kind = 0;                                  // 0 system, 1 device
        std::map<PDEVICE_OBJECT, int> StartNextCalls;  // per receiving device
    };
    struct Slots {
        PIRP Active[2] = {nullptr, nullptr};
        std::deque<PIRP> Waiting[2];
    };
    void Dispatch(PDEVICE_OBJECT Device, PIRP Irp);
    void ReleaseSlot(PDEVICE_OBJECT Device, PIRP Irp, int Kind);

    Machine &machine_;
    mutable sim::HostMutex mutex_;
    std::map<PIRP, Tracked> tracked_;
    std::map<PDEVICE_OBJECT, Slots> slots_;
    std::map<std::pair<PDEVICE_OBJECT, int>, POWER_STATE> reported_;
    std::vector<RequestRecord> requests_;
    std::vector<StateRecord> history_;
    unsigned failNext_ = 0;
    bool hold_[4] = {false, false, false, false};
    std::vector<std::pair<Requested *, PIRP>> held_;
    bool storeIrpAfterSending_ = false;
    std::map<std::pair<PDEVICE_OBJECT, UCHAR>, unsigned> startNextCounts_;
    // Requests whose callback has been called and whose IRP is not freed
    // yet; the destructor waits until there are none. Under mutex_.
    unsigned finishing_ = 0;
    std::condition_variable_any finished_;
    std::unique_ptr<ManagerThread> thread_;
};

}  // namespace sim
