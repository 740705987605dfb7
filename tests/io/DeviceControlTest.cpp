// The eight control codes, with good and bad lengths, the setup packets they
// put on the bus, and device answers that break their format.
#include "tests/io/IoFixture.h"
#include "tests/io/TestDevices.h"

namespace iotest {
namespace {

using vextora::usb::Action;
using vextora::usb::LoopbackModel;
using vextora::usb::ScriptedModel;
using vextora::usb::SetupPacket;

class DeviceControl : public IoFixture {
protected:
    // Setup packets of the control transfers the bus completed since the
    // last call.
    std::vector<SetupPacket> NewSetups()
    {
        std::vector<SetupPacket> setups;
        for (const UrbRecord &urb : NewUrbs()) {
            if (urb.Setup) {
                setups.push_back(*urb.Setup);
            }
        }
        return setups;
    }
};

TEST_F(DeviceControl, ConfigurationDescriptorNeedsItsWholeLength)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    const std::vector<uint8_t> expected = vextora::usb::LoopbackDescriptors().Configuration;
    const uint32_t total = static_cast<uint32_t>(expected.size());
    std::vector<uint8_t> buffer(total + 8, 0xCC);

    Answer answer = Control(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total - 1);
    EXPECT_EQ(answer.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(answer.Information, 0u);
    EXPECT_EQ(buffer[0], 0xCC);

    answer = Control(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total + 8);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, total);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    EXPECT_TRUE(NewUrbs().empty());  // served from the copy read at start
}

TEST_F(DeviceControl, CodesAreComparedWhole)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    uint8_t buffer[64] = {};
    const uint32_t codes[] = {
        0x00220001,  // function 0, METHOD_IN_DIRECT
        0x00220003,  // function 0, METHOD_NEITHER
        0x00224000,  // function 0, FILE_READ_ACCESS
        0x00228018,  // function 6, FILE_WRITE_ACCESS
        0x00230000,  // another device type
        0x00220020,  // function 8
    };
    for (uint32_t code : codes) {
        Answer answer = Control(device, code, nullptr, 0, buffer, sizeof buffer);
        EXPECT_EQ(answer.Status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(answer.Information, 0u);
    }
    EXPECT_TRUE(NewUrbs().empty());
}

struct BlockCase {
    const char *What;
    std::vector<uint8_t> Answer;
    uint32_t OutputLength;
    vxio::Status Status;
    uint32_t Information;
};

std::vector<uint8_t> Block(std::vector<uint8_t> head, size_t payload)
{
    for (size_t i = 0; i < payload; ++i) {
        head.push_back(static_cast<uint8_t>(0x30 + i));
    }
    return head;
}

TEST_F(DeviceControl, ClassReadBlockAnswers)
{
    StartDevice(ScriptedLoopback());
    vxio::Handle device = OpenOk(u"");
    const BlockCase cases[] = {
        {"header 10, 8 payload bytes", Block({0x00, 0x0A}, 8), 64, STATUS_SUCCESS, 8},
        {"header 2", {0x00, 0x02}, 64, STATUS_SUCCESS, 0},
        {"header 66 fills L", Block({0x00, 0x42}, 64), 64, STATUS_SUCCESS, 64},
        {"header 67", Block({0x00, 0x43}, 64), 64, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"header 256, big-endian", Block({0x01, 0x00}, 64), 64, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"header 1", {0x00, 0x01}, 64, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"header 0", {0x00, 0x00}, 64, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"answer shorter than its header", Block({0x00, 0x0A}, 3), 64, STATUS_DEVICE_DATA_ERROR, 0},
        {"one byte", {0x00}, 64, STATUS_DEVICE_DATA_ERROR, 0},
        {"L 0", {0x00, 0x02}, 0, STATUS_SUCCESS, 0},
    };
    for (const BlockCase &c : cases) {
        SCOPED_TRACE(c.What);
        ModelAs<ScriptedModel>().OnControl(0xA1, 0, Action::Reply(c.Answer));
        std::vector<uint8_t> output(c.OutputLength + 4, 0xCC);
        Answer answer = Control(device, IOCTL_CLASS_READ_BLOCK, nullptr, 0, output.data(), c.OutputLength);
        EXPECT_EQ(answer.Status, c.Status);
        EXPECT_EQ(answer.Information, c.Information);
        if (c.Status == STATUS_SUCCESS) {
            EXPECT_TRUE(std::equal(output.begin(), output.begin() + c.Information, c.Answer.begin() + 2));
        }
        std::vector<SetupPacket> setups = NewSetups();
        ASSERT_EQ(setups.size(), 1u);
        EXPECT_EQ(setups[0], (SetupPacket{0xA1, 0, 0, 0, static_cast<uint16_t>(c.OutputLength + 2)}));
    }
}

TEST_F(DeviceControl, ClassReadAndOtherWrite)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    ModelAs<LoopbackModel>().SetShortAnswer({0x42, 0x43, 0x44});
    uint8_t output[16] = {};
    Answer answer = Control(device, IOCTL_CLASS_READ, nullptr, 0, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 1u);  // the value 1, not the three bytes received
    EXPECT_EQ(output[0], 0x42);
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0xA1, 1, 0, 0, 16}}));
    // A device that answers with no data: the byte the value 1 would make
    // the I/O manager copy back was never sent. (The interceptor answers for
    // the device: the models cannot take a zero-length IN data stage yet.)
    const Match classInterface = Match::Urb(URB_FUNCTION_CLASS_INTERFACE);
    Bus().Set(classInterface, Rule::Answer([](PIRP Irp) {
                  vxtest::UrbOf(Irp)->UrbControlVendorClassRequest.TransferBufferLength = 0;
                  return STATUS_SUCCESS;
              }));
    answer = Control(device, IOCTL_CLASS_READ, nullptr, 0, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 0u);
    // An output length of 0: the request still goes out, and nothing is
    // returned.
    Bus().ClearRequests();
    answer = Control(device, IOCTL_CLASS_READ, nullptr, 0, nullptr, 0);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 0u);
    std::vector<PortRequest> calls = Bus().Requests(classInterface);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Urb().UrbControlVendorClassRequest.TransferBufferLength, 0u);
    EXPECT_EQ(calls[0].Urb().UrbControlVendorClassRequest.TransferFlags,
              static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    Bus().Clear(classInterface);

    // The data is the input; its length is the output length.
    const uint8_t data[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    uint8_t sink[10] = {};
    answer = Control(device, IOCTL_CLASS_OTHER_WRITE, data, 10, sink, 10);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 0u);
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0x23, 2, 0, 0, 10}}));
    answer = Control(device, IOCTL_CLASS_OTHER_WRITE, data, 10, sink, 6);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0x23, 2, 0, 0, 6}}));
    answer = Control(device, IOCTL_CLASS_OTHER_WRITE, nullptr, 0, nullptr, 0);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0x23, 2, 0, 0, 0}}));
    const auto &writes = ModelAs<LoopbackModel>().OtherWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], std::vector<uint8_t>(data, data + 10));
    EXPECT_EQ(writes[1], std::vector<uint8_t>(data, data + 6));
    EXPECT_TRUE(writes[2].empty());

    // Fewer input bytes than the output length says to send: refused before
    // anything reaches the bus.
    answer = Control(device, IOCTL_CLASS_OTHER_WRITE, data, 5, sink, 10);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    answer = Control(device, IOCTL_CLASS_OTHER_WRITE, nullptr, 0, sink, 10);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(NewSetups().empty());
    EXPECT_EQ(writes.size(), 3u);
}

TEST_F(DeviceControl, DeviceDescriptorIsReadFromTheDeviceEachTime)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    const std::vector<uint8_t> expected = vextora::usb::LoopbackDescriptors().Device;
    uint8_t output[32] = {};
    Answer answer = Control(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 18u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), output));
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0x80, 6, 0x0100, 0, 18}}));

    // 17 bytes of output: the device is still read, then the request fails.
    answer = Control(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, output, 17);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(answer.Information, 0u);
    EXPECT_EQ(NewSetups().size(), 1u);
}

TEST_F(DeviceControl, StringDescriptorsAsTheDeviceSendsThem)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    const uint8_t langids[4] = {0, 0, 0, 0};
    uint8_t output[256] = {};
    Answer answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, langids, 4, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 4u);
    EXPECT_EQ(std::vector<uint8_t>(output, output + 4), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0x80, 6, 0x0300, 0, 4}, {0x80, 6, 0x0300, 0, 4}}));

    const VEXTORA_STRING_REQUEST product = {2, 0xEE, 0x09, 0x04};
    const std::vector<uint8_t> expected = vextora::usb::StringDescriptor("Vextora Loopback");
    answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, &product, sizeof product, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), output));
    const uint16_t length = static_cast<uint16_t>(expected.size());
    EXPECT_EQ(NewSetups(), (std::vector<SetupPacket>{{0x80, 6, 0x0302, 0x0409, 4}, {0x80, 6, 0x0302, 0x0409, length}}));

    // Output one byte short of bLength: both reads happen, nothing returned.
    answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, &product, sizeof product, output, length - 1);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(answer.Information, 0u);
    EXPECT_EQ(NewSetups().size(), 2u);

    // Fewer than 4 input bytes, or none at all: refused without a bus request.
    answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, &product, 3, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, nullptr, 0, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, nullptr, 0, nullptr, 0);
    EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(NewSetups().empty());
}

struct StringCase {
    const char *What;
    std::vector<uint8_t> First;
    std::optional<std::vector<uint8_t>> Second;  // nullopt: no second read expected
    vxio::Status Status;
    uint32_t Information;
};

TEST_F(DeviceControl, MalformedDescriptorAnswersAreRefused)
{
    StartDevice(ScriptedLoopback());
    vxio::Handle device = OpenOk(u"");
    const StringCase cases[] = {
        {"bLength 0", {0x00, 0x03, 0, 0}, std::nullopt, STATUS_DEVICE_DATA_ERROR, 0},
        {"bLength 1", {0x01, 0x03}, std::nullopt, STATUS_DEVICE_DATA_ERROR, 0},
        {"second bLength larger", {0x06, 0x03, 'a', 0}, std::vector<uint8_t>{0x0A, 0x03, 'a', 0, 'b', 0},
         STATUS_DEVICE_DATA_ERROR, 0},
        {"second answer shorter than its bLength", {0x0A, 0x03, 'a', 0}, std::vector<uint8_t>{0x0A, 0x03, 'a', 0},
         STATUS_DEVICE_DATA_ERROR, 0},
        {"second bLength smaller", {0x0A, 0x03, 'a', 0},
         std::vector<uint8_t>{0x06, 0x03, 'a', 0, 'b', 0, 'c', 0, 'd', 0}, STATUS_SUCCESS, 6},
        {"empty string", {0x02, 0x03}, std::vector<uint8_t>{0x02, 0x03}, STATUS_SUCCESS, 2},
    };
    const VEXTORA_STRING_REQUEST request = {1, 0, 0x09, 0x04};
    for (const StringCase &c : cases) {
        SCOPED_TRACE(c.What);
        ModelAs<ScriptedModel>().OnControl(0x80, 6, Action::Reply(c.First));
        if (c.Second) {
            ModelAs<ScriptedModel>().OnControl(0x80, 6, Action::Reply(*c.Second));
        }
        uint8_t output[255];
        std::fill(std::begin(output), std::end(output), 0xCC);
        Answer answer = Control(device, IOCTL_GET_STRING_DESCRIPTOR, &request, sizeof request, output, sizeof output);
        EXPECT_EQ(answer.Status, c.Status);
        EXPECT_EQ(answer.Information, c.Information);
        if (c.Status == STATUS_SUCCESS) {
            EXPECT_TRUE(std::equal(output, output + c.Information, c.Second->begin()));
        }
        EXPECT_EQ(NewSetups().size(), c.Second ? 2u : 1u);
    }

    // A device descriptor shorter than 18 bytes is refused too: the rest of
    // the buffer would be old pool content.
    ModelAs<ScriptedModel>().OnControl(0x80, 6, Action::Reply({18, 1, 0, 2, 0xff, 0, 0, 64}));
    uint8_t output[18] = {};
    Answer answer = Control(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, output, sizeof output);
    EXPECT_EQ(answer.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(answer.Information, 0u);
}

TEST_F(DeviceControl, ResetPipeResetsTheHandlesPipe)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    vxio::Handle out = OpenOk(u"PIPE0");
    uint8_t byte = 0;
    ASSERT_EQ(Write(out, &byte, 1).Status, STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = Bus().Requests(kTransfers).back().Urb().UrbBulkOrInterruptTransfer.PipeHandle;
    Bus().ClearRequests();

    EXPECT_EQ(Control(device, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Bus().Requests().empty());
    EXPECT_EQ(Control(out, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    const Match resetPipe = Match::Urb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    std::vector<PortRequest> resets = Bus().Requests(resetPipe);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].Urb().UrbPipeRequest.PipeHandle, pipe);

    Bus().Set(resetPipe, Rule::Complete(kIoDeviceError));
    Answer answer = Control(out, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0);
    EXPECT_EQ(answer.Status, kIoDeviceError);
    EXPECT_EQ(answer.Information, 0u);
}

TEST_F(DeviceControl, ResetDeviceResetsOnlyADisabledPort)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    Bus().ClearRequests();
    EXPECT_EQ(Control(device, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), std::vector<ULONG>{IOCTL_INTERNAL_USB_GET_PORT_STATUS});

    Port().DisablePort();
    Bus().ClearRequests();
    EXPECT_EQ(Control(device, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Sequence(),
              (std::vector<ULONG>{IOCTL_INTERNAL_USB_GET_PORT_STATUS, IOCTL_INTERNAL_USB_RESET_PORT}));
    EXPECT_TRUE(Port().Enabled());
}

TEST_F(DeviceControl, AllocationFailuresAreReportedAndLeakNothing)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    vxio::Handle out = OpenOk(u"PIPE0");
    const VEXTORA_STRING_REQUEST request = {2, 0, 0x09, 0x04};
    uint8_t output[256] = {};
    Machine().SetFaultPlan({sim::FaultMode::CallSiteSweep, static_cast<unsigned>(sim::FaultKind::All)});
    for (int round = 0; round < 4; ++round) {
        for (uint32_t function = 0; function < 8; ++function) {
            // IOCTL_CLASS_OTHER_WRITE sends as many bytes as the output length says.
            const uint32_t outputLength = function == 5 ? sizeof request : sizeof output;
            Answer answer = Control(function == 2 ? out : device, VEXTORA_CTL_CODE(function), &request,
                                    sizeof request, output, outputLength);
            if (answer.Status != STATUS_SUCCESS) {
                EXPECT_EQ(answer.Status, STATUS_INSUFFICIENT_RESOURCES) << "function " << function;
                EXPECT_EQ(answer.Information, 0u);
            }
        }
    }
    EXPECT_GT(Machine().InjectedFailures(), 0u);
    Machine().SetFaultPlan({});
}

}  // namespace
}  // namespace iotest
