// The bus timing model: payload rates per speed, interrupt periods, fair
// sharing of a frame and idle-frame accounting.
#include <gtest/gtest.h>

#include "sim/usb/BusTiming.h"

using namespace vextora::usb;

namespace {
EndpointInfo Bulk(uint8_t address, uint16_t mps) { return {address, 0x02, mps, 0}; }
EndpointInfo Interrupt(uint8_t address, uint16_t mps, uint8_t interval)
{
    return {address, 0x03, mps, interval};
}
}  // namespace

TEST(BusTiming, BulkRatesPerSpeed)
{
    struct Row {
        Speed speed;
        uint16_t mps;
        uint32_t bytes;
        uint64_t frames;     // until the last packet is scheduled
        double bytesPerSec;  // sustained
    } rows[] = {
        // 13 x 512 bytes per 125 us microframe.
        {Speed::High, 512, 13 * 512 * 100, 100, 53'248'000.0},
        // 19 x 64 bytes per 1 ms frame.
        {Speed::Full, 64, 19 * 64 * 10, 10, 1'216'000.0},
        // One byte more needs a frame more.
        {Speed::High, 512, 13 * 512 + 1, 2, 0},
        // A zero-length transfer still takes one packet.
        {Speed::High, 512, 0, 1, 0},
        // 64-byte packets on a high-speed bus still cost a slot each.
        {Speed::High, 64, 13 * 64, 1, 0},
    };
    for (const auto &row : rows) {
        BusTiming t(row.speed);
        t.AddEndpoint(Bulk(0x81, row.mps));
        t.Enqueue(1, 0x81, row.bytes);
        EXPECT_EQ(t.RunUntilDone(1), row.frames) << row.bytes;
        if (row.bytesPerSec > 0) {
            EXPECT_DOUBLE_EQ(t.Throughput(0x81), row.bytesPerSec);
        }
    }
}

TEST(BusTiming, TwoBulkEndpointsShareTheFrame)
{
    BusTiming t(Speed::High);
    t.AddEndpoint(Bulk(0x01, 512));
    t.AddEndpoint(Bulk(0x81, 512));
    t.Enqueue(1, 0x01, 512 * 13);
    t.Enqueue(2, 0x81, 512 * 13);
    EXPECT_TRUE(t.Step().empty());
    auto done = t.Step();
    EXPECT_EQ(done.size(), 2u);
    EXPECT_EQ(t.Stats().at(0x01).Packets, 13u);
    EXPECT_EQ(t.Stats().at(0x81).Packets, 13u);
}

TEST(BusTiming, InterruptEndpointServedOncePerPeriod)
{
    // High speed bInterval 4: every 8 microframes; 3 packets of 8 bytes.
    BusTiming hs(Speed::High);
    hs.AddEndpoint(Interrupt(0x82, 8, 4));
    hs.Enqueue(7, 0x82, 24);
    EXPECT_EQ(hs.RunUntilDone(7), 17u);  // served in frames 0, 8 and 16
    // Full speed bInterval 10: every 10 frames.
    BusTiming fs(Speed::Full);
    fs.AddEndpoint(Interrupt(0x81, 64, 10));
    fs.Enqueue(1, 0x81, 64);
    EXPECT_EQ(fs.RunUntilDone(1), 1u);
    fs.Enqueue(2, 0x81, 64);
    EXPECT_EQ(fs.RunUntilDone(2), 10u);  // next service at frame 10
    EXPECT_EQ(InterruptPeriodFrames(Speed::High, 0), 1u);
    EXPECT_EQ(InterruptPeriodFrames(Speed::High, 200), 1u << 15);
}

TEST(BusTiming, IdleFramesCountedPerEndpoint)
{
    BusTiming t(Speed::High);
    t.AddEndpoint(Bulk(0x01, 512));
    t.AddEndpoint(Bulk(0x81, 512));
    t.Enqueue(1, 0x81, 512 * 13 * 4);
    (void)t.RunUntilDone(1);
    EXPECT_EQ(t.Stats().at(0x81).BusyFrames, 4u);
    EXPECT_EQ(t.Stats().at(0x81).IdleFrames, 0u);
    EXPECT_EQ(t.Stats().at(0x01).IdleFrames, 4u);
    t.Remove(99);  // unknown ids are ignored
    t.Enqueue(2, 0x01, 100);
    t.Remove(2);
    EXPECT_FALSE(t.Busy());
}

namespace {

struct Queued {
    uint8_t endpoint;
    uint32_t bytes;
    uint64_t doneAfter;  // frames from the start until its last packet went out
};

// Runs the timeline until every transfer is done; returns the frame count
// at which each one completed, and checks that no frame carried more
// payload than the bus allows.
std::vector<uint64_t> CompletionFrames(BusTiming &t, const std::vector<Queued> &transfers)
{
    for (size_t i = 0; i < transfers.size(); ++i) {
        t.Enqueue(i, transfers[i].endpoint, transfers[i].bytes);
    }
    std::vector<uint64_t> at(transfers.size(), 0);
    uint64_t before = 0;
    while (t.Busy()) {
        const uint64_t predicted = t.FramesToNextCompletion();
        const uint64_t start = t.Frames();
        std::vector<BusTiming::Id> done;
        while (done.empty()) {
            done = t.Step();
        }
        EXPECT_EQ(t.Frames() - start, predicted);
        for (auto id : done) {
            at[id] = t.Frames();
        }
        uint64_t moved = 0;
        for (const auto &[address, stats] : t.Stats()) {
            moved += stats.Bytes;
        }
        EXPECT_LE(moved - before, 13u * 512u * (t.Frames() - start));
        before = moved;
    }
    return at;
}

}  // namespace

// Transfers queued together share one timeline: each completes when the
// packets queued before it and its own have gone out, 13 per microframe.
TEST(BusTiming, ConcurrentTransfersCompleteWhereTheSharedTimelinePutsThem)
{
    struct Row {
        const char *name;
        std::vector<EndpointInfo> endpoints;
        std::vector<Queued> transfers;
    } rows[] = {
        // 512 packets each: the first ends in frame 39, the second in 78.
        {"2 x 256 KiB, one pipe", {Bulk(0x81, 512)}, {{0x81, 0x40000, 40}, {0x81, 0x40000, 79}}},
        // 32 packets each; the next starts in the frame the previous ends.
        {"3 x 16 KiB, one pipe", {Bulk(0x81, 512)}, {{0x81, 0x4000, 3}, {0x81, 0x4000, 5}, {0x81, 0x4000, 8}}},
        // Alternate packets: 7 + 6 per frame, both done after 64 packets.
        {"16 KiB on two pipes", {Bulk(0x81, 512), Bulk(0x01, 512)}, {{0x81, 0x4000, 5}, {0x01, 0x4000, 5}}},
        // 14 one-packet transfers: 13 fit the first microframe.
        {"14 x 512 B",
         {Bulk(0x81, 512)},
         {{0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1},
          {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1}, {0x81, 512, 1},
          {0x81, 512, 1}, {0x81, 512, 2}}},
        // bInterval 4, one 8-byte packet per 8 microframes, whatever is queued.
        {"interrupt, 2 queued", {Interrupt(0x82, 8, 4)}, {{0x82, 8, 1}, {0x82, 8, 9}}},
        // Three 1024-byte transactions per microframe (wMaxPacketSize
        // 0x1400); they take 6 of the 13 slots, so the bulk transfer's 20
        // packets need 7 + 11 + 2.
        {"high-bandwidth interrupt beside bulk",
         {[] {
              auto e = Interrupt(0x83, 1024, 1);
              e.Transactions = 3;
              return e;
          }(),
          Bulk(0x81, 512)},
         {{0x83, 4096, 2}, {0x81, 20 * 512, 3}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        BusTiming t(Speed::High);
        for (const auto &e : row.endpoints) {
            t.AddEndpoint(e);
        }
        const auto at = CompletionFrames(t, row.transfers);
        for (size_t i = 0; i < row.transfers.size(); ++i) {
            EXPECT_EQ(at[i], row.transfers[i].doneAfter) << "transfer " << i;
        }
        for (const auto &e : row.endpoints) {
            EXPECT_LE(t.Throughput(e.Address), 53'248'000.0);
        }
    }
}

// The host controller follows machine time: an idle stretch is counted in
// one go, and a transfer queued after it starts where the timeline now is.
TEST(BusTiming, AdvanceCountsIdleFramesAndNeverGoesBack)
{
    BusTiming t(Speed::High);
    t.AddEndpoint(Bulk(0x81, 512));
    EXPECT_EQ(t.FramesToNextCompletion(), 0u);
    EXPECT_TRUE(t.AdvanceTo(1000).empty());
    EXPECT_EQ(t.Frames(), 1000u);
    EXPECT_EQ(t.Stats().at(0x81).IdleFrames, 1000u);
    t.Enqueue(1, 0x81, 0x4000);
    EXPECT_EQ(t.FramesToNextCompletion(), 3u);
    EXPECT_EQ(t.Frames(), 1000u);  // asking changes nothing
    EXPECT_TRUE(t.AdvanceTo(1002).empty());
    EXPECT_EQ(t.AdvanceTo(1010), std::vector<BusTiming::Id>{1});
    EXPECT_EQ(t.Frames(), 1010u);
    EXPECT_EQ(t.Stats().at(0x81).BusyFrames, 3u);
    EXPECT_EQ(t.Stats().at(0x81).IdleFrames, 1007u);
    EXPECT_TRUE(t.AdvanceTo(5).empty());
    EXPECT_EQ(t.Frames(), 1010u);
}

TEST(BusTiming, ATransferAloneCountsAsIfEveryFrameWereStepped)
{
    // RunAlone must leave the timeline exactly as Enqueue and RunUntilDone
    // would: the same frames, the same figures on every endpoint, also
    // when it has to fall back (a periodic endpoint, a busy bus).
    struct Case {
        Speed speed;
        uint8_t endpoint;
        uint32_t bytes;
        bool othersQueued;
    } cases[] = {
        {Speed::High, 0x81, 512, false},         {Speed::High, 0x81, 13 * 512 + 1, false},
        {Speed::High, 0x02, 0, false},           {Speed::High, 0x81, 256 * 1024, false},
        {Speed::Full, 0x03, 19 * 64 * 3, false}, {Speed::High, 0x84, 3000, false},
        {Speed::High, 0x81, 70000, true},        {Speed::High, 0x77, 1000, false},
    };
    for (const Case &c : cases) {
        BusTiming stepped(c.speed);
        BusTiming alone(c.speed);
        for (BusTiming *t : {&stepped, &alone}) {
            t->AddEndpoint(Bulk(0x81, c.speed == Speed::High ? 512 : 64));
            t->AddEndpoint(Bulk(0x02, 64));
            t->AddEndpoint(Bulk(0x03, 64));
            t->AddEndpoint(Interrupt(0x84, 1024, 2));
            (void)t->AdvanceTo(5);  // idle frames before, counted for all
            if (c.othersQueued) {
                t->Enqueue(9, 0x02, 4000);
            }
        }
        stepped.Enqueue(1, c.endpoint, c.bytes);
        const uint64_t frames = stepped.RunUntilDone(1);
        EXPECT_EQ(alone.RunAlone(1, c.endpoint, c.bytes), frames) << c.bytes;
        EXPECT_EQ(alone.Frames(), stepped.Frames());
        EXPECT_EQ(alone.Busy(), stepped.Busy());
        const auto a = alone.Stats();
        const auto s = stepped.Stats();
        ASSERT_EQ(a.size(), s.size());
        for (const auto &[address, st] : s) {
            const auto &at = a.at(address);
            EXPECT_EQ(at.Bytes, st.Bytes) << int(address);
            EXPECT_EQ(at.Packets, st.Packets) << int(address);
            EXPECT_EQ(at.BusyFrames, st.BusyFrames) << int(address);
            EXPECT_EQ(at.IdleFrames, st.IdleFrames) << int(address);
        }
    }
}
