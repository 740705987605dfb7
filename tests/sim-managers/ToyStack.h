// A small device stack for the managers' tests: a bus driver that owns a PDO
// and a trivial WDM function driver above it, each with switches that make
// it commit one fault the verifier must catch.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/kernel/WmiService.h"

namespace toy {

// {5C1D3A0E-2B7F-4D59-9A31-7E0C4F1B2A66}
inline constexpr GUID kInterfaceClass = {0x5c1d3a0e, 0x2b7f, 0x4d59,
                                         {0x9a, 0x31, 0x7e, 0x0c, 0x4f, 0x1b, 0x2a, 0x66}};
// {0B8E6F4C-3A21-4C7D-8E55-1F2A9C6D3B10}
inline constexpr GUID kWmiBlock = {0x0b8e6f4c, 0x3a21, 0x4c7d,
                                   {0x8e, 0x55, 0x1f, 0x2a, 0x9c, 0x6d, 0x3b, 0x10}};

// Device-control codes the toy serves (METHOD_BUFFERED).
inline constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Answers more bytes than the output buffer holds (a driver fault).
inline constexpr ULONG kIoctlOverclaim = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Fails with STATUS_INVALID_PARAMETER after scribbling on the buffer.
inline constexpr ULONG kIoctlFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Faults the function driver can be told to commit.
struct Faults {
    bool LeaveInitializing = false;   // DO_DEVICE_INITIALIZING left set
    bool DropPowerPagable = false;    // DO_POWER_PAGABLE not copied from the PDO
    bool FailRemove = false;          // completes IRP_MN_REMOVE_DEVICE with an error
    bool FailCancelStop = false;      // completes IRP_MN_CANCEL_STOP_DEVICE with an error
    bool FailSurpriseRemoval = false;
    bool FailQueryStop = false;       // legitimate: refuses a rebalance
    bool FailQueryRemove = false;     // legitimate: refuses a disable
    bool DetachOnSurprise = false;    // detaches during surprise removal
    bool KeepDeviceOnRemove = false;  // neither detaches nor deletes at removal
    bool SkipStartNext = false;       // no PoStartNextPowerIrp for set/query
    bool StartNextTwice = false;
    bool StartNextLate = false;       // after passing the IRP down
    bool PowerWithIofCallDriver = false;
    bool RegisterWmiTwice = false;
    bool SkipWmiDeregister = false;
    bool FailStart = false;
    // Sends a PnP request of its own to the stack while it handles
    // IRP_MN_QUERY_PNP_DEVICE_STATE.
    bool NestedPnp = false;
    // Completes requests for other providers with WmiCompleteRequest
    // instead of passing them down.
    bool WmiCompletesForeign = false;
    // AddDevice fails after registering with WMI and deletes its device
    // without deregistering.
    bool FailAddDeviceKeepingWmi = false;
};

// What the function driver saw, for assertions.
struct Log {
    std::vector<UCHAR> PnpMinors;
    std::vector<std::u16string> CreateNames;
    std::vector<UCHAR> FileMajors;  // create, cleanup, close in order
    std::atomic<int> TimerFires{0};
    std::atomic<int> WorkItems{0};
    std::atomic<int> ReadsQueued{0};
    std::vector<PVOID> ReadMdlAddresses;  // system address of each read's MDL
    std::vector<uint8_t> Written;
    std::atomic<ULONG> DebugLevel{1};
    std::vector<DEVICE_POWER_STATE> DevicePowerSets;
    SYSTEM_POWER_STATE LastSystemState = PowerSystemWorking;
    // Every power IRP the function driver received: minor, type, state.
    struct PowerIrp {
        UCHAR Minor;
        POWER_STATE_TYPE Type;
        ULONG State;
        bool operator==(const PowerIrp &) const = default;
    };
    std::vector<PowerIrp> PowerIrps;
};

// Per-test configuration of the function driver (the driver's routines are
// plain functions and find it here).
struct Config {
    Faults Fault;
    Log Record;
    bool PendReads = false;     // reads wait for CompletePendingRead / cancel
    bool StartTimer = false;    // 5-second periodic timer at start
    bool QueueWorkItem = false; // a work item at start
    bool PowerPolicyOwner = true;  // follows each S-IRP with a D-IRP
};
Config &Current();
// Back to a fresh configuration (no faults, empty log).
void Reset();

// The bus driver's PDO (a simulator component driver).
class Bus {
public:
    explicit Bus(sim::Machine &machine);
    PDEVICE_OBJECT CreatePdo();
    // Completes the outstanding wait-wake IRP, if any, with Status.
    bool SignalWake(NTSTATUS Status = STATUS_SUCCESS);
    // Deletes the PDOs the PnP manager has removed.
    void DeletePdo(PDEVICE_OBJECT Pdo);
    // While set, device set/query power IRPs stay pending in the bus (its
    // PoStartNextPowerIrp not yet called) until ReleaseHeldPower.
    void HoldDevicePower(bool Hold);
    size_t ReleaseHeldPower();
    int DevicePowerIrpsSeen() const;
    PDRIVER_OBJECT Driver() const { return driver_; }

private:
    sim::Machine &machine_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// Loads the function driver (DriverEntry) and registers it with the PnP
// manager. Call from a bound thread.
PDRIVER_OBJECT LoadFunctionDriver(sim::Machine &machine);

// Completes the oldest pended read with a pattern of Bytes bytes, from the
// calling thread (any bound thread). False when none is pended.
bool CompletePendingRead(ULONG Bytes);

// A machine with the bus, the function driver and one device plugged and
// started. Teardown removes the device, unloads the driver and checks that
// nothing is left; a test that provokes a report clears it after checking.
class Stack {
public:
    Stack();
    ~Stack();
    sim::Machine &Machine() { return *machine_; }
    sim::PnpManager &Pnp() { return machine_->Component<sim::PnpManager>(); }
    sim::PowerManager &Power() { return machine_->Component<sim::PowerManager>(); }
    sim::IoManager &Io() { return machine_->Component<sim::IoManager>(); }
    sim::WmiService &Wmi() { return machine_->Component<sim::WmiService>(); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDEVICE_OBJECT Fdo() { return Pnp().FunctionDevice(pdo_); }
    toy::Bus &Bus() { return *bus_; }
    // Plugs the device (AddDevice, capabilities, start); the start's status.
    NTSTATUS Plug();
    // The interface link applications open.
    std::u16string Link();
    // Removes what a faulty driver left behind so teardown finds it clean.
    void ForceDelete();

private:
    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::ThreadScope> scope_;
    std::unique_ptr<toy::Bus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

std::string Narrow(const std::u16string &text);

}  // namespace toy
