// A simulated USB device behind a port of the simulated hub: its
// descriptors, the standard requests of the USB 2.0 specification (chapter
// 9.4) and, in subclasses, its class requests and endpoint behaviour.
//
// The bus calls a model from one thread at a time (it holds the port's lock),
// so models need no locking of their own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/usb/Descriptors.h"

namespace vextora::usb {

struct SetupPacket {
    uint8_t RequestType = 0;
    uint8_t Request = 0;
    uint16_t Value = 0;
    uint16_t Index = 0;
    uint16_t Length = 0;

    bool IsIn() const { return (RequestType & 0x80) != 0; }
    uint8_t Type() const { return (RequestType >> 5) & 0x3; }  // 0 standard, 1 class, 2 vendor
    uint8_t Recipient() const { return RequestType & 0x1f; }   // 0 device, 1 interface, 2 endpoint, 3 other
    std::array<uint8_t, 8> Bytes() const
    {
        return {RequestType,
                Request,
                static_cast<uint8_t>(Value),
                static_cast<uint8_t>(Value >> 8),
                static_cast<uint8_t>(Index),
                static_cast<uint8_t>(Index >> 8),
                static_cast<uint8_t>(Length),
                static_cast<uint8_t>(Length >> 8)};
    }
    bool operator==(const SetupPacket &) const = default;
};

// What the device did with one transfer (or with what was left of it).
enum class Outcome : uint8_t {
    Done,        // Actual bytes moved; the transfer is over
    Nak,         // Actual bytes moved so far (maybe 0); ask again later
    Stall,       // the endpoint answered STALL and is halted
    Error,       // the transaction failed with UsbdStatus
    Disconnect,  // the device left the bus
};

struct Result {
    Outcome Kind = Outcome::Done;
    uint32_t Actual = 0;
    int32_t UsbdStatus = 0;
    uint64_t DelayNs = 0;  // extra latency before the answer, in virtual time

    static Result Ok(uint32_t actual) { return {Outcome::Done, actual, 0, 0}; }
    static Result NotReady(uint32_t actual = 0) { return {Outcome::Nak, actual, 0, 0}; }
    static Result Stalled() { return {Outcome::Stall, 0, 0, 0}; }
    static Result Failed(int32_t usbdStatus) { return {Outcome::Error, 0, usbdStatus, 0}; }
    static Result Gone() { return {Outcome::Disconnect, 0, 0, 0}; }
};

// The descriptors of a device, byte-exact.
struct DeviceDescriptors {
    std::string Name;
    Speed DeviceSpeed = Speed::High;
    std::vector<uint8_t> Device;                      // 18 bytes
    std::vector<uint8_t> Configuration;               // wTotalLength bytes
    std::map<uint8_t, std::vector<uint8_t>> Strings;  // index -> whole string descriptor
};

class DeviceModel {
public:
    // Throws DescriptorError when the descriptors are malformed.
    explicit DeviceModel(DeviceDescriptors descriptors);
    virtual ~DeviceModel() = default;
    DeviceModel(const DeviceModel &) = delete;
    DeviceModel &operator=(const DeviceModel &) = delete;

    const DeviceDescriptors &Descriptors() const { return descriptors_; }
    const ConfigurationInfo &Configuration() const { return config_; }
    Speed DeviceSpeed() const { return descriptors_.DeviceSpeed; }

    // A control transfer on the default pipe. For a device-to-host request
    // the model fills data (Length bytes at most); for host-to-device data
    // holds what the host sent. Standard requests are served here; class and
    // vendor requests go to ClassOrVendor.
    Result Control(const SetupPacket &setup, std::span<uint8_t> data);

    // One attempt at a bulk or interrupt transfer of data.size() bytes on
    // endpoint (IN: fill data; OUT: consume it). A halted endpoint stalls.
    Result Transfer(const EndpointInfo &endpoint, std::span<uint8_t> data);

    // Bus events.
    virtual void OnConfigured(uint8_t configurationValue) { (void)configurationValue; }
    virtual void OnSuspend() {}
    virtual void OnResume() {}
    virtual void OnPortReset();
    virtual void OnAbort(uint8_t endpointAddress) { (void)endpointAddress; }

    bool IsHalted(uint8_t endpointAddress) const { return halted_.count(endpointAddress) != 0; }
    void ClearHalt(uint8_t endpointAddress) { halted_.erase(endpointAddress); }
    // The endpoint stalls every transfer until its halt is cleared, as after
    // a functional stall (USB 2.0, 8.4.5, 9.4.5).
    void HaltEndpoint(uint8_t endpointAddress) { Halt(endpointAddress); }
    bool RemoteWakeupEnabled() const { return remoteWakeEnabled_; }
    uint8_t ConfigurationValue() const { return configValue_; }

    // Every setup packet the device has seen, in order.
    const std::vector<SetupPacket> &SetupLog() const { return setupLog_; }

    // True when no transfer's outcome changes another's answer (a source or
    // sink per endpoint): the bus then retries NAKed transfers only when the
    // model kicks it, not after every completion.
    virtual bool AnswersIndependently() const { return false; }

    // Set by the bus: the model calls it when an endpoint that answered NAK
    // may now make progress (data arrived, space freed).
    std::function<void()> Kick;

protected:
    virtual Result ClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data);
    // Lets a model answer any control request itself, standard ones included.
    virtual bool Intercept(const SetupPacket &setup, std::span<uint8_t> data, Result &result)
    {
        (void)setup;
        (void)data;
        (void)result;
        return false;
    }
    virtual Result EndpointTransfer(const EndpointInfo &endpoint, std::span<uint8_t> data) = 0;
    void Halt(uint8_t endpointAddress) { halted_.insert(endpointAddress); }
    void NotifyProgress()
    {
        if (Kick) {
            Kick();
        }
    }

private:
    Result Standard(const SetupPacket &setup, std::span<uint8_t> data);
    static Result Answer(std::span<const uint8_t> source, std::span<uint8_t> data);

    DeviceDescriptors descriptors_;
    ConfigurationInfo config_;
    std::set<uint8_t> halted_;
    bool remoteWakeEnabled_ = false;
    uint8_t configValue_ = 0;
    std::vector<SetupPacket> setupLog_;
};

// Builds a string descriptor from ASCII text.
std::vector<uint8_t> StringDescriptor(const std::string &ascii);

}  // namespace vextora::usb
