// The driver's CPU cost per request, measured beside the least any driver
// could do: the same reads, from the same application, through the same I/O
// manager onto the same simulated bus completing at once, once with vextora
// and once with the pass-through driver (tools/passthrough). Wall-clock
// figures of the simulator: they vary with the machine; the ratio is the
// figure to read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::image {
class ImageFile;
}

namespace vx {

// Image: vextora.sys for x64 loaded into the simulator, beside the same
// driver built into it (Vextora).
enum class CostDriver { Vextora, PassThrough, Image };
const char *CostDriverName(CostDriver driver);

struct CostCell {
    std::string driver;     // "vextora", "pass-through" or "image"
    unsigned inFlight = 0;  // reads pending on the device while measuring, the measured ones included
    unsigned threads = 0;   // application threads, each reading its own pipe
    uint64_t requests = 0;  // measured reads, all threads together
    uint64_t failed = 0;
    double wallNs = 0;        // first submission to last completion
    double nsPerRequest = 0;  // wallNs / requests per thread
    double requestsPerSecond = 0;
};

struct CostOptions {
    uint64_t seed = 1;
    uint64_t requestsPerThread = 100000;
    unsigned repeats = 5;  // rounds; each runs every cell once, and a cell keeps its fastest run
    // When set, every round also runs each cell through this image.
    std::shared_ptr<const sim::image::ImageFile> image = nullptr;
    std::function<void()> cellDone;  // after each run of a cell (kCostCells per round)
};

// The cells of one round of RunCost: two drivers, one thread and two, one
// read in flight and 2,500; an image (CostOptions::image) adds half as many.
inline constexpr unsigned kCostCells = 8;

// A booted machine with one driver above the cost device: `background`
// reads wait on the pipe that never has data, and Read() makes one
// synchronous 512-byte read on pipe 0 or 1, which the bus completes at once.
// Binds the constructing thread to the machine; use it from that thread.
class CostSession {
public:
    // Driver Image needs the image file.
    CostSession(uint64_t seed, CostDriver driver, unsigned background,
                std::shared_ptr<const sim::image::ImageFile> image = nullptr);
    ~CostSession();
    CostSession(const CostSession &) = delete;
    CostSession &operator=(const CostSession &) = delete;

    // Empty once the device started and its pipes opened.
    const std::string &Failure() const;
    bool Read(unsigned pipe = 0);
    // Cancels the waiting reads, closes the pipes and removes the device;
    // returns what went wrong (waiting reads that ended early, verifier
    // reports), or nothing.
    std::string Finish();

    struct Impl;
    Impl &Internals() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// Every combination of driver, 1 or 2,500 in flight and 1 or 2 threads,
// and, when RoundTrips is given, CacheLineRoundTripNs() before each round.
// Cells of vextora and the pass-through go to cells, in pairs; those of the
// image (options.image) to ImageCells. Returns false (and what went wrong)
// when a run failed.
bool RunCost(const CostOptions &options, std::vector<CostCell> &cells, std::string &failure,
             std::vector<double> *RoundTrips = nullptr, std::vector<CostCell> *ImageCells = nullptr);

// What two threads of this machine pay to share a cache line: the time
// for a line written by one to reach the other and come back, in ns. Two
// readers of one process share lines (a device's locks and counters, the
// bus's), so their scaling follows this figure, which on a virtual machine
// changes from one minute to the next.
double CacheLineRoundTripNs();

// One driver, `requests` reads on each of `threads` threads (1 or 2) with
// `inFlight` pending in all: one cell alone, for a profiler (with 1 and 1,
// what scripts/callgrind.sh counts instructions over).
bool RunCostOnce(uint64_t seed, CostDriver driver, uint64_t requests, unsigned threads, unsigned inFlight,
                 CostCell &cell, std::string &failure,
                 const std::shared_ptr<const sim::image::ImageFile> &image = nullptr);

}  // namespace vx
