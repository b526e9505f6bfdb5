#pragma once
// The extern data block appended to the installer: L data bytes (JSON text, NUL padded)
// followed by a 40-byte header, little-endian and packed:
//   0  u16  magic 0x0EF4
//   2  u32  length L of the data (not 0)
//   6  32   MD5 of the L bytes as hexadecimal text (either case)
//   38 u8   0, ends the digest text
//   39 u8   reserved; writers store 0x01
// Blocks stack: the last one ends at the end of the file, earlier ones end where the next
// one's data starts.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace config {

inline constexpr std::uint16_t kExternMagic = 0x0EF4;
inline constexpr std::size_t kExternHeaderSize = 40;

struct ExternHeader {
  std::uint16_t magic = 0;
  std::uint32_t length = 0;
  std::string digest;  // the 32 digit characters as stored
  std::uint8_t terminator = 0;
  std::uint8_t reserved = 0;
};

ExternHeader ParseExternHeader(const std::array<std::uint8_t, kExternHeaderSize>& bytes);

// True when the header vouches for data whose MD5 is `dataDigest` (lowercase hex): its
// digest text is 0-terminated and equal to it, ignoring case.
bool DigestMatches(const ExternHeader& header, std::string_view dataDigest);

// The block a writer appends for `jsonText`: the text padded with NUL to a multiple of 8,
// then the header with the lowercase digest and reserved byte 0x01.
std::string BuildExternBlock(std::string_view jsonText);

}  // namespace config
