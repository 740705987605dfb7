#include "tools/vxsim/BenchCost.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "sim/usb/Models.h"
#include "tools/passthrough/PassThrough.h"
#include "sim/rig/MachineRig.h"

namespace vx {
namespace {

constexpr uint32_t kReadBytes = 512;

// High speed; interface 0 with bulk IN 1 and 2 (answer every read at once,
// one per application thread), bulk IN 3 (never has data: where the reads
// kept in flight wait) and bulk OUT 1.
vextora::usb::DeviceDescriptors CostDescriptors()
{
    vextora::usb::DeviceDescriptors d = vextora::usb::LoopbackDescriptors();
    d.Name = "cost";
    d.Configuration = {
        9, 0x02, 46,   0,    1,    1,    0,    0x80, 50,  // bus powered, 100 mA
        9, 0x04, 0,    0,    4,    0xff, 0x00, 0x00, 0,   // interface 0, 4 endpoints, vendor
        7, 0x05, 0x81, 0x02, 0x00, 0x02, 0,               // bulk IN 1, 512
        7, 0x05, 0x82, 0x02, 0x00, 0x02, 0,               // bulk IN 2, 512
        7, 0x05, 0x83, 0x02, 0x00, 0x02, 0,               // bulk IN 3, 512
        7, 0x05, 0x01, 0x02, 0x00, 0x02, 0,               // bulk OUT 1, 512
    };
    return d;
}

// Answers at once, leaving the caller's bytes as they are, except on IN 3,
// which never has data.
class CostModel : public vextora::usb::DeviceModel {
public:
    CostModel() : DeviceModel(CostDescriptors()) {}
    bool AnswersIndependently() const override { return true; }

protected:
    vextora::usb::Result EndpointTransfer(const vextora::usb::EndpointInfo &endpoint, std::span<uint8_t> data) override
    {
        if (endpoint.Address == 0x83)
            return vextora::usb::Result::NotReady();
        return vextora::usb::Result::Ok(static_cast<uint32_t>(data.size()));
    }
};

// The pass-through driver, under its own service key.
RigDriver PassThroughRigDriver()
{
    return {u"\\Driver\\PASSTHRU", passthrough::DriverEntry,
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PASSTHRU", &passthrough::InterfaceClass};
}

// One driver above the cost device, every transfer completing in the
// submitting thread, no guard pages around freed IRPs.
class CostRig : public MachineRig {
public:
    CostRig(uint64_t seed, CostDriver which, std::shared_ptr<const sim::image::ImageFile> image)
        : MachineRig(Options(seed, which, std::move(image)))
    {
        vextora::usb::PortOptions portOptions;
        portOptions.Completion = vextora::usb::CompletionMode::Inline;
        portOptions.RecordUrbs = false;  // millions of reads, none looked at
        Plug(std::make_unique<CostModel>(), portOptions);
    }

private:
    static RigOptions Options(uint64_t seed, CostDriver which, std::shared_ptr<const sim::image::ImageFile> image)
    {
        RigOptions o;
        o.Machine.Seed = seed;
        o.Machine.RandomYields = false;
        o.Machine.IrpGuardPages = false;
        o.Driver = which == CostDriver::PassThrough ? PassThroughRigDriver() : VextoraRigDriver();
        if (which == CostDriver::Image)
            o.Image = std::move(image);
        o.ThreadName = "bench";
        return o;
    }
};

// Synchronous reads one after the other on one handle; counts failures.
uint64_t ReadLoop(sim::IoManager &io, vxio::Handle handle, uint64_t count)
{
    std::vector<uint8_t> buffer(kReadBytes);
    uint64_t failed = 0;
    for (uint64_t i = 0; i < count; ++i) {
        auto r = io.Read(handle, buffer.data(), kReadBytes);
        if (r->Wait() < 0 || r->Information() != kReadBytes)
            ++failed;
    }
    return failed;
}

}  // namespace

struct CostSession::Impl {
    Impl(uint64_t seed, CostDriver which, std::shared_ptr<const sim::image::ImageFile> image)
        : Rig(seed, which, std::move(image))
    {
    }
    CostRig Rig;
    std::string Failure;
    vxio::Handle Pipes[2] = {vxio::kInvalidHandle, vxio::kInvalidHandle};
    vxio::Handle Waiting = vxio::kInvalidHandle;
    std::vector<uint8_t> WaitingBuffer;
    std::vector<std::shared_ptr<vxio::Request>> Pending;
    bool Finished = false;
};

CostSession::CostSession(uint64_t seed, CostDriver driver, unsigned background,
                         std::shared_ptr<const sim::image::ImageFile> image)
    : impl_(std::make_unique<Impl>(seed, driver, std::move(image)))
{
    Impl &i = *impl_;
    if (i.Rig.Driver() == nullptr) {
        i.Failure = i.Rig.LoadError().empty() ? "DriverEntry failed" : i.Rig.LoadError();
        return;
    }
    i.Failure = i.Rig.Open(u"PIPE00", &i.Pipes[0]);
    if (i.Failure.empty())
        i.Failure = i.Rig.Open(u"PIPE01", &i.Pipes[1]);
    if (i.Failure.empty())
        i.Failure = i.Rig.Open(u"PIPE02", &i.Waiting);
    if (!i.Failure.empty())
        return;
    i.WaitingBuffer.resize(size_t(kReadBytes) * std::max(background, 1u));
    for (unsigned n = 0; n < background; ++n)
        i.Pending.push_back(i.Rig.Io().Read(i.Waiting, i.WaitingBuffer.data() + size_t(kReadBytes) * n, kReadBytes));
}

CostSession::~CostSession()
{
    if (!impl_->Finished)
        (void)Finish();
}

const std::string &CostSession::Failure() const { return impl_->Failure; }

bool CostSession::Read(unsigned pipe) { return ReadLoop(impl_->Rig.Io(), impl_->Pipes[pipe & 1], 1) == 0; }

std::string CostSession::Finish()
{
    Impl &i = *impl_;
    i.Finished = true;
    uint64_t early = 0;
    for (const auto &r : i.Pending)
        if (r->Done())
            ++early;
    if (i.Waiting != vxio::kInvalidHandle)
        i.Rig.Io().CancelIo(i.Waiting);
    for (const auto &r : i.Pending)
        (void)r->Wait();
    std::string reports = i.Rig.Finish();
    if (early)
        return std::to_string(early) + " reads kept in flight ended early";
    return reports.empty() ? std::string() : "verifier reports:\n" + reports;
}

namespace {

bool RunCell(uint64_t seed, CostDriver which, unsigned inFlight, unsigned threads, uint64_t perThread, CostCell &cell,
             std::string &failure, const std::shared_ptr<const sim::image::ImageFile> &image)
{
    cell = {};
    cell.driver = CostDriverName(which);
    cell.inFlight = inFlight;
    cell.threads = threads;
    // The reads kept in flight wait on IN 3 for the whole measurement.
    CostSession session(seed, which, inFlight > threads ? inFlight - threads : 0, image);
    failure = session.Failure();
    if (!failure.empty())
        return false;
    CostSession::Impl &s = session.Internals();

    // The simulator keeps state per thread (pool and IRP shards with their
    // quarantines, a heap arena), and a new thread's first few thousand
    // reads fill it: growing a heap changes page protections, which with
    // two threads running costs a TLB shootdown each time. So each reader
    // first runs reads of its own until that is done, and the clock runs
    // from when every reader is warm until all are done.
    const uint64_t warmReads = std::min<uint64_t>(perThread, 6000);
    std::atomic<unsigned> warm{0};
    std::atomic<bool> go{false};
    std::vector<uint64_t> failed(threads, 0);
    std::vector<sim::SimThread *> running;
    for (unsigned t = 0; t < threads; ++t) {
        running.push_back(s.Rig.Machine().StartThread("reader-" + std::to_string(t), [&, t] {
            failed[t] = ReadLoop(s.Rig.Io(), s.Pipes[t], warmReads);
            warm.fetch_add(1);
            while (!go.load())
                std::this_thread::yield();
            failed[t] += ReadLoop(s.Rig.Io(), s.Pipes[t], perThread);
        }));
    }
    while (warm.load() < threads)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    const auto start = std::chrono::steady_clock::now();
    go.store(true);
    for (auto *thread : running)
        s.Rig.Machine().Join(thread);
    cell.wallNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    cell.requests = perThread * threads;
    for (uint64_t f : failed)
        cell.failed += f;
    cell.nsPerRequest = cell.wallNs / static_cast<double>(perThread);
    cell.requestsPerSecond = static_cast<double>(cell.requests) * 1e9 / cell.wallNs;
    failure = session.Finish();
    if (cell.failed)
        failure = std::to_string(cell.failed) + " reads of the " + cell.driver + " cost run failed";
    return failure.empty();
}

}  // namespace

const char *CostDriverName(CostDriver driver)
{
    switch (driver) {
    case CostDriver::Vextora: return "vextora";
    case CostDriver::PassThrough: return "pass-through";
    case CostDriver::Image: break;
    }
    return "image";
}

double CacheLineRoundTripNs()
{
    // Two threads pass a counter back and forth through one line, each
    // waiting for the other's value before writing its own. On a machine
    // with a single processor the waiter yields, or it would spin out the
    // other's whole time slice.
    constexpr long kTrips = 50000;
    struct alignas(64) Line {
        std::atomic<long> value{0};
    } line;
    auto play = [&line](long first) {
        for (long next = first; next < 2 * kTrips; next += 2) {
            for (unsigned spins = 0; line.value.load(std::memory_order_acquire) != next; ++spins)
                if (spins % 4096 == 4095)
                    std::this_thread::yield();
            line.value.store(next + 1, std::memory_order_release);
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::thread other(play, 1);
    play(0);
    other.join();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    return ns / kTrips;
}

bool RunCost(const CostOptions &options, std::vector<CostCell> &cells, std::string &failure,
             std::vector<double> *RoundTrips, std::vector<CostCell> *ImageCells)
{
    // Every cell once per round, round after round, each keeping its
    // fastest run: the cells compared with one another (the two drivers,
    // one thread and two) draw their runs from the same stretch of time,
    // so a burst of load on the machine does not fall on one of them only.
    struct Planned {
        unsigned inFlight;
        unsigned threads;
        CostDriver which;
    };
    std::vector<Planned> plan;
    for (unsigned inFlight : {1u, 2500u})
        for (unsigned threads : {1u, 2u})
            for (CostDriver which : {CostDriver::Vextora, CostDriver::PassThrough, CostDriver::Image})
                if (which != CostDriver::Image || (options.image && ImageCells != nullptr))
                    plan.push_back({inFlight, threads, which});
    std::vector<CostCell> best(plan.size());
    for (unsigned round = 0; round < std::max(options.repeats, 1u); ++round) {
        if (RoundTrips != nullptr)
            RoundTrips->push_back(CacheLineRoundTripNs());
        for (size_t i = 0; i < plan.size(); ++i) {
            const Planned &planned = plan[i];
            CostCell cell;
            if (!RunCell(options.seed, planned.which, std::max(planned.inFlight, planned.threads), planned.threads,
                         options.requestsPerThread, cell, failure, options.image))
                return false;
            if (round == 0 || cell.wallNs < best[i].wallNs)
                best[i] = cell;
            if (options.cellDone)
                options.cellDone();
        }
    }
    for (size_t i = 0; i < plan.size(); ++i) {
        best[i].inFlight = plan[i].inFlight;
        if (plan[i].which == CostDriver::Image && ImageCells != nullptr) {
            ImageCells->push_back(best[i]);
        } else {
            cells.push_back(best[i]);
        }
    }
    return true;
}

bool RunCostOnce(uint64_t seed, CostDriver driver, uint64_t requests, unsigned threads, unsigned inFlight,
                 CostCell &cell, std::string &failure, const std::shared_ptr<const sim::image::ImageFile> &image)
{
    threads = std::clamp(threads, 1u, 2u);
    return RunCell(seed, driver, std::max(inFlight, threads), threads, requests, cell, failure, image);
}

}  // namespace vx
