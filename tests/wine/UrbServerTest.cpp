// The Wine harness's bus: how it carries out the URBs vextora.sys submits.
// Under Wine only the configuration and control paths run (reads and writes
// cannot), so the transfer paths are held to the bus's contract here, with
// URBs laid out the way the USB driver library lays them out.
#include <algorithm>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/usb/DeviceDescription.h"
#include "tests/wine/busdriver/UrbServer.h"

namespace {

class UrbServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        description_ = vextora::usb::LoadDeviceDescription(VEXTORA_WINE_DESCRIPTION);
        auto &d = description_.Descriptors;
        descriptors_.Device = d.Device.data();
        descriptors_.Configuration = d.Configuration.data();
        for (unsigned i = 0; i < vxbus::Descriptors::kStringSlots; ++i) {
            auto it = d.Strings.find(static_cast<uint8_t>(i));
            descriptors_.Strings[i] = it == d.Strings.end() ? nullptr : it->second.data();
        }
        fifo_.assign(vxbus::LoopbackDevice::kFifoBytes, 0);
        device_ = std::make_unique<vxbus::LoopbackDevice>(descriptors_, fifo_.data());
        port_ = vxbus::Port{};
        port_.Device = device_.get();
        port_.Connected = true;
    }

    // A select-configuration URB for interface 0 with room for `pipes`
    // pipes, as USBD_CreateConfigurationRequestEx builds it.
    std::vector<uint64_t> SelectUrb(ULONG pipes, UCHAR alternate = 0)
    {
        const size_t interfaceLength =
            sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
        const size_t urbLength = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) + interfaceLength;
        // Never smaller than the URB union itself, which the casts below name.
        std::vector<uint64_t> storage((std::max(urbLength, sizeof(URB)) + 7) / 8, 0);
        auto *urb = reinterpret_cast<PURB>(storage.data());
        urb->UrbHeader.Length = static_cast<USHORT>(urbLength);
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor =
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(description_.Descriptors.Configuration.data());
        urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(interfaceLength);
        urb->UrbSelectConfiguration.Interface.AlternateSetting = alternate;
        urb->UrbSelectConfiguration.Interface.NumberOfPipes = pipes;
        return storage;
    }

    // Selects the configuration; returns the three pipes' handles.
    std::vector<USBD_PIPE_HANDLE> Configure()
    {
        auto storage = SelectUrb(3);
        auto *urb = reinterpret_cast<PURB>(storage.data());
        EXPECT_EQ(vxbus::SubmitUrb(&port_, urb), STATUS_SUCCESS);
        std::vector<USBD_PIPE_HANDLE> handles;
        for (int k = 0; k < 3; ++k)
            handles.push_back(urb->UrbSelectConfiguration.Interface.Pipes[k].PipeHandle);
        return handles;
    }

    NTSTATUS Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, std::vector<uint8_t> &data, ULONG *moved = nullptr,
                      USBD_STATUS *usbd = nullptr)
    {
        URB urb{};
        urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
        urb.UrbBulkOrInterruptTransfer.TransferBuffer = data.data();
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(data.size());
        const NTSTATUS status = vxbus::SubmitUrb(&port_, &urb);
        if (moved != nullptr)
            *moved = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (usbd != nullptr)
            *usbd = urb.UrbHeader.Status;
        return status;
    }

    vextora::usb::DeviceDescription description_;
    vxbus::Descriptors descriptors_{};
    std::vector<uint8_t> fifo_;
    std::unique_ptr<vxbus::LoopbackDevice> device_;
    vxbus::Port port_{};
};

TEST_F(UrbServerTest, SelectConfigurationDescribesTheInterfaceAndItsPipes)
{
    auto storage = SelectUrb(3);
    auto *urb = reinterpret_cast<PURB>(storage.data());
    urb->UrbSelectConfiguration.Interface.Pipes[1].MaximumTransferSize = 4096;
    ASSERT_EQ(vxbus::SubmitUrb(&port_, urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    const USBD_INTERFACE_INFORMATION &info = urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(info.Class, 0xFF);
    EXPECT_EQ(info.NumberOfPipes, 3u);
    EXPECT_NE(info.InterfaceHandle, nullptr);
    struct {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT maxPacket;
        UCHAR interval;
    } expected[] = {{0x01, UsbdPipeTypeBulk, 512, 0}, {0x81, UsbdPipeTypeBulk, 512, 0}, {0x82, UsbdPipeTypeInterrupt, 8, 4}};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(info.Pipes[k].EndpointAddress, expected[k].address);
        EXPECT_EQ(info.Pipes[k].PipeType, expected[k].type);
        EXPECT_EQ(info.Pipes[k].MaximumPacketSize, expected[k].maxPacket);
        EXPECT_EQ(info.Pipes[k].Interval, expected[k].interval);
        EXPECT_NE(info.Pipes[k].PipeHandle, nullptr);
    }
    EXPECT_NE(info.Pipes[0].PipeHandle, info.Pipes[1].PipeHandle);
    // What the driver asked for stays; an unset size gets the default.
    EXPECT_EQ(info.Pipes[1].MaximumTransferSize, 4096u);
    EXPECT_EQ(info.Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(device_->ConfigurationValue(), 1);
}

TEST_F(UrbServerTest, SelectConfigurationRefusesWhatItCannotFill)
{
    struct Case {
        const char *what;
        void (*damage)(PURB, std::vector<uint8_t> &);
        USBD_STATUS usbd;
    } cases[] = {
        {"header only", [](PURB urb, std::vector<uint8_t> &) { urb->UrbHeader.Length = sizeof(_URB_HEADER); },
         USBD_STATUS_INVALID_PARAMETER},
        {"another configuration value",
         [](PURB urb, std::vector<uint8_t> &config) {
             config[5] = 2;
             urb->UrbSelectConfiguration.ConfigurationDescriptor =
                 reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
         },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
        {"interface record longer than the URB",
         [](PURB urb, std::vector<uint8_t> &) { urb->UrbSelectConfiguration.Interface.Length += 64; },
         USBD_STATUS_INVALID_PARAMETER},
        {"no room for the pipes",
         [](PURB urb, std::vector<uint8_t> &) {
             urb->UrbSelectConfiguration.Interface.Length -= 2 * sizeof(USBD_PIPE_INFORMATION);
             urb->UrbHeader.Length -= 2 * sizeof(USBD_PIPE_INFORMATION);
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"alternate setting the device lacks",
         [](PURB urb, std::vector<uint8_t> &) { urb->UrbSelectConfiguration.Interface.AlternateSetting = 1; },
         USBD_STATUS_INTERFACE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto storage = SelectUrb(3);
        auto *urb = reinterpret_cast<PURB>(storage.data());
        std::vector<uint8_t> config = description_.Descriptors.Configuration;
        c.damage(urb, config);
        EXPECT_EQ(vxbus::SubmitUrb(&port_, urb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
        EXPECT_EQ(device_->ConfigurationValue(), 0);
    }
}

TEST_F(UrbServerTest, BulkDataLoopsBackAndShortReadsNeedTheFlag)
{
    auto pipes = Configure();
    // Nothing to read yet: the read waits (the device NAKs), the URB as it
    // was given, to be submitted again.
    std::vector<uint8_t> early(16);
    ULONG moved = 0;
    USBD_STATUS untouched = 0x12345678;
    EXPECT_EQ(Transfer(pipes[1], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, early, &moved, &untouched),
              STATUS_PENDING);
    EXPECT_EQ(moved, 16u);
    EXPECT_EQ(untouched, 0u);  // the fresh URB's status, not written

    std::vector<uint8_t> out(100);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(Transfer(pipes[0], 0, out, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 100u);

    std::vector<uint8_t> report(8);
    ASSERT_EQ(Transfer(pipes[2], USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, report, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(report[0], 100);

    std::vector<uint8_t> in(60);
    ASSERT_EQ(Transfer(pipes[1], USBD_TRANSFER_DIRECTION_IN, in, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 60u);
    std::vector<uint8_t> rest(60);
    USBD_STATUS usbd = 0;
    // 40 bytes left: short without USBD_SHORT_TRANSFER_OK is an error, and
    // the bytes that came are still counted.
    EXPECT_EQ(Transfer(pipes[1], USBD_TRANSFER_DIRECTION_IN, rest, &moved, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(moved, 40u);
    in.insert(in.end(), rest.begin(), rest.begin() + 40);
    EXPECT_EQ(in, out);

    // The direction is the endpoint's.
    EXPECT_EQ(Transfer(pipes[0], USBD_TRANSFER_DIRECTION_IN, rest, nullptr, &usbd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Transfer(pipes[1], 0, rest, nullptr, &usbd), STATUS_INVALID_PARAMETER);
}

TEST_F(UrbServerTest, PipeHandlesDieWithTheirConfiguration)
{
    auto pipes = Configure();
    URB unconfigure{};
    unconfigure.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    ASSERT_EQ(vxbus::SubmitUrb(&port_, &unconfigure), STATUS_SUCCESS);
    EXPECT_EQ(device_->ConfigurationValue(), 0);

    std::vector<uint8_t> data(8);
    USBD_STATUS usbd = 0;
    EXPECT_EQ(Transfer(pipes[0], 0, data, nullptr, &usbd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbd, USBD_STATUS_INVALID_PIPE_HANDLE);

    auto fresh = Configure();
    for (USHORT function : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}) {
        SCOPED_TRACE(function);
        URB request{};
        request.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        request.UrbHeader.Function = function;
        request.UrbPipeRequest.PipeHandle = pipes[1];  // from the released configuration
        EXPECT_EQ(vxbus::SubmitUrb(&port_, &request), STATUS_INVALID_PARAMETER);
        request.UrbPipeRequest.PipeHandle = fresh[1];
        EXPECT_EQ(vxbus::SubmitUrb(&port_, &request), STATUS_SUCCESS);
        request.UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(&data);
        EXPECT_EQ(vxbus::SubmitUrb(&port_, &request), STATUS_INVALID_PARAMETER);
    }
}

TEST_F(UrbServerTest, ControlRequestsGoToTheDeviceWithTheirSetupPacket)
{
    struct Case {
        const char *what;
        USHORT function;
        ULONG flags;
        UCHAR request;
        ULONG length;
        NTSTATUS status;
        ULONG moved;
    } cases[] = {
        {"class block", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 64,
         STATUS_SUCCESS, 24},
        {"class block, short without the flag", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0, 64,
         STATUS_UNSUCCESSFUL, 24},
        {"class short answer", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 1,
         8, STATUS_SUCCESS, 2},
        {"class other write", URB_FUNCTION_CLASS_OTHER, 0, 2, 3, STATUS_SUCCESS, 3},
        {"class write to the interface: stalled", URB_FUNCTION_CLASS_INTERFACE, 0, 2, 3, STATUS_UNSUCCESSFUL, 0},
        {"vendor request: stalled", URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, 8,
         STATUS_UNSUCCESSFUL, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> data(c.length, 0xAB);
        URB urb{};
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        urb.UrbHeader.Function = c.function;
        urb.UrbControlVendorClassRequest.TransferFlags = c.flags;
        urb.UrbControlVendorClassRequest.Request = c.request;
        urb.UrbControlVendorClassRequest.TransferBuffer = data.data();
        urb.UrbControlVendorClassRequest.TransferBufferLength = c.length;
        EXPECT_EQ(vxbus::SubmitUrb(&port_, &urb), c.status);
        EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, c.moved);
        if (c.request == 0 && c.status == STATUS_SUCCESS) {
            EXPECT_EQ(data[0], 0);
            EXPECT_EQ(data[1], 24);  // the block's big-endian length counts itself
        }
    }

    std::vector<uint8_t> string(255);
    URB descriptor{};
    descriptor.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    descriptor.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    descriptor.UrbControlDescriptorRequest.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
    descriptor.UrbControlDescriptorRequest.Index = 3;
    descriptor.UrbControlDescriptorRequest.LanguageId = 0x0409;
    descriptor.UrbControlDescriptorRequest.TransferBuffer = string.data();
    descriptor.UrbControlDescriptorRequest.TransferBufferLength = 255;
    ASSERT_EQ(vxbus::SubmitUrb(&port_, &descriptor), STATUS_SUCCESS);
    EXPECT_EQ(descriptor.UrbControlDescriptorRequest.TransferBufferLength, 14u);
    EXPECT_EQ(std::vector<uint8_t>(string.begin(), string.begin() + 14), description_.Descriptors.Strings.at(3));
}

TEST_F(UrbServerTest, RefusesUnknownFunctionsMissingUrbsAndAnEmptyPort)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_HEADER);
    urb.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    EXPECT_EQ(vxbus::SubmitUrb(&port_, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(vxbus::SubmitUrb(&port_, nullptr), STATUS_INVALID_PARAMETER);
    port_.Connected = false;
    auto storage = SelectUrb(3);
    auto *select = reinterpret_cast<PURB>(storage.data());
    EXPECT_EQ(vxbus::SubmitUrb(&port_, select), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

}  // namespace
