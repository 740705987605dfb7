// The machine: construction and teardown, thread binding, reports, seeded
// randomness, fault injection and components.
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Controlled.h"

#include <utility>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace sim {

std::string Hex(uint64_t Value)
{
    char buf[24];
    std::snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(Value));
    return buf;
}

std::string Utf8(std::u16string_view Text)
{
    std::string out;
    for (char16_t c : Text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

uint64_t ChooseSeed(uint64_t Given)
{
    if (Given != 0) {
        return Given;
    }
    if (const char *env = std::getenv("VEXTORA_SEED"); env != nullptr && *env != '\0') {
        return std::strtoull(env, nullptr, 0);
    }
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd();
}

}  // namespace

Machine::Impl::Impl(Machine &Owner, MachineOptions Options) : M(Owner), Opt(std::move(Options))
{
    Seed = ChooseSeed(Opt.Seed);
    Rng.seed(Seed);
    WallStart = std::chrono::steady_clock::now();
    DpcQueue.Flink = DpcQueue.Blink = &DpcQueue;
    if (Opt.Schedule.Controlled()) {
        if (Opt.Clock != ClockMode::Virtual) {
            std::fprintf(stderr, "vextora sim: the controlled mode (schedule %s) runs on the virtual clock only\n",
                         Opt.Schedule.Text().c_str());
            std::abort();
        }
        // Its scheduling points replace the random delays.
        Opt.RandomYields = false;
        uint64_t breakAt = Opt.BreakAtStep;
        if (const char *env = std::getenv("VEXTORA_BREAK_AT_STEP"); breakAt == 0 && env != nullptr) {
            breakAt = std::strtoull(env, nullptr, 10);
        }
        Ctl = std::make_unique<Controller>(*this, Opt.Schedule, Seed, Opt.Record, breakAt);
        // Spin-lock acquires and releases take their slow paths, which hold
        // the scheduling points.
        HasAcquireHook.store(true);
        HasReleaseHook.store(true);
        __atomic_add_fetch(&SimControlledMachines, 1, __ATOMIC_RELAXED);
    }
}

Machine::Impl::~Impl()
{
    if (Ctl) {
        __atomic_sub_fetch(&SimControlledMachines, 1, __ATOMIC_RELAXED);
    }
}

DriverRecord *Machine::Impl::DriverOf(PDRIVER_OBJECT Driver) const
{
    std::lock_guard lock(ObjMutex);
    for (auto &d : Drivers) {
        if (d->Object == Driver) {
            return d.get();
        }
    }
    return nullptr;
}

bool Machine::Impl::IsLoaded(PDRIVER_OBJECT Driver) const
{
    if (Driver == nullptr) {
        return false;
    }
    auto *rec = static_cast<DriverRecord *>(Driver->DriverSection);
    return rec != nullptr && rec->Loaded;
}

Machine::Machine(MachineOptions Options) : impl_(std::make_unique<Impl>(*this, std::move(Options)))
{
    PoolInit(*impl_);
    IrpInit(*impl_);
    impl_->StartServices();
}

Machine::~Machine()
{
    Impl &k = *impl_;
    {
        ThreadScope scope(*this, "teardown");
        // Components first: the managers remove their devices and drivers.
        std::vector<std::pair<std::type_index, std::shared_ptr<void>>> components;
        {
            std::lock_guard lock(k.ComponentMutex);
            components.swap(k.Components);
        }
        while (!components.empty()) {
            components.pop_back();
        }
        KeFlushQueuedDpcs();
        CheckForLeaks();
        std::unique_lock lock(k.Sched);
        for (PKTIMER t : k.ArmedTimers) {
            t->Header.Inserted = 0;
        }
        k.PendingWork -= k.ArmedTimers.size();
        k.ArmedTimers.clear();
        k.Deadlines.clear();
        bool others = false;
        for (SimThread *t : k.Threads) {
            if (t->Kind == ThreadKind::Normal && t != Self()) {
                others = true;
            }
        }
        if (others) {
            std::fprintf(stderr, "vextora sim: machine destroyed while simulated threads still run:\n%s",
                         k.DescribeThreads().c_str());
            std::abort();
        }
    }
    k.StopServices();
    {
        std::lock_guard lock(k.ObjMutex);
        for (auto &[dev, rec] : k.Devices) {
            std::free(rec->Block);
        }
        for (auto &rec : k.DeletedDevices) {
            UnpoisonRegion(rec->Block, rec->BlockSize);
            std::free(rec->Block);
        }
        for (auto &d : k.Drivers) {
            delete d->Object;
        }
    }
    IrpDestroy(k);
    PoolDestroy(k);
    // Last: nothing is left that could call into an image or name a place
    // in one.
    for (ImageRegion &image : k.Images) {
        if (image.Release) {
            image.Release();
        }
    }
}

const MachineOptions &Machine::Options() const { return impl_->Opt; }
uint64_t Machine::Seed() const { return impl_->Seed; }

Machine &Machine::Current() { return *Self()->M; }

Machine *Machine::CurrentOrNull()
{
    SimThread *t = SelfOrNull();
    return t != nullptr ? t->M : nullptr;
}

SimThread *Machine::StartThread(std::string Name, std::function<void()> Body, ThreadKind Kind)
{
    std::unique_lock lock(impl_->Sched);
    return impl_->StartThreadLocked(std::move(Name), std::move(Body), Kind);
}

void Machine::Join(SimThread *Thread)
{
    SimThread *me = Self();
    Impl &k = *impl_;
    {
        std::unique_lock lock(k.Sched);
        while (!Thread->Finished) {
            WaitBlock wb;
            wb.What = "another thread to end";
            wb.Object = Thread;
            k.Enqueue(&Thread->JoinWaiters, wb);
            k.Block(lock, me, wb);
        }
    }
    Thread->Os.join();
    delete Thread;
}

uint64_t Machine::Now() const { return impl_->Now(); }

void Machine::Sleep(std::chrono::nanoseconds Duration)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(Duration.count() / 100);
    if (interval.QuadPart == 0) {
        interval.QuadPart = -1;
    }
    (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Machine::YieldPoint(const char *What, const void *Object)
{
    if (impl_->Ctl) {
        impl_->Ctl->Point(Self(), What, Object);
        return;
    }
    if (!impl_->Opt.RandomYields) {
        return;
    }
    uint64_t r = Random();
    if ((r & 7) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds((r >> 8) % 50));
    } else if ((r & 3) == 0) {
        std::this_thread::yield();
    }
}

void Machine::SchedulingPoint(const char *What, const void *Object)
{
    if (impl_->Ctl) {
        impl_->Ctl->Point(Self(), What, Object);
    }
}

bool Machine::Controlled() const { return impl_->Ctl != nullptr; }

uint64_t Machine::ScheduleStep() const
{
    if (!impl_->Ctl) {
        return 0;
    }
    std::unique_lock lock(impl_->Sched);
    return impl_->Ctl->Step();
}

std::string Machine::ScheduleTrail() const
{
    if (!impl_->Ctl) {
        return "";
    }
    std::unique_lock lock(impl_->Sched);
    return impl_->Ctl->TrailLocked();
}

uint64_t Machine::Random()
{
    std::lock_guard lock(impl_->RngMutex);
    return impl_->Rng();
}

bool Machine::Chance(double Probability)
{
    if (Probability <= 0.0) {
        return false;
    }
    return static_cast<double>(Random() >> 11) * 0x1.0p-53 < Probability;
}

void Machine::ReportViolation(std::string_view Check, PIRP Irp, PDEVICE_OBJECT Device, std::string_view Detail)
{
    SimThread *t = SelfOrNull();
    PDRIVER_OBJECT driver = CurrentDriver();
    if (driver == nullptr && Device != nullptr) {
        driver = DriverOfDevice(*impl_, Device);
    }
    std::ostringstream out;
    out << "[" << Check << "] " << Detail;
    if (Irp != nullptr) {
        out << " | IRP " << Hex(reinterpret_cast<uintptr_t>(Irp));
    }
    if (Device != nullptr) {
        out << " | device " << DeviceName(Device);
    }
    if (driver != nullptr) {
        auto *rec = static_cast<DriverRecord *>(driver->DriverSection);
        out << " | driver " << (rec != nullptr ? rec->Utf8Name : Hex(reinterpret_cast<uintptr_t>(driver)));
    }
    if (t != nullptr) {
        out << " | thread '" << t->Name << "' | IRQL " << int(t->Irql);
    }
    out << " | time " << impl_->Now() / kTicksPerMs << " ms | seed " << impl_->Seed;
    if (impl_->Ctl) {
        // The reporting thread has the turn: the step is its own to read.
        const uint64_t step = impl_->Ctl->Step();
        out << " | step " << step;
        if (impl_->Ctl->Record().ReportStep == 0) {
            impl_->Ctl->Record().ReportStep = step;
        }
    }
    std::string text = out.str();
    std::fprintf(stderr, "vextora verifier: %s\n", text.c_str());
    {
        std::lock_guard lock(impl_->ReportMutex);
        impl_->Reports.push_back(Report{std::string(Check), text});
    }
    if (impl_->Opt.AbortOnReport) {
        std::fflush(stderr);
        std::abort();
    }
}

std::vector<Report> Machine::Reports() const
{
    std::lock_guard lock(impl_->ReportMutex);
    return impl_->Reports;
}

size_t Machine::ReportCount(std::string_view Check) const
{
    std::lock_guard lock(impl_->ReportMutex);
    size_t n = 0;
    for (const Report &r : impl_->Reports) {
        n += r.Check == Check ? 1 : 0;
    }
    return n;
}

std::string Machine::ReportText() const
{
    std::lock_guard lock(impl_->ReportMutex);
    std::string text;
    for (const Report &r : impl_->Reports) {
        text += r.Message;
        text += '\n';
    }
    return text;
}

void Machine::ClearReports()
{
    std::lock_guard lock(impl_->ReportMutex);
    impl_->Reports.clear();
}

void Machine::CheckForLeaks()
{
    Impl &k = *impl_;
    // A manager still finishing an IRP it has handed back (a power request
    // whose callback released the caller) frees it in a moment: let it,
    // rather than report it. The threads doing so are runnable; a bound on
    // the wait keeps a stuck one from hiding the report.
    for (int i = 0; i < 10000 && k.ActiveFinals.load(std::memory_order_acquire) != 0; ++i) {
        if (k.Ctl && SelfOrNull() != nullptr && SelfOrNull()->I == &k) {
            // Only the thread with the turn runs: give it to that thread.
            Sleep(std::chrono::microseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    PoolCheckTeardown(k, nullptr);
    IrpCheckTeardown(k, nullptr);
    std::vector<std::string> found;
    {
        std::unique_lock lock(k.Sched);
        for (PKTIMER t : k.ArmedTimers) {
            found.push_back("timer " + Hex(reinterpret_cast<uintptr_t>(t)) + " still armed");
        }
        for (PLIST_ENTRY e = k.DpcQueue.Flink; e != &k.DpcQueue; e = e->Flink) {
            found.push_back("DPC " + Hex(reinterpret_cast<uintptr_t>(CONTAINING_RECORD(e, KDPC, DpcListEntry))) +
                            " still queued");
        }
        for (WorkItem *w : k.LiveWorkItems) {
            found.push_back("work item " + Hex(reinterpret_cast<uintptr_t>(w)) + " never freed");
        }
    }
    {
        std::lock_guard lock(k.ObjMutex);
        for (auto &[dev, rec] : k.Devices) {
            if (!rec->DeletePending) {
                found.push_back("device " + rec->Name + " never deleted");
            }
        }
    }
    for (const std::string &f : found) {
        ReportViolation(checks::Leak, nullptr, nullptr, f);
    }
}

void Machine::SetFaultPlan(const FaultPlan &Plan)
{
    std::lock_guard lock(impl_->FaultMutex);
    impl_->Plan = Plan;
    impl_->PlannedKinds.store(Plan.Mode == FaultMode::Off ? 0 : Plan.Kinds, std::memory_order_relaxed);
    impl_->FaultCounter = 0;
    impl_->SeenSites.clear();
}

bool Machine::ShouldFail(FaultKind Kind, const void *CallSite)
{
    Impl &k = *impl_;
    if ((k.PlannedKinds.load(std::memory_order_relaxed) & static_cast<unsigned>(Kind)) == 0 ||
        !k.IsLoaded(CurrentDriver())) {
        return false;
    }
    bool fail = false;
    {
        std::lock_guard lock(k.FaultMutex);
        if (k.Plan.Mode == FaultMode::Off || (k.Plan.Kinds & static_cast<unsigned>(Kind)) == 0) {
            return false;
        }
        switch (k.Plan.Mode) {
        case FaultMode::Off: break;
        case FaultMode::FailNth: fail = ++k.FaultCounter == k.Plan.N; break;
        case FaultMode::CallSiteSweep: fail = k.SeenSites.insert(CallSite).second; break;
        case FaultMode::Random: {
            std::lock_guard rl(k.RngMutex);
            fail = static_cast<double>(k.Rng() >> 11) * 0x1.0p-53 < k.Plan.Probability;
            break;
        }
        }
    }
    if (fail) {
        k.Injected.fetch_add(1);
        FaultObserver observer;
        {
            std::lock_guard lock(k.FaultMutex);
            observer = k.OnInjected;
        }
        if (observer) {
            observer(Kind, CallSite);
        }
    }
    return fail;
}

void Machine::SetFaultObserver(FaultObserver Observer)
{
    std::lock_guard lock(impl_->FaultMutex);
    impl_->OnInjected = std::move(Observer);
}

uint64_t Machine::InjectedFailures() const { return impl_->Injected.load(); }

void *Machine::ComponentSlot(std::type_index Type, const std::function<std::shared_ptr<void>()> &Make)
{
    Impl &k = *impl_;
    {
        std::lock_guard lock(k.ComponentMutex);
        for (auto &[type, ptr] : k.Components) {
            if (type == Type) {
                return ptr.get();
            }
        }
    }
    // Built outside the lock: a component's constructor may ask for others.
    std::shared_ptr<void> made = Make();
    std::lock_guard lock(k.ComponentMutex);
    for (auto &[type, ptr] : k.Components) {
        if (type == Type) {
            return ptr.get();
        }
    }
    k.Components.emplace_back(Type, made);
    return made.get();
}

void Machine::AddImage(ImageRegion Region)
{
    std::lock_guard lock(impl_->ImageMutex);
    impl_->Images.push_back(std::move(Region));
}

const Machine::ImageRegion *Machine::Impl::ImageAtLocked(const void *Address) const
{
    const auto at = reinterpret_cast<uintptr_t>(Address);
    for (const ImageRegion &image : Images) {
        const auto base = reinterpret_cast<uintptr_t>(image.Base);
        if (at >= base && at - base < image.Size) {
            return &image;
        }
    }
    return nullptr;
}

bool Machine::InImage(const void *Address) const
{
    std::lock_guard lock(impl_->ImageMutex);
    return impl_->ImageAtLocked(Address) != nullptr;
}

std::string Machine::DescribeImageAddress(const void *Address) const
{
    std::lock_guard lock(impl_->ImageMutex);
    const ImageRegion *image = impl_->ImageAtLocked(Address);
    if (image == nullptr) {
        return {};
    }
    const size_t offset = reinterpret_cast<uintptr_t>(Address) - reinterpret_cast<uintptr_t>(image->Base);
    std::string text = image->Name + "+" + Hex(offset);
    const std::string symbol = image->Symbol ? image->Symbol(offset) : std::string();
    return symbol.empty() ? text : text + " (" + symbol + ")";
}

void Machine::AddIrpObserver(IrpObserver *Observer)
{
    Impl &k = *impl_;
    std::lock_guard lock(k.ObserverMutex);
    const std::vector<IrpObserver *> *cur = k.Observers.load();
    auto next = std::make_unique<std::vector<IrpObserver *>>(cur != nullptr ? *cur : std::vector<IrpObserver *>{});
    next->push_back(Observer);
    k.Observers.store(next.get(), std::memory_order_release);
    // Old versions stay alive: a thread may still be walking one.
    k.ObserverVersions.push_back(std::move(next));
}

void Machine::RemoveIrpObserver(IrpObserver *Observer)
{
    Impl &k = *impl_;
    std::lock_guard lock(k.ObserverMutex);
    const std::vector<IrpObserver *> *cur = k.Observers.load();
    auto next = std::make_unique<std::vector<IrpObserver *>>(cur != nullptr ? *cur : std::vector<IrpObserver *>{});
    std::erase(*next, Observer);
    k.Observers.store(next.get(), std::memory_order_release);
    k.ObserverVersions.push_back(std::move(next));
}

ThreadScope::ThreadScope(Machine &M, std::string Name, ThreadKind Kind)
{
    SimThread *cur = SelfOrNull();
    if (cur != nullptr) {
        if (cur->M != &M) {
            std::fprintf(stderr, "vextora sim: thread '%s' is already bound to another machine\n", cur->Name.c_str());
            std::abort();
        }
        thread_ = cur;
        owner_ = false;
        return;
    }
    Machine::Impl &k = M.Internal();
    auto *t = new SimThread;
    t->M = &M;
    t->I = &k;
    t->Name = std::move(Name);
    t->Kind = Kind;
    t->Id = k.NextThreadId++;
    t->Frames.reserve(16);
    {
        std::unique_lock lock(k.Sched);
        k.Threads.push_back(t);
        ++k.Runnable;
        if (Kind == ThreadKind::Normal) {
            ++k.NormalThreads;
        }
        if (k.Ctl) {
            k.Ctl->AttachLocked(lock, t);
        }
    }
    BindThread(t);
    thread_ = t;
    owner_ = true;
}

ThreadScope::~ThreadScope()
{
    if (!owner_) {
        return;
    }
    SimThread *t = thread_;
    if (t->Irql != PASSIVE_LEVEL || !t->Held.empty()) {
        t->M->ReportViolation(checks::IrqlChanged, nullptr, nullptr,
                              "thread '" + t->Name + "' left its scope above PASSIVE_LEVEL or holding a spin lock");
    }
    Machine::Impl &k = *t->I;
    {
        std::unique_lock lock(k.Sched);
        --k.Runnable;
        if (t->Kind == ThreadKind::Normal) {
            --k.NormalThreads;
        }
        std::erase(k.Threads, t);
        if (k.Ctl && k.Ctl->Holds(t)) {
            k.Ctl->PassTurnLocked(nullptr, "the end of a thread scope", nullptr);
        }
        if (k.Runnable == 0) {
            k.ClockCv.notify_all();
        }
    }
    BindThread(nullptr);
    delete t;
}

std::string DeviceName(PDEVICE_OBJECT Device)
{
    if (Device == nullptr) {
        return "(none)";
    }
    Machine *m = Machine::CurrentOrNull();
    if (m != nullptr) {
        Machine::Impl &k = m->Internal();
        std::lock_guard lock(k.ObjMutex);
        auto it = k.Devices.find(Device);
        if (it != k.Devices.end()) {
            return it->second->Name;
        }
        for (auto &rec : k.DeletedDevices) {
            if (rec->Object == Device) {
                return rec->Name + " (deleted)";
            }
        }
    }
    return Hex(reinterpret_cast<uintptr_t>(Device));
}

}  // namespace sim

using namespace sim;

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    static const bool enabled = std::getenv("VEXTORA_DBGPRINT") != nullptr;
    if (enabled) {
        va_list args;
        va_start(args, Format);
        std::vfprintf(stderr, Format, args);  // NOLINT(clang-analyzer-valist.Uninitialized): started above
        va_end(args);
    }
    return 0;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    (void)ComponentId;
    (void)Level;
    static const bool enabled = std::getenv("VEXTORA_DBGPRINT") != nullptr;
    if (enabled) {
        va_list args;
        va_start(args, Format);
        std::vfprintf(stderr, Format, args);  // NOLINT(clang-analyzer-valist.Uninitialized): started above
        va_end(args);
    }
    return 0;
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    std::fprintf(stderr, "vextora sim: bug check 0x%x (0x%llx, 0x%llx, 0x%llx, 0x%llx)\n", BugCheckCode,
                 static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
                 static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
    std::abort();
}

}  // extern "C"
