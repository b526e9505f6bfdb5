// A registry writer the durability and concurrency tests run as a child process.
//
//   registry_writer burst FIRST COUNT
//     For i = FIRST.., creates HKLM\Software\Burst\W<i>\a\b\c (four new levels in one call)
//     and writes its REG_SZ "Data" (BurstData(i)); prints "i" on stdout once both are done.
//   registry_writer values TAG COUNT
//     For i = 0.., opens-or-creates HKCU\Software\Concurrent and writes the DWORD
//     "TAG-i" = i.
// Any failing call ends the program with exit code 2 and the status on stderr.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry_key.h"
#include "tests/platform/registry_writer.h"

namespace {

int Failed(const char* what, long index, long status) {
  std::fprintf(stderr, "%s %ld failed with status %ld\n", what, index, status);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: registry_writer burst FIRST COUNT | values TAG COUNT\n");
    return 1;
  }
  const std::string mode = argv[1];
  const long count = std::strtol(argv[3], nullptr, 10);
  if (mode == "burst") {
    const long first = std::strtol(argv[2], nullptr, 10);
    for (long i = first; i < first + count; ++i) {
      RegistryKey key;
      if (long status = key.Create(platform::HKEY_LOCAL_MACHINE, orvo::test::BurstLeafPath(i).c_str())) {
        return Failed("create", i, status);
      }
      if (long status = key.WriteString(L"Data", orvo::test::BurstData(i).c_str())) {
        return Failed("write", i, status);
      }
      std::printf("%ld\n", i);
      std::fflush(stdout);
    }
    return 0;
  }
  if (mode == "values") {
    const std::wstring tag(argv[2], argv[2] + std::char_traits<char>::length(argv[2]));
    for (long i = 0; i < count; ++i) {
      RegistryKey key;
      if (long status = key.Create(platform::HKEY_CURRENT_USER, L"Software\\Concurrent")) {
        return Failed("create", i, status);
      }
      const std::wstring name = tag + L"-" + std::to_wstring(i);
      if (long status = key.WriteDword(name.c_str(), static_cast<platform::DWORD>(i))) {
        return Failed("write", i, status);
      }
    }
    return 0;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 1;
}
