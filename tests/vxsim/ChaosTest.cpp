// A bounded chaos sweep: several seeds of concurrent PnP, power, idle and
// application activity on the loopback device. VEXTORA_CHAOS_SEEDS and
// VEXTORA_CHAOS_OPS make it longer.
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

TEST(Chaos, SeedsPassWithNothingLost)
{
    uint64_t seeds = FromEnvironment("VEXTORA_CHAOS_SEEDS", 6);
    uint64_t ops = FromEnvironment("VEXTORA_CHAOS_OPS", 2000);
    uint64_t verified = 0, systemOps = 0;
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
        std::ostringstream out;
        vx::ChaosOptions options;
        options.seed = seed;
        options.ops = ops;
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

}  // namespace
