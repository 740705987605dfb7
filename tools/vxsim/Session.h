// One run of the simulator driven by scenario steps: a machine with the
// driver loaded, a USB bus, the devices plugged into it and the handles an
// application holds, with a line of output per step and a summary at the end.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/Schedule.h"
#include "tools/common/Scenario.h"

namespace sim::image {
class ImageFile;
}

namespace vx {

// vxsim's exit codes, the same for every command.
enum ExitCode : int {
    kExitPassed = 0,  // every check held
    kExitFailed = 1,  // a check did not hold (a step, the verifier, leaks, a refused device)
    kExitUsage = 2,   // the command line or an input file is wrong: nothing ran
    kExitHang = 4,    // the machine's hang detector stopped a run that waited for ever
};

struct RunOptions {
    uint64_t seed = 0;      // 0: VEXTORA_SEED or a fresh random seed (printed)
    bool realTime = false;  // wall-clock time instead of virtual time
    bool trace = false;     // print every IRP the driver sees, passes down and completes
    std::string pcap;       // USBPcap capture of every URB of every device
    // vextora.sys for x64, run in place of the driver built into vxsim.
    std::shared_ptr<const sim::image::ImageFile> image = nullptr;
    // Controlled mode (sim/kernel/Schedule.h): the strategy, the record the
    // machine fills, and the command that replays the run (printed on a
    // failure).
    sim::SchedulePlan schedule;
    std::shared_ptr<sim::ScheduleRecord> record;
    std::string replay;
};

struct Summary {
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
    uint64_t bytesVerified = 0;
    uint64_t requests = 0;
    uint64_t powerTransitions = 0;
    size_t verifierReports = 0;
    size_t poolBlocksLeft = 0;
    size_t poolBytesLeft = 0;
    std::string schedule;  // controlled mode: strategy, steps, decision hash
    bool passed = false;
};

class Session {
public:
    Session(RunOptions options, std::ostream &out);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Runs the steps in order; stops at the first one that fails. Then
    // cancels the reads still in flight, closes the handles, removes what is
    // still plugged in, unloads the driver and checks that nothing is left.
    // Returns the summary (passed only if everything held). A step that
    // waits for ever ends the process with kExitHang, after a FAILED line
    // that names it.
    Summary Run(const std::vector<Step> &steps);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

void PrintSummary(const Summary &summary, std::ostream &out);

}  // namespace vx
