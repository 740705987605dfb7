// The Plug and Play manager: builds a device stack on every PDO a bus driver
// reports, and sends the stack its PnP requests, one at a time, at
// PASSIVE_LEVEL in the manager's own system thread, singly or as the
// sequences Windows uses (disable, rebalance, unplug).
//
// Bus side:    machine.Component<sim::PnpManager>().DeviceArrived(pdo, u"USB\\VID_1234&PID_0001\\1");
//              ... .DeviceVanished(pdo);              // unplug
// Driver side: ... .RegisterFunctionDriver(driverObject);
// Tests:       ... .Start(pdo), .QueryStop(pdo), .Disable(pdo), .Rebalance(pdo), ...
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/HostLock.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/ManagerThread.h"

namespace sim {

namespace checks {
inline constexpr std::string_view PnpRequestFailed = "PnpRequestFailed";  // must-not-fail minor failed
inline constexpr std::string_view DetachedDuringSurpriseRemoval = "DetachedDuringSurpriseRemoval";
inline constexpr std::string_view StillAttachedAfterRemoval = "StillAttachedAfterRemoval";
inline constexpr std::string_view NotDeletedAfterRemoval = "NotDeletedAfterRemoval";
inline constexpr std::string_view PowerPagableNotInherited = "PowerPagableNotInherited";
inline constexpr std::string_view ConcurrentPnpIrp = "ConcurrentPnpIrp";
}  // namespace checks

// Where a device node is in its life, as the PnP manager sees it.
enum class NodeState {
    Arrived,  // reported, no function driver added yet
    Added,    // AddDevice succeeded; not started
    Started,
    QueryStopped,  // query-stop succeeded; stop or cancel-stop follows
    Stopped,
    QueryRemoved,     // query-remove succeeded; remove or cancel-remove follows
    SurpriseRemoved,  // removal follows once the last handle is closed
    Removed,          // stack torn down
    AddFailed,        // no function driver, or AddDevice / start failed
};
const char *NodeStateName(NodeState State);

// What the manager put in a PnP request and what came back.
struct PnpRecord {
    UCHAR Minor;
    NTSTATUS Status;
    ULONG_PTR Information;
};

class PnpManager {
public:
    explicit PnpManager(Machine &machine);
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    // The function driver whose AddDevice is called for PDOs that arrive
    // later. An empty hardware id matches every PDO; otherwise it must equal
    // the id the bus reports (without regard to case). Any thread.
    void RegisterFunctionDriver(PDRIVER_OBJECT Driver, std::u16string HardwareId = {});

    // Bus driver: a new PDO on its bus. Queues, in the PnP thread: AddDevice
    // of the function driver at PASSIVE_LEVEL (with the verifier's checks of
    // the new device object), IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE.
    // Returns at once; WaitIdle() or WaitForStart() waits for the outcome.
    // InstanceId ("USB\VID_1234&PID_0001\5&1a2b") names the device in
    // interface links and WMI instances; empty gives "SIM\DEVICE\<n>".
    // Any IRQL <= DISPATCH_LEVEL.
    void DeviceArrived(PDEVICE_OBJECT Pdo, std::u16string InstanceId = {}, std::u16string HardwareId = {});
    // Bus driver: the device is gone (unplugged). Queues a surprise removal;
    // the removal follows once no handle of the device is open. Any IRQL
    // <= DISPATCH_LEVEL.
    void DeviceVanished(PDEVICE_OBJECT Pdo);

    // Waits (through the scheduler) until the PnP thread has nothing left to
    // do. PASSIVE_LEVEL, bound thread, not the PnP thread itself.
    void WaitIdle();
    // Arrival and its start, as DeviceArrived + WaitIdle; returns the status
    // of AddDevice when it failed, else the start's status.
    NTSTATUS Plug(PDEVICE_OBJECT Pdo, std::u16string InstanceId = {}, std::u16string HardwareId = {});

    // Single requests, sent to the top of the PDO's stack in the PnP thread,
    // synchronously: the calling (bound, PASSIVE_LEVEL) thread waits and
    // gets the request's final IoStatus.Status. IoStatus.Status starts as
    // STATUS_NOT_SUPPORTED. STATUS_NO_SUCH_DEVICE when the PDO has no stack.
    NTSTATUS Start(PDEVICE_OBJECT Pdo);
    NTSTATUS QueryStop(PDEVICE_OBJECT Pdo);
    NTSTATUS CancelStop(PDEVICE_OBJECT Pdo);
    NTSTATUS Stop(PDEVICE_OBJECT Pdo);
    NTSTATUS QueryRemove(PDEVICE_OBJECT Pdo);
    NTSTATUS CancelRemove(PDEVICE_OBJECT Pdo);
    // Removal tears the stack down and checks that the function driver
    // detached and deleted its device object.
    NTSTATUS Remove(PDEVICE_OBJECT Pdo);
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT Pdo);
    // Version 1, Size 64, Address and UINumber 0xFFFFFFFF, the rest zero;
    // *Capabilities receives the structure as the stack left it.
    NTSTATUS QueryCapabilities(PDEVICE_OBJECT Pdo, DEVICE_CAPABILITIES *Capabilities = nullptr);
    // Any other minor function, with the four parameter words given.
    NTSTATUS SendMinor(PDEVICE_OBJECT Pdo, UCHAR Minor, PVOID Argument1 = nullptr, PVOID Argument2 = nullptr,
                       ULONG_PTR *Information = nullptr);

    // Sequences.
    // Disable: query-remove, then remove; when the query fails, cancel-remove
    // and the query's status is returned.
    NTSTATUS Disable(PDEVICE_OBJECT Pdo);
    // Rebalance: query-stop, stop, start; when the query fails, cancel-stop
    // and the query's status is returned. Otherwise the start's status.
    NTSTATUS Rebalance(PDEVICE_OBJECT Pdo);
    // Unplug: surprise removal, and the removal once the last handle closes
    // (at once when none is open). Returns the surprise removal's status.
    NTSTATUS Unplug(PDEVICE_OBJECT Pdo);

    // State and history, for tests.
    NodeState State(PDEVICE_OBJECT Pdo) const;
    // The device object AddDevice attached (the stack's top after it), or
    // NULL.
    PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT Pdo) const;
    std::u16string InstanceId(PDEVICE_OBJECT Pdo) const;
    // Every PnP request sent to the PDO's stack, in order.
    std::vector<PnpRecord> History(PDEVICE_OBJECT Pdo) const;
    // True while the PDO's stack accepts creates: started (or query-stopped
    // / stopped, which the driver then refuses), not being removed.
    bool AcceptsCreate(PDEVICE_OBJECT Pdo) const;
    bool Knows(PDEVICE_OBJECT Pdo) const;

    // I/O manager: handles open on a PDO's stack. When the count falls to
    // zero after a surprise removal, the removal is queued.
    void HandleOpened(PDEVICE_OBJECT Pdo);
    void HandleClosed(PDEVICE_OBJECT Pdo);

    // The machine is going away: the PnP thread ends. Devices still present
    // stay as they are (their drivers' leaks are reported by the kernel).
    void Shutdown();

private:
    struct Node;
    struct Work;
    class Observer;

    Node *FindNode(PDEVICE_OBJECT Pdo) const;
    void Enqueue(std::function<void()> Job);
    // Runs Job in the PnP thread and waits for it (or runs it inline when
    // already in the PnP thread).
    NTSTATUS RunSync(std::function<NTSTATUS()> Job);

    NTSTATUS DoArrival(PDEVICE_OBJECT Pdo);
    NTSTATUS DoSend(PDEVICE_OBJECT Pdo, UCHAR Minor, PIO_STACK_LOCATION Parameters, ULONG_PTR *Information);
    NTSTATUS DoRemove(PDEVICE_OBJECT Pdo, bool AfterSurprise);
    NTSTATUS DoSurpriseRemove(PDEVICE_OBJECT Pdo);
    void CheckAfterRemoval(Node &node);

    Machine &machine_;
    mutable sim::HostMutex mutex_;
    std::map<PDEVICE_OBJECT, std::unique_ptr<Node>> nodes_;
    std::vector<std::pair<PDRIVER_OBJECT, std::u16string>> drivers_;
    unsigned nextInstance_ = 0;
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<ManagerThread> thread_;
};

}  // namespace sim
