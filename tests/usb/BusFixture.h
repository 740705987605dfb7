// A machine with the test function driver loaded, and helpers to plug
// devices into the simulated bus and build URBs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "UsbTestDriver.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"

namespace usbtest {

class BusFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_ = std::make_unique<sim::Machine>();
        scope_ = std::make_unique<sim::ThreadScope>(*machine_);
        driver_ = LoadTestDriver(*machine_);
    }

    void TearDown() override
    {
        for (UsbPort *port : plugged_) {
            if (port->Connected()) {
                Bus().Unplug(*port);
            }
        }
        Pnp().WaitIdle();
        Bus().Shutdown();
        machine_->UnloadDriver(driver_);
        machine_->CheckForLeaks();
        EXPECT_EQ(machine_->ReportText(), "") << "seed " << machine_->Seed();
        scope_.reset();
        machine_.reset();
    }

    using UsbPort = vextora::usb::UsbPort;
    sim::Machine &M() { return *machine_; }
    vextora::usb::UsbBus &Bus() { return machine_->Component<vextora::usb::UsbBus>(); }
    sim::PnpManager &Pnp() { return machine_->Component<sim::PnpManager>(); }

    UsbPort &Plug(std::unique_ptr<vextora::usb::DeviceModel> model, vextora::usb::PortOptions options = {})
    {
        UsbPort &port = Bus().Plug(std::move(model), std::move(options));
        Pnp().WaitIdle();
        EXPECT_EQ(Pnp().State(port.Pdo()), sim::NodeState::Started);
        plugged_.push_back(&port);
        return port;
    }

    void Unplug(UsbPort &port)
    {
        Bus().Unplug(port);
        Pnp().WaitIdle();
    }

    NTSTATUS Submit(UsbPort &port, URB &urb) { return SubmitUrb(driver_, port.Pdo(), &urb); }

    // Sleeps in virtual time until pred holds (or a virtual second passed).
    template <class Pred> bool WaitFor(Pred pred)
    {
        for (int i = 0; i < 1000 && !pred(); i++) {
            M().Sleep(std::chrono::milliseconds(1));
        }
        return pred();
    }

    PMDL Mdl(std::vector<uint8_t> &buffer)
    {
        return sim::BuildMdlForBuffer(buffer.data(), static_cast<ULONG>(buffer.size()));
    }
    void FreeMdl(PMDL mdl)
    {
        sim::FrameScope frame(sim::FrameKind::Other, driver_);
        IoFreeMdl(mdl);
    }

    static URB Bulk(USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, PMDL mdl, ULONG length)
    {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               buffer, mdl, length, flags, nullptr);
        return urb;
    }
    static URB Class(USHORT function, ULONG flags, UCHAR request, PVOID buffer, ULONG length)
    {
        URB urb{};
        UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                              request, 0, 0, buffer, nullptr, length, nullptr);
        return urb;
    }
    static URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
    {
        URB urb{};
        urb.UrbHeader.Function = function;
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbPipeRequest.PipeHandle = pipe;
        return urb;
    }

    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::ThreadScope> scope_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<UsbPort *> plugged_;
};

}  // namespace usbtest
