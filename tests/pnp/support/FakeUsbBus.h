// A hand-written stand-in for the USB bus driver under the driver's FDO: it
// owns the PDO, answers the PnP, power and internal device-control requests
// the driver sends down and serves one device's descriptors, leniently: what
// is malformed is served as it is. The fixture's port interceptor records
// what crosses the boundary and fails requests by rule; the fake itself
// shapes the Nth URB's answer and holds URBs that later complete served.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/sim/SimPlatform.h"
#include "sim/kernel/Machine.h"
#include "tests/support/PortInterceptor.h"

namespace vxtest {

// What the fake does with an URB: the default answer, or a status (and,
// for descriptor reads, a different byte count reported).
struct UrbAnswer {
    NTSTATUS Status = STATUS_SUCCESS;
    std::optional<ULONG> ReportedLength;
    // A second configuration read gets these bytes instead (a device that
    // changes its mind between the two reads).
    std::optional<std::vector<uint8_t>> ConfigurationBytes;

    static UrbAnswer Failing(NTSTATUS Status)
    {
        UrbAnswer answer;
        answer.Status = Status;
        return answer;
    }
    static UrbAnswer Reporting(ULONG Length)
    {
        UrbAnswer answer;
        answer.ReportedLength = Length;
        return answer;
    }
    static UrbAnswer Serving(std::vector<uint8_t> Bytes)
    {
        UrbAnswer answer;
        answer.ConfigurationBytes = std::move(Bytes);
        return answer;
    }
};

class FakeUsbBus {
public:
    explicit FakeUsbBus(sim::Machine &Machine);
    ~FakeUsbBus();
    FakeUsbBus(const FakeUsbBus &) = delete;
    FakeUsbBus &operator=(const FakeUsbBus &) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The device is gone for good; called once the stack above is removed.
    void DeletePdo();

    // The device served: 18-byte device descriptor and the configuration
    // descriptor at index 0.
    void SetDescriptors(std::vector<uint8_t> Device, std::vector<uint8_t> Configuration);

    // Consulted for every URB, with its 1-based number since the last
    // RestartCount; nothing means the default answer.
    std::function<std::optional<UrbAnswer>(const PortRequest &, size_t Number)> UrbFault;
    void RestartCount();

    // The port's status word.
    ULONG PortStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;

    // DeviceState array answered to a capabilities query (S0 .. S5).
    DEVICE_POWER_STATE SleepStates[3] = {PowerDeviceD2, PowerDeviceD3, PowerDeviceD3};
    bool ClearSurpriseRemovalOk = false;

    // While set, URB requests (other than aborts) are held pending until
    // CompleteHeld. Bulk and interrupt transfers are always held until an
    // abort of their pipe or CompleteHeld.
    bool HoldUrbs = false;
    size_t HeldCount() const;
    // Completes every held request with its default answer at DISPATCH_LEVEL.
    void CompleteHeld();

    // Dispatch entry, public for the C callback.
    NTSTATUS Dispatch(PIRP Irp);
    void CancelWaitWake(PIRP Irp);

private:
    NTSTATUS HandlePnp(PIRP Irp);
    NTSTATUS HandlePower(PIRP Irp);
    NTSTATUS HandleInternal(PIRP Irp);
    // Carries out the URB; returns its status and sets *Information.
    NTSTATUS ServeUrb(PURB Urb, const UrbAnswer &Answer);
    void SelectConfiguration(PURB Urb);

    sim::Machine &machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<uint8_t> device_;
    std::vector<uint8_t> configuration_;
    size_t urbCount_ = 0;
    struct Held {
        PIRP Irp;
        UrbAnswer Answer;
    };
    std::deque<Held> held_;
    std::vector<PIRP> waitWakes_;
    uintptr_t nextHandle_ = 0x1000;
};

// The interfaces a SELECT_CONFIGURATION URB lists (none when it
// unconfigures), with their alternate settings and the MaximumTransferSize
// asked for each pipe.
struct SelectedInterface {
    UCHAR Number;
    UCHAR Alternate;
    std::vector<ULONG> MaximumTransferSizes;
};
std::vector<SelectedInterface> SelectedInterfaces(const PortRequest &Select);

// Byte helpers for building descriptors in tests.
std::vector<uint8_t> DeviceDescriptorBytes();
std::vector<uint8_t> ConfigurationBytes(std::initializer_list<std::vector<uint8_t>> Parts,
                                        uint8_t NumInterfaces, uint8_t Attributes = 0x80);
std::vector<uint8_t> InterfaceBytes(uint8_t Number, uint8_t Alternate, uint8_t Endpoints);
std::vector<uint8_t> EndpointBytes(uint8_t Address, uint8_t Attributes = 0x02,
                                   uint16_t MaxPacket = 64);

}  // namespace vxtest
