#include "tools/vxsim/Explore.h"

#include <cstdio>
#include <ostream>
#include <sstream>

namespace vx {

namespace {

// One run of the steps; its own output is dropped.
bool RunOnce(const std::vector<Step> &steps, RunOptions options, std::ostream &log)
{
    Session session(std::move(options), log);
    return session.Run(steps).passed;
}

}  // namespace

ExploreResult Explore(const std::vector<Step> &steps, const RunOptions &options, const std::string &command,
                      uint64_t maxSchedules, std::ostream &out)
{
    ExploreResult result;
    const sim::ScheduleExplorer explorer(options.schedule.Bound);
    std::vector<sim::ScheduleChoice> choices;
    for (;;) {
        RunOptions one = options;
        one.schedule.Choices = choices;
        one.record = std::make_shared<sim::ScheduleRecord>();
        one.record->KeepBranches = true;
        sim::SchedulePlan replay;
        replay.Kind = sim::ScheduleKind::Replay;
        replay.Choices = choices;
        one.replay = "vxsim --seed " + std::to_string(options.seed) + " --schedule " + replay.Text() + " " + command;
        std::ostringstream log;
        const bool passed = RunOnce(steps, one, log);
        ++result.schedules;
        const sim::ScheduleRecord &record = *one.record;
        if (!record.Diverged.empty()) {
            out << "exhaustive: schedule " << result.schedules << " did not replay (" << record.Diverged
                << "): the scenario does something the schedule does not decide\n";
            result.failed = true;
            return result;
        }
        if (result.schedules == 1) {
            const double estimate = sim::ScheduleExplorer::Estimate(record, options.schedule.Bound);
            char text[32];
            std::snprintf(text, sizeof text, "%.3g", estimate);
            out << "exhaustive:" << options.schedule.Bound << ": the first schedule took " << record.Steps << " steps, "
                << record.Branches.size() << " with a choice; about " << text << " schedules within the bound\n";
            if (estimate > static_cast<double>(maxSchedules)) {
                out << "exhaustive:" << options.schedule.Bound << " is too large for this scenario: about " << text
                    << " schedules, more than --max-schedules " << maxSchedules
                    << "; lower the bound or shorten the scenario\n";
                result.tooLarge = true;
                return result;
            }
        }
        if (!passed) {
            out << "exhaustive: schedule " << result.schedules << " FAILED; its run:\n" << log.str();
            result.failed = true;
            return result;
        }
        if (!explorer.Next(record, choices)) {
            result.complete = true;
            break;
        }
        if (result.schedules >= maxSchedules) {
            break;
        }
    }
    out << "exhaustive:" << options.schedule.Bound << ": " << result.schedules << " schedules covered"
        << (result.complete ? ", every one within the bound: passed\n" : ", stopped at --max-schedules: passed\n");
    return result;
}

}  // namespace vx
