// The device models the simulated hub can plug in.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/DeviceModel.h"

namespace vextora::usb {

// Loopback: what is written to a bulk OUT endpoint comes back, in order, on
// the bulk IN endpoints (one FIFO for the device, bounded; a write that does
// not fit waits for room, a read with nothing to read waits for data). An
// interrupt IN endpoint reports the FIFO level (2 bytes, little-endian) at
// each poll. Class requests to the interface: request 0 answers the block
// (16-bit big-endian length that counts itself, then the payload), request 1
// a short answer; class request 2 to recipient Other accepts a write.
class LoopbackModel : public DeviceModel {
public:
    static constexpr size_t kDefaultFifoBytes = 1 << 20;
    explicit LoopbackModel(DeviceDescriptors descriptors, size_t fifoBytes = kDefaultFifoBytes);

    // Payload of the request-0 block; the header is added by the device.
    void SetBlockPayload(std::vector<uint8_t> payload) { blockPayload_ = std::move(payload); }
    void SetShortAnswer(std::vector<uint8_t> answer) { shortAnswer_ = std::move(answer); }
    const std::vector<std::vector<uint8_t>> &OtherWrites() const { return otherWrites_; }
    size_t FifoLevel() const { return fifo_.size(); }

protected:
    Result ClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data) override;
    Result EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data) override;
    void OnConfigured(uint8_t value) override;

private:
    size_t capacity_;
    std::deque<uint8_t> fifo_;
    std::vector<uint8_t> blockPayload_;
    std::vector<uint8_t> shortAnswer_;
    std::vector<std::vector<uint8_t>> otherWrites_;
};

// Source/sink: IN endpoints return a deterministic pattern (byte n of the
// endpoint's stream is n % 63, as the USB test gadgets do); OUT endpoints
// accept everything and count it.
class SourceSinkModel : public DeviceModel {
public:
    explicit SourceSinkModel(DeviceDescriptors descriptors);
    uint64_t BytesReceived(uint8_t endpointAddress) const;
    uint64_t BytesSent(uint8_t endpointAddress) const;
    static uint8_t PatternByte(uint64_t n) { return static_cast<uint8_t>(n % 63); }

protected:
    Result EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data) override;

private:
    std::map<uint8_t, uint64_t> received_;
    std::map<uint8_t, uint64_t> sent_;
};

// One scripted answer.
struct Action {
    enum class Kind : uint8_t { Data, Stall, Nak, Error, Disconnect } What = Kind::Data;
    std::vector<uint8_t> Bytes;      // Data: for IN what is returned (fewer than asked: a short packet)
    std::optional<uint32_t> Accept;  // Data on OUT: how many bytes the device takes (default all)
    int32_t UsbdStatus = 0;
    uint64_t DelayNs = 0;

    static Action Reply(std::vector<uint8_t> bytes, uint64_t delayNs = 0)
    {
        Action a;
        a.Bytes = std::move(bytes);
        a.DelayNs = delayNs;
        return a;
    }
    static Action AcceptOut(uint32_t n, uint64_t delayNs = 0)
    {
        Action a;
        a.Accept = n;
        a.DelayNs = delayNs;
        return a;
    }
    static Action StallIt() { return Action{Kind::Stall, {}, {}, 0, 0}; }
    static Action NakForever() { return Action{Kind::Nak, {}, {}, 0, 0}; }
    static Action Fail(int32_t usbdStatus) { return Action{Kind::Error, {}, {}, usbdStatus, 0}; }
    static Action Unplug() { return Action{Kind::Disconnect, {}, {}, 0, 0}; }
};

// A device whose every answer is scripted by the test: per endpoint, and per
// class/vendor control request (bmRequestType, bRequest), a queue of actions
// taken in order; when a queue is empty the fallback applies (IN: NAK, OUT:
// accept all, control: stall). Standard requests are served normally unless
// scripted.
class ScriptedModel : public DeviceModel {
public:
    explicit ScriptedModel(DeviceDescriptors descriptors);
    void OnEndpoint(uint8_t endpointAddress, Action action);
    void OnControl(uint8_t requestType, uint8_t request, Action action);
    // Endpoint transfers seen: address and the bytes of OUT data.
    struct Seen {
        uint8_t Endpoint;
        uint32_t Requested;
        std::vector<uint8_t> OutData;
    };
    const std::vector<Seen> &Transfers() const { return seen_; }

protected:
    Result ClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data) override;
    bool Intercept(const SetupPacket &setup, std::span<uint8_t> data, Result &result) override;
    Result EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data) override;

private:
    Result Apply(Action &action, bool in, std::span<uint8_t> data);
    std::map<uint8_t, std::deque<Action>> endpoints_;
    std::map<uint16_t, std::deque<Action>> control_;
    std::vector<Seen> seen_;
};

// The default device of the demo: high speed, vendor interface 0 with bulk
// OUT 0x01 and bulk IN 0x81 (512 bytes) and interrupt IN 0x82 (8 bytes,
// every 8 microframes), remote wake-up, LANGID 0x0409, manufacturer,
// product and serial strings.
DeviceDescriptors LoopbackDescriptors();

// Makes the model a description names ("loopback" or "source-sink").
// Throws std::invalid_argument for another name.
std::unique_ptr<DeviceModel> MakeModel(const std::string &model, DeviceDescriptors descriptors);

}  // namespace vextora::usb
