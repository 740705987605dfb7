// The test rig with the test function driver loaded in place of vextora, and
// helpers to plug devices into the simulated bus and build URBs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "UsbTestDriver.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"
#include "tests/support/TestRig.h"

namespace usbtest {

class BusFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::RigOptions options;
        options.Driver = {kTestDriverName, TestDriverEntry, u"", nullptr};
        rig_ = std::make_unique<vxtest::TestRig>(options, vx::Removal::Unplug);
        driver_ = rig_->Driver();
    }

    void TearDown() override { rig_.reset(); }

    using UsbPort = vextora::usb::UsbPort;
    sim::Machine &M() { return rig_->Machine(); }
    vextora::usb::UsbBus &Bus() { return rig_->Bus(); }
    sim::PnpManager &Pnp() { return rig_->Pnp(); }

    UsbPort &Plug(std::unique_ptr<vextora::usb::DeviceModel> model, vextora::usb::PortOptions options = {})
    {
        UsbPort &port = rig_->Plug(std::move(model), std::move(options));
        EXPECT_EQ(Pnp().State(port.Pdo()), sim::NodeState::Started);
        return port;
    }

    void Unplug(UsbPort &port)
    {
        Bus().Unplug(port);
        Pnp().WaitIdle();
    }

    NTSTATUS Submit(UsbPort &port, URB &urb) { return SubmitUrb(driver_, port.Pdo(), &urb); }

    // Sleeps in virtual time until pred holds (or a virtual second passed).
    template <class Pred> bool WaitFor(Pred pred) { return rig_->WaitUntil(pred, std::chrono::seconds(1)); }

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

    std::unique_ptr<vxtest::TestRig> rig_;
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace usbtest
