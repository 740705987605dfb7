// The kernel services a loaded x64 image may import: by module (ntoskrnl.exe,
// hal.dll, usbd.sys, wmilib.sys) and name, as Windows exports them, each
// bound to the simulator's implementation of that service. The services are
// NTAPI (the Windows x64 convention) in the simulator build, so the image
// calls them directly.
#pragma once

#include <string_view>

namespace sim::image {

enum class Lookup {
    Found,
    UnknownModule,   // the simulator provides no module of that name
    UnknownService,  // the module exists, the service does not
};

// The address of Module!Name in *Address when found. Module names compare
// without regard to case, as the Windows loader compares them.
Lookup FindService(std::string_view Module, std::string_view Name, const void **Address);

}  // namespace sim::image
