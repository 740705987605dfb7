// `vxsim inspect`: plug a described device, start the driver on it and
// report how the driver configured it.
#pragma once

#include <iosfwd>
#include <string>

namespace vx {

// Returns the process exit code: 0 when the device started, 1 when the
// driver refused it, 2 when the description itself was refused.
int Inspect(const std::string &path, bool json, uint64_t seed, std::ostream &out, std::ostream &err);

}  // namespace vx
