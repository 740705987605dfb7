#include "sim/usb/BusTiming.h"

#include <algorithm>
#include <array>
#include <bitset>

namespace vextora::usb {

SpeedBudget BudgetFor(Speed speed)
{
    switch (speed) {
    case Speed::Low: return {1'000'000, 1, 8};
    case Speed::Full: return {1'000'000, 19, 64};
    case Speed::High: return {125'000, 13, 512};
    case Speed::Super: return {125'000, 48, 1024};
    }
    return {1'000'000, 19, 64};
}

uint32_t InterruptPeriodFrames(Speed speed, uint8_t bInterval)
{
    if (speed == Speed::High || speed == Speed::Super) {
        // 2^(bInterval-1) microframes, bInterval 1..16 (USB 2.0, 9.6.6).
        const uint8_t exp = static_cast<uint8_t>(std::clamp<int>(bInterval, 1, 16) - 1);
        return 1u << exp;
    }
    return std::max<uint32_t>(bInterval, 1);
}

BusTiming::BusTiming(Speed speed) : budget_(BudgetFor(speed)), speed_(speed) {}

void BusTiming::AddEndpoint(const EndpointInfo &endpoint)
{
    endpoints_[endpoint.Address] = endpoint;
    (void)CountersOf(endpoint.Address);
}

BusTiming::Counters &BusTiming::CountersOf(uint8_t endpointAddress)
{
    return counters_.try_emplace(endpointAddress, Counters{0, 0, 0, frames_}).first->second;
}

BusTiming::EndpointStats BusTiming::StatsFrom(const Counters &c) const
{
    return {c.Bytes, c.Packets, c.BusyFrames, frames_ - c.Since - c.BusyFrames};
}

std::map<uint8_t, BusTiming::EndpointStats> BusTiming::Stats() const
{
    std::map<uint8_t, EndpointStats> out;
    for (const auto &[address, c] : counters_) {
        out.emplace(address, StatsFrom(c));
    }
    return out;
}

BusTiming::EndpointStats BusTiming::StatsOf(uint8_t endpointAddress) const
{
    auto it = counters_.find(endpointAddress);
    return it == counters_.end() ? EndpointStats{} : StatsFrom(it->second);
}

// The packet size of a bulk or control endpoint on this bus.
uint32_t BusTiming::BulkPacketBytes(uint8_t endpointAddress) const
{
    auto ep = endpoints_.find(endpointAddress);
    if (ep != endpoints_.end() && ep->second.MaxPacketSize) {
        return std::min<uint32_t>(ep->second.MaxPacketSize, budget_.BulkPacketBytes);
    }
    return budget_.BulkPacketBytes;
}

void BusTiming::ClearEndpoints() { endpoints_.clear(); }

namespace {
bool Periodic(const std::map<uint8_t, EndpointInfo> &endpoints, uint8_t address)
{
    auto it = endpoints.find(address);
    return it != endpoints.end() && it->second.Type() == EndpointType::Interrupt;
}
}  // namespace

void BusTiming::Enqueue(Id id, uint8_t endpointAddress, uint32_t bytes)
{
    uint32_t mps = budget_.BulkPacketBytes;
    if (auto it = endpoints_.find(endpointAddress); it != endpoints_.end() && it->second.MaxPacketSize) {
        mps = std::min<uint32_t>(it->second.MaxPacketSize, budget_.BulkPacketBytes);
        if (it->second.Type() == EndpointType::Interrupt) {
            mps = it->second.MaxPacketSize;
        }
    }
    const uint64_t packets = bytes == 0 ? 1 : (static_cast<uint64_t>(bytes) + mps - 1) / mps;
    queue_.push_back({id, endpointAddress, packets, bytes});
    (void)CountersOf(endpointAddress);
}

void BusTiming::Remove(Id id)
{
    std::erase_if(queue_, [id](const Pending &p) { return p.TransferId == id; });
}

std::vector<BusTiming::Id> BusTiming::Step()
{
    std::vector<Id> done;
    StepInto(&done);
    return done;
}

void BusTiming::StepInto(std::vector<Id> *Done)
{
    // Endpoint addresses are a byte: sets of them are bitsets.
    std::bitset<256> busy;
    // Bus time left in this frame, in slots of one full-size bulk packet.
    uint32_t slots = budget_.BulkPacketsPerFrame;
    const uint64_t frame = frames_;

    // Periodic (interrupt) endpoints are served first, in the frames their
    // period allows, as the host controller reserves their bandwidth (USB
    // 2.0, 5.7.4). One service carries at most Transactions packets of the
    // endpoint (high-bandwidth endpoints, 5.9.2), across its queued
    // transfers in order; their bytes take bus time from the bulk budget.
    std::array<uint32_t, 256> transactionsLeft;
    std::bitset<256> served;
    for (auto &p : queue_) {
        auto ep = endpoints_.find(p.Endpoint);
        if (ep == endpoints_.end() || ep->second.Type() != EndpointType::Interrupt) {
            continue;
        }
        busy.set(p.Endpoint);
        const uint32_t period = InterruptPeriodFrames(speed_, ep->second.Interval);
        if (frame % period != 0) {
            continue;
        }
        const bool highBandwidth = speed_ == Speed::High || speed_ == Speed::Super;
        if (!served.test(p.Endpoint)) {
            served.set(p.Endpoint);
            transactionsLeft[p.Endpoint] = highBandwidth ? std::max<uint8_t>(ep->second.Transactions, 1) : 1;
        }
        uint32_t &left = transactionsLeft[p.Endpoint];
        const uint32_t mps = std::max<uint32_t>(ep->second.MaxPacketSize, 1);
        while (left > 0 && p.PacketsLeft > 0) {
            const uint32_t bytes = std::min<uint32_t>(p.BytesLeft, mps);
            p.BytesLeft -= bytes;
            p.PacketsLeft--;
            left--;
            const uint32_t cost =
                std::max<uint32_t>(1, (bytes + budget_.BulkPacketBytes - 1) / budget_.BulkPacketBytes);
            slots -= std::min(slots, cost);
            Counters &c = counters_.find(p.Endpoint)->second;
            c.Bytes += bytes;
            c.Packets++;
        }
    }

    // Bulk and control packets share the rest of the frame: the endpoints
    // take turns, one packet each per round, so that none starves another;
    // on one endpoint the transfers are served in submission order, and the
    // next one starts in the same frame as the previous one ends.
    bool progress = true;
    while (slots > 0 && progress) {
        progress = false;
        std::bitset<256> servedThisRound;
        for (auto &p : queue_) {
            if (slots == 0) {
                break;
            }
            if (p.PacketsLeft == 0 || servedThisRound.test(p.Endpoint) || Periodic(endpoints_, p.Endpoint)) {
                continue;
            }
            busy.set(p.Endpoint);
            servedThisRound.set(p.Endpoint);
            const uint32_t mps = BulkPacketBytes(p.Endpoint);
            const uint32_t bytes = std::min<uint32_t>(p.BytesLeft, mps);
            p.BytesLeft -= bytes;
            p.PacketsLeft--;
            slots--;
            progress = true;
            Counters &c = counters_.find(p.Endpoint)->second;
            c.Bytes += bytes;
            c.Packets++;
        }
    }

    for (auto it = queue_.begin(); it != queue_.end();) {
        busy.set(it->Endpoint);
        if (it->PacketsLeft == 0) {
            if (Done != nullptr) {
                Done->push_back(it->TransferId);
            }
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto &[address, c] : counters_) {
        if (busy.test(address)) {
            c.BusyFrames++;
        }
    }
    frames_++;
}

uint64_t BusTiming::RunAlone(Id id, uint8_t endpointAddress, uint32_t bytes)
{
    if (!queue_.empty() || Periodic(endpoints_, endpointAddress)) {
        Enqueue(id, endpointAddress, bytes);
        return RunUntilDone(id);
    }
    // Alone on the bus the transfer gets every slot of each frame, one
    // packet per slot (the rounds of Step with a single endpoint).
    const uint32_t mps = BulkPacketBytes(endpointAddress);
    const uint64_t packets = bytes == 0 ? 1 : (static_cast<uint64_t>(bytes) + mps - 1) / mps;
    const uint64_t slots = std::max<uint32_t>(budget_.BulkPacketsPerFrame, 1);
    const uint64_t frames = (packets + slots - 1) / slots;
    Counters &c = CountersOf(endpointAddress);
    c.Bytes += bytes;
    c.Packets += packets;
    c.BusyFrames += frames;
    frames_ += frames;
    return frames;
}

uint64_t BusTiming::RunUntilDone(Id id)
{
    const uint64_t start = frames_;
    for (;;) {
        const bool queued =
            std::any_of(queue_.begin(), queue_.end(), [id](const Pending &p) { return p.TransferId == id; });
        if (!queued) {
            return frames_ - start;
        }
        StepInto(nullptr);
    }
}

std::vector<BusTiming::Id> BusTiming::AdvanceTo(uint64_t frame)
{
    std::vector<Id> done;
    while (frames_ < frame && !queue_.empty()) {
        StepInto(&done);
    }
    if (frames_ < frame) {
        frames_ = frame;  // idle for every endpoint
    }
    return done;
}

uint64_t BusTiming::FramesToNextCompletion() const
{
    if (queue_.empty()) {
        return 0;
    }
    BusTiming dry = *this;
    for (uint64_t frames = 1;; ++frames) {
        if (!dry.Step().empty()) {
            return frames;
        }
    }
}

double BusTiming::Throughput(uint8_t endpointAddress) const
{
    auto it = counters_.find(endpointAddress);
    if (it == counters_.end() || frames_ == 0) {
        return 0.0;
    }
    return static_cast<double>(it->second.Bytes) * 1e9 / static_cast<double>(NowNs());
}

}  // namespace vextora::usb
