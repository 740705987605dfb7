// `vxsim bench`: what the driver gets out of the simulated high-speed bus
// (payload rate in virtual time per request size and queue depth) and what
// it costs in pool memory per request in flight. Figures only: nothing here
// judges them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "tools/vxsim/BenchCost.h"

namespace vx {

struct BenchOptions {
    uint64_t seed = 1;
    bool quick = false;  // a few sizes and depths, little data: for tests
    bool cost = true;    // the CPU cost comparison (wall clock, takes a while)
    // vextora.sys for x64: its cost per read is measured beside the built-in
    // driver's.
    std::shared_ptr<const sim::image::ImageFile> image = nullptr;
    bool progress = false;  // a progress bar on the terminal
};

// One cell of the bulk table: `depth` requests of `size` bytes kept in
// flight on one pipe until `bytes` had moved.
struct BulkCell {
    std::string direction;  // "in" or "out"
    uint32_t size = 0;
    unsigned depth = 0;
    uint64_t requests = 0;
    uint64_t failed = 0;  // requests that did not succeed in full
    uint64_t bytes = 0;
    uint64_t virtualNs = 0;        // first submission to last completion
    double mbPerSecond = 0;        // 10^6 B/s of virtual time
    double share = 0;              // of 53,248,000 B/s
    uint64_t microframes = 0;      // virtualNs in 125 us microframes
    uint64_t busyMicroframes = 0;  // as the bus's timing model counts them
    uint64_t idleMicroframes = 0;  // the application wanted data, the endpoint had no request
    double wallNsPerRequest = 0;   // the simulator's own cost, full path
};

struct InterruptFigures {
    std::string endpoint;  // what was polled
    uint32_t readBytes = 0;
    uint32_t transactions = 1;  // per interval
    unsigned depth = 0;
    uint64_t reads = 0;
    uint64_t failed = 0;
    uint64_t virtualNs = 0;
    double readsPerSecond = 0;
    double expectedPerSecond = 0;  // one max-packet read per bInterval
    double bytesPerSecond = 0;
    double limitBytesPerSecond = 0;  // max packet x transactions per interval
    double share = 0;                // of that limit
};

struct PoolFigures {
    unsigned inFlight = 0;
    int64_t bytesBefore = 0;
    int64_t blocksBefore = 0;
    int64_t bytesInFlight = 0;  // the driver's tag, all requests pending
    int64_t blocksInFlight = 0;
    double bytesPerRequest = 0;
    double blocksPerRequest = 0;
    int64_t bytesAfter = 0;  // once every request was cancelled and done
    int64_t blocksAfter = 0;
    uint64_t cancelled = 0;   // requests that ended with STATUS_CANCELLED
    uint64_t unfinished = 0;  // requests not done after the cancel: a fault
};

struct BenchReport {
    uint64_t seed = 0;
    bool passed = false;  // every run booted and every request finished
    std::string failure;
    std::vector<BulkCell> bulk;
    std::vector<InterruptFigures> interrupt;
    std::vector<PoolFigures> pool;
    std::vector<CostCell> cost;
    // The image's cells (BenchOptions::image), in the order of cost's pairs.
    std::vector<CostCell> imageCost;
    // CacheLineRoundTripNs() before each round of the cost cells.
    std::vector<double> cacheLineRoundTripNs;
};

struct CostScalingFigure {
    std::string driver;
    unsigned inFlight = 0;
    double factor = 0;  // requests/s of two threads over one thread's
};
std::vector<CostScalingFigure> CostScaling(const std::vector<CostCell> &cells);

BenchReport RunBench(const BenchOptions &options);
void PrintBench(const BenchReport &report, std::ostream &out);
std::string BenchJson(const BenchReport &report);

}  // namespace vx
