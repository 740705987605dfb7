// What the idle tests share: a device with idle detection on and remote
// wake off, and the timings of its idle timer in virtual time.
#pragma once

#include "tests/power/PowerTestSupport.h"

#include <chrono>

namespace vxtest {

// The idle timer's period, and a wait long enough for a request the timer
// started to reach the bus and come back.
constexpr std::chrono::seconds kTick{5};
constexpr std::chrono::milliseconds kSettle{100};

inline FixtureOptions IdleOn()
{
    FixtureOptions options;
    options.RemoteWake = false;
    options.VextoraEnable = 1;
    return options;
}

}  // namespace vxtest
