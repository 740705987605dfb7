// A bounded chaos sweep: many seeds of concurrent PnP, power, idle and
// application activity on the loopback device, split into groups so ctest
// runs them side by side, a few seeds with every stream on one thread, and
// groups in the controlled mode (one thread at a time, PCT and a random walk).
// VEXTORA_CHAOS_SEEDS (seeds per group) and VEXTORA_CHAOS_OPS make it longer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tools/vxsim/Chaos.h"

namespace {

uint64_t FromEnvironment(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

struct Group {
    const char *name;
    uint64_t firstSeed;
    bool serial;
    const char *schedule = "threaded";
};

void PrintTo(const Group &group, std::ostream *out) { *out << group.name; }

class ChaosSweep : public ::testing::TestWithParam<Group> {};

TEST_P(ChaosSweep, SeedsPassWithNothingLost)
{
    const Group &group = GetParam();
    uint64_t seeds = FromEnvironment("VEXTORA_CHAOS_SEEDS", 8);
    uint64_t ops = FromEnvironment("VEXTORA_CHAOS_OPS", 2000);
    uint64_t verified = 0, systemOps = 0;
    for (uint64_t seed = group.firstSeed; seed < group.firstSeed + seeds; ++seed) {
        std::ostringstream out;
        vx::ChaosOptions options;
        options.seed = seed;
        options.ops = ops;
        options.serial = group.serial;
        std::string error;
        options.schedule = sim::ParseSchedule(group.schedule, error).value();
        vx::ChaosResult result = vx::RunChaos(options, out);
        EXPECT_TRUE(result.passed) << out.str();
        EXPECT_EQ(result.appOps, ops);
        verified += result.bytesVerified;
        systemOps += result.systemOps;
    }
    // The sweep did exercise data and the system side, not only refusals.
    EXPECT_GT(verified, 0u);
    EXPECT_GT(systemOps, seeds);
}

INSTANTIATE_TEST_SUITE_P(Chaos, ChaosSweep,
                         ::testing::Values(Group{"threads_a", 1, false}, Group{"threads_b", 101, false},
                                           Group{"threads_c", 201, false}, Group{"threads_d", 301, false},
                                           Group{"threads_e", 401, false}, Group{"threads_f", 501, false},
                                           Group{"serial_a", 1, true}, Group{"serial_b", 601, true},
                                           Group{"pct2", 701, false, "pct:2"}, Group{"pct3", 801, false, "pct:3"},
                                           Group{"random", 901, false, "random"}),
                         [](const ::testing::TestParamInfo<Group> &info) { return std::string(info.param.name); });

// The printed command names every option that changes what a run does.
TEST(ChaosCommand, NamesEveryOptionThatChangesTheRun)
{
    struct Case {
        bool serial;
        bool yields;
        const char *expected;
        const char *schedule = "threaded";
        const char *image = "";
    };
    const Case cases[] = {
        {false, true, "vxsim --seed 7 chaos --ops 300 --threads 5"},
        {true, true, "vxsim --seed 7 chaos --ops 300 --threads 5 --serial"},
        {false, false, "vxsim --seed 7 chaos --ops 300 --threads 5 --no-yields"},
        {true, false, "vxsim --seed 7 chaos --ops 300 --threads 5 --no-yields --serial"},
        {false, true, "vxsim --seed 7 chaos --ops 300 --threads 5 --schedule pct:3", "pct:3"},
        {false, true, "vxsim --seed 7 --image x64/vextora.sys chaos --ops 300 --threads 5 --schedule pct:2", "pct:2",
         "x64/vextora.sys"},
    };
    for (const Case &c : cases) {
        vx::ChaosOptions options;
        options.seed = 7;
        options.ops = 300;
        options.appThreads = 5;
        options.serial = c.serial;
        options.randomYields = c.yields;
        options.imagePath = c.image;
        std::string error;
        options.schedule = sim::ParseSchedule(c.schedule, error).value();
        EXPECT_EQ(vx::ChaosCommand(options), c.expected);
    }
}

// On one thread the operation order comes from the --seed value alone: the same
// value runs the same number of PnP and power operations every time, and
// every application operation runs.
TEST(ChaosSerial, SameSeedSameSystemOperations)
{
    vx::ChaosOptions options;
    options.seed = 42;
    options.ops = 400;
    options.serial = true;
    std::ostringstream out;
    vx::ChaosResult first = vx::RunChaos(options, out);
    vx::ChaosResult second = vx::RunChaos(options, out);
    ASSERT_TRUE(first.passed && second.passed) << out.str();
    EXPECT_EQ(first.appOps, 400u);
    EXPECT_EQ(first.systemOps, second.systemOps);
    EXPECT_EQ(first.replugs, second.replugs);
}

// In the controlled mode a seed replays the interleaving too: the same
// decisions, and so the same run to the byte.
TEST(ChaosControlled, SameSeedSameDecisions)
{
    vx::ChaosOptions options;
    options.seed = 43;
    options.ops = 600;
    std::string error;
    options.schedule = sim::ParseSchedule("pct:3", error).value();
    std::ostringstream out;
    vx::ChaosResult first = vx::RunChaos(options, out);
    vx::ChaosResult second = vx::RunChaos(options, out);
    ASSERT_TRUE(first.passed && second.passed) << out.str();
    EXPECT_GT(first.scheduleSteps, 1000u);
    EXPECT_EQ(first.scheduleHash, second.scheduleHash);
    EXPECT_EQ(first.scheduleSteps, second.scheduleSteps);
    EXPECT_EQ(first.requests, second.requests);
    EXPECT_EQ(first.bytesVerified, second.bytesVerified);
}

}  // namespace
