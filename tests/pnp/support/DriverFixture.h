// The driver on the test rig above the fake bus, with a port interceptor on
// the fake's PDO: tests take the device through real PnP requests; at the
// end the rig removes it, unloads the driver and checks that the verifier
// saw nothing and nothing was left.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/Driver.h"
#include "sim/kernel/Registry.h"
#include "support/FakeUsbBus.h"
#include "tests/support/TestRig.h"

namespace vxtest {

class DriverFixture {
public:
    explicit DriverFixture(vx::RigOptions Options = {})
        : rig_(std::make_unique<TestRig>(Options, vx::Removal::Remove)),
          bus_(std::make_unique<FakeUsbBus>(rig_->Machine())),
          port_(std::make_unique<PortInterceptor>(bus_->Pdo()->DriverObject, bus_->Pdo()))
    {
        rig_->Adopt(bus_->Pdo());
    }

    ~DriverFixture() { Finish(); }

    sim::Machine &machine() { return rig_->Machine(); }
    FakeUsbBus &bus() { return *bus_; }
    PortInterceptor &port() { return *port_; }
    // The URBs and the PnP minor functions that reached the fake bus.
    std::vector<PortRequest> Urbs() { return port_->Requests(Match::Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB)); }
    std::vector<UCHAR> PnpMinors()
    {
        std::vector<UCHAR> minors;
        for (const PortRequest &request : port_->Requests(Match::Pnp())) {
            minors.push_back(request.Minor);
        }
        return minors;
    }
    // Forgets what the interceptor recorded and restarts the fake's URB
    // numbering.
    void ClearRecords()
    {
        port_->ClearRequests();
        bus_->RestartCount();
    }
    sim::PnpManager &pnp() { return rig_->Pnp(); }
    sim::Registry &registry() { return machine().Component<sim::Registry>(); }
    PDRIVER_OBJECT driver() const { return rig_->Driver(); }
    PDEVICE_OBJECT pdo() { return bus_->Pdo(); }

    // The device arrives: AddDevice, capabilities query and start.
    NTSTATUS Plug() { return pnp().Plug(pdo()); }
    PDEVICE_OBJECT Fdo() { return pnp().FunctionDevice(pdo()); }
    DeviceExtension *Extension() { return ExtensionOf(Fdo()); }

    // Arrival and start, then query-stop and stop: the next start is a
    // single request that the test can fail without the PnP manager
    // removing the device in answer.
    void PlugAndStop()
    {
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        ASSERT_EQ(pnp().QueryStop(pdo()), STATUS_SUCCESS);
        ASSERT_EQ(pnp().Stop(pdo()), STATUS_SUCCESS);
        ClearRecords();
    }

    // The rig's teardown; the fake bus's PDO goes once the stack above it
    // is removed, before the leak check.
    void Finish()
    {
        if (bus_ == nullptr) {
            return;
        }
        EXPECT_EQ(rig_->RemoveDevices(vx::Removal::Remove), "") << "seed " << machine().Seed();
        port_.reset();
        bus_->DeletePdo();
        rig_->ExpectClean();
        bus_.reset();
        rig_.reset();
    }

private:
    std::unique_ptr<TestRig> rig_;
    std::unique_ptr<FakeUsbBus> bus_;
    std::unique_ptr<PortInterceptor> port_;
};

}  // namespace vxtest
