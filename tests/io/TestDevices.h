// Devices the I/O tests plug in besides the stock loopback.
#pragma once

#include "sim/usb/Models.h"

#include <memory>

namespace iotest {

// Eight pipes on interface 0, to exercise the pipe-name rule and the pipe
// types a transfer accepts:
//   0: bulk OUT 0x01      1: bulk IN 0x82       2: interrupt OUT 0x03
//   3: isochronous IN 0x84 4: bulk OUT 0x05     5: bulk OUT 0x06
//   6: bulk OUT 0x07      7: bulk OUT 0x08
inline constexpr uint8_t kEightPipeEndpoints[8] = {0x01, 0x82, 0x03, 0x84, 0x05, 0x06, 0x07, 0x08};

inline vextora::usb::DeviceDescriptors EightPipeDescriptors()
{
    vextora::usb::DeviceDescriptors d;
    d.Name = "eight-pipes";
    d.DeviceSpeed = vextora::usb::Speed::High;
    d.Device = {18, 0x01, 0x00, 0x02, 0xff, 0x00, 0x00, 64, 0x09, 0x12, 0x02, 0x78, 0x00, 0x01, 0, 0, 0, 1};
    d.Configuration = {9, 0x02, 74, 0, 1, 1, 0, 0x80, 50,  // no remote wake-up
                       9, 0x04, 0, 0, 8, 0xff, 0x00, 0x00, 0,
                       7, 0x05, 0x01, 0x02, 0x00, 0x02, 0,
                       7, 0x05, 0x82, 0x02, 0x00, 0x02, 0,
                       7, 0x05, 0x03, 0x03, 0x08, 0x00, 4,
                       7, 0x05, 0x84, 0x01, 0x40, 0x00, 1,
                       7, 0x05, 0x05, 0x02, 0x00, 0x02, 0,
                       7, 0x05, 0x06, 0x02, 0x00, 0x02, 0,
                       7, 0x05, 0x07, 0x02, 0x00, 0x02, 0,
                       7, 0x05, 0x08, 0x02, 0x00, 0x02, 0};
    d.Strings[0] = {4, 0x03, 0x09, 0x04};
    return d;
}

inline std::unique_ptr<vextora::usb::ScriptedModel> EightPipeDevice()
{
    return std::make_unique<vextora::usb::ScriptedModel>(EightPipeDescriptors());
}

inline std::unique_ptr<vextora::usb::ScriptedModel> ScriptedLoopback()
{
    return std::make_unique<vextora::usb::ScriptedModel>(vextora::usb::LoopbackDescriptors());
}

}  // namespace iotest
