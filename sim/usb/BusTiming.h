// The timing model of the simulated bus, in virtual time: how many packets
// fit in a (micro)frame at each speed, when a transfer's last packet goes
// out, and how busy each endpoint kept the bus. Plain C++; not thread-safe
// (the host controller owns one per port).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/usb/Descriptors.h"

namespace vextora::usb {

struct SpeedBudget {
    uint64_t FrameNs;  // 125 us microframe (high, super) or 1 ms frame
    uint32_t BulkPacketsPerFrame;
    uint32_t BulkPacketBytes;  // the largest bulk packet at this speed
};

// High speed: 13 x 512-byte bulk packets per 125 us microframe
// (53,248,000 B/s); full speed: 19 x 64 bytes per 1 ms frame (1,216,000 B/s);
// low speed has no bulk endpoints (USB 2.0, 5.8.3) and moves one 8-byte
// packet per frame for interrupt and control; super speed 48 x 1024 per
// 125 us (an approximation of its 3.9 Gb/s of payload).
SpeedBudget BudgetFor(Speed speed);

// Frames between two services of an interrupt endpoint with this bInterval.
uint32_t InterruptPeriodFrames(Speed speed, uint8_t bInterval);

class BusTiming {
public:
    explicit BusTiming(Speed speed);

    using Id = uint64_t;

    // Declares an endpoint (from the selected configuration), so that its
    // idle frames are counted.
    void AddEndpoint(const EndpointInfo &endpoint);
    void ClearEndpoints();

    // Queues bytes to move for a transfer on a declared endpoint. A transfer
    // of 0 bytes still takes one (zero-length) packet. Every queued transfer
    // shares the one bus timeline: it is first served in the current frame
    // (Frames()), behind the transfers queued before it on its endpoint.
    void Enqueue(Id id, uint8_t endpointAddress, uint32_t bytes);
    void Remove(Id id);
    bool Busy() const { return !queue_.empty(); }

    // Advances one (micro)frame and returns the transfers whose last packet
    // was scheduled in it.
    std::vector<Id> Step();

    // Runs frames until id's last packet is scheduled; returns the frames it
    // took (the transfer's own completion time in virtual time). The other
    // queued transfers move on in the same frames.
    uint64_t RunUntilDone(Id id);

    // Enqueue followed by RunUntilDone, for a transfer that completes in
    // its submitter's thread. With nothing else queued on the bus, a bulk
    // or control transfer's frames are counted without stepping each one.
    uint64_t RunAlone(Id id, uint8_t endpointAddress, uint32_t bytes);

    // Moves the timeline forward to frame `frame` (never back): every frame
    // is stepped while transfers are queued; once none is, the rest are
    // counted idle at once. Returns the transfers completed on the way.
    std::vector<Id> AdvanceTo(uint64_t frame);

    // Frames from now until the next queued transfer's last packet has been
    // scheduled (that transfer completes at (Frames() + result) frames);
    // 0 when nothing is queued. Changes nothing.
    uint64_t FramesToNextCompletion() const;

    uint64_t NowNs() const { return frames_ * budget_.FrameNs; }
    uint64_t Frames() const { return frames_; }

    struct EndpointStats {
        uint64_t Bytes = 0;
        uint64_t Packets = 0;
        uint64_t BusyFrames = 0;  // frames with a request queued
        uint64_t IdleFrames = 0;  // frames with none queued
    };
    std::map<uint8_t, EndpointStats> Stats() const;
    EndpointStats StatsOf(uint8_t endpointAddress) const;
    // Bytes per second of virtual time moved on one endpoint so far.
    double Throughput(uint8_t endpointAddress) const;

private:
    struct Pending {
        Id TransferId;
        uint8_t Endpoint;
        uint64_t PacketsLeft;
        uint32_t BytesLeft;
    };
    // One frame of Step(): appends the transfers that ended to Done, when
    // given. Allocates nothing, since an inline port runs it per transfer.
    void StepInto(std::vector<Id> *Done);

    // An endpoint's figures; its idle frames are the frames since Since
    // that were not busy, so a frame writes only the busy endpoints'.
    // Each on a cache line of its own: two processors serving two
    // endpoints would otherwise write one line.
    struct alignas(64) Counters {
        uint64_t Bytes = 0;
        uint64_t Packets = 0;
        uint64_t BusyFrames = 0;
        uint64_t Since = 0;
    };
    Counters &CountersOf(uint8_t endpointAddress);
    EndpointStats StatsFrom(const Counters &c) const;
    uint32_t BulkPacketBytes(uint8_t endpointAddress) const;

    SpeedBudget budget_;
    Speed speed_;
    uint64_t frames_ = 0;
    std::map<uint8_t, EndpointInfo> endpoints_;
    std::map<uint8_t, Counters> counters_;
    std::vector<Pending> queue_;  // FIFO per endpoint, in submission order
};

}  // namespace vextora::usb
