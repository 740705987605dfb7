// The loopback device the Wine harness's bus driver plays (freestanding, in
// tests/wine/busdriver) against the simulator's loopback model: for the same
// description file both must answer every control request alike, or the
// harness's comparison of Wine with vxsim would compare two devices.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/usb/DeviceDescription.h"
#include "sim/usb/Models.h"
#include "tests/wine/busdriver/LoopbackDevice.h"

namespace {

using vextora::usb::SetupPacket;

class LoopbackDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        description_ = vextora::usb::LoadDeviceDescription(VEXTORA_WINE_DESCRIPTION);
        model_ = vextora::usb::MakeModel(description_);
        const auto &d = description_.Descriptors;
        descriptors_.Device = d.Device.data();
        descriptors_.Configuration = d.Configuration.data();
        for (unsigned i = 0; i < vxbus::Descriptors::kStringSlots; ++i) {
            auto it = d.Strings.find(static_cast<uint8_t>(i));
            descriptors_.Strings[i] = it == d.Strings.end() ? nullptr : it->second.data();
        }
        fifo_.assign(vxbus::LoopbackDevice::kFifoBytes, 0);
        device_ = std::make_unique<vxbus::LoopbackDevice>(descriptors_, fifo_.data());
    }

    vextora::usb::DeviceDescription description_;
    std::unique_ptr<vextora::usb::DeviceModel> model_;
    vxbus::Descriptors descriptors_{};
    std::vector<uint8_t> fifo_;
    std::unique_ptr<vxbus::LoopbackDevice> device_;
};

struct ControlCase {
    const char *what;
    uint8_t requestType, request;
    uint16_t value, index, length;
    std::vector<uint8_t> out;  // host-to-device data
};

TEST_F(LoopbackDeviceTest, AnswersEveryControlRequestAsTheSimulatorModel)
{
    const ControlCase cases[] = {
        {"device descriptor", 0x80, 6, 0x0100, 0, 18, {}},
        {"device descriptor, first 8 bytes", 0x80, 6, 0x0100, 0, 8, {}},
        {"device descriptor, index 1", 0x80, 6, 0x0101, 0, 18, {}},
        {"configuration, whole", 0x80, 6, 0x0200, 0, 255, {}},
        {"configuration, header", 0x80, 6, 0x0200, 0, 9, {}},
        {"configuration, index 1", 0x80, 6, 0x0201, 0, 255, {}},
        {"LANGID list", 0x80, 6, 0x0300, 0, 255, {}},
        {"LANGID list, bLength only", 0x80, 6, 0x0300, 0, 2, {}},
        {"manufacturer", 0x80, 6, 0x0301, 0x0409, 255, {}},
        {"product, first 4 bytes", 0x80, 6, 0x0302, 0x0409, 4, {}},
        {"serial number", 0x80, 6, 0x0303, 0x0409, 255, {}},
        {"string in an unlisted language", 0x80, 6, 0x0302, 0x0407, 255, {}},
        {"string the device lacks", 0x80, 6, 0x0307, 0x0409, 255, {}},
        {"string past the slots", 0x80, 6, 0x03C8, 0x0409, 255, {}},
        {"descriptor type 0x22", 0x80, 6, 0x2200, 0, 64, {}},
        {"get descriptor to the interface", 0x81, 6, 0x0100, 0, 18, {}},
        {"get status", 0x80, 0, 0, 0, 2, {}},
        {"class block", 0xA1, 0, 0, 0, 64, {}},
        {"class block, shorter than the block", 0xA1, 0, 0, 0, 10, {}},
        {"class short answer", 0xA1, 1, 0, 0, 8, {}},
        {"class short answer, 1 byte", 0xA1, 1, 0, 0, 1, {}},
        {"class other write", 0x23, 2, 0, 0, 3, {1, 2, 3}},
        {"class other write, no data", 0x23, 2, 0, 0, 0, {}},
        {"unknown class request", 0xA1, 5, 0, 0, 8, {}},
        {"class request to the device", 0xA0, 0, 0, 0, 8, {}},
        {"vendor request", 0xC0, 1, 0, 0, 8, {}},
        {"set configuration 2", 0x00, 9, 2, 0, 0, {}},
        {"set configuration 1", 0x00, 9, 1, 0, 0, {}},
        {"get configuration", 0x80, 8, 0, 0, 1, {}},
        {"set configuration 0", 0x00, 9, 0, 0, 0, {}},
        {"get configuration, unconfigured", 0x80, 8, 0, 0, 1, {}},
    };
    for (const ControlCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> simData = c.out.empty() ? std::vector<uint8_t>(c.length, 0xEE) : c.out;
        std::vector<uint8_t> busData = simData;
        const SetupPacket setup{c.requestType, c.request, c.value, c.index, c.length};
        const vextora::usb::Result sim = model_->Control(setup, simData);
        const vxbus::Outcome bus =
            device_->Control({c.requestType, c.request, c.value, c.index, c.length}, busData.data(),
                             static_cast<uint32_t>(busData.size()));
        const bool simStalled = sim.Kind == vextora::usb::Outcome::Stall;
        ASSERT_EQ(simStalled, bus.Stalled);
        if (!simStalled) {
            EXPECT_EQ(sim.Actual, bus.Bytes);
            EXPECT_EQ(simData, busData);
        }
    }
}

TEST_F(LoopbackDeviceTest, LoopsBulkDataBackInOrderAndReportsTheLevel)
{
    device_->Configure(1);
    std::vector<uint8_t> sent(1000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(device_->Transfer(0x01, sent.data(), 600).Bytes, 600u);
    ASSERT_EQ(device_->Transfer(0x01, sent.data() + 600, 400).Bytes, 400u);

    uint8_t level[2] = {};
    vxbus::Outcome report = device_->Transfer(0x82, level, sizeof level);
    ASSERT_FALSE(report.Stalled);
    EXPECT_EQ(report.Bytes, 2u);
    EXPECT_EQ(level[0] | (level[1] << 8), 1000);

    std::vector<uint8_t> got(1000);
    EXPECT_EQ(device_->Transfer(0x81, got.data(), 512).Bytes, 512u);
    EXPECT_EQ(device_->Transfer(0x81, got.data() + 512, 1000).Bytes, 488u);  // a short packet: all there is
    EXPECT_EQ(got, sent);
    const vxbus::Outcome empty = device_->Transfer(0x81, got.data(), 64);
    EXPECT_EQ(empty.Bytes, 0u);
    EXPECT_TRUE(empty.Nak) << "an empty FIFO must make the read wait, not end it";
}

TEST_F(LoopbackDeviceTest, FifoKeepsOrderAcrossTheWrapAndRefusesWhatDoesNotFit)
{
    device_->Configure(1);
    const uint32_t capacity = vxbus::LoopbackDevice::kFifoBytes;
    std::vector<uint8_t> block(capacity - 100);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(device_->Transfer(0x01, block.data(), static_cast<uint32_t>(block.size())).Bytes, block.size());
    std::vector<uint8_t> drained(block.size());
    ASSERT_EQ(device_->Transfer(0x81, drained.data(), static_cast<uint32_t>(drained.size())).Bytes, block.size());

    // The next write starts 100 bytes before the end of the storage.
    std::vector<uint8_t> more(capacity + 50);
    for (size_t i = 0; i < more.size(); ++i)
        more[i] = static_cast<uint8_t>(255 - i % 251);
    EXPECT_EQ(device_->Transfer(0x01, more.data(), static_cast<uint32_t>(more.size())).Bytes, capacity);
    EXPECT_EQ(device_->FifoLevel(), capacity);
    uint8_t one = 0;
    EXPECT_EQ(device_->Transfer(0x01, &one, 1).Bytes, 0u);  // full: nothing taken

    std::vector<uint8_t> back(capacity);
    ASSERT_EQ(device_->Transfer(0x81, back.data(), capacity).Bytes, capacity);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), more.begin()));
}

TEST_F(LoopbackDeviceTest, EndpointsExistOnlyWhileConfiguredAndOnlyThoseDescribed)
{
    uint8_t byte = 0;
    EXPECT_TRUE(device_->Transfer(0x81, &byte, 1).Stalled);  // unconfigured
    device_->Configure(1);
    EXPECT_FALSE(device_->Transfer(0x81, &byte, 1).Stalled);
    EXPECT_TRUE(device_->Transfer(0x83, &byte, 1).Stalled);
    EXPECT_TRUE(device_->Transfer(0x02, &byte, 1).Stalled);
    device_->Configure(0);
    EXPECT_TRUE(device_->Transfer(0x01, &byte, 1).Stalled);
}

TEST_F(LoopbackDeviceTest, FindsInterfacesAndTheirEndpointsInTheConfiguration)
{
    const uint8_t *interface0 = device_->FindInterface(0, 0);
    ASSERT_NE(interface0, nullptr);
    EXPECT_EQ(interface0[1], 4);
    EXPECT_EQ(interface0[4], 3);  // bNumEndpoints
    const uint8_t expected[] = {0x01, 0x81, 0x82};
    for (unsigned k = 0; k < 3; ++k) {
        const uint8_t *endpoint = device_->FindEndpoint(interface0, k);
        ASSERT_NE(endpoint, nullptr);
        EXPECT_EQ(endpoint[2], expected[k]);
    }
    EXPECT_EQ(device_->FindEndpoint(interface0, 3), nullptr);
    EXPECT_EQ(device_->FindInterface(0, 1), nullptr);
    EXPECT_EQ(device_->FindInterface(1, 0), nullptr);
    EXPECT_EQ(device_->ConfigurationLength(), description_.Descriptors.Configuration.size());
}

}  // namespace
