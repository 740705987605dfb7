// Opens, transfers, closes, PnP requests and sleep cycles racing the idle
// timer, the bus driver's idle callback and wait-wake, for many seeds, with
// random delays at every hand-off. Pass: no verifier report, no hang, the
// data that went round the loopback device came back intact, nothing left
// after removal. VEXTORA_STRESS_SEEDS sets how many seeds run (default 12).
#include "tests/power/PowerTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace vxtest;
using namespace std::chrono_literals;

namespace {

unsigned SeedCount()
{
    const char *text = std::getenv("VEXTORA_STRESS_SEEDS");
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? static_cast<unsigned>(value) : 12u;
}

std::chrono::milliseconds RandomPause(sim::Machine &machine, unsigned maxMs)
{
    return std::chrono::milliseconds(machine.Random() % (maxMs + 1));
}

// One application: opens the OUT and IN pipes, sends a pattern round the
// loopback device and checks it, closes, pauses (idle ticks pass meanwhile).
void Application(PowerFixture &f, unsigned rounds, std::atomic<unsigned> &roundTrips)
{
    sim::Machine &machine = f.Machine();
    for (unsigned round = 0; round < rounds; ++round) {
        vxio::Handle out = vxio::kInvalidHandle;
        vxio::Handle in = vxio::kInvalidHandle;
        if (f.Open(&out, 0) == STATUS_SUCCESS && f.Open(&in, 1) == STATUS_SUCCESS) {
            std::vector<uint8_t> sent(64 + machine.Random() % 448);
            for (size_t i = 0; i < sent.size(); ++i) {
                sent[i] = static_cast<uint8_t>(machine.Random());
            }
            uint32_t written = 0;
            if (f.Io().WriteSync(out, sent.data(), static_cast<uint32_t>(sent.size()), &written) ==
                    STATUS_SUCCESS &&
                written == sent.size()) {
                std::vector<uint8_t> received(sent.size());
                uint32_t read = 0;
                if (f.Io().ReadSync(in, received.data(), static_cast<uint32_t>(received.size()), &read) ==
                    STATUS_SUCCESS) {
                    received.resize(read);
                    EXPECT_EQ(received, std::vector<uint8_t>(sent.begin(), sent.begin() + read))
                        << "seed " << machine.Seed();
                    ++roundTrips;
                }
            }
        }
        if (in != vxio::kInvalidHandle) {
            (void)f.Io().Close(in);
        }
        if (out != vxio::kInvalidHandle) {
            (void)f.Io().Close(out);
        }
        machine.Sleep(RandomPause(machine, 12000));
    }
}

TEST(IdleStress, OpensTransfersPnpAndSleepRaceIdleSuspendAndWaitWake)
{
    unsigned totalRoundTrips = 0;
    unsigned totalSuspends = 0;
    for (unsigned seed = 1; seed <= SeedCount(); ++seed) {
        FixtureOptions options;
        options.Seed = seed;
        options.RandomYields = true;
        options.VextoraEnable = 1;
        options.RemoteWake = (seed % 2) == 0;
        PowerFixture f(options);
        f.Bus().ClearRules();  // the simulated bus driver's own power and idle handling
        sim::Machine &machine = f.Machine();

        std::atomic<unsigned> roundTrips{0};
        sim::SimThread *app = machine.StartThread("app", [&] { Application(f, 6, roundTrips); });
        // PnP requests and system sleep, one after the other as Windows
        // sends them (no PnP request reaches a sleeping system).
        sim::SimThread *system = machine.StartThread("system", [&] {
            for (int i = 0; i < 4; ++i) {
                machine.Sleep(RandomPause(machine, 15000));
                if (machine.Chance(0.5)) {
                    EXPECT_EQ(f.Pnp().Rebalance(f.Pdo()), STATUS_SUCCESS) << "seed " << machine.Seed();
                } else {
                    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemSleeping1), STATUS_SUCCESS)
                        << "seed " << machine.Seed();
                    machine.Sleep(RandomPause(machine, 3000));
                    EXPECT_EQ(f.Power().SetSystemPower(f.Pdo(), PowerSystemWorking), STATUS_SUCCESS)
                        << "seed " << machine.Seed();
                }
            }
        });
        machine.Join(app);
        machine.Join(system);
        totalRoundTrips += roundTrips.load();
        totalSuspends += f.Port().IdleCallbacks();
        f.Finish();
        if (HasFailure()) {
            FAIL() << "first failing seed " << seed;
        }
    }
    std::printf("%u seeds: %u round trips, %u idle callbacks\n", SeedCount(), totalRoundTrips, totalSuspends);
    // The run is only worth something if data moved and the device suspended.
    EXPECT_GT(totalRoundTrips, 0u);
    EXPECT_GT(totalSuspends, 0u);
}

}  // namespace
