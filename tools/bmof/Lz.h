// The compressed container of a binary MOF ("FOMB", version, sizes, "DS" 00 01
// and an LSB-first LZ77 bit stream) and its codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vxbmof {

using Bytes = std::vector<std::uint8_t>;

// The output is cut into blocks of this size; each block ends with a marker
// and no back-reference writes across a block boundary.
inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::size_t kMinMatch = 2;
inline constexpr std::size_t kMaxMatch = 512;
inline constexpr std::size_t kMaxOffset = 4414;
inline constexpr std::size_t kContainerHeaderSize = 16;

// The bit stream alone (no "DS" header), with real back-references.
Bytes CompressStream(std::span<const std::uint8_t> data);

// Decodes a bit stream that must produce exactly expectedSize bytes. Strict:
// throws Error on an invalid offset or length, a reference before the start
// of the output or across a block boundary, a marker in the wrong place, a
// missing marker, output beyond expectedSize, a stream that ends early, or
// more than one byte of padding (or non-zero padding) after the last marker.
Bytes DecompressStream(std::span<const std::uint8_t> stream, std::size_t expectedSize);

// The whole resource: container header, "DS" 00 01 and the compressed stream.
Bytes Pack(std::span<const std::uint8_t> data);

// Checks the container (signature, version 1, sizes, no trailing bytes, the
// "DS" 00 01 header) and returns the decompressed data. Throws Error.
Bytes Unpack(std::span<const std::uint8_t> container);

}  // namespace vxbmof
