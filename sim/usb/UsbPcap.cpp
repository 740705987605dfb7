#include "sim/usb/UsbPcap.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vextora::usb {

namespace {

constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr int kStageSetup = 0;
constexpr int kStageData = 1;
constexpr int kStageComplete = 3;
constexpr int kNoStage = -1;

void Put16(std::vector<uint8_t> &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t> &b, uint32_t v)
{
    Put16(b, static_cast<uint16_t>(v));
    Put16(b, static_cast<uint16_t>(v >> 16));
}
void Put64(std::vector<uint8_t> &b, uint64_t v)
{
    Put32(b, static_cast<uint32_t>(v));
    Put32(b, static_cast<uint32_t>(v >> 32));
}

}  // namespace

UsbPcapWriter::UsbPcapWriter(const std::filesystem::path &path, uint16_t bus) : buffer_(1 << 18), bus_(bus)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        throw std::runtime_error("cannot create capture file " + path.string() + ": " + std::strerror(errno));
    }
    // A run of thousands of transfers would otherwise spend as long in
    // write calls as in the transfers.
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    std::vector<uint8_t> header;
    Put32(header, 0xa1b2c3d4);  // microsecond timestamps
    Put16(header, 2);
    Put16(header, 4);
    Put32(header, 0);             // thiszone
    Put32(header, 0);             // sigfigs
    Put32(header, 0x40000 + 64);  // snaplen: the largest transfer and its header
    Put32(header, kLinkTypeUsbPcap);
    std::fwrite(header.data(), 1, header.size(), file_);
}

UsbPcapWriter::~UsbPcapWriter()
{
    if (file_) {
        std::fclose(file_);
    }
}

uint64_t UsbPcapWriter::NewIrpId()
{
    std::lock_guard guard(lock_);
    return nextIrpId_++;
}

void UsbPcapWriter::Flush()
{
    std::lock_guard guard(lock_);
    std::fflush(file_);
}

uint64_t UsbPcapWriter::Packets() const
{
    std::lock_guard guard(lock_);
    return packets_;
}

void UsbPcapWriter::Write(uint16_t device, uint64_t irpId, uint64_t timeNs, int32_t status, uint16_t function,
                          bool completion, uint8_t endpoint, Transfer type, int stage, std::span<const uint8_t> payload)
{
    // USBPCAP_BUFFER_PACKET_HEADER, packed: headerLen, irpId, status,
    // function, info, bus, device, endpoint, transfer, dataLength (27
    // bytes), then the control stage byte for control transfers.
    std::vector<uint8_t> rec;
    const uint16_t headerLen = stage == kNoStage ? 27 : 28;
    Put16(rec, headerLen);
    Put64(rec, irpId);
    Put32(rec, static_cast<uint32_t>(status));
    Put16(rec, function);
    rec.push_back(completion ? 1 : 0);  // USBPCAP_INFO_PDO_TO_FDO
    Put16(rec, bus_);
    Put16(rec, device);
    rec.push_back(endpoint);
    rec.push_back(static_cast<uint8_t>(type));
    Put32(rec, static_cast<uint32_t>(payload.size()));
    if (stage != kNoStage) {
        rec.push_back(static_cast<uint8_t>(stage));
    }
    rec.insert(rec.end(), payload.begin(), payload.end());

    std::vector<uint8_t> hdr;
    const uint64_t us = timeNs / 1000;
    Put32(hdr, static_cast<uint32_t>(us / 1'000'000));
    Put32(hdr, static_cast<uint32_t>(us % 1'000'000));
    Put32(hdr, static_cast<uint32_t>(rec.size()));
    Put32(hdr, static_cast<uint32_t>(rec.size()));

    std::lock_guard guard(lock_);
    std::fwrite(hdr.data(), 1, hdr.size(), file_);
    std::fwrite(rec.data(), 1, rec.size(), file_);
    packets_++;
}

void UsbPcapWriter::ControlSubmit(uint16_t device, uint64_t irpId, uint64_t timeNs, uint16_t urbFunction,
                                  const SetupPacket &setup, std::span<const uint8_t> outData)
{
    const auto bytes = setup.Bytes();
    const uint8_t endpoint = setup.IsIn() ? 0x80 : 0x00;
    Write(device, irpId, timeNs, 0, urbFunction, false, endpoint, Transfer::Control, kStageSetup, bytes);
    if (!setup.IsIn() && !outData.empty()) {
        Write(device, irpId, timeNs, 0, urbFunction, false, endpoint, Transfer::Control, kStageData, outData);
    }
}

void UsbPcapWriter::ControlComplete(uint16_t device, uint64_t irpId, uint64_t timeNs, uint16_t urbFunction,
                                    int32_t usbdStatus, uint8_t endpoint, std::span<const uint8_t> inData)
{
    Write(device, irpId, timeNs, usbdStatus, urbFunction, true, endpoint, Transfer::Control, kStageComplete, inData);
}

void UsbPcapWriter::TransferSubmit(uint16_t device, uint64_t irpId, uint64_t timeNs, Transfer type, uint8_t endpoint,
                                   std::span<const uint8_t> outData)
{
    Write(device, irpId, timeNs, 0, 0x0009, false, endpoint, type, kNoStage,
          (endpoint & 0x80) ? std::span<const uint8_t>() : outData);
}

void UsbPcapWriter::TransferComplete(uint16_t device, uint64_t irpId, uint64_t timeNs, Transfer type, uint8_t endpoint,
                                     int32_t usbdStatus, std::span<const uint8_t> inData)
{
    Write(device, irpId, timeNs, usbdStatus, 0x0009, true, endpoint, type, kNoStage,
          (endpoint & 0x80) ? inData : std::span<const uint8_t>());
}

void UsbPcapWriter::PipeRequest(uint16_t device, uint64_t irpId, uint64_t timeNs, uint16_t urbFunction,
                                uint8_t endpoint, int32_t usbdStatus)
{
    Write(device, irpId, timeNs, 0, urbFunction, false, endpoint, Transfer::IrpInfo, kNoStage, {});
    Write(device, irpId, timeNs, usbdStatus, urbFunction, true, endpoint, Transfer::IrpInfo, kNoStage, {});
}

}  // namespace vextora::usb
