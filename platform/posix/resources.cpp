#include "platform/resources.h"

#include <string>
#include <vector>

namespace platform {

namespace {

struct Entry {
  std::string type;
  int id;
  std::span<const std::uint8_t> bytes;
};

// Filled during static initialisation only, before main; read-only afterwards.
std::vector<Entry>& Table() {
  static std::vector<Entry> table;
  return table;
}

}  // namespace

detail::ResourceRegistrar::ResourceRegistrar(const char* type, int id, const std::uint8_t* begin,
                                             const std::uint8_t* end) {
  Table().push_back({type, id, {begin, static_cast<std::size_t>(end - begin)}});
}

std::optional<std::span<const std::uint8_t>> FindResource(std::string_view type, int id) {
  for (const auto& entry : Table()) {
    if (entry.id == id && entry.type == type) return entry.bytes;
  }
  return std::nullopt;
}

}  // namespace platform
