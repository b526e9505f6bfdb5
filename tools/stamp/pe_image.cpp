#include "tools/stamp/pe_image.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace stamp {
namespace {

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kSecurityDirectory = 4;
constexpr std::uint32_t kWinCertificateHeaderSize = 8;  // dwLength, wRevision, wCertificateType

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

template <std::size_t N>
std::array<std::uint8_t, N> ReadArray(const HostFile& file, std::uint64_t offset) {
  std::array<std::uint8_t, N> bytes{};
  file.ReadAt(offset, bytes.data(), N);
  return bytes;
}

std::uint64_t AlignUp(std::uint64_t value) {
  return (value + kCertificateAlignment - 1) / kCertificateAlignment * kCertificateAlignment;
}

void WalkEntries(const HostFile& file, CertificateTable& table) {
  std::uint64_t at = table.offset;
  const std::uint64_t end = table.end();
  while (end - at >= kWinCertificateHeaderSize) {
    const std::uint32_t length = U32(ReadArray<4>(file, at).data());
    if (length < kWinCertificateHeaderSize || length > end - at) break;
    ++table.entryCount;
    table.lastEntryOffset = at;
    table.lastEntryLength = length;
    at = std::min(AlignUp(at + length), end);
  }
  table.entriesEnd = at;
}

}  // namespace

std::optional<PeImage> ReadPeImage(const HostFile& file) {
  const std::uint64_t fileSize = file.Size();
  if (fileSize < 0x40) return std::nullopt;
  const auto dos = ReadArray<0x40>(file, 0);
  if (dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
  const std::uint64_t peOffset = U32(&dos[0x3C]);
  // PE signature and COFF file header.
  if (peOffset + 24 > fileSize) return std::nullopt;
  const auto coff = ReadArray<24>(file, peOffset);
  if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) return std::nullopt;

  const std::uint16_t optionalSize = U16(&coff[20]);
  const std::uint64_t optional = peOffset + 24;
  if (optionalSize < 2 || optional + optionalSize > fileSize) {
    throw Failure(file.path() + " has a damaged PE header (the optional header lies outside the file)");
  }
  PeImage image;
  const std::uint16_t magic = U16(ReadArray<2>(file, optional).data());
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%X", magic);
    throw Failure(file.path() + " has a PE header of an unknown kind (optional header magic " + hex +
                  ", neither PE32 nor PE32+)");
  }
  image.pe32Plus = magic == kPe32PlusMagic;
  const std::uint64_t countOffset = image.pe32Plus ? 108 : 92;
  const std::uint64_t directories = image.pe32Plus ? 112 : 96;
  if (optionalSize < countOffset + 4) {
    throw Failure(file.path() + " has a damaged PE header (optional header too short)");
  }
  image.checksumOffset = optional + 64;
  image.checksum = U32(ReadArray<4>(file, image.checksumOffset).data());

  const std::uint32_t directoryCount = U32(ReadArray<4>(file, optional + countOffset).data());
  const std::uint64_t entry = directories + std::uint64_t{kSecurityDirectory} * 8;
  if (directoryCount <= kSecurityDirectory || optionalSize < entry + 8) return image;

  const auto security = ReadArray<8>(file, optional + entry);
  CertificateTable table;
  table.directoryEntryOffset = optional + entry;
  table.offset = U32(&security[0]);
  table.size = U32(&security[4]);
  if (table.size == 0) return image;
  if (table.offset == 0 || table.end() > fileSize) {
    throw Failure(file.path() + " has a damaged security directory: its certificate table (offset " +
                  std::to_string(table.offset) + ", size " + std::to_string(table.size) +
                  ") does not lie inside the file of " + std::to_string(fileSize) + " bytes");
  }
  WalkEntries(file, table);
  image.certificates = table;
  return image;
}

std::uint32_t ComputePeChecksum(const HostFile& file, std::uint64_t checksumOffset) {
  const std::uint64_t size = file.Size();
  std::vector<std::uint8_t> buffer(1 << 20);  // even, so 16-bit words never straddle chunks
  std::uint64_t sum = 0;
  for (std::uint64_t at = 0; at < size;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
    file.ReadAt(at, buffer.data(), chunk);
    if (chunk % 2 != 0) buffer[chunk] = 0;  // an odd last byte is the low half of a word
    for (std::size_t i = 0; i < chunk; i += 2) {
      const std::uint64_t word = at + i;
      if (word >= checksumOffset && word < checksumOffset + 4) continue;
      sum += U16(&buffer[i]);
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    at += chunk;
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + size);
}

}  // namespace stamp
