#include "tools/stamp/block_walk.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <nlohmann/json.hpp>

#include "config/extern_data.h"
#include "platform/md5.h"

namespace stamp {
namespace {

// Digest over all L bytes and the text up to the first NUL, in bounded chunks so that a
// large L costs no more memory than a small one.
void ReadData(const HostFile& file, const config::ExternHeader& header, FoundBlock& block) {
  platform::Md5 md5;
  std::array<char, 64 * 1024> chunk{};
  bool textEnded = false;
  for (std::uint32_t done = 0; done < block.length;) {
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(chunk.size(), block.length - done));
    file.ReadAt(block.offset + done, chunk.data(), size);
    md5.Update(chunk.data(), size);
    for (std::uint32_t i = 0; i < size && !textEnded; ++i) {
      if (chunk[i] == '\0') {
        textEnded = true;
      } else if (block.text.size() < kShownTextLimit) {
        block.text.push_back(chunk[i]);
      } else {
        block.textTruncated = true;
        textEnded = true;
      }
    }
    done += size;
  }
  block.dataDigest = platform::HexDigest(md5.Final());
  block.digestMatches = config::DigestMatches(header, block.dataDigest);
}

std::string At(std::uint64_t offset) { return "offset " + std::to_string(offset); }

}  // namespace

BlockWalk WalkBlocks(const HostFile& file, WalkMode mode) {
  BlockWalk walk;
  std::uint64_t position = file.Size();
  for (;;) {
    walk.endOffset = position;
    if (position < config::kExternHeaderSize) {
      walk.endReason = "no room for a block header in the " + std::to_string(position) + " bytes before " +
                       At(position);
      break;
    }
    const std::uint64_t headerAt = position - config::kExternHeaderSize;
    std::array<std::uint8_t, config::kExternHeaderSize> bytes{};
    file.ReadAt(headerAt, bytes.data(), bytes.size());
    const config::ExternHeader header = config::ParseExternHeader(bytes);
    if (header.magic != config::kExternMagic || header.length == 0) {
      walk.endReason = "no block header at " + At(headerAt);
      break;
    }
    if (header.length > headerAt) {
      walk.endReason = "the header at " + At(headerAt) + " claims " + std::to_string(header.length) +
                       " data bytes, more than the " + std::to_string(headerAt) + " bytes in front of it";
      break;
    }
    FoundBlock block;
    block.offset = headerAt - header.length;
    block.length = header.length;
    block.headerDigest = header.digest;
    block.terminatorZero = header.terminator == 0;
    ReadData(file, header, block);
    const bool digestMatches = block.digestMatches;
    bool isJson = true;
    if (mode == WalkMode::AsInstaller && digestMatches && !block.textTruncated) {
      isJson = nlohmann::json::accept(block.text);
    }
    walk.blocks.push_back(std::move(block));
    position = walk.blocks.back().offset;
    if (mode == WalkMode::AsInstaller && !digestMatches) {
      walk.endOffset = position;
      walk.endReason = "the block at " + At(position) +
                       " does not match its digest; the installer ignores it and everything before it";
      break;
    }
    if (!isJson) {
      walk.endOffset = position;
      walk.endReason = "the block at " + At(position) +
                       " is not valid JSON; the installer stops there and reads nothing before it";
      break;
    }
  }
  std::reverse(walk.blocks.begin(), walk.blocks.end());
  return walk;
}

}  // namespace stamp
