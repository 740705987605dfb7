// `vxsim capture SYSFS_DIR`: a description file of a real device, written
// from what Linux shows of it in sysfs (/sys/bus/usb/devices/N-M):
//
//   descriptors          the device descriptor, then every configuration
//                        descriptor as the device returned it (raw bytes)
//   speed                1.5, 12, 480, 5000 ... (Mb/s)
//   manufacturer, product, serial
//                        the strings the device descriptor names, as text
//   bConfigurationValue  the configuration now selected
//   configuration        the text of that configuration's iConfiguration
//   N-M:C.I/             one folder per interface of the selected
//                        configuration: bInterfaceNumber, bAlternateSetting
//                        and `interface` (the text of iInterface)
//
// Sysfs holds no LANGID list; the file lists US English (0x0409), which is
// what a host asks for, and says so in its notes.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>

namespace vx {

// The description file's text; throws std::runtime_error naming what is
// missing or malformed in the folder.
std::string CaptureDescription(const std::filesystem::path &dir);

// The command: the description on `out`, or a message on `err`. Exit codes:
// 0 written; 1 written, but the simulator refuses the device (the reason
// on `err`); 2 the folder cannot be read as a USB device.
int Capture(const std::filesystem::path &dir, std::ostream &out, std::ostream &err);

// UTF-8 text as the string descriptor that carries it (bLength, type 3,
// UTF-16LE); malformed bytes become U+FFFD, and the text is cut to the 126
// code units a descriptor holds.
std::string StringDescriptorHex(const std::string &utf8);

}  // namespace vx
