// Adding a block. How it joins a signed PE image's certificate table:
//
// Authenticode hashes the whole file except the checksum, the security directory entry and
// the certificate table (offset .. offset + size from that entry). Bytes appended after the
// table would be hashed and break the signature, so the block has to lie inside the table,
// and the installer wants its header in the last 40 bytes of the file. The table must
// therefore end at the end of the file before and after stamping.
//
// Growing only the directory size (leaving the block outside every WIN_CERTIFICATE entry)
// keeps Windows' check, but a table whose 8-byte aligned entry lengths do not add up to the
// directory size is "Corrupted attribute certificate table" to osslsigncode 2.6+. A new
// entry of its own cannot carry the block either: its 8-byte entry header would sit between
// the blocks and break the installer's walk from the end. So the last entry's dwLength grows
// to cover the block as well, and the directory size with it by the same amount; the table
// is again a sequence of entries that ends exactly at the end of the file. The PKCS#7
// signature in that entry is a DER structure with its own length, so Windows and osslsigncode
// read it unchanged and ignore the bytes after it. Both lengths stay multiples of 8 because
// the block (L data bytes, a multiple of 8, plus the 40-byte header) is.
//
// Files stamped by a packer that grew only the directory size carry their blocks after the
// last entry; those bytes are recognised as blocks and folded into the entry on the next
// stamp, which makes such a file acceptable to osslsigncode again.
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "config/extern_data.h"
#include "tools/stamp/block_walk.h"
#include "tools/stamp/commands.h"
#include "tools/stamp/host_file.h"
#include "tools/stamp/pe_image.h"

namespace stamp {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::string ReadJsonObject(const std::string& configPath) {
  std::string text = ReadWholeFile(configPath);
  if (text.size() > kMaxU32 - 2 * config::kExternHeaderSize) {
    throw Failure(configPath + " is too large for a configuration block");
  }
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw Failure(configPath + " is not valid JSON: " + e.what());
  }
  if (!document.is_object()) {
    throw Failure(configPath + " holds a JSON " + document.type_name() +
                  ", but the installer reads only a JSON object ({...})");
  }
  return text;
}

std::array<std::uint8_t, 4> Le32(std::uint64_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// How a signed image's certificate table takes the block.
struct TableGrowth {
  std::uint32_t padding = 0;  // zero bytes in front of the block that realign the last entry
  std::uint64_t lastEntryLength = 0;
  std::uint64_t tableSize = 0;
  std::size_t foldedBlocks = 0;  // blocks found after the last entry, now inside it
};

TableGrowth PlanGrowth(const HostFile& file, const CertificateTable& table, std::uint64_t fileSize,
                       std::size_t blockSize) {
  const std::string& path = file.path();
  if (table.end() != fileSize) {
    throw Failure(path + ": its certificate table (the signature) ends at offset " + std::to_string(table.end()) +
                  ", but the file is " + std::to_string(fileSize) +
                  " bytes long: data was added after signing. A block appended there would break the "
                  "signature; sign the file again, then stamp it");
  }
  if (table.entryCount == 0) {
    throw Failure(path + " has a damaged certificate table: its first entry is not well formed");
  }
  TableGrowth growth;
  const BlockWalk chain = WalkBlocks(file, WalkMode::Structure);
  if (table.entriesEnd < table.end()) {
    const auto& blocks = chain.blocks;
    const auto first = std::find_if(blocks.begin(), blocks.end(),
                                    [&](const FoundBlock& b) { return b.offset == table.entriesEnd; });
    if (first == blocks.end()) {
      throw Failure(path + " has " + std::to_string(table.end() - table.entriesEnd) +
                    " bytes in its certificate table after the last entry that are not configuration "
                    "blocks; refusing to change a table it does not understand");
    }
    growth.foldedBlocks = static_cast<std::size_t>(blocks.end() - first);
  }
  const std::uint64_t span = fileSize - table.lastEntryOffset;
  growth.padding = static_cast<std::uint32_t>((kCertificateAlignment - span % kCertificateAlignment) %
                                              kCertificateAlignment);
  if (growth.padding != 0 && !chain.blocks.empty()) {
    throw Failure(path + ": its certificate table is not 8-byte aligned after the configuration blocks it "
                  "already carries; aligning it would cut them off from the new block");
  }
  growth.lastEntryLength = span + growth.padding + blockSize;
  growth.tableSize = std::uint64_t{table.size} + growth.padding + blockSize;
  if (growth.lastEntryLength > kMaxU32 || growth.tableSize > kMaxU32) {
    throw Failure(path + ": the certificate table would grow beyond 4 GiB");
  }
  return growth;
}

}  // namespace

void AddBlock(const std::string& executable, const std::string& configPath, std::ostream& out) {
  const std::string text = ReadJsonObject(configPath);
  const std::string target = ResolveTargetPath(executable);
  const HostFile original = HostFile::OpenForStamping(target);
  const std::uint64_t size = original.Size();
  const std::string block = config::BuildExternBlock(text);

  const std::optional<PeImage> image = ReadPeImage(original);
  std::optional<TableGrowth> growth;
  if (image && image->certificates) growth = PlanGrowth(original, *image->certificates, size, block.size());

  ReplacementFile replacement = ReplacementFile::CreateNextTo(target);
  HostFile& copy = replacement.file();
  copy.CopyFrom(original, size);
  std::uint64_t blockAt = size;
  if (growth && growth->padding != 0) {
    const std::array<char, kCertificateAlignment> zeros{};
    copy.WriteAt(blockAt, zeros.data(), growth->padding);
    blockAt += growth->padding;
  }
  copy.WriteAt(blockAt, block.data(), block.size());
  if (growth) {
    const CertificateTable& table = *image->certificates;
    copy.WriteAt(table.directoryEntryOffset + 4, Le32(growth->tableSize).data(), 4);
    copy.WriteAt(table.lastEntryOffset, Le32(growth->lastEntryLength).data(), 4);
  }
  std::uint32_t checksum = 0;
  // A zero checksum means "not computed" and stays so. The checksum lies outside the
  // signed bytes, so keeping it right costs the signature nothing.
  if (image && image->checksum != 0) {
    checksum = ComputePeChecksum(copy, image->checksumOffset);
    copy.WriteAt(image->checksumOffset, Le32(checksum).data(), 4);
  }
  if (original.Size() != size) throw Failure(target + " changed while it was being stamped; try again");
  replacement.ReplaceTarget(original.Mode(), original.Owner(), original.Group());

  const std::size_t length = block.size() - config::kExternHeaderSize;
  out << "Stamped " << target << ": block of " << length << " data bytes at offset " << blockAt
      << ", header at offset " << blockAt + length << "; the file is now " << blockAt + block.size()
      << " bytes.\n";
  const char* kind = image && image->pe32Plus ? "PE32+" : "PE32";
  if (growth) {
    out << "Signed " << kind << " image: the block lies inside the certificate table, whose last entry now "
        << "spans " << growth->lastEntryLength << " bytes and the table " << growth->tableSize
        << " bytes, so the signature stays valid.\n";
    if (growth->padding != 0) out << growth->padding << " zero bytes realign the certificate entry.\n";
    if (growth->foldedBlocks != 0) {
      out << growth->foldedBlocks << " earlier block(s) that lay outside the certificate entry now lie inside it.\n";
    }
  } else if (image) {
    out << kind << " image without a certificate table (not signed): block appended, PE headers unchanged.\n";
  } else {
    out << "Not a PE image: block appended plainly.\n";
  }
  if (image && image->checksum != 0) out << "PE checksum updated to " << Hex(checksum) << ".\n";
}

}  // namespace stamp
