#include "config/extern_data.h"

#include <algorithm>

#include "platform/md5.h"

namespace config {

ExternHeader ParseExternHeader(const std::array<std::uint8_t, kExternHeaderSize>& b) {
  ExternHeader h;
  h.magic = static_cast<std::uint16_t>(b[0] | b[1] << 8);
  h.length = static_cast<std::uint32_t>(b[2]) | static_cast<std::uint32_t>(b[3]) << 8 |
             static_cast<std::uint32_t>(b[4]) << 16 | static_cast<std::uint32_t>(b[5]) << 24;
  // The digest text ends at the first NUL, at the latest at the terminator byte.
  for (std::size_t i = 6; i < 38 && b[i] != 0; ++i) h.digest.push_back(static_cast<char>(b[i]));
  h.terminator = b[38];
  h.reserved = b[39];
  return h;
}

bool DigestMatches(const ExternHeader& header, std::string_view dataDigest) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return header.terminator == 0 && header.digest.size() == dataDigest.size() &&
         std::equal(header.digest.begin(), header.digest.end(), dataDigest.begin(),
                    [&](char a, char b) { return lower(a) == lower(b); });
}

std::string BuildExternBlock(std::string_view jsonText) {
  std::string block(jsonText);
  block.append((8 - block.size() % 8) % 8, '\0');
  if (block.empty()) block.assign(8, '\0');
  const auto length = static_cast<std::uint32_t>(block.size());
  const std::string digest = platform::HexMd5(block.data(), block.size());
  std::string header;
  header.push_back(static_cast<char>(kExternMagic & 0xFF));
  header.push_back(static_cast<char>(kExternMagic >> 8));
  for (int shift = 0; shift < 32; shift += 8) header.push_back(static_cast<char>(length >> shift));
  header += digest;
  header.push_back('\0');
  header.push_back('\x01');
  return block + header;
}

}  // namespace config
