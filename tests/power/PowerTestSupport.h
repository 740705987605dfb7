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

}  // namespace vxtest
