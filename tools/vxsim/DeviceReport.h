// `vxsim inspect`: plug a described device, start the driver on it and
// report how the driver configured it.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

namespace sim::image {
class ImageFile;
}

namespace vx {

// Returns the process exit code: 0 when the device started, 1 when the
// driver refused it (the report says why) or the verifier reported a fault,
// 2 when the description itself was refused. With an image, vextora.sys for
// x64 runs in place of the driver built into vxsim.
int Inspect(const std::string &path, bool json, uint64_t seed, std::ostream &out, std::ostream &err,
            std::shared_ptr<const sim::image::ImageFile> image = nullptr);

}  // namespace vx
