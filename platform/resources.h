#pragma once
// Resources linked into the executable (FindResource/LoadResource/LockResource).
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace platform {

// The bytes of resource (type, id), or nullopt when the executable has none.
std::optional<std::span<const std::uint8_t>> FindResource(std::string_view type, int id);

}  // namespace platform

namespace platform::detail {
// Called by the generated resource sources of an executable at static initialisation.
struct ResourceRegistrar {
  ResourceRegistrar(const char* type, int id, const std::uint8_t* begin, const std::uint8_t* end);
};
}  // namespace platform::detail
