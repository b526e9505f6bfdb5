#pragma once
// Finding the extern data blocks at the end of a file the way the installer does: the
// header in the last 40 bytes, its L data bytes in front of it, the previous block's header
// in front of those, and so on. Only positioned reads; the file is never read as a whole.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/stamp/host_file.h"

namespace stamp {

struct FoundBlock {
  std::uint64_t offset = 0;  // of the data; the header follows the L data bytes
  std::uint32_t length = 0;  // L
  std::string headerDigest;
  std::string dataDigest;  // lowercase
  bool terminatorZero = false;
  // The digests agree and the digest text is terminated: what the installer accepts.
  bool digestMatches = false;
  std::string text;  // the data up to its first NUL, at most kShownTextLimit bytes
  bool textTruncated = false;
};

inline constexpr std::size_t kShownTextLimit = 1 << 20;

enum class WalkMode {
  // Ends where the installer ends: at a digest mismatch or a text that is not JSON, after
  // reporting that block.
  AsInstaller,
  // Follows the headers only, to learn which trailing bytes are blocks at all.
  Structure,
};

struct BlockWalk {
  std::vector<FoundBlock> blocks;  // file order: the block nearest the end last
  std::uint64_t endOffset = 0;     // where the walk stopped (the start of the earliest block)
  std::string endReason;           // why nothing before endOffset counts, in words
};

BlockWalk WalkBlocks(const HostFile& file, WalkMode mode);

}  // namespace stamp
