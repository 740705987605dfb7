// The scenarios of tests/vxsim/orders each reach an order of PnP, power, idle
// and I/O in which a wait of the driver once had no waker. Run under PCT, they
// must pass for every seed: a hang aborts the run with its schedule, a
// verifier report or a failed step fails it here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/vxsim/Session.h"

namespace {

TEST(Orders, EachScenarioPassesUnderPct)
{
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(VEXTORA_ORDERS_DIR))
        if (entry.path().extension() == ".vxs")
            files.push_back(entry.path());
    ASSERT_GE(files.size(), 6u);
    std::sort(files.begin(), files.end());
    std::string error;
    const sim::SchedulePlan pct = sim::ParseSchedule("pct:3", error).value();
    for (const auto &file : files) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        auto parsed = vx::ParseScenario(text.str(), file.filename().string());
        ASSERT_FALSE(parsed.error) << parsed.error->message;
        for (uint64_t seed = 1; seed <= 12; ++seed) {
            std::ostringstream out;
            vx::RunOptions options;
            options.seed = seed;
            options.schedule = pct;
            options.record = std::make_shared<sim::ScheduleRecord>();
            vx::Session session(options, out);
            const vx::Summary summary = session.Run(parsed.steps);
            EXPECT_TRUE(summary.passed && summary.verifierReports == 0 && summary.poolBlocksLeft == 0)
                << file.filename() << " seed " << seed << ":\n" << out.str();
        }
    }
}

}  // namespace
