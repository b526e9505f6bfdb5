#include <nlohmann/json.hpp>

#include "tools/stamp/block_walk.h"
#include "tools/stamp/commands.h"
#include "tools/stamp/host_file.h"

namespace stamp {
namespace {

std::string JsonVerdict(const FoundBlock& block) {
  if (block.textTruncated) return "text too long to check";
  const auto document = nlohmann::json::parse(block.text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return "not valid JSON";
  if (!document.is_object()) {
    return std::string("JSON ") + document.type_name() + ", not an object: the installer applies nothing from it";
  }
  return "JSON object";
}

void PrintIndented(const std::string& text, std::ostream& out) {
  const std::size_t end = text.find_last_not_of("\r\n") + 1;  // npos + 1 == 0: nothing but line ends
  out << "  ";
  for (std::size_t i = 0; i < end; ++i) {
    out << text[i];
    if (text[i] == '\n') out << "  ";
  }
  out << '\n';
}

}  // namespace

void ListBlocks(const std::string& executable, std::ostream& out) {
  const HostFile file = HostFile::OpenForReading(executable);
  const BlockWalk walk = WalkBlocks(file, WalkMode::AsInstaller);
  if (walk.blocks.empty()) {
    out << executable << ": no configuration blocks\n";
  } else {
    out << executable << ": " << walk.blocks.size() << " block(s), in file order; the installer applies "
        << "them in this order, so later blocks win\n";
  }
  int number = 0;
  for (const FoundBlock& block : walk.blocks) {
    out << "block " << ++number << ": offset " << block.offset << ", length " << block.length << ", digest ";
    if (block.digestMatches) {
      out << "ok, " << JsonVerdict(block) << '\n';
    } else {
      out << "MISMATCH (header " << block.headerDigest << ", data " << block.dataDigest
          << (block.terminatorZero ? "" : ", digest text not terminated by a 0 byte") << ")\n";
    }
    PrintIndented(block.text, out);
    if (block.textTruncated) out << "  ... (cut short after " << kShownTextLimit << " bytes)\n";
  }
  out << "search ends: " << walk.endReason << '\n';
}

}  // namespace stamp
