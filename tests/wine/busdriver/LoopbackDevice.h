// The loopback USB device that the Wine harness's bus driver plays: the
// answers of its default control pipe and of its endpoints. Freestanding
// C++17 (no standard library, no allocation): it is compiled into the
// kernel-mode bus driver and, unchanged, into a simulator-build test that
// holds it against the simulator's own loopback model.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vxbus {

// The descriptors, as they go on the wire. Strings[i] is the whole string
// descriptor of index i (bLength first), or null when the device has none.
struct Descriptors {
    const uint8_t *Device;  // 18 bytes
    const uint8_t *Configuration;  // wTotalLength bytes
    static constexpr unsigned kStringSlots = 8;
    const uint8_t *Strings[kStringSlots];
};

struct Setup {
    uint8_t RequestType;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
};

// How a transfer ended. Bytes is what moved in the data stage. Nak: the
// device had nothing to send (a bulk IN endpoint with an empty FIFO); on a
// real bus the host controller asks again until data comes.
struct Outcome {
    bool Stalled;
    uint32_t Bytes;
    bool Nak;
};

class LoopbackDevice {
public:
    // As large as the simulator's loopback model's, so that the largest
    // request the driver takes (256 KiB) loops back whole.
    static constexpr uint32_t kFifoBytes = 1024 * 1024;

    // `fifo` is kFifoBytes of storage the caller keeps (non-paged pool in the
    // bus driver). The descriptors are not copied and must stay.
    LoopbackDevice(const Descriptors &descriptors, uint8_t *fifo);

    // A control transfer on the default pipe. `data` holds `length` bytes:
    // the data stage to send (host to device) or room for the answer. At
    // most min(length, setup.Length) bytes are used.
    Outcome Control(const Setup &setup, uint8_t *data, uint32_t length);

    // A bulk or interrupt transfer on the endpoint with this address. OUT
    // data on a bulk endpoint goes into the loopback FIFO (as much as fits);
    // bulk IN takes from it, and NAKs while it is empty; interrupt IN
    // reports the FIFO level, 16 bits little-endian. An endpoint the
    // configuration lacks stalls.
    Outcome Transfer(uint8_t endpointAddress, uint8_t *data, uint32_t length);

    // SET_CONFIGURATION's effect: 0 unconfigures, the FIFO is emptied.
    void Configure(uint8_t value);
    uint8_t ConfigurationValue() const { return configuration_; }
    const Descriptors &Described() const { return descriptors_; }
    uint32_t FifoLevel() const { return level_; }

    // Descriptor lookups on the configuration, for the bus driver's
    // select-configuration: the interface descriptor (number, alternate
    // setting) and its endpoint descriptors in order.
    const uint8_t *FindInterface(uint8_t number, uint8_t alternate) const;
    // The k-th endpoint descriptor after `interfaceDescriptor`, or null.
    const uint8_t *FindEndpoint(const uint8_t *interfaceDescriptor, unsigned k) const;
    uint16_t ConfigurationLength() const;

private:
    Outcome Answer(const uint8_t *source, uint32_t sourceLength, uint8_t *data, uint32_t room);
    bool LanguageListed(uint16_t language) const;
    const uint8_t *EndpointDescriptor(uint8_t address) const;

    const Descriptors &descriptors_;
    uint8_t *fifo_;
    uint32_t head_ = 0;
    uint32_t level_ = 0;
    uint8_t configuration_ = 0;
};

}  // namespace vxbus
