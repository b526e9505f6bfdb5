// Prints GetFileHexMd5 of the host file named by the argument (reached through the prefix's
// drive table, as the installer reaches its downloads); exit code 1 when it fails.
#include <cstdio>
#include <filesystem>

#include "platform/prefix.h"
#include "platform/text.h"
#include "platform/utils.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s HOST_FILE\n", argv[0]);
    return 2;
  }
  const std::wstring path = platform::ToWindowsPath(std::filesystem::absolute(argv[1]));
  const std::wstring digest = GetFileHexMd5(path);
  if (digest.empty()) return 1;
  std::printf("%s\n", platform::WideToUtf8(digest).c_str());
  return 0;
}
