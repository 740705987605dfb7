// WMI as a management application on the simulated machine sees it: classes
// described by the driver's binary MOF, instances named after the device, and
// property reads and writes by name.
#pragma once

#include <cstdint>
#include <string>

#include "sim/kernel/Machine.h"

namespace vx {

// Teaches the machine's WMI service the classes of the driver's MOF, compiled
// to the binary form and decoded back, the way WMI reads a driver's MOF
// resource. Data items are laid out in WmiDataId order. Throws
// std::runtime_error when the MOF cannot be compiled or decoded.
void RegisterDriverClasses(sim::Machine &machine);

// Reads or writes a property of the device's instance of the driver's class.
// PASSIVE_LEVEL, bound thread.
NTSTATUS WmiGet(sim::Machine &machine, PDEVICE_OBJECT pdo, const std::string &property, uint32_t *value);
NTSTATUS WmiSet(sim::Machine &machine, PDEVICE_OBJECT pdo, const std::string &property, uint32_t value);

}  // namespace vx
