// `vxsim chaos`: random PnP, power, idle and application activity from
// several threads against the driver on the loopback device, with the
// verifier armed, and the checks that nothing was lost on the way.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace vx {

struct ChaosOptions {
    uint64_t seed = 1;
    uint64_t ops = 2000;       // application operations, over all threads
    unsigned appThreads = 3;   // besides the thread that drives PnP and power
    bool progress = false;     // a progress bar on the terminal
    bool randomYields = true;  // random delays at thread hand-offs
};

struct ChaosResult {
    bool passed = false;
    std::string failure;  // what went wrong, with the reproduction command
    uint64_t appOps = 0;
    uint64_t systemOps = 0;
    uint64_t bytesVerified = 0;
    uint64_t requests = 0;
    uint64_t replugs = 0;
};

ChaosResult RunChaos(const ChaosOptions &options, std::ostream &out);

}  // namespace vx
