// Reads one resource out of a PE image's resource directory, enough to check
// what the kernel build embedded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vxtest {

// The bytes of the first language of resource (type, name), both given as
// names and matched without regard to case as the loader does. nullopt when
// the image has no such resource; throws std::runtime_error when the image or
// its resource directory is malformed.
std::optional<std::vector<std::uint8_t>> FindNamedResource(std::span<const std::uint8_t> image,
                                                           std::string_view type, std::string_view name);
// The same for a resource whose type and name are numeric IDs (RT_VERSION 16,
// name 1).
std::optional<std::vector<std::uint8_t>> FindResourceById(std::span<const std::uint8_t> image, std::uint16_t type,
                                                          std::uint16_t id);

}  // namespace vxtest
