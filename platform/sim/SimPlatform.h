// Simulator build: the WDM, USB and WMI names as the simulated platform
// defines them. Included only through platform/Platform.h.
#pragma once

#include "platform/sim/SimWdm.h"
#include "platform/sim/SimServices.h"

#include "platform/sim/SimUsb.h"
#include "platform/sim/SimWmi.h"
