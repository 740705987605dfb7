// A started device for the power and idle tests: the driver under test on the
// simulated bus's PDO of a loopback device, whose power and idle side the
// port interceptor plays (Bus()); brought up through the PnP manager and torn
// down through it at the end.
#pragma once

#include "driver/DeviceExtension.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/usb/UsbBus.h"
#include "tests/support/PortInterceptor.h"
#include "tests/support/TestRig.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace vxtest {

// The requests the power tests set rules for.
inline const Match kSetPower = Match::Power(IRP_MN_SET_POWER);
inline const Match kQueryPower = Match::Power(IRP_MN_QUERY_POWER);
inline const Match kWaitWake = Match::Power(IRP_MN_WAIT_WAKE);
inline const Match kIdleRequest = Match::Ioctl(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION);
inline const Match kTransfers = Match::Urb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);

struct FixtureOptions {
    bool RemoteWake = true;
    // "VextoraEnable": absent when empty.
    std::optional<uint32_t> VextoraEnable;
    // Highest WDM minor version the platform reports (0x20 gives level 0).
    UCHAR WdmMinor = 0x20;
    uint64_t Seed = 1;
    bool RandomYields = false;
    // Start the device at construction.
    bool Start = true;
    // The bus port the device is plugged into. Its capabilities map S1 to
    // D1, S2 and S3 to D2, S4 to D3, and wake the system from S3 at most.
    vextora::usb::PortOptions Port = DefaultPort();

    static vextora::usb::PortOptions DefaultPort();
};

class PowerFixture {
public:
    explicit PowerFixture(FixtureOptions Options = {});
    ~PowerFixture();

    sim::Machine &Machine() { return rig_->Machine(); }
    // Plays the bus's power side: set and query power complete with success
    // (AnswerPower), every other power request completes as it is, wait-wake
    // and idle requests are held (cancellable) until the test releases them.
    PortInterceptor &Bus() { return *bus_; }
    // Set and query power complete with Status.
    void AnswerPower(NTSTATUS Status);
    sim::PnpManager &Pnp() { return rig_->Pnp(); }
    sim::PowerManager &Power() { return rig_->Power(); }
    sim::IoManager &Io() { return rig_->Io(); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDEVICE_OBJECT Fdo() const { return fdo_; }
    PDRIVER_OBJECT Driver() const { return rig_->Driver(); }
    vextora::usb::UsbPort &Port() { return *port_; }
    // DevicePower is part of the documented contract of the power code.
    DEVICE_POWER_STATE DevicePower() const;
    // The last device state the driver reported with PoSetPowerState.
    LONG ReportedDevicePower();

    NTSTATUS Plug();
    // Opens the device itself, or pipe N.
    vxio::Status Open(vxio::Handle *Handle, int Pipe = -1);
    // Lets virtual time pass (the test thread sleeps; everything else runs).
    void Advance(std::chrono::nanoseconds Duration) { Machine().Sleep(Duration); }
    // Advances in 1 ms steps until Condition holds or Limit has passed.
    bool WaitUntil(const std::function<bool()> &Condition,
                   std::chrono::nanoseconds Limit = std::chrono::seconds(30))
    {
        return rig_->WaitUntil(Condition, Limit);
    }
    // The rig's teardown (a removal of the device) and its checks.
    void Finish() { rig_->ExpectClean(); }
    // A removal running in its own thread, for tests that hold it up.
    sim::SimThread *StartRemoval(std::atomic<NTSTATUS> *Status);

private:
    FixtureOptions options_;
    std::unique_ptr<TestRig> rig_;
    std::unique_ptr<PortInterceptor> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    vextora::usb::UsbPort *port_ = nullptr;
};

}  // namespace vxtest
