// Which allocation sites of the driver an injected failure hit. The test
// binary is linked with --wrap around the kernel's allocating services; each
// wrapper notes its caller's address when the machine's injector made the
// call fail, and the addresses are turned into function names (with inlined
// frames, file and line) by addr2line over the test binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lowres {

struct FailedSite {
    const void *Address;   // return address in the caller of the service
    const void *Callers[3];  // the frames above it, innermost first (may be null)
    const char *Service;  // "ExAllocatePoolWithTag", "IoAllocateIrp", ...
};

// Forgets what was recorded so far; call before a run (any thread).
void ClearFailedSites();
// What was recorded since the last ClearFailedSites, in order.
std::vector<FailedSite> TakeFailedSites();
// "Routine (file:line)" for an address in this binary, inlined frames joined
// with " <- "; the bare address when addr2line cannot tell. Cached.
std::string Symbolise(const void *Address);
// The site and, while it is inside a small allocation helper (PoolBlock and
// the like), its callers up to the first driver routine.
std::string Describe(const FailedSite &Site);

}  // namespace lowres
