// The simulated USB bus driver: a hub whose ports hold device models. Each
// plugged device gets a PDO (of the bus's own driver object) that is
// reported to the PnP manager, which loads the function driver on top. The
// PDO serves PnP, power and the internal device-control requests of USB
// client drivers (URBs, port status, port reset, idle notification), and
// validates them the way the Windows USB stack does.
//
// Threads: with CompletionMode::HostController each port has a host
// controller thread that runs transfers against the model and completes
// them at DISPATCH_LEVEL; every port has a hub thread that calls idle
// callbacks at PASSIVE_LEVEL. Both are ThreadKind::Service threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/HostLock.h"
#include "sim/kernel/Machine.h"
#include "sim/usb/BusTiming.h"
#include "sim/usb/DeviceModel.h"
#include "sim/usb/UsbPcap.h"

namespace vextora::usb {

enum class CompletionMode : uint8_t {
    Inline,          // in the submitting thread when the device answers at once
    HostController,  // always later, from the port's host controller thread
};

enum class IdleSupport : uint8_t { Supported, NotSupported };

// What the port does with a bulk or interrupt transfer whose
// USBD_TRANSFER_DIRECTION_IN flag contradicts the endpoint address.
enum class DirectionPolicy : uint8_t {
    // As the Windows USB stack does: the endpoint decides, the flag is
    // rewritten to match and the mismatch is counted.
    FollowEndpoint,
    // Stricter: the URB fails with USBD_STATUS_INVALID_PARAMETER.
    Refuse,
};

// How the device answers the next request on one endpoint, once a test or
// scenario asks for it (UsbPort::InjectFault).
enum class EndpointFault : uint8_t {
    // STALL. A data endpoint stays halted, stalling every transfer, until
    // the host clears the halt (a pipe reset); on the default pipe it is a
    // protocol stall, which the next setup packet clears (USB 2.0, 8.5.3.4).
    Stall,
    // One transaction error (USBD_STATUS_XACT_ERROR); the request after it
    // goes through.
    Error,
    // NAK for ever: the request stays pending until it is cancelled or its
    // pipe aborted; requests behind it on the endpoint wait.
    Nak,
    // The next IN request ends with a short packet: at most N bytes of the
    // device's own data (OUT requests on the default pipe pass untouched).
    Short,
    // The device leaves the bus.
    Disconnect,
};

struct PortOptions {
    CompletionMode Completion = CompletionMode::Inline;
    IdleSupport Idle = IdleSupport::Supported;
    // Time between an accepted idle notification and the idle callback.
    std::chrono::nanoseconds IdleDelay = std::chrono::milliseconds(0);
    DirectionPolicy Direction = DirectionPolicy::FollowEndpoint;
    // Capabilities reported for IRP_MN_QUERY_CAPABILITIES.
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2,
                                                          PowerDeviceD2,          PowerDeviceD2, PowerDeviceD3,
                                                          PowerDeviceD3};
    SYSTEM_POWER_STATE SystemWake = PowerSystemSleeping3;
    DEVICE_POWER_STATE DeviceWake = PowerDeviceD2;
    // USBPcap capture of every URB; empty for none. Ports of one bus that
    // name the same file share it, each with its own device address.
    std::filesystem::path Capture;
    // Whether Records() keeps every completed URB. The list grows with
    // every transfer; a long run that never reads it turns it off.
    bool RecordUrbs = true;
};

// One URB as the bus saw it, recorded when it completed.
struct UrbRecord {
    USHORT Function = 0;
    USHORT Length = 0;
    uint8_t Endpoint = 0;  // 0x00/0x80 for the default pipe
    ULONG TransferFlags = 0;
    ULONG Requested = 0;
    ULONG Actual = 0;
    USBD_STATUS UsbdStatus = 0;
    NTSTATUS IrpStatus = 0;
    std::optional<SetupPacket> Setup;
    const void *Data = nullptr;  // where the bus read or wrote the data
    bool ThroughMdl = false;
    bool Pended = false;  // completed after the dispatch routine returned
    KIRQL CompletionIrql = 0;
};

class UsbBus;

class UsbPort {
public:
    ~UsbPort();
    UsbPort(const UsbPort &) = delete;
    UsbPort &operator=(const UsbPort &) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    DeviceModel &Model() { return *model_; }
    unsigned Number() const { return number_; }

    // ---- test and scenario actions (any bound thread, PASSIVE_LEVEL) ------
    // The device signals remote wake-up. Succeeds only while the device is
    // suspended, a wait-wake IRP is pending and the device was armed; the
    // wait-wake IRP then completes with STATUS_SUCCESS.
    bool SignalRemoteWake();
    // The device loses its port enable (connected, not enabled) until the
    // port is reset.
    void DisablePort();
    // Asks the port to retry transfers the device answered with NAK (after
    // a test fed a scripted model).
    void Poll();
    // The device answers the next request on endpointAddress (0x00 or 0x80:
    // the default pipe, either direction) with fault; shortBytes is N of
    // EndpointFault::Short. A second fault on the same endpoint replaces the
    // first. Returns what makes it impossible (the device is gone, has no
    // such endpoint in its configuration, or the endpoint is OUT for Short),
    // or an empty string once the fault is armed.
    [[nodiscard]] std::string InjectFault(uint8_t endpointAddress, EndpointFault fault, uint32_t shortBytes = 0);

    // ---- observation -------------------------------------------------------
    std::vector<UrbRecord> Urbs() const;
    size_t PendingTransfers() const;
    bool Connected() const;
    bool Enabled() const;
    bool Configured() const;
    DEVICE_POWER_STATE PowerState() const;
    bool WaitWakePending() const;
    unsigned IdleCallbacks() const;
    unsigned DirectionMismatches() const;
    // Per-endpoint bus statistics and the virtual bus time.
    BusTiming::EndpointStats EndpointStats(uint8_t endpointAddress) const;
    uint64_t BusTimeNs() const;

private:
    friend class UsbBus;
    struct Impl;
    UsbPort(UsbBus &bus, unsigned number, std::unique_ptr<DeviceModel> model, PortOptions options);

    UsbBus &bus_;
    unsigned number_;
    std::unique_ptr<DeviceModel> model_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<Impl> impl_;
};

// The machine's USB bus: machine.Component<vextora::usb::UsbBus>().
class UsbBus {
public:
    explicit UsbBus(sim::Machine &machine);
    ~UsbBus();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    // Plugs a device into a new port: creates its PDO and reports it to the
    // PnP manager (which adds and starts the function driver, in its own
    // thread; PnpManager::WaitIdle waits for that). Bound thread, PASSIVE.
    UsbPort &Plug(std::unique_ptr<DeviceModel> model, PortOptions options = {});
    // The device leaves the bus: pending transfers fail with
    // STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE), the port reports
    // disconnected and the PnP manager is told (surprise removal, then
    // removal). Bound thread, PASSIVE.
    void Unplug(UsbPort &port);
    // Writes what the capture files hold so far to disk (they are written
    // in blocks otherwise). Any thread.
    void FlushCaptures();
    // Ends every port's threads and deletes the PDOs still present (their
    // stacks must be gone). Called by the destructor; tests may call it
    // earlier. The port objects stay valid until the bus is destroyed.
    void Shutdown();

    sim::Machine &Machine() { return machine_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

private:
    friend class UsbPort;
    sim::Machine &machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    sim::HostMutex mutex_;
    std::vector<std::unique_ptr<UsbPort>> ports_;
    std::map<std::filesystem::path, std::weak_ptr<UsbPcapWriter>> captures_;
};

}  // namespace vextora::usb
