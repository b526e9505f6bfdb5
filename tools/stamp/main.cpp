// orvo-stamp: puts a channel's configuration into a built (and signed) installer.
// Exit codes: 0 done, 1 refused or failed (the file is unchanged), 2 wrong usage.
#include <algorithm>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/stamp/commands.h"
#include "tools/stamp/host_file.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "Usage:\n"
    "  orvo-stamp add <executable> <config.json>\n"
    "      Appends a configuration block carrying the JSON object in <config.json> to\n"
    "      <executable>. The installer reads the block nearest the end of the file last, so\n"
    "      its values win over earlier blocks. A signed Windows executable stays validly\n"
    "      signed: the block goes inside its certificate table. An unsigned executable or a\n"
    "      file that is not a Windows executable gets the block appended plainly. A signed\n"
    "      executable with data after its signature is refused. The file is replaced in one\n"
    "      step (a finished copy is renamed over it) and keeps its mode.\n"
    "  orvo-stamp list <executable>\n"
    "      Shows the blocks at the end of <executable> as the installer finds them: file\n"
    "      offset, length, whether the digest matches, and the JSON text.\n"
    "  orvo-stamp --help\n"
    "      Shows this text.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the executable is left unchanged), 2 wrong usage.\n";

int UsageError(const std::string& problem) {
  std::cerr << "orvo-stamp: " << problem << "\n\n" << kUsageText;
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command given");
  const std::string& command = args[0];
  const auto asksForHelp = [](const std::string& a) { return a == "--help" || a == "-h"; };
  if (command == "help" || std::any_of(args.begin(), args.end(), asksForHelp)) {
    std::cout << kUsageText;
    return kOk;
  }
  try {
    if (command == "add") {
      if (args.size() != 3) return UsageError("add needs <executable> and <config.json>");
      stamp::AddBlock(args[1], args[2], std::cout);
      return kOk;
    }
    if (command == "list") {
      if (args.size() != 2) return UsageError("list needs <executable>");
      stamp::ListBlocks(args[1], std::cout);
      return kOk;
    }
  } catch (const stamp::Failure& failure) {
    std::cerr << "orvo-stamp: " << failure.what() << '\n';
    return kFailed;
  } catch (const std::exception& e) {
    std::cerr << "orvo-stamp: failed: " << e.what() << '\n';
    return kFailed;
  }
  return UsageError("unknown command \"" + command + "\"");
}
