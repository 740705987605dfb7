// Google Benchmark figures of one 512-byte read through the whole simulated
// path (application, I/O manager, driver, bus completing at once), with
// vextora and with the pass-through driver, at 1 and at 2,500 reads in
// flight; and of the verified kernel services a read uses, one by one,
// which is where the two drivers' costs part. Wall-clock figures of the
// simulator; compare the two drivers, and the services with each other.
//   build/sim-release/tests/bench/vextora_microbench
#include <benchmark/benchmark.h>

#include "sim/kernel/Machine.h"
#include "tools/vxsim/BenchCost.h"

namespace {

constexpr ULONG kTag = 'hcnB';

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

// A machine with the calling thread bound to it, for the services alone.
struct Kernel {
    sim::Machine machine{sim::MachineOptions{}};
    sim::ThreadScope scope{machine, "bench"};
};

void Finish(benchmark::State &state, Kernel &k)
{
    if (!k.machine.Reports().empty())
        state.SkipWithError(k.machine.ReportText().c_str());
    state.SetItemsProcessed(state.iterations());
}

// One allocation and its free: guards, fill patterns, the quarantine and
// its use-after-free check, per-tag accounting. Vextora makes three pairs
// per read (context, URB, partial MDL), the pass-through one.
void KernelPoolAllocateAndFree(benchmark::State &state)
{
    Kernel k;
    const auto bytes = static_cast<SIZE_T>(state.range(0));
    for (auto _ : state) {
        void *p = ExAllocatePoolWithTag(NonPagedPool, bytes, kTag);
        benchmark::DoNotOptimize(p);
        ExFreePool(p);
    }
    Finish(state, k);
}
BENCHMARK(KernelPoolAllocateAndFree)->Arg(24)->Arg(128)->Unit(benchmark::kNanosecond);

// Vextora's partial MDL over the caller's buffer.
void KernelPartialMdl(benchmark::State &state)
{
    Kernel k;
    static char buffer[512];
    PMDL whole = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    for (auto _ : state) {
        PMDL partial = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(whole, partial, buffer, sizeof buffer);
        IoFreeMdl(partial);
    }
    IoFreeMdl(whole);
    Finish(state, k);
}
BENCHMARK(KernelPartialMdl)->Unit(benchmark::kNanosecond);

// One acquisition and release, with the IRQL and held-lock checks.
// Vextora takes five per read.
void KernelSpinLock(benchmark::State &state)
{
    Kernel k;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        KeReleaseSpinLock(&lock, irql);
    }
    Finish(state, k);
}
BENCHMARK(KernelSpinLock)->Unit(benchmark::kNanosecond);

// A clear and a set with no waiter, as vextora's I/O count does on every
// read when it is the only one in flight.
void KernelEventClearAndSet(benchmark::State &state)
{
    Kernel k;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    for (auto _ : state) {
        KeClearEvent(&event);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    }
    Finish(state, k);
}
BENCHMARK(KernelEventClearAndSet)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
