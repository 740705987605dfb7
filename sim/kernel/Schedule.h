// The controlled mode of the machine: one simulated thread runs at a time,
// and at every scheduling point a strategy picks the thread that runs next.
// The same seed and strategy give the same interleaving; a hash of the
// decisions, printed at the end of a run, shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

enum class ScheduleKind {
    Threaded,    // every simulated thread on its own OS thread, all at once
    Random,      // a seeded random walk: any enabled thread at every point
    Pct,         // probabilistic concurrency testing with a bug depth
    Exhaustive,  // one schedule of a bounded search (see ScheduleExplorer)
    Replay,      // the default scheduler, except at the listed steps
};

// One choice that differs from the default scheduler's: at scheduling
// step Step, the option with index Option (0 is the default: the running
// thread goes on, or, when it cannot, the enabled thread with the lowest
// id; the others follow by id).
struct ScheduleChoice {
    uint64_t Step = 0;
    uint32_t Option = 0;
    bool operator==(const ScheduleChoice &) const = default;
};

struct SchedulePlan {
    ScheduleKind Kind = ScheduleKind::Threaded;
    unsigned Depth = 0;                   // Pct: the bug depth, D - 1 priority change points
    uint64_t Steps = 0;                   // Pct: change points fall in steps 1..Steps
    unsigned Bound = 0;                   // Exhaustive: the most departures from the default scheduler
    std::vector<ScheduleChoice> Choices;  // Exhaustive and Replay

    bool Controlled() const { return Kind != ScheduleKind::Threaded; }
    // The text that ParseSchedule turns back into this plan.
    std::string Text() const;
};

inline constexpr unsigned kMaxPctDepth = 16;
inline constexpr uint64_t kDefaultPctSteps = 20000;
inline constexpr unsigned kMaxExhaustiveBound = 4;

// "threaded", "random", "pct:D", "pct:D:STEPS", "exhaustive:B",
// "replay:STEP.OPTION,..." (also "replay:" for the default scheduler).
// Anything else: nullopt and a message in Error.
std::optional<SchedulePlan> ParseSchedule(std::string_view Text, std::string &Error);

// What a controlled run decided. The machine fills it as it runs; it
// outlives the machine (MachineOptions::ScheduleRecord).
struct ScheduleRecord {
    uint64_t Steps = 0;        // scheduling points passed
    uint64_t Hash = 0;         // of every decision, in order
    uint64_t Switches = 0;     // points where another thread took the turn
    uint64_t Preemptions = 0;  // ... while the running one could have gone on
    uint64_t Suppressed = 0;   // points passed while a host lock was held
    uint64_t ReportStep = 0;   // the step of the first verifier report, 0: none
    // Every step that had more than one option, for the bounded search.
    struct Branch {
        uint64_t Step;
        uint32_t Options;
        uint32_t Chosen;
        bool Preemptive;  // an option other than 0 is a preemption
    };
    bool KeepBranches = false;
    std::vector<Branch> Branches;
    // Replay and Exhaustive: a listed step that had fewer options than its
    // choice names (the run is not the one the choices came from).
    std::string Diverged;
};

// The bounded search, run by run: each run follows the choices it is
// given and records its branches; Next() gives the choices of the next
// schedule in depth-first order, within the bound. The bound counts the
// choices that depart from the default scheduler: a preemption, and also
// another thread than the default's where the running one blocks (so the
// schedules within bound B grow as steps^B; with the blocks free they grow
// as the product of every block's choices, far too many for any scenario).
class ScheduleExplorer {
public:
    explicit ScheduleExplorer(unsigned Bound) : bound_(Bound) {}
    // False when every schedule within the bound has been run.
    bool Next(const ScheduleRecord &Last, std::vector<ScheduleChoice> &Choices) const;
    // About how many schedules the search runs, from its first run (all
    // defaults); saturates at 1e18.
    static double Estimate(const ScheduleRecord &First, unsigned Bound);

private:
    unsigned bound_;
};

}  // namespace sim
