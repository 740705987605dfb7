// A host-controller port moves every transfer on one bus timeline in machine
// time: concurrent transfers complete one after the other at the times the
// 13-packets-per-microframe budget implies, never faster than the bus, and a
// request submitted after the previous one completed starts at the next
// microframe (the turnaround gap).
#include "BusFixture.h"
#include "sim/usb/Descriptors.h"

using namespace vextora::usb;
using namespace usbtest;

namespace {
constexpr uint64_t kFrameNs = 125'000;
uint64_t CeilFrames(uint64_t ns) { return (ns + kFrameNs - 1) / kFrameNs; }
}  // namespace

class BusTimelineTest : public BusFixture {
protected:
    // Plugs a source-sink device on a host-controller port and configures
    // it; returns the bulk IN pipe.
    USBD_PIPE_HANDLE PlugSourceSink()
    {
        PortOptions options;
        options.Completion = CompletionMode::HostController;
        UsbPort &port = Plug(std::make_unique<SourceSinkModel>(LoopbackDescriptors()), options);
        pdo_ = port.Pdo();
        EXPECT_EQ(Configure(driver_, pdo_, config_), STATUS_SUCCESS);
        return config_.Interface(0).Pipes[1].PipeHandle;
    }
    uint64_t NowNs() { return M().Now() * 100; }

    PDEVICE_OBJECT pdo_ = nullptr;
    Configuration config_;
};

TEST_F(BusTimelineTest, ConcurrentReadsCompleteInTurnAtTheBusRate)
{
    struct Row {
        std::vector<ULONG> sizes;         // submitted together, in this order
        std::vector<uint64_t> doneFrame;  // microframes after the first boundary
    } rows[] = {
        {{0x40000, 0x40000}, {40, 79}},
        {{0x4000, 0x4000, 0x4000}, {3, 5, 8}},
        {{512, 512, 512}, {1, 1, 1}},
        {{0x10000, 1000, 0x10000}, {10, 10, 20}},
    };
    const USBD_PIPE_HANDLE in = PlugSourceSink();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.sizes.size());
        std::vector<std::vector<uint8_t>> buffers;
        std::vector<PMDL> mdls;
        std::vector<URB> urbs;
        urbs.reserve(row.sizes.size());
        for (ULONG size : row.sizes) {
            buffers.emplace_back(size);
        }
        for (size_t i = 0; i < row.sizes.size(); ++i) {
            mdls.push_back(Mdl(buffers[i]));
            urbs.push_back(Bulk(in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr, mdls[i],
                                row.sizes[i]));
        }
        const uint64_t start = CeilFrames(NowNs()) * kFrameNs;
        std::vector<std::unique_ptr<Request>> requests;
        for (auto &urb : urbs) {
            requests.push_back(std::make_unique<Request>(driver_, pdo_, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb));
        }
        uint64_t bytes = 0;
        for (size_t i = 0; i < requests.size(); ++i) {
            ASSERT_EQ(requests[i]->Wait(), STATUS_SUCCESS);
            EXPECT_EQ(NowNs() - start, row.doneFrame[i] * kFrameNs) << "request " << i;
            EXPECT_EQ(urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength, row.sizes[i]);
            bytes += row.sizes[i];
        }
        // Never more than 53,248,000 B/s, however many were in flight.
        EXPECT_LE(static_cast<double>(bytes) * 1e9 / static_cast<double>(NowNs() - start), 53'248'000.0);
        requests.clear();
        for (PMDL mdl : mdls) {
            FreeMdl(mdl);
        }
    }
}

// One request at a time: the next starts at the microframe after the
// previous completed, so the unused end of that microframe stays visible.
TEST_F(BusTimelineTest, OneInFlightLeavesTheTurnaroundGap)
{
    const USBD_PIPE_HANDLE in = PlugSourceSink();
    std::vector<uint8_t> buffer(0x4000);
    PMDL mdl = Mdl(buffer);
    const uint64_t start = CeilFrames(NowNs()) * kFrameNs;
    for (uint64_t round = 1; round <= 4; ++round) {
        URB urb = Bulk(in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr, mdl, 0x4000);
        Request request(driver_, pdo_, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
        ASSERT_EQ(request.Wait(), STATUS_SUCCESS);
        // 32 packets take 3 microframes; 7 slots of the last one go unused.
        EXPECT_EQ(NowNs() - start, round * 3 * kFrameNs);
    }
    FreeMdl(mdl);
}

TEST(EndpointDescriptor, HighBandwidthTransactionsComeFromBits12And11)
{
    struct Row {
        uint16_t wMaxPacketSize;
        uint16_t maxPacket;
        uint8_t transactions;
    } rows[] = {{0x0400, 1024, 1}, {0x0C00, 1024, 2}, {0x1400, 1024, 3}, {0x1C00, 1024, 1}, {0x0008, 8, 1}};
    for (const auto &row : rows) {
        const std::vector<uint8_t> config = {
            9, 0x02, 25, 0, 1, 1, 0, 0x80, 50,  //
            9, 0x04, 0,  0, 1, 0xff, 0, 0, 0,   //
            7, 0x05, 0x81, 0x03, static_cast<uint8_t>(row.wMaxPacketSize & 0xff),
            static_cast<uint8_t>(row.wMaxPacketSize >> 8), 1};
        const auto parsed = ParseConfiguration(config);
        ASSERT_EQ(parsed.Interfaces.size(), 1u);
        const auto &ep = parsed.Interfaces[0].Endpoints.at(0);
        EXPECT_EQ(ep.MaxPacketSize, row.maxPacket) << std::hex << row.wMaxPacketSize;
        EXPECT_EQ(ep.Transactions, row.transactions) << std::hex << row.wMaxPacketSize;
    }
}
