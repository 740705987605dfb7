// The platform release a machine pretends to be, as IoIsWdmVersionAvailable
// reports it: the highest WDM version each release supports.
#pragma once

#include "sim/kernel/Machine.h"

namespace sim {

enum class WindowsRelease {
    Windows98,          // WDM 1.00
    Windows98SE,        // WDM 1.00 (as the first edition)
    WindowsMe,          // WDM 1.05
    Windows2000,        // WDM 1.10
    WindowsXP,          // WDM 1.20
    WindowsServer2003,  // WDM 1.30
};

// Sets the options' WDM version for the release.
inline MachineOptions &ForRelease(MachineOptions &Options, WindowsRelease Release)
{
    Options.WdmMajor = 1;
    switch (Release) {
    case WindowsRelease::Windows98:
    case WindowsRelease::Windows98SE: Options.WdmMinor = 0x00; break;
    case WindowsRelease::WindowsMe: Options.WdmMinor = 0x05; break;
    case WindowsRelease::Windows2000: Options.WdmMinor = 0x10; break;
    case WindowsRelease::WindowsXP: Options.WdmMinor = 0x20; break;
    case WindowsRelease::WindowsServer2003: Options.WdmMinor = 0x30; break;
    }
    return Options;
}

}  // namespace sim
