// Capture of the simulated bus in the USBPcap format (pcap link type 249,
// USBPCAP_BUFFER_PACKET_HEADER before each packet), readable by Wireshark
// and tshark. Thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <span>
#include <vector>

#include "sim/usb/DeviceModel.h"

namespace vextora::usb {

class UsbPcapWriter {
public:
    // Creates (truncates) the file; throws std::runtime_error when it cannot.
    // Records are written in blocks: Flush() (or the destructor) puts them
    // on disk.
    UsbPcapWriter(const std::filesystem::path &path, uint16_t bus);
    ~UsbPcapWriter();
    UsbPcapWriter(const UsbPcapWriter &) = delete;
    UsbPcapWriter &operator=(const UsbPcapWriter &) = delete;

    // IRP_INFO: a URB that moves no data (abort pipe, pipe resets).
    enum class Transfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3, IrpInfo = 0xFE };

    // The IRP id the records of one URB carry: 1, 2, 3 ... in the order the
    // URBs were submitted to the file's ports, so that the same run writes
    // the same file (USBPcap writes the IRP's address there).
    uint64_t NewIrpId();

    // A control transfer on `device`: the setup stage (and the host's data,
    // if any) at submission; the completion stage with the device's data.
    void ControlSubmit(uint16_t device, uint64_t irpId, uint64_t timeNs, uint16_t urbFunction, const SetupPacket &setup,
                       std::span<const uint8_t> outData);
    void ControlComplete(uint16_t device, uint64_t irpId, uint64_t timeNs, uint16_t urbFunction, int32_t usbdStatus,
                         uint8_t endpoint, std::span<const uint8_t> inData);

    // A bulk or interrupt transfer: OUT data at submission, IN data at
    // completion.
    void TransferSubmit(uint16_t device, uint64_t irpId, uint64_t timeNs, Transfer type, uint8_t endpoint,
                        std::span<const uint8_t> outData);
    void TransferComplete(uint16_t device, uint64_t irpId, uint64_t timeNs, Transfer type, uint8_t endpoint,
                          int32_t usbdStatus, std::span<const uint8_t> inData);

    // A pipe request (abort, reset) on the pipe of `endpoint`: the request
    // and its completion, with the URB function and no data.
    void PipeRequest(uint16_t device, uint64_t irpId, uint64_t timeNs, uint16_t urbFunction, uint8_t endpoint,
                     int32_t usbdStatus);

    void Flush();
    uint64_t Packets() const;

private:
    void Write(uint16_t device, uint64_t irpId, uint64_t timeNs, int32_t status, uint16_t function, bool completion,
               uint8_t endpoint, Transfer type, int stage, std::span<const uint8_t> payload);

    mutable std::mutex lock_;
    std::FILE *file_ = nullptr;
    std::vector<char> buffer_;
    uint16_t bus_;
    uint64_t packets_ = 0;
    uint64_t nextIrpId_ = 1;
};

}  // namespace vextora::usb
