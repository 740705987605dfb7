// The capture file decodes in tshark: descriptors, setup packets and bulk
// payloads.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sim/usb/Models.h"
#include "sim/usb/UsbPcap.h"
#include "Tshark.h"

using namespace vextora::usb;

using usbtest::HaveTshark;
using usbtest::RunTshark;

TEST(UsbPcap, TsharkDecodesDescriptorsSetupAndBulkPayload)
{
    if (!HaveTshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("vextora-pcap-" + std::to_string(::getpid()) + ".pcap");
    auto desc = LoopbackDescriptors();
    {
        UsbPcapWriter w(path, 1);
        SetupPacket get{0x80, 6, 0x0100, 0, 18};
        w.ControlSubmit(3, 0x1000, 1000, 0x000b, get, {});
        w.ControlComplete(3, 0x1000, 2000, 0x000b, 0, 0x80, desc.Device);
        SetupPacket cls{0x23, 2, 0, 0, 3};
        const uint8_t other[] = {0xDE, 0xAD, 0x01};
        w.ControlSubmit(3, 0x1001, 3000, 0x001f, cls, other);
        w.ControlComplete(3, 0x1001, 4000, 0x001f, 0, 0x00, {});
        const uint8_t payload[] = {0xCA, 0xFE, 0xBA, 0xBE, 0x42};
        w.TransferSubmit(3, 0x1002, 5000, UsbPcapWriter::Transfer::Bulk, 0x01, payload);
        w.TransferComplete(3, 0x1002, 6000, UsbPcapWriter::Transfer::Bulk, 0x01, 0, {});
        w.TransferSubmit(3, 0x1003, 7000, UsbPcapWriter::Transfer::Bulk, 0x81, {});
        w.TransferComplete(3, 0x1003, 8000, UsbPcapWriter::Transfer::Bulk, 0x81, 0, payload);
        w.TransferComplete(3, 0x1004, 9000, UsbPcapWriter::Transfer::Bulk, 0x81,
                           int32_t(0xC0000004), {});
        EXPECT_EQ(w.Packets(), 10u);
    }
    const std::string out = RunTshark(path);
    std::filesystem::remove(path);
    for (const char *want : {
             "USBPcap",
             "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE",
             "bDescriptorType: 0x01",       // the setup packet asks for the device descriptor
             "DEVICE DESCRIPTOR",           // and the answer decodes as one
             "idVendor",
             "bcdUSB: 0x0200",
             "URB_FUNCTION_CLASS_OTHER",
             "bRequest: 2",
             "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER",
             "URB_BULK",
             "cafebabe42",
             "USBD_STATUS_STALL_PID",
         }) {
        EXPECT_NE(out.find(want), std::string::npos) << "missing '" << want << "' in:\n" << out;
    }
}
