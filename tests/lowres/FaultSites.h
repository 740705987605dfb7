// Which allocation sites of the driver an injected failure hit, and which
// allocation sites the driver's sources have.
//
// The machine's fault observer takes a backtrace inside the service whose
// allocation the injector failed; addr2line over the test binary turns it
// into source locations, and the site is the innermost frame in a driver
// source file (climbing out of the allocation helpers in driver headers).
// That names the driver routine for every service, however the service
// allocates: ExAllocatePoolWithTag directly, or IoCreateDevice,
// IoRegisterDeviceInterface, USBD_CreateConfigurationRequestEx, ... inside.
//
// The source scan lists every call of an allocating service (or of a driver
// allocation helper) in the driver's .cpp files, so the sweep can tell which
// sites no scenario has failed.
#pragma once

#include "sim/kernel/Machine.h"

#include <string>
#include <vector>

namespace lowres {

// The services the driver calls that can fail for lack of memory in the
// simulator, and the driver's own allocation helpers.
const std::vector<std::string> &AllocatingCalls();

struct FailedSite {
    std::vector<const void *> Frames;  // return addresses, innermost first
    // The innermost frame in a kernel image (vextora.sys loaded into the
    // machine), named by the image's symbols while it was mapped; empty for
    // the driver built into the test.
    std::string InImage;
};

// Records every injected failure on Machine from now on (any thread).
void ObserveFaults(sim::Machine &Machine);
// Forgets what was recorded so far.
void ClearFailedSites();
// What was recorded since the last ClearFailedSites, in order.
std::vector<FailedSite> TakeFailedSites();

// Where a failed allocation sits in the driver.
struct SiteName {
    bool InDriver = false;  // false: no driver frame in the backtrace
    std::string Service;    // what the driver called: "IoCreateDevice", "AllocateNonPaged<URB>"
    std::string Routine;    // the driver routine making the call
    std::string File;       // relative to the source tree: "driver/AddDevice.cpp"
    unsigned Line = 0;
    std::string Text;       // "IoCreateDevice in AddDevice (driver/AddDevice.cpp:38)"
                            // or, in an image, "ExAllocatePoolWithTag from vextora.sys+0x1a2b (AddDevice+0x5c)"
};

// Symbolises the frames of all Sites in one addr2line run (cached), so that
// Name on them is cheap.
void Prepare(const std::vector<FailedSite> &Sites);
SiteName Name(const FailedSite &Site);

// One call of an allocating service or helper in the driver's sources: the
// statement spans lines First..Last.
struct SourceSite {
    std::string File;  // relative to the source tree
    unsigned First = 0;
    unsigned Last = 0;
    std::string Call;  // the name called
    std::string Code;  // the line, trimmed
};

// Scans driver/ pnp/ io/ power/ idle/ wmi/ under Root.
std::vector<SourceSite> ScanDriverSources(const std::string &Root);
// Scans one file's text (File is only copied into the results).
std::vector<SourceSite> ScanSource(const std::string &File, const std::string &Text);
// The source site whose statement contains File:Line, or null.
const SourceSite *Match(const std::vector<SourceSite> &Sites, const std::string &File, unsigned Line);

}  // namespace lowres
