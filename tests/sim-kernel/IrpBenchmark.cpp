// Cost of one request through the simulated kernel with 2,500 in flight: an
// FDO that forwards with a completion routine over a PDO that pends every
// IRP, then completes them. Prints nanoseconds per request; not a test.
#include "TestDrivers.h"

#include <benchmark/benchmark.h>

namespace {

NTSTATUS NTAPI Propagate(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT gPdo;
NTSTATUS NTAPI ForwardDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Propagate, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(gPdo, Irp);
}

void Done(PIRP Irp, void *) { IoFreeIrp(Irp); }

void InFlight(benchmark::State &State)
{
    sim::MachineOptions o;
    o.Seed = 1;
    o.IrpGuardPages = State.range(1) != 0;
    sim::Machine machine(o);
    sim::ThreadScope scope(machine);
    PDRIVER_OBJECT bus = machine.CreateSystemDriver(u"\\Driver\\benchbus");
    for (auto &f : bus->MajorFunction) {
        f = simtest::LowerDispatch;
    }
    PDEVICE_OBJECT pdo;
    IoCreateDevice(bus, sizeof(simtest::LowerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    auto *lower = new (pdo->DeviceExtension) simtest::LowerExtension;
    std::vector<PIRP> held;
    held.reserve(4096);
    lower->Held = &held;
    lower->Mode = simtest::LowerMode::Pend;
    gPdo = pdo;
    PDRIVER_OBJECT fdoDriver = machine.CreateSystemDriver(u"\\Driver\\benchfdo");
    for (auto &f : fdoDriver->MajorFunction) {
        f = ForwardDispatch;
    }
    PDEVICE_OBJECT fdo;
    IoCreateDevice(fdoDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    const int n = static_cast<int>(State.range(0));
    for (auto _ : State) {
        for (int i = 0; i < n; ++i) {
            PIRP irp = sim::AllocateManagerIrp(fdo->StackSize, Done, nullptr);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoCallDriver(fdo, irp);
        }
        for (PIRP irp : held) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        held.clear();
    }
    State.SetItemsProcessed(State.iterations() * n);
    State.counters["ns/request"] = benchmark::Counter(static_cast<double>(State.iterations() * n),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    lower->~LowerExtension();
    IoDeleteDevice(pdo);
    if (!machine.ReportText().empty()) {
        State.SkipWithError(machine.ReportText().c_str());
    }
}

BENCHMARK(InFlight)->Args({2500, 0})->Args({2500, 1})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
