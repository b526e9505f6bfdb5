// DownloadFile of one URL into a file, as the installer does it (with a progress callback),
// reporting the process's peak resident size before and after the download.
#include <cstdio>
#include <fstream>
#include <string>

#include "net/file_downloader.h"
#include "platform/prefix.h"

namespace {

long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s WARMUP-URL URL TARGET (Windows form, e.g. Z:\\tmp\\f)\n", argv[0]);
    return 2;
  }
  std::uint32_t last = 0;
  auto progress = [&last](std::uint32_t percent, std::uint32_t) { last = percent; };
  // A first small download loads the HTTP and TLS libraries: the idle size includes them.
  net::DownloadResult warm = net::DownloadFile(Wide(argv[1]), Wide(argv[3]), progress, L"");
  const long idle = PeakResidentKiB();
  net::DownloadResult result = net::DownloadFile(Wide(argv[2]), Wide(argv[3]), progress, L"");
  const long peak = PeakResidentKiB();
  if (!warm.ok || !result.ok || last != 100) {
    std::fprintf(stderr, "download failed: type %d code %u\n", result.errorType, result.errorCode);
    return 1;
  }
  std::printf("idle_kib %ld peak_kib %ld\n", idle, peak);
  return 0;
}
