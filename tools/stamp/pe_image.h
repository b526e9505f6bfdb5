#pragma once
// The parts of a PE image (PE32 or PE32+) that stamping touches: the header checksum and the
// attribute-certificate table that holds the Authenticode signature.
#include <cstdint>
#include <optional>

#include "tools/stamp/host_file.h"

namespace stamp {

inline constexpr std::uint32_t kCertificateAlignment = 8;

struct CertificateTable {
  std::uint64_t directoryEntryOffset = 0;  // file offset of the security directory {offset, size}
  std::uint32_t offset = 0;                // file offset of the table (the directory's address)
  std::uint32_t size = 0;
  // The WIN_CERTIFICATE entries: each dwLength bytes long, the next one at the following
  // 8-byte boundary. entryCount is 0 when the first entry is not well formed.
  int entryCount = 0;
  std::uint64_t lastEntryOffset = 0;
  std::uint32_t lastEntryLength = 0;
  // Where the last well-formed entry ends, padding included. Below offset + size when bytes
  // that are not entries follow it.
  std::uint64_t entriesEnd = 0;

  std::uint64_t end() const { return std::uint64_t{offset} + size; }
};

struct PeImage {
  bool pe32Plus = false;
  std::uint64_t checksumOffset = 0;
  std::uint32_t checksum = 0;
  std::optional<CertificateTable> certificates;  // empty when the security directory is
};

// Nothing when the file is not a PE image ("MZ", then "PE\0\0" at e_lfanew). Throws Failure
// for a PE image whose headers or certificate table point outside the file.
std::optional<PeImage> ReadPeImage(const HostFile& file);

// The header checksum of the whole file with the checksum field counted as zero, as
// CheckSumMappedFile computes it. Streams the file.
std::uint32_t ComputePeChecksum(const HostFile& file, std::uint64_t checksumOffset);

}  // namespace stamp
