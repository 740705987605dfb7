// The least a USB function driver can do for a read or a write: turn it
// into one bulk-or-interrupt URB over the caller's own MDL and pass it down
// with a completion routine. It configures the device at start, opens pipes
// by the last digit of the file name and passes every other request down.
// The benchmarks run it beside vextora on the same simulated bus, as the
// floor for the cost of a request.
#pragma once

#include "platform/Platform.h"

namespace passthrough {

// The interface class its devices are registered under.
extern const GUID InterfaceClass;

// Entry point for Machine::LoadDriver. PASSIVE_LEVEL.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

}  // namespace passthrough
