// A started Vextora device on the simulated USB bus, driven the way an
// application drives it: through the simulated I/O manager, with an
// interceptor on its port.
#pragma once

#include "driver/Driver.h"
#include "include/vextora.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"
#include "tests/support/PortInterceptor.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace iotest {

using vextora::usb::DeviceModel;
using vextora::usb::PortOptions;
using vextora::usb::UrbRecord;
using vextora::usb::UsbPort;
using vxtest::Rule;
using vxtest::Match;
using vxtest::PortRequest;

// Pipes of the loopback device's interface, in descriptor order.
inline constexpr uint8_t kLoopbackOut = 0x01;
inline constexpr uint8_t kLoopbackIn = 0x81;
inline constexpr uint8_t kLoopbackInterrupt = 0x82;

// A bus failure status for the tests to inject (STATUS_IO_DEVICE_ERROR).
inline constexpr NTSTATUS kIoDeviceError = static_cast<NTSTATUS>(0xC0000185);

inline const Match kTransfers = Match::Urb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);

struct StartOptions {
    PortOptions Port{};
};

class IoFixture : public ::testing::Test {
protected:
    explicit IoFixture(sim::MachineOptions Options = {});
    ~IoFixture() override;

    // Plugs Model and lets the PnP manager add and start the driver.
    void StartDevice(std::unique_ptr<DeviceModel> Model, StartOptions Options = {});
    void StartLoopback(StartOptions Options = {});

    sim::Machine &Machine() { return rig_->Machine(); }
    sim::IoManager &Io() { return rig_->Io(); }
    sim::PnpManager &Pnp() { return rig_->Pnp(); }
    UsbPort &Port() { return *port_; }
    PDEVICE_OBJECT Pdo() { return port_->Pdo(); }
    // The device's interface link, for opens from other threads.
    const std::u16string &Link() const { return rig_->Link(); }
    vxtest::PortInterceptor &Bus() { return *bus_; }
    template <class Model> Model &ModelAs() { return static_cast<Model &>(port_->Model()); }

    // Opens the device (empty name) or a file under its interface link.
    vxio::Status Open(std::u16string_view Name, vxio::Handle *Handle);
    // Opens and expects success.
    vxio::Handle OpenOk(std::u16string_view Name);
    void Close(vxio::Handle Handle);

    struct Answer {
        vxio::Status Status;
        uint32_t Information;
    };
    Answer Control(vxio::Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength, void *Output,
                   uint32_t OutputLength);
    Answer Read(vxio::Handle Handle, void *Buffer, uint32_t Length);
    Answer Write(vxio::Handle Handle, const void *Buffer, uint32_t Length);

    // URBs the bus completed since the last call.
    std::vector<UrbRecord> NewUrbs();

    // The internal requests the driver sent since the interceptor's
    // records were cleared, as keys: the control code, or for an URB the
    // code and the URB function (Key).
    static ULONG Key(ULONG Code, USHORT UrbFunction = 0)
    {
        return Code == IOCTL_INTERNAL_USB_SUBMIT_URB ? (Code << 8) ^ UrbFunction : Code;
    }
    std::vector<ULONG> Sequence();
    // Completes what On covers with Status, or passes it down (nullopt).
    void CompleteOrPass(const Match &On, std::optional<NTSTATUS> Status);
    // Answers the port status request with these bits and the port reset
    // with success, or passes both down (nullopt).
    void AnswerPortStatus(std::optional<ULONG> PortBits);

    // The rig's teardown (a disable of the device) and its checks; the
    // destructor does it when a test has not.
    void Finish() { rig_->ExpectClean(); }

private:
    std::unique_ptr<vxtest::TestRig> rig_;
    std::unique_ptr<vxtest::PortInterceptor> bus_;
    UsbPort *port_ = nullptr;
    size_t urbsSeen_ = 0;
};

}  // namespace iotest
