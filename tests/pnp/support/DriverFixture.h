// A machine with the driver loaded above the fake bus: tests take the device
// through real PnP requests and, at the end, remove it, unload the driver
// and check that the verifier saw nothing and nothing was left behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/Driver.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/Registry.h"
#include "support/FakeUsbBus.h"

namespace vxtest {

inline constexpr char16_t kServiceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA";
inline constexpr char16_t kParametersKey[] =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\VEXTORA\\Parameters";

struct FixtureOptions {
    sim::MachineOptions Machine;
};

class DriverFixture {
public:
    explicit DriverFixture(FixtureOptions Options = {})
        : machine_(std::make_unique<sim::Machine>(Options.Machine)),
          scope_(std::make_unique<sim::ThreadScope>(*machine_)),
          bus_(std::make_unique<FakeUsbBus>(*machine_))
    {
        pnp().RegisterFunctionDriver(LoadDriver());
    }

    ~DriverFixture() { Finish(); }

    // Loads the driver; NULL when DriverEntry failed.
    PDRIVER_OBJECT LoadDriver()
    {
        driver_ = machine_->LoadDriver(u"\\Driver\\vextora", DriverEntry, kServiceKey);
        return driver_;
    }

    sim::Machine &machine() { return *machine_; }
    FakeUsbBus &bus() { return *bus_; }
    sim::PnpManager &pnp() { return machine_->Component<sim::PnpManager>(); }
    sim::Registry &registry() { return machine_->Component<sim::Registry>(); }
    PDRIVER_OBJECT driver() const { return driver_; }
    PDEVICE_OBJECT pdo() { return bus_->Pdo(); }

    // The device arrives: AddDevice, capabilities query and start.
    NTSTATUS Plug() { return pnp().Plug(pdo()); }
    PDEVICE_OBJECT Fdo() { return pnp().FunctionDevice(pdo()); }
    DeviceExtension *Extension() { return ExtensionOf(Fdo()); }

    // True while the driver's device object sits on the PDO.
    bool HasStack()
    {
        if (!pnp().Knows(pdo())) {
            return false;
        }
        switch (pnp().State(pdo())) {
        case sim::NodeState::Added:
        case sim::NodeState::Started:
        case sim::NodeState::QueryStopped:
        case sim::NodeState::Stopped:
        case sim::NodeState::QueryRemoved:
        case sim::NodeState::SurpriseRemoved:
            return true;
        default:
            return false;
        }
    }

    // Arrival and start, then query-stop and stop: the next start is a
    // single request that the test can fail without the PnP manager
    // removing the device in answer.
    void PlugAndStop()
    {
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        ASSERT_EQ(pnp().QueryStop(pdo()), STATUS_SUCCESS);
        ASSERT_EQ(pnp().Stop(pdo()), STATUS_SUCCESS);
        bus().ClearRecords();
    }

    // Removes the device if it is still there, unloads the driver and runs
    // the leak checks; afterwards no verifier report may exist.
    void Finish()
    {
        if (finished_) {
            return;
        }
        finished_ = true;
        if (HasStack()) {
            EXPECT_EQ(pnp().Remove(pdo()), STATUS_SUCCESS);
        }
        pnp().WaitIdle();
        if (driver_ != nullptr) {
            machine_->UnloadDriver(driver_);
        }
        bus_->DeletePdo();
        machine_->CheckForLeaks();
        EXPECT_EQ(machine_->ReportText(), "") << "seed " << machine_->Seed();
        bus_.reset();
        scope_.reset();
        machine_.reset();
    }

private:
    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::ThreadScope> scope_;
    std::unique_ptr<FakeUsbBus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    bool finished_ = false;
};

}  // namespace vxtest
