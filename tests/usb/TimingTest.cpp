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
