// Small helpers shared by the power and idle tests.
#pragma once

#include "tests/power/PowerFixture.h"

#include <atomic>
#include <memory>

namespace vxtest {

// A power request whose sender waits in its own simulated thread, so the
// test can look at what happens before it ends.
struct AsyncRequest {
    std::atomic<bool> Done{false};
    NTSTATUS Status = STATUS_PENDING;
    sim::SimThread *Thread = nullptr;

    void Join(sim::Machine &Machine)
    {
        if (Thread != nullptr) {
            Machine.Join(Thread);
            Thread = nullptr;
        }
    }
};

// A D-IRP asked for by the test itself: a requester that holds no I/O count
// of the driver's. Returns the IRP's final status (or PoRequestPowerIrp's
// refusal). PASSIVE_LEVEL, bound thread.
NTSTATUS RequestDevicePowerIrp(PowerFixture &Fixture, UCHAR Minor, DEVICE_POWER_STATE State);

// One system power IRP, sent from a new thread.
std::unique_ptr<AsyncRequest> SendSystemIrpAsync(PowerFixture &Fixture, UCHAR Minor,
                                                 SYSTEM_POWER_STATE State);

// Every PoRequestPowerIrp the power manager sent for the device, of one minor.
std::vector<sim::PowerManager::RequestRecord> RequestsOf(PowerFixture &Fixture, UCHAR Minor);

// A rule for wait-wake or idle requests: STATUS_PENDING holds them; any
// other status completes them at once with it.
inline Rule HoldOrComplete(NTSTATUS Status)
{
    return Status == STATUS_PENDING ? Rule::Hold() : Rule::Complete(Status);
}

// The device states of the SET_POWER D-IRPs that reached the bus, in order.
std::vector<LONG> DeviceSets(PowerFixture &Fixture);

// Calls the held idle request's callback in a new simulated thread, as the
// hub does when it is ready to suspend; the caller joins it. A request whose
// cancel is kept (OnCancel::Keep) still counts (the hub may call back before
// it answers the cancel). NULL when no idle request is held.
sim::SimThread *StartIdleCallback(PowerFixture &Fixture);

}  // namespace vxtest
