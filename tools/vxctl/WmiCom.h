// The driver's WMI data block through the WMI service (COM: IWbemLocator,
// IWbemServices), the way a management application reaches it on Windows.
// Windows builds only.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace vxctl {

// Reads (value empty) or writes `property` of every instance of the
// driver's class, looking for the class in root\default, then root\WMI.
// Prints one line per instance ("wmi NAME = VALUE" / "wmi NAME := VALUE:
// STATUS", as vxsim does). Returns an Exit code.
int WmiProperty(const std::string &property, std::optional<uint32_t> value, std::ostream &out, std::ostream &err);

}  // namespace vxctl
