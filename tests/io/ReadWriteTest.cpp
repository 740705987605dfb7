// Reads and writes on pipe handles: sizes and limits, direct I/O on the
// application's own pages, short reads, many transfers in flight,
// cancellation, and the recovery after a transfer the bus refuses at once.
#include "tests/io/IoFixture.h"
#include "tests/io/TestDevices.h"

#include "sim/kernel/WindowsRelease.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace iotest {
namespace {

using vextora::usb::LoopbackModel;

class ReadWrite : public IoFixture {
protected:
    ReadWrite() = default;
    explicit ReadWrite(sim::MachineOptions Options) : IoFixture(Options) {}

    static std::vector<uint8_t> Pattern(size_t Length, uint32_t Seed)
    {
        std::vector<uint8_t> bytes(Length);
        std::mt19937 random(Seed);
        for (uint8_t &b : bytes) {
            b = static_cast<uint8_t>(random());
        }
        return bytes;
    }
};

struct SizeCase {
    uint32_t Length;
    vxio::Status Status;
    bool ReachesBus;
};

TEST_F(ReadWrite, WriteSizesUpToTheLimitGoDownAsOneTransferOverTheCallersPages)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    vxio::Handle in = OpenOk(u"PIPE1");
    const SizeCase cases[] = {
        {0, STATUS_SUCCESS, false},
        {1, STATUS_SUCCESS, true},
        {512, STATUS_SUCCESS, true},
        {0x40000, STATUS_SUCCESS, true},
        {0x40001, STATUS_INVALID_PARAMETER, false},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(c.Length);
        std::vector<uint8_t> data = Pattern(c.Length, c.Length);
        Bus().ClearRequests();
        NewUrbs();
        Answer written = Write(out, data.data(), c.Length);
        EXPECT_EQ(written.Status, c.Status);
        EXPECT_EQ(written.Information, c.Status == STATUS_SUCCESS ? c.Length : 0u);
        std::vector<PortRequest> calls = Bus().Requests(kTransfers);
        ASSERT_EQ(calls.size(), c.ReachesBus ? 1u : 0u);
        if (!c.ReachesBus) {
            EXPECT_TRUE(NewUrbs().empty());
            continue;
        }
        const auto &sent = calls[0].Urb().UrbBulkOrInterruptTransfer;
        EXPECT_EQ(sent.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
        EXPECT_EQ(sent.TransferBufferLength, c.Length);
        EXPECT_EQ(sent.TransferBuffer, nullptr);
        EXPECT_TRUE(calls[0].MdlIsPartial);
        EXPECT_EQ(calls[0].MdlAddress, data.data());
        EXPECT_EQ(calls[0].MdlBytes, c.Length);
        std::vector<UrbRecord> urbs = NewUrbs();
        ASSERT_EQ(urbs.size(), 1u);
        EXPECT_EQ(urbs[0].Endpoint, kLoopbackOut);
        EXPECT_TRUE(urbs[0].ThroughMdl);
        EXPECT_EQ(urbs[0].Data, data.data());  // the bus worked on the application's own pages

        // And back through bulk IN, into the reader's own pages.
        std::vector<uint8_t> back(c.Length, 0xCC);
        Answer read = Read(in, back.data(), c.Length);
        EXPECT_EQ(read.Status, STATUS_SUCCESS);
        EXPECT_EQ(read.Information, c.Length);
        EXPECT_EQ(back, data);
        calls = Bus().Requests(kTransfers);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].Urb().UrbBulkOrInterruptTransfer.TransferFlags,
                  static_cast<ULONG>(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
        urbs = NewUrbs();
        ASSERT_EQ(urbs.size(), 1u);
        EXPECT_EQ(urbs[0].Data, back.data());
    }
    uint8_t none = 0;
    Bus().ClearRequests();
    EXPECT_EQ(Read(in, &none, 0).Status, STATUS_SUCCESS);
    std::vector<uint8_t> big(0x40001);
    EXPECT_EQ(Read(in, big.data(), 0x40001).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Bus().Requests().empty());
}

TEST_F(ReadWrite, LoopbackRoundTripsEverySizeClass)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    vxio::Handle in = OpenOk(u"PIPE1");
    std::vector<uint32_t> sizes = {2, 3, 63, 64, 65, 511, 513, 1023, 1024, 1025, 4095, 4096, 4097,
                                   65535, 65536, 65537, 0x20000, 0x3FFFF};
    std::mt19937 random(Machine().Seed());
    for (int i = 0; i < 24; ++i) {
        sizes.push_back(1 + random() % 0x40000);
    }
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data = Pattern(size, size * 7);
        ASSERT_EQ(Write(out, data.data(), size).Status, STATUS_SUCCESS);
        std::vector<uint8_t> back(size);
        Answer read = Read(in, back.data(), size);
        ASSERT_EQ(read.Status, STATUS_SUCCESS);
        ASSERT_EQ(read.Information, size);
        ASSERT_EQ(back, data);
    }
}

// The direction comes from the request and must match the endpoint's
// (USB 2.0, 9.6.6): a read on an OUT endpoint would send the caller's buffer
// to the device, a write on an IN endpoint overwrite the caller's data.
TEST_F(ReadWrite, ReadOnAnOutPipeAndWriteOnAnInPipeAreRefusedBeforeTheBus)
{
    StartLoopback();
    const struct {
        const char16_t *Pipe;
        bool Read;
    } cases[] = {{u"PIPE0", true}, {u"PIPE1", false}, {u"PIPE2", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Read ? "read" : "write");
        vxio::Handle handle = OpenOk(c.Pipe);
        std::vector<uint8_t> buffer = Pattern(64, 5);
        const std::vector<uint8_t> before = buffer;
        Bus().ClearRequests();
        Answer answer = c.Read ? Read(handle, buffer.data(), 64) : Write(handle, buffer.data(), 64);
        EXPECT_EQ(answer.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(answer.Information, 0u);
        EXPECT_TRUE(Bus().Requests().empty());
        EXPECT_EQ(buffer, before);
        Close(handle);
    }
}

// A transfer cancelled half-way says how much of it the device took, also
// when that was less than asked: the application must not send those bytes
// again.
TEST_F(ReadWrite, ACancelledTransferReportsTheBytesTheDeviceTook)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    vxio::Handle in = OpenOk(u"PIPE1");
    // Fill the loopback's FIFO until 57,344 bytes of room are left.
    const size_t room = 57344;
    std::vector<uint8_t> filler(LoopbackModel::kDefaultFifoBytes - room);
    for (size_t at = 0; at < filler.size(); at += 0x40000) {
        const auto length = static_cast<uint32_t>(std::min<size_t>(0x40000, filler.size() - at));
        ASSERT_EQ(Write(out, filler.data() + at, length).Status, STATUS_SUCCESS);
    }
    std::vector<uint8_t> data = Pattern(0x40000, 3);
    std::shared_ptr<vxio::Request> write = Io().Write(out, data.data(), 0x40000);
    ASSERT_FALSE(write->Done());
    EXPECT_EQ(Io().CancelIo(out), STATUS_SUCCESS);
    EXPECT_EQ(write->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(write->Information(), room);

    std::vector<uint8_t> back(0x40000);
    for (size_t left = filler.size(); left > 0;) {
        Answer read = Read(in, back.data(), static_cast<uint32_t>(std::min<size_t>(left, back.size())));
        ASSERT_EQ(read.Status, STATUS_SUCCESS);
        left -= read.Information;
    }
    Answer read = Read(in, back.data(), 0x40000);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    ASSERT_EQ(read.Information, room);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + room, data.begin()));
}

// Windows 2000's USB driver refuses a transfer longer than the
// MaximumTransferSize its pipe was selected with; the driver asks for its
// own limit, so the largest request still goes through there.
class ReadWriteOnWindows2000 : public ReadWrite {
protected:
    ReadWriteOnWindows2000() : ReadWrite(Windows2000()) {}
    static sim::MachineOptions Windows2000()
    {
        sim::MachineOptions options;
        return sim::ForRelease(options, sim::WindowsRelease::Windows2000);
    }
};

TEST_F(ReadWriteOnWindows2000, TheLargestRequestGoesThroughAsOneTransfer)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    vxio::Handle in = OpenOk(u"PIPE1");
    std::vector<uint8_t> data = Pattern(0x40000, 11);
    ASSERT_EQ(Write(out, data.data(), 0x40000).Status, STATUS_SUCCESS);
    std::vector<uint8_t> back(0x40000);
    Answer read = Read(in, back.data(), 0x40000);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Bus().Count(kTransfers), 2u);
}

TEST_F(ReadWrite, ShortReadReportsTheBytesReceived)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    vxio::Handle in = OpenOk(u"PIPE1");
    std::vector<uint8_t> data = Pattern(100, 1);
    ASSERT_EQ(Write(out, data.data(), 100).Status, STATUS_SUCCESS);
    std::vector<uint8_t> back(4096, 0xCC);
    Answer read = Read(in, back.data(), 4096);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Information, 100u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(back[100], 0xCC);

    // The interrupt pipe reports the loopback's FIFO level, 2 bytes.
    vxio::Handle interrupt = OpenOk(u"PIPE2");
    uint8_t level[8] = {};
    read = Read(interrupt, level, sizeof level);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Information, 2u);
}

TEST_F(ReadWrite, ManyTransfersInFlightOnSeveralPipesFromSeveralThreads)
{
    StartOptions options;
    options.Port.Completion = vextora::usb::CompletionMode::HostController;
    StartLoopback(options);
    vxio::Handle out = OpenOk(u"PIPE0");
    vxio::Handle in = OpenOk(u"PIPE1");
    vxio::Handle interrupt = OpenOk(u"PIPE2");
    constexpr int kThreads = 4;
    constexpr int kChunks = 8;
    constexpr uint32_t kChunk = 3000;

    // Readers first: their reads wait in the bus until data arrives.
    std::vector<std::vector<uint8_t>> received(kThreads);
    std::vector<sim::SimThread *> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(Machine().StartThread("reader" + std::to_string(t), [&, t] {
            std::vector<std::shared_ptr<vxio::Request>> requests;
            std::vector<std::vector<uint8_t>> buffers(kChunks, std::vector<uint8_t>(kChunk));
            for (auto &buffer : buffers) {
                requests.push_back(Io().Read(in, buffer.data(), kChunk));
            }
            uint8_t level[2];
            EXPECT_EQ(Io().ReadSync(interrupt, level, 2), STATUS_SUCCESS);
            for (size_t i = 0; i < requests.size(); ++i) {
                EXPECT_EQ(requests[i]->Wait(), STATUS_SUCCESS);
                buffers[i].resize(requests[i]->Information());
                received[t].insert(received[t].end(), buffers[i].begin(), buffers[i].end());
            }
        }));
    }
    std::vector<uint8_t> sent = Pattern(kThreads * kChunks * kChunk, 99);
    sim::SimThread *writer = Machine().StartThread("writer", [&] {
        std::vector<std::shared_ptr<vxio::Request>> writes;
        for (size_t offset = 0; offset < sent.size(); offset += kChunk) {
            writes.push_back(Io().Write(out, sent.data() + offset, kChunk));
        }
        for (auto &w : writes) {
            EXPECT_EQ(w->Wait(), STATUS_SUCCESS);
            EXPECT_EQ(w->Information(), kChunk);
        }
    });
    Machine().Join(writer);
    for (sim::SimThread *thread : threads) {
        Machine().Join(thread);
    }
    // Reads may come back short; what they left is still in the device.
    std::vector<uint8_t> all;
    for (auto &r : received) {
        all.insert(all.end(), r.begin(), r.end());
    }
    uint8_t level[2] = {};
    ASSERT_EQ(Io().ReadSync(interrupt, level, 2), STATUS_SUCCESS);
    std::vector<uint8_t> rest(level[0] | level[1] << 8);
    if (!rest.empty()) {
        Answer tail = Read(in, rest.data(), static_cast<uint32_t>(rest.size()));
        ASSERT_EQ(tail.Status, STATUS_SUCCESS);
        rest.resize(tail.Information);
        all.insert(all.end(), rest.begin(), rest.end());
    }
    ASSERT_EQ(all.size(), sent.size());
    std::sort(all.begin(), all.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(all, sent);
}

TEST_F(ReadWrite, CancelledReadEndsCancelledAndReleasesEverything)
{
    StartLoopback();
    vxio::Handle in = OpenOk(u"PIPE1");
    Bus().Set(kTransfers, Rule::Hold());
    size_t poolBefore = sim::PoolBlocksInUse(VEXTORA_POOL_TAG);
    std::vector<uint8_t> buffer(512);
    std::shared_ptr<vxio::Request> read = Io().Read(in, buffer.data(), 512);
    ASSERT_EQ(Bus().HeldCount(kTransfers), 1u);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(Io().CancelIo(in), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(sim::PoolBlocksInUse(VEXTORA_POOL_TAG), poolBefore);

    // A read the bus itself keeps waiting (nothing to loop back) cancels too.
    Bus().Clear(kTransfers);
    read = Io().Read(in, buffer.data(), 512);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(Io().CancelIo(in), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(sim::PoolBlocksInUse(VEXTORA_POOL_TAG), poolBefore);
}

struct RecoveryCase {
    const char *What;
    NTSTATUS BusStatus;
    std::optional<NTSTATUS> ResetPipeAnswer;
    std::optional<ULONG> PortBits;
    std::vector<ULONG> Expected;  // after the transfer itself
};

TEST_F(ReadWrite, TransferRefusedAtOnceResetsPipeThenDevice)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    const ULONG resetPipe = Key(IOCTL_INTERNAL_USB_SUBMIT_URB, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    const ULONG portStatus = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    const ULONG resetPort = IOCTL_INTERNAL_USB_RESET_PORT;
    const RecoveryCase cases[] = {
        {"pipe reset succeeds", STATUS_UNSUCCESSFUL, std::nullopt, std::nullopt, {resetPipe}},
        {"warning status counts as failure", static_cast<NTSTATUS>(0x80000005), std::nullopt, std::nullopt,
         {resetPipe}},
        {"pipe reset fails, port enabled", kIoDeviceError, STATUS_UNSUCCESSFUL,
         USBD_PORT_ENABLED | USBD_PORT_CONNECTED, {resetPipe, portStatus}},
        {"pipe reset fails, port disabled", kIoDeviceError, STATUS_UNSUCCESSFUL, USBD_PORT_CONNECTED,
         {resetPipe, portStatus, resetPort}},
        {"cancelled", STATUS_CANCELLED, STATUS_UNSUCCESSFUL, USBD_PORT_CONNECTED, {}},
        {"device gone", STATUS_DEVICE_NOT_CONNECTED, STATUS_UNSUCCESSFUL, USBD_PORT_CONNECTED, {}},
    };
    const ULONG transfer = Key(IOCTL_INTERNAL_USB_SUBMIT_URB, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    for (const RecoveryCase &c : cases) {
        SCOPED_TRACE(c.What);
        Bus().Set(kTransfers, Rule::Complete(c.BusStatus));
        CompleteOrPass(Match::Urb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), c.ResetPipeAnswer);
        AnswerPortStatus(c.PortBits);
        Bus().ClearRequests();
        uint8_t data[64] = {};
        Answer answer = Write(out, data, sizeof data);
        EXPECT_EQ(answer.Status, c.BusStatus);
        EXPECT_EQ(answer.Information, 0u);
        std::vector<ULONG> expected{transfer};
        expected.insert(expected.end(), c.Expected.begin(), c.Expected.end());
        EXPECT_EQ(Sequence(), expected);
    }
}

TEST_F(ReadWrite, TransferFailingLaterGetsNoRecovery)
{
    StartLoopback();
    vxio::Handle in = OpenOk(u"PIPE1");
    Bus().Set(kTransfers, Rule::Hold());
    Bus().ClearRequests();
    std::vector<uint8_t> buffer(256);
    std::shared_ptr<vxio::Request> read = Io().Read(in, buffer.data(), 256);
    ASSERT_TRUE(Bus().Release(kTransfers, kIoDeviceError, 0));
    EXPECT_EQ(read->Wait(), kIoDeviceError);
    EXPECT_EQ(Bus().Requests().size(), 1u);

    // A pended transfer that succeeds reports what the bus moved.
    read = Io().Read(in, buffer.data(), 256);
    ASSERT_TRUE(Bus().Release(kTransfers, STATUS_SUCCESS, 17));
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 17u);
    // A bus that claims more than was asked for cannot make the caller
    // believe its buffer holds more.
    read = Io().Read(in, buffer.data(), 256);
    ASSERT_TRUE(Bus().Release(kTransfers, STATUS_SUCCESS, 4096));
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 256u);
}

TEST_F(ReadWrite, AllocationFailuresRefuseTheTransferAndLeakNothing)
{
    StartLoopback();
    vxio::Handle out = OpenOk(u"PIPE0");
    Machine().SetFaultPlan({sim::FaultMode::CallSiteSweep,
                            static_cast<unsigned>(sim::FaultKind::Pool) | static_cast<unsigned>(sim::FaultKind::Mdl)});
    std::vector<uint8_t> data = Pattern(1000, 5);
    int refused = 0;
    for (int attempt = 0; attempt < 6; ++attempt) {
        Answer answer = Write(out, data.data(), 1000);
        if (answer.Status == STATUS_INSUFFICIENT_RESOURCES) {
            ++refused;
            EXPECT_EQ(answer.Information, 0u);
        } else {
            EXPECT_EQ(answer.Status, STATUS_SUCCESS);
        }
    }
    Machine().SetFaultPlan({});
    EXPECT_EQ(refused, 3);  // the context, the partial MDL and the transfer block
    EXPECT_EQ(Write(out, data.data(), 1000).Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace iotest
