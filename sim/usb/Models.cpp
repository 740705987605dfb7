#include "sim/usb/Models.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vextora::usb {

// ---------------------------------------------------------------------------
// Loopback
// ---------------------------------------------------------------------------
LoopbackModel::LoopbackModel(DeviceDescriptors descriptors, size_t fifoBytes)
    : DeviceModel(std::move(descriptors)), capacity_(fifoBytes)
{
    const char text[] = "Vextora loopback block";
    blockPayload_.assign(text, text + sizeof(text) - 1);
    shortAnswer_ = {0x56, 0x01};
}

void LoopbackModel::OnConfigured(uint8_t) { fifo_.clear(); }

Result LoopbackModel::ClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data)
{
    if (setup.RequestType == 0xA1 && setup.Request == 0) {
        std::vector<uint8_t> block;
        const size_t total = 2 + blockPayload_.size();
        block.push_back(static_cast<uint8_t>(total >> 8));
        block.push_back(static_cast<uint8_t>(total));
        block.insert(block.end(), blockPayload_.begin(), blockPayload_.end());
        const size_t n = std::min(block.size(), data.size());
        std::copy_n(block.begin(), n, data.begin());
        return Result::Ok(static_cast<uint32_t>(n));
    }
    if (setup.RequestType == 0xA1 && setup.Request == 1) {
        const size_t n = std::min(shortAnswer_.size(), data.size());
        std::copy_n(shortAnswer_.begin(), n, data.begin());
        return Result::Ok(static_cast<uint32_t>(n));
    }
    if (setup.RequestType == 0x23 && setup.Request == 2) {
        otherWrites_.emplace_back(data.begin(), data.end());
        return Result::Ok(static_cast<uint32_t>(data.size()));
    }
    return Result::Stalled();
}

Result LoopbackModel::EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data)
{
    if (endpoint.Type() == EndpointType::Interrupt) {
        if (!endpoint.IsIn()) {
            return Result::Ok(static_cast<uint32_t>(data.size()));
        }
        const uint16_t level = static_cast<uint16_t>(std::min<size_t>(fifo_.size(), 0xffff));
        const uint8_t report[2] = {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8)};
        const size_t n = std::min(sizeof(report), data.size());
        std::copy_n(report, n, data.begin());
        return Result::Ok(static_cast<uint32_t>(n));
    }
    if (endpoint.IsIn()) {
        if (fifo_.empty()) {
            return Result::NotReady();
        }
        const size_t n = std::min(fifo_.size(), data.size());
        std::copy_n(fifo_.begin(), n, data.begin());
        fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(n));
        NotifyProgress();
        return Result::Ok(static_cast<uint32_t>(n));
    }
    // OUT: take whole packets while they fit; the rest waits for room.
    const size_t mps = std::max<size_t>(endpoint.MaxPacketSize, 1);
    size_t room = capacity_ - fifo_.size();
    size_t n = data.size() <= room ? data.size() : (room / mps) * mps;
    fifo_.insert(fifo_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    if (n > 0) {
        NotifyProgress();
    }
    if (n == data.size()) {
        return Result::Ok(static_cast<uint32_t>(n));
    }
    return Result::NotReady(static_cast<uint32_t>(n));
}

// ---------------------------------------------------------------------------
// Source/sink
// ---------------------------------------------------------------------------
SourceSinkModel::SourceSinkModel(DeviceDescriptors descriptors) : DeviceModel(std::move(descriptors)) {}

uint64_t SourceSinkModel::BytesReceived(uint8_t ep) const
{
    auto it = received_.find(ep);
    return it == received_.end() ? 0 : it->second;
}

uint64_t SourceSinkModel::BytesSent(uint8_t ep) const
{
    auto it = sent_.find(ep);
    return it == sent_.end() ? 0 : it->second;
}

Result SourceSinkModel::EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data)
{
    if (endpoint.IsIn()) {
        uint64_t &n = sent_[endpoint.Address];
        for (auto &b : data) {
            b = PatternByte(n++);
        }
    } else {
        received_[endpoint.Address] += data.size();
    }
    return Result::Ok(static_cast<uint32_t>(data.size()));
}

// ---------------------------------------------------------------------------
// Scripted
// ---------------------------------------------------------------------------
ScriptedModel::ScriptedModel(DeviceDescriptors descriptors) : DeviceModel(std::move(descriptors)) {}

void ScriptedModel::OnEndpoint(uint8_t ep, Action action)
{
    endpoints_[ep].push_back(std::move(action));
    NotifyProgress();
}

void ScriptedModel::OnControl(uint8_t requestType, uint8_t request, Action action)
{
    control_[static_cast<uint16_t>(requestType << 8 | request)].push_back(std::move(action));
}

Result ScriptedModel::Apply(Action &action, bool in, std::span<uint8_t> data)
{
    Result r;
    switch (action.What) {
    case Action::Kind::Data:
        if (in) {
            const size_t n = std::min(action.Bytes.size(), data.size());
            std::copy_n(action.Bytes.begin(), n, data.begin());
            r = Result::Ok(static_cast<uint32_t>(n));
        } else {
            const uint32_t n = action.Accept ? std::min<uint32_t>(*action.Accept, static_cast<uint32_t>(data.size()))
                                             : static_cast<uint32_t>(data.size());
            r = Result::Ok(n);
        }
        break;
    case Action::Kind::Stall: r = Result::Stalled(); break;
    case Action::Kind::Nak: r = Result::NotReady(); break;
    case Action::Kind::Error: r = Result::Failed(action.UsbdStatus); break;
    case Action::Kind::Disconnect: r = Result::Gone(); break;
    }
    r.DelayNs = action.DelayNs;
    return r;
}

bool ScriptedModel::Intercept(const SetupPacket &setup, std::span<uint8_t> data, Result &result)
{
    auto it = control_.find(static_cast<uint16_t>(setup.RequestType << 8 | setup.Request));
    if (it == control_.end() || it->second.empty()) {
        return false;
    }
    Action action = std::move(it->second.front());
    it->second.pop_front();
    result = Apply(action, setup.IsIn(), data);
    return true;
}

Result ScriptedModel::ClassOrVendor(const SetupPacket &, std::span<uint8_t>) { return Result::Stalled(); }

Result ScriptedModel::EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data)
{
    Seen seen{endpoint.Address, static_cast<uint32_t>(data.size()), {}};
    if (!endpoint.IsIn()) {
        seen.OutData.assign(data.begin(), data.end());
    }
    seen_.push_back(std::move(seen));
    auto it = endpoints_.find(endpoint.Address);
    if (it == endpoints_.end() || it->second.empty()) {
        return endpoint.IsIn() ? Result::NotReady() : Result::Ok(static_cast<uint32_t>(data.size()));
    }
    // A NAK action stays at the head of the queue: the endpoint keeps
    // answering NAK until the transfer is cancelled.
    if (it->second.front().What == Action::Kind::Nak) {
        return Result::NotReady();
    }
    Action action = std::move(it->second.front());
    it->second.pop_front();
    return Apply(action, endpoint.IsIn(), data);
}

// ---------------------------------------------------------------------------
// The demo device
// ---------------------------------------------------------------------------
DeviceDescriptors LoopbackDescriptors()
{
    DeviceDescriptors d;
    d.Name = "loopback";
    d.DeviceSpeed = Speed::High;
    d.Device = {18,   0x01, 0x00, 0x02,  // USB 2.00
                0xff, 0x00, 0x00, 64,    // vendor class, EP0 64 bytes
                0x09, 0x12, 0x01, 0x78,  // VID 0x1209, PID 0x7801
                0x00, 0x01, 1,    2,     // bcdDevice 1.00, iManufacturer, iProduct
                3,    1};                // iSerialNumber, one configuration
    d.Configuration = {
        9, 0x02, 39,   0,    1,    1,    0,    0xA0, 50,  // bus powered, remote wake-up, 100 mA
        9, 0x04, 0,    0,    3,    0xff, 0x00, 0x00, 0,   // interface 0, 3 endpoints, vendor
        7, 0x05, 0x01, 0x02, 0x00, 0x02, 0,               // bulk OUT 1, 512
        7, 0x05, 0x81, 0x02, 0x00, 0x02, 0,               // bulk IN 1, 512
        7, 0x05, 0x82, 0x03, 0x08, 0x00, 4,               // interrupt IN 2, 8 bytes, 2^(4-1) microframes
    };
    d.Strings[0] = {4, 0x03, 0x09, 0x04};
    d.Strings[1] = StringDescriptor("Vextora");
    d.Strings[2] = StringDescriptor("Vextora Loopback");
    d.Strings[3] = StringDescriptor("VX0001");
    return d;
}

std::unique_ptr<DeviceModel> MakeModel(const std::string &model, DeviceDescriptors descriptors)
{
    if (model == "loopback") {
        return std::make_unique<LoopbackModel>(std::move(descriptors));
    }
    if (model == "source-sink") {
        return std::make_unique<SourceSinkModel>(std::move(descriptors));
    }
    throw std::invalid_argument("unknown device model '" + model + "'");
}

}  // namespace vextora::usb
