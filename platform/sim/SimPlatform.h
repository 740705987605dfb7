// Simulator build: the WDM, USB and WMI names as the simulated platform
// defines them. Included only through platform/Platform.h.
#pragma once

#include "platform/sim/SimWdm.h"
#include "platform/sim/SimServices.h"

#if __has_include("platform/sim/SimUsb.h")
#include "platform/sim/SimUsb.h"
#endif
#if __has_include("platform/sim/SimWmi.h")
#include "platform/sim/SimWmi.h"
#endif
