// libFuzzer target of the configuration descriptor checks. The input is the
// device's answer: its first two bytes say how many bytes the bus reports as
// transferred, the rest is the buffer, copied into an allocation of exactly
// its size so any read past it is caught. Whatever is accepted must walk
// cleanly from start to end by bLength.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pnp/DescriptorCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size < 2) {
        return 0;
    }
    const unsigned transferred = Data[0] | (Data[1] << 8);
    const unsigned length = static_cast<unsigned>(Size - 2);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length == 0 ? 1 : length]);
    std::memcpy(buffer.get(), Data + 2, length);

    DescriptorCheck::ConfigurationHeader header{};
    if (length >= DescriptorCheck::kConfigurationLength) {
        (void)DescriptorCheck::CheckHeader(buffer.get(), DescriptorCheck::kConfigurationLength,
                                           transferred, &header);
    }
    if (DescriptorCheck::CheckConfiguration(buffer.get(), length, transferred, &header) !=
        DescriptorCheck::Verdict::Valid) {
        return 0;
    }
    unsigned offset = 0;
    while (offset < length) {
        if (buffer[offset] < 2) {
            std::abort();
        }
        offset += buffer[offset];
    }
    if (offset != length || header.TotalLength != length || header.NumInterfaces == 0) {
        std::abort();
    }
    return 0;
}
