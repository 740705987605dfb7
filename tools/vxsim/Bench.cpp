#include "tools/vxsim/Bench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "include/vextora.h"
#include "platform/Platform.h"
#include "sim/usb/Models.h"
#include "sim/rig/MachineRig.h"
#include "tools/vxsim/Progress.h"

namespace vx {
namespace {

constexpr double kHighSpeedBulkBytesPerSecond = 53248000.0;
constexpr uint64_t kMicroframeNs = 125000;
constexpr int32_t kStatusCancelled = static_cast<int32_t>(0xC0000120);

// The driver, with idle suspend on, on one simulated machine with one
// device plugged, transfers completing from the host controller thread.
class Rig : public MachineRig {
public:
    Rig(uint64_t seed, const char *model,
        vextora::usb::DeviceDescriptors descriptors = vextora::usb::LoopbackDescriptors())
        : MachineRig(Options(seed))
    {
        vextora::usb::PortOptions portOptions;
        portOptions.Completion = vextora::usb::CompletionMode::HostController;
        Plug(vextora::usb::MakeModel(model, std::move(descriptors)), portOptions);
    }

private:
    static RigOptions Options(uint64_t seed)
    {
        RigOptions o;
        o.Machine.Seed = seed;
        o.Machine.RandomYields = false;
        o.ThreadName = "bench";
        o.Parameters = {{u"VextoraEnable", 1}};
        return o;
    }
};

uint64_t NowNs(sim::Machine &machine) { return machine.Now() * 100; }

// Keeps exactly `depth` requests of `size` bytes in flight on one pipe,
// resubmitting each as it completes (they complete in order on a pipe),
// until `target` bytes were asked for; then drains.
bool RunBulkCell(uint64_t seed, bool in, uint32_t size, unsigned depth, uint64_t target, BulkCell &cell,
                 std::string &failure)
{
    cell.direction = in ? "in" : "out";
    cell.size = size;
    cell.depth = depth;
    // The source-sink device answers every IN request at once and takes
    // every OUT one: the bus and the driver are the only limits.
    Rig rig(seed, "source-sink");
    vxio::Handle handle = vxio::kInvalidHandle;
    failure = rig.Open(in ? u"PIPE01" : u"PIPE00", &handle);
    if (!failure.empty())
        return false;
    const uint8_t endpoint = in ? 0x81 : 0x01;
    std::vector<std::vector<uint8_t>> buffers(depth, std::vector<uint8_t>(size, 0x5A));
    std::vector<std::shared_ptr<vxio::Request>> slots(depth);
    auto submit = [&](unsigned i) {
        slots[i] =
            in ? rig.Io().Read(handle, buffers[i].data(), size) : rig.Io().Write(handle, buffers[i].data(), size);
        ++cell.requests;
    };
    auto reap = [&](unsigned i) {
        vxio::Status s = slots[i]->Wait();
        uint64_t moved = slots[i]->Information();
        cell.bytes += moved;
        if (s < 0 || moved != size)
            ++cell.failed;
        slots[i].reset();
    };

    const auto busyBefore = rig.Port()->EndpointStats(endpoint).BusyFrames;
    const auto wallStart = std::chrono::steady_clock::now();
    const uint64_t start = NowNs(rig.Machine());
    uint64_t asked = 0;
    for (unsigned i = 0; i < depth && asked < target; ++i, asked += size)
        submit(i);
    for (unsigned i = 0; slots[i]; i = (i + 1) % depth) {
        reap(i);
        if (asked < target && cell.failed == 0) {
            submit(i);
            asked += size;
        }
    }
    cell.virtualNs = NowNs(rig.Machine()) - start;
    const double wall = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - wallStart).count();
    cell.busyMicroframes = rig.Port()->EndpointStats(endpoint).BusyFrames - busyBefore;
    cell.microframes = (cell.virtualNs + kMicroframeNs - 1) / kMicroframeNs;
    cell.idleMicroframes = cell.microframes > cell.busyMicroframes ? cell.microframes - cell.busyMicroframes : 0;
    if (cell.virtualNs > 0) {
        const double perSecond = static_cast<double>(cell.bytes) * 1e9 / static_cast<double>(cell.virtualNs);
        cell.mbPerSecond = perSecond / 1e6;
        cell.share = perSecond / kHighSpeedBulkBytesPerSecond;
    }
    cell.wallNsPerRequest = cell.requests ? wall / static_cast<double>(cell.requests) : 0;
    std::string reports = rig.Finish();
    if (cell.failed)
        failure = std::to_string(cell.failed) + " " + cell.direction + " requests of " + std::to_string(size) +
                  " bytes failed";
    else if (!reports.empty())
        failure = "verifier reports:\n" + reports;
    return failure.empty();
}

// An interrupt IN endpoint polled by the bench: wMaxPacketSize (bits 12..11
// are the additional transactions per microframe) and bInterval.
struct InterruptEndpoint {
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
    uint32_t MaxPacket() const { return wMaxPacketSize & 0x7ff; }
    uint32_t Transactions() const { return 1 + ((wMaxPacketSize >> 11) & 0x3); }
    double LimitBytesPerSecond() const
    {
        const double period = static_cast<double>(1u << (bInterval - 1)) * kMicroframeNs;
        return MaxPacket() * Transactions() * 1e9 / period;
    }
};

// The loopback descriptors with their interrupt IN endpoint (pipe 2)
// replaced.
vextora::usb::DeviceDescriptors WithInterruptEndpoint(const InterruptEndpoint &e)
{
    auto d = vextora::usb::LoopbackDescriptors();
    constexpr size_t kInterruptDescriptor = 9 + 9 + 7 + 7;
    d.Configuration[kInterruptDescriptor + 4] = static_cast<uint8_t>(e.wMaxPacketSize & 0xff);
    d.Configuration[kInterruptDescriptor + 5] = static_cast<uint8_t>(e.wMaxPacketSize >> 8);
    d.Configuration[kInterruptDescriptor + 6] = e.bInterval;
    return d;
}

// Interrupt IN reads of one max packet each, `depth` in flight, for
// `duration` of virtual time, from a source device that always has data.
// The rate counts the reads completed after the first completion time, over
// the time from it to the last completion.
bool RunInterrupt(uint64_t seed, const InterruptEndpoint &e, unsigned depth, uint64_t durationNs, InterruptFigures &fig,
                  std::string &failure)
{
    char name[96];
    std::snprintf(name, sizeof name, "%u B x %u per %u uframe%s", e.MaxPacket(), e.Transactions(),
                  1u << (e.bInterval - 1), e.bInterval > 1 ? "s" : "");
    fig.endpoint = name;
    fig.readBytes = e.MaxPacket();
    fig.transactions = e.Transactions();
    fig.depth = depth;
    fig.limitBytesPerSecond = e.LimitBytesPerSecond();
    fig.expectedPerSecond = fig.limitBytesPerSecond / e.MaxPacket();
    Rig rig(seed, "source-sink", WithInterruptEndpoint(e));
    vxio::Handle handle = vxio::kInvalidHandle;
    failure = rig.Open(u"PIPE02", &handle);
    if (!failure.empty())
        return false;
    std::vector<std::vector<uint8_t>> buffers(depth, std::vector<uint8_t>(e.MaxPacket()));
    std::vector<std::shared_ptr<vxio::Request>> slots(depth);
    const uint64_t start = NowNs(rig.Machine());
    uint64_t first = 0, last = 0, afterFirst = 0;
    for (unsigned i = 0; i < depth; ++i)
        slots[i] = rig.Io().Read(handle, buffers[i].data(), e.MaxPacket());
    for (unsigned i = 0; slots[i]; i = (i + 1) % depth) {
        vxio::Status s = slots[i]->Wait();
        last = NowNs(rig.Machine());
        if (fig.reads++ == 0)
            first = last;
        else if (last > first)
            ++afterFirst;
        if (s < 0 || slots[i]->Information() != e.MaxPacket())
            ++fig.failed;
        slots[i].reset();
        if (last - start < durationNs && fig.failed == 0)
            slots[i] = rig.Io().Read(handle, buffers[i].data(), e.MaxPacket());
    }
    fig.virtualNs = last - start;
    if (last > first) {
        fig.readsPerSecond = static_cast<double>(afterFirst) * 1e9 / static_cast<double>(last - first);
        fig.bytesPerSecond = fig.readsPerSecond * e.MaxPacket();
        fig.share = fig.bytesPerSecond / fig.limitBytesPerSecond;
    }
    std::string reports = rig.Finish();
    if (fig.failed)
        failure = std::to_string(fig.failed) + " interrupt reads failed";
    else if (!reports.empty())
        failure = "verifier reports:\n" + reports;
    return failure.empty();
}

// `count` reads pending on the empty loopback FIFO: the driver's pool
// while they wait, per request, and after they were cancelled.
bool RunPool(uint64_t seed, unsigned count, PoolFigures &fig, std::string &failure)
{
    fig.inFlight = count;
    Rig rig(seed, "loopback");
    vxio::Handle handle = vxio::kInvalidHandle;
    failure = rig.Open(u"PIPE01", &handle);
    if (!failure.empty())
        return false;
    std::vector<uint8_t> buffer(512ull * count);
    fig.bytesBefore = static_cast<int64_t>(sim::PoolBytesInUse(VEXTORA_POOL_TAG));
    fig.blocksBefore = static_cast<int64_t>(sim::PoolBlocksInUse(VEXTORA_POOL_TAG));
    std::vector<std::shared_ptr<vxio::Request>> requests;
    requests.reserve(count);
    for (unsigned i = 0; i < count; ++i)
        requests.push_back(rig.Io().Read(handle, buffer.data() + 512ull * i, 512));
    // Let every request reach the bus before counting.
    rig.Machine().Sleep(std::chrono::milliseconds(10));
    fig.bytesInFlight = static_cast<int64_t>(sim::PoolBytesInUse(VEXTORA_POOL_TAG));
    fig.blocksInFlight = static_cast<int64_t>(sim::PoolBlocksInUse(VEXTORA_POOL_TAG));
    fig.bytesPerRequest = static_cast<double>(fig.bytesInFlight - fig.bytesBefore) / count;
    fig.blocksPerRequest = static_cast<double>(fig.blocksInFlight - fig.blocksBefore) / count;
    rig.Io().CancelIo(handle);
    for (auto &r : requests) {
        const uint64_t until = NowNs(rig.Machine()) + 1000000000ull;
        while (!r->Done() && NowNs(rig.Machine()) < until)
            rig.Machine().Sleep(std::chrono::milliseconds(1));
        if (!r->Done()) {
            ++fig.unfinished;
            continue;
        }
        if (r->Result() == kStatusCancelled)
            ++fig.cancelled;
    }
    fig.bytesAfter = static_cast<int64_t>(sim::PoolBytesInUse(VEXTORA_POOL_TAG));
    fig.blocksAfter = static_cast<int64_t>(sim::PoolBlocksInUse(VEXTORA_POOL_TAG));
    if (fig.unfinished) {
        failure = std::to_string(fig.unfinished) + " reads never finished after the cancel";
        for (auto &r : requests)
            r->Cancel();
    }
    std::string reports = rig.Finish();
    if (failure.empty() && !reports.empty())
        failure = "verifier reports:\n" + reports;
    return failure.empty();
}

}  // namespace

BenchReport RunBench(const BenchOptions &options)
{
    BenchReport report;
    report.seed = options.seed;
    const std::vector<uint32_t> sizes =
        options.quick ? std::vector<uint32_t>{512, 0x10000} : std::vector<uint32_t>{512, 0x4000, 0x10000, 0x40000};
    const std::vector<unsigned> depths =
        options.quick ? std::vector<unsigned>{1, 3} : std::vector<unsigned>{1, 2, 3, 8, 32};
    auto fail = [&](const std::string &what) {
        if (report.failure.empty())
            report.failure = what;
    };
    const std::vector<InterruptEndpoint> interrupts = {InterruptEndpoint{0x0400, 4}, InterruptEndpoint{0x0400, 1},
                                                       InterruptEndpoint{0x1400, 1}};
    const std::vector<unsigned> pools =
        options.quick ? std::vector<unsigned>{1, 64} : std::vector<unsigned>{1, 32, 2500};
    const unsigned costRounds = options.quick ? 1 : 5;
    ProgressBar bar(options.progress);
    const uint64_t total = 2 * sizes.size() * depths.size() + interrupts.size() * 2 + pools.size() +
                           (options.cost ? costRounds * (kCostCells + (options.image ? kCostCells / 2 : 0)) : 0);
    uint64_t done = 0;
    auto step = [&] { bar.Show(++done, total); };
    for (bool in : {true, false})
        for (uint32_t size : sizes)
            for (unsigned depth : depths) {
                // Enough requests for the in-flight pattern to settle, and
                // enough data for the large sizes: 64 MiB, or 1 MiB quick.
                uint64_t target = options.quick ? (1u << 20) : (64u << 20);
                target = std::max<uint64_t>(target, uint64_t(size) * depth * 8);
                if (size <= 512)
                    target = std::min<uint64_t>(target, options.quick ? 256 * 512 : 8192 * 512);
                BulkCell cell;
                std::string failure;
                if (!RunBulkCell(options.seed, in, size, depth, target, cell, failure))
                    fail(failure);
                report.bulk.push_back(cell);
                step();
            }
    // 1024 bytes per interval every millisecond and every microframe, and a
    // high-bandwidth endpoint with three 1024-byte transactions per
    // microframe.
    for (InterruptEndpoint e : interrupts)
        for (unsigned depth : {1u, 3u}) {
            InterruptFigures fig;
            std::string failure;
            if (!RunInterrupt(options.seed, e, depth, options.quick ? 20000000ull : 200000000ull, fig, failure))
                fail(failure);
            report.interrupt.push_back(fig);
            step();
        }
    for (unsigned count : pools) {
        PoolFigures fig;
        std::string failure;
        if (!RunPool(options.seed, count, fig, failure))
            fail(failure);
        report.pool.push_back(fig);
        step();
    }
    if (options.cost) {
        CostOptions cost;
        cost.seed = options.seed;
        cost.requestsPerThread = options.quick ? 500 : 100000;
        cost.repeats = costRounds;
        cost.image = options.image;
        cost.cellDone = step;
        std::string failure;
        if (!RunCost(cost, report.cost, failure, &report.cacheLineRoundTripNs, &report.imageCost))
            fail(failure);
    }
    report.passed = report.failure.empty();
    return report;
}

std::vector<CostScalingFigure> CostScaling(const std::vector<CostCell> &cells)
{
    std::vector<CostScalingFigure> out;
    for (const auto &two : cells) {
        if (two.threads != 2)
            continue;
        for (const auto &one : cells)
            if (one.threads == 1 && one.driver == two.driver && one.inFlight == two.inFlight &&
                one.requestsPerSecond > 0)
                out.push_back({two.driver, two.inFlight, two.requestsPerSecond / one.requestsPerSecond});
    }
    return out;
}

void PrintBench(const BenchReport &report, std::ostream &out)
{
    char line[256];
    out << "bulk on the high-speed loopback descriptors (source-sink device), virtual time\n";
    out << "dir      size  depth      MB/s  of 53.248  uframes  idle uframes  busy uframes  requests  wall ns/req\n";
    for (const auto &c : report.bulk) {
        std::snprintf(
            line, sizeof line, "%-4s %9u %6u %9.3f %9.2f%% %8llu %13llu %13llu %9llu %12.0f\n", c.direction.c_str(),
            c.size, c.depth, c.mbPerSecond, c.share * 100, static_cast<unsigned long long>(c.microframes),
            static_cast<unsigned long long>(c.idleMicroframes), static_cast<unsigned long long>(c.busyMicroframes),
            static_cast<unsigned long long>(c.requests), c.wallNsPerRequest);
        out << line;
    }
    out << "interrupt IN, one max packet per read, source device, virtual time\n";
    out << "endpoint                         depth   reads/s   (limit)       MB/s   of limit\n";
    for (const auto &f : report.interrupt) {
        std::snprintf(line, sizeof line, "%-32s %5u %9.1f %9.1f %10.3f %9.2f%%\n", f.endpoint.c_str(), f.depth,
                      f.readsPerSecond, f.expectedPerSecond, f.bytesPerSecond / 1e6, f.share * 100);
        out << line;
    }
    out << "driver pool (tag Vxtr) with reads pending on the empty loopback FIFO\n";
    for (const auto &p : report.pool) {
        std::snprintf(line, sizeof line,
                      "%5u in flight: %lld B in %lld blocks (idle device %lld B in %lld): %.1f B and %.2f "
                      "blocks per request; after cancel %lld B in %lld blocks\n",
                      p.inFlight, static_cast<long long>(p.bytesInFlight), static_cast<long long>(p.blocksInFlight),
                      static_cast<long long>(p.bytesBefore), static_cast<long long>(p.blocksBefore), p.bytesPerRequest,
                      p.blocksPerRequest, static_cast<long long>(p.bytesAfter), static_cast<long long>(p.blocksAfter));
        out << line;
    }
    if (!report.cost.empty()) {
        out << "CPU cost per 512-byte read, bus completing at once (wall clock of this machine)\n";
        out << "in flight  threads   vextora ns  pass-through ns   ratio   vextora req/s  pass-through req/s\n";
        for (size_t i = 0; i + 1 < report.cost.size(); i += 2) {
            const CostCell &v = report.cost[i];
            const CostCell &p = report.cost[i + 1];
            std::snprintf(line, sizeof line, "%9u %8u %12.0f %16.0f %7.3f %15.0f %19.0f\n", v.inFlight, v.threads,
                          v.nsPerRequest, p.nsPerRequest, v.nsPerRequest / p.nsPerRequest, v.requestsPerSecond,
                          p.requestsPerSecond);
            out << line;
        }
        if (!report.imageCost.empty()) {
            out << "the x64 image beside the same driver built into vxsim\n";
            out << "in flight  threads   built-in ns     image ns   image / built-in\n";
            for (size_t i = 0; i < report.imageCost.size() && 2 * i < report.cost.size(); ++i) {
                const CostCell &b = report.cost[2 * i];
                const CostCell &m = report.imageCost[i];
                std::snprintf(line, sizeof line, "%9u %8u %13.0f %12.0f %18.3f\n", m.inFlight, m.threads,
                              b.nsPerRequest, m.nsPerRequest, m.nsPerRequest / b.nsPerRequest);
                out << line;
            }
        }
        const auto scaling = CostScaling(report.cost);
        for (const auto &s : scaling) {
            std::snprintf(line, sizeof line,
                          "%s, %u in flight: two threads on two pipes give %.2fx one thread's requests/s\n",
                          s.driver.c_str(), s.inFlight, s.factor);
            out << line;
        }
        const auto &trips = report.cacheLineRoundTripNs;
        if (!trips.empty()) {
            const auto [fastest, slowest] = std::minmax_element(trips.begin(), trips.end());
            if (trips.size() == 1)
                std::snprintf(line, sizeof line, "%.0f ns", *fastest);
            else
                std::snprintf(line, sizeof line, "%.0f to %.0f ns (once per round)", *fastest, *slowest);
            out << "a cache line between two threads and back took " << line
                << "; the two-thread figures fall as it rises\n";
        }
    }
    out << (report.passed ? "all runs completed\n" : "FAILED: " + report.failure + "\n");
}

std::string BenchJson(const BenchReport &report)
{
    nlohmann::json j;
    j["seed"] = report.seed;
    j["passed"] = report.passed;
    j["failure"] = report.failure;
    j["bulk"] = nlohmann::json::array();
    for (const auto &c : report.bulk)
        j["bulk"].push_back({{"direction", c.direction},
                             {"size", c.size},
                             {"depth", c.depth},
                             {"requests", c.requests},
                             {"failed", c.failed},
                             {"bytes", c.bytes},
                             {"virtual_ns", c.virtualNs},
                             {"mb_per_s", c.mbPerSecond},
                             {"share", c.share},
                             {"microframes", c.microframes},
                             {"busy_microframes", c.busyMicroframes},
                             {"idle_microframes", c.idleMicroframes},
                             {"wall_ns_per_request", c.wallNsPerRequest}});
    j["interrupt"] = nlohmann::json::array();
    for (const auto &f : report.interrupt)
        j["interrupt"].push_back({{"endpoint", f.endpoint},
                                  {"read_bytes", f.readBytes},
                                  {"bytes_per_s", f.bytesPerSecond},
                                  {"limit_bytes_per_s", f.limitBytesPerSecond},
                                  {"share", f.share},
                                  {"depth", f.depth},
                                  {"reads", f.reads},
                                  {"failed", f.failed},
                                  {"virtual_ns", f.virtualNs},
                                  {"reads_per_s", f.readsPerSecond},
                                  {"expected_per_s", f.expectedPerSecond}});
    j["pool"] = nlohmann::json::array();
    for (const auto &p : report.pool)
        j["pool"].push_back({{"in_flight", p.inFlight},
                             {"bytes_before", p.bytesBefore},
                             {"blocks_before", p.blocksBefore},
                             {"bytes_in_flight", p.bytesInFlight},
                             {"blocks_in_flight", p.blocksInFlight},
                             {"bytes_per_request", p.bytesPerRequest},
                             {"blocks_per_request", p.blocksPerRequest},
                             {"bytes_after", p.bytesAfter},
                             {"blocks_after", p.blocksAfter},
                             {"cancelled", p.cancelled},
                             {"unfinished", p.unfinished}});
    j["cost"] = nlohmann::json::array();
    for (const auto &c : report.cost)
        j["cost"].push_back({{"driver", c.driver},
                             {"in_flight", c.inFlight},
                             {"threads", c.threads},
                             {"requests", c.requests},
                             {"failed", c.failed},
                             {"wall_ns", c.wallNs},
                             {"ns_per_request", c.nsPerRequest},
                             {"requests_per_s", c.requestsPerSecond}});
    j["image_cost"] = nlohmann::json::array();
    for (size_t i = 0; i < report.imageCost.size() && 2 * i < report.cost.size(); ++i) {
        const CostCell &c = report.imageCost[i];
        j["image_cost"].push_back({{"in_flight", c.inFlight},
                                   {"threads", c.threads},
                                   {"requests", c.requests},
                                   {"failed", c.failed},
                                   {"wall_ns", c.wallNs},
                                   {"ns_per_request", c.nsPerRequest},
                                   {"requests_per_s", c.requestsPerSecond},
                                   {"over_built_in", c.nsPerRequest / report.cost[2 * i].nsPerRequest}});
    }
    j["cache_line_round_trip_ns"] = report.cacheLineRoundTripNs;
    j["cost_scaling"] = nlohmann::json::array();
    for (const auto &s : CostScaling(report.cost))
        j["cost_scaling"].push_back(
            {{"driver", s.driver}, {"in_flight", s.inFlight}, {"two_threads_over_one", s.factor}});
    return j.dump(2);
}

}  // namespace vx
