// Capture of the simulated bus in the USBPcap format (pcap link type 249,
// USBPCAP_BUFFER_PACKET_HEADER before each packet), readable by Wireshark
// and tshark. Thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <span>

#include "sim/usb/DeviceModel.h"

namespace vextora::usb {

class UsbPcapWriter {
public:
    // Creates (truncates) the file; throws std::runtime_error when it cannot.
    UsbPcapWriter(const std::filesystem::path &path, uint16_t bus, uint16_t device);
    ~UsbPcapWriter();
    UsbPcapWriter(const UsbPcapWriter &) = delete;
    UsbPcapWriter &operator=(const UsbPcapWriter &) = delete;

    enum class Transfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

    // A control transfer: the setup stage (and the host's data, if any) at
    // submission; the completion stage with the device's data.
    void ControlSubmit(uint64_t irpId, uint64_t timeNs, uint16_t urbFunction, const SetupPacket &setup,
                       std::span<const uint8_t> outData);
    void ControlComplete(uint64_t irpId, uint64_t timeNs, uint16_t urbFunction, int32_t usbdStatus,
                         uint8_t endpoint, std::span<const uint8_t> inData);

    // A bulk or interrupt transfer: OUT data at submission, IN data at
    // completion.
    void TransferSubmit(uint64_t irpId, uint64_t timeNs, Transfer type, uint8_t endpoint,
                        std::span<const uint8_t> outData);
    void TransferComplete(uint64_t irpId, uint64_t timeNs, Transfer type, uint8_t endpoint,
                          int32_t usbdStatus, std::span<const uint8_t> inData);

    uint64_t Packets() const;

private:
    void Write(uint64_t irpId, uint64_t timeNs, int32_t status, uint16_t function, bool completion,
               uint8_t endpoint, Transfer type, int stage, std::span<const uint8_t> payload);

    mutable std::mutex lock_;
    std::FILE *file_ = nullptr;
    uint16_t bus_;
    uint16_t device_;
    uint64_t packets_ = 0;
};

}  // namespace vextora::usb
