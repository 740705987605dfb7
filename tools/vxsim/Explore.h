// `vxsim run FILE --schedule exhaustive:B`: every schedule of a scenario
// with at most B preemptions, one run each.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/common/Scenario.h"
#include "tools/vxsim/Session.h"

namespace vx {

struct ExploreResult {
    uint64_t schedules = 0;  // runs made
    bool complete = false;   // every schedule within the bound was run
    bool failed = false;     // one of them failed (its replay command printed)
    bool tooLarge = false;   // the bound is too large for the scenario (nothing run past the first)
};

// Runs the steps under options.schedule (Exhaustive) until every schedule
// within its bound has run, one fails, or maxSchedules have run. The first
// run estimates the search; when the estimate exceeds maxSchedules the
// search stops there (tooLarge). Each run's own output is dropped; a failed
// one is run again with it, from its replay schedule.
// `command` follows the global options in the replay command ("run FILE").
ExploreResult Explore(const std::vector<Step> &steps, const RunOptions &options, const std::string &command,
                      uint64_t maxSchedules, std::ostream &out);

}  // namespace vx
