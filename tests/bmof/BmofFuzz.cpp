// Fuzz target: any bytes given to the binary MOF reader either decode or end
// in vxbmof::Error; nothing else (no crash, no other exception, no overrun
// under the sanitizers). The first byte picks the entry point: the whole
// container, or the decompressed layout alone.
#include "Layout.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::span<const std::uint8_t> bytes(data + 1, size - 1);
    try {
        if (data[0] & 1) {
            vxbmof::DecodeBmof(bytes);
        } else {
            vxbmof::DecodeObjects(bytes);
        }
    } catch (const vxbmof::Error &) {
    }
    return 0;
}
