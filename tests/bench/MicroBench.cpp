// Google Benchmark figures of one 512-byte read through the whole simulated
// path (application, I/O manager, driver, bus completing at once), with
// vextora and with the pass-through driver, at 1 and at 2,500 reads in
// flight. Wall-clock figures of the simulator; compare the two drivers.
//   build/sim-release/tests/bench/vextora_microbench
#include <benchmark/benchmark.h>

#include "tools/vxsim/BenchCost.h"

namespace {

void Read(benchmark::State &state, vx::CostDriver driver)
{
    const auto inFlight = static_cast<unsigned>(state.range(0));
    vx::CostSession session(1, driver, inFlight - 1);
    if (!session.Failure().empty()) {
        state.SkipWithError(session.Failure().c_str());
        return;
    }
    for (auto _ : state) {
        if (!session.Read()) {
            state.SkipWithError("a read failed");
            break;
        }
    }
    const std::string failure = session.Finish();
    if (!failure.empty())
        state.SkipWithError(failure.c_str());
    state.SetItemsProcessed(state.iterations());
}

void VextoraRead(benchmark::State &state) { Read(state, vx::CostDriver::Vextora); }
void PassThroughRead(benchmark::State &state) { Read(state, vx::CostDriver::PassThrough); }

BENCHMARK(VextoraRead)->Arg(1)->Arg(2500)->Unit(benchmark::kNanosecond);
BENCHMARK(PassThroughRead)->Arg(1)->Arg(2500)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
