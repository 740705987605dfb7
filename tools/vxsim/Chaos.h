// `vxsim chaos`: random PnP, power, idle and application activity from
// several threads against the driver on the loopback device, with the
// verifier armed, and the checks that nothing was lost on the way.
//
// Each thread's operations, and every choice inside each operation, derive
// only from (seed, thread index, operation number): a printed seed replays
// the same operation streams. With real threads the interleaving still
// differs from run to run (rerun a seed with --repeat); --serial runs the
// streams on one thread in an order drawn from --seed, with transfers
// completed in the submitting thread, which replays far more exactly.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace sim::image {
class ImageFile;
}

#include "sim/kernel/Schedule.h"

namespace vx {

struct ChaosOptions {
    uint64_t seed = 1;
    uint64_t ops = 2000;       // application operations, over all threads
    unsigned appThreads = 3;   // besides the thread that drives PnP and power
    bool progress = false;     // a progress bar on the terminal
    bool randomYields = true;  // random delays at thread hand-offs
    bool serial = false;       // every stream on one thread, interleaved by --seed
    // vextora.sys for x64, run in place of the driver built into vxsim.
    std::shared_ptr<const sim::image::ImageFile> image = nullptr;
    std::string imagePath;       // the image as named on the command line, for the replay command
    sim::SchedulePlan schedule;  // threaded, or a controlled mode's strategy
    bool firstFailure = false;   // RunChaosSeeds stops at the first failed run
};

struct ChaosResult {
    bool passed = false;
    std::string failure;  // what went wrong, the last operations of each thread, the reproduction command
    uint64_t appOps = 0;
    uint64_t systemOps = 0;
    uint64_t bytesVerified = 0;
    uint64_t requests = 0;
    uint64_t replugs = 0;
    // The orders that meet PnP, power, idle and I/O at their edges.
    uint64_t parkedReads = 0;             // reads left waiting for data while the run goes on
    uint64_t abandonedReads = 0;          // handles closed with a read waiting
    uint64_t idleTickOpens = 0;           // an open and a control request at an idle check
    uint64_t powerAtIdleTicks = 0;        // system and device power requests at an idle check
    uint64_t restarts = 0;                // starts of a started device
    uint64_t queriesAnsweredByStart = 0;  // query-stop or query-remove answered by a start
    // Of every operation of every thread and the status it met: --serial
    // runs of one seed give the same digest.
    uint64_t digest = 0;
    // Controlled mode: the steps and the hash of every scheduling decision.
    uint64_t scheduleSteps = 0;
    uint64_t scheduleHash = 0;
};

// The command line that runs exactly these options for one seed.
std::string ChaosCommand(const ChaosOptions &options);

ChaosResult RunChaos(const ChaosOptions &options, std::ostream &out);

// Every run of RunChaosSeeds, for a machine-readable summary.
struct ChaosSummary {
    struct Run {
        uint64_t seed = 0;
        ChaosResult result;
    };
    std::vector<Run> runs;
    uint64_t failures = 0;
    double seconds = 0;  // wall time of them all
};

// Seeds options.seed .. options.seed + seeds - 1, each run `repeat` times;
// prints one line per run, the failures in full and a summary with the wall
// time, and fills *summary when given. Returns the number of failed runs.
uint64_t RunChaosSeeds(const ChaosOptions &options, uint64_t seeds, uint64_t repeat, std::ostream &out,
                       ChaosSummary *summary = nullptr);

// The summary as JSON: the options, each run's figures and failure, the
// totals and the wall time.
std::string ChaosJson(const ChaosOptions &options, const ChaosSummary &summary);

}  // namespace vx
