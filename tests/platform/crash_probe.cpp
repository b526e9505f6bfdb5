// Test-only crash trigger, never shipped: installs the installer's own crash filter
// (InstallCrashDumpFilter, with the prefix from ORVO_PREFIX), then dies the way its one
// argument asks.
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/entry.h"
#include "platform/crash_dump.h"
#include "platform/prefix.h"

int* volatile g_nowhere = nullptr;
volatile int g_depthLimit = 1 << 30;

// The sanitizer build must see a real fault here, not its own report of a null store.
[[gnu::noinline, gnu::no_sanitize_undefined]] void CrashingFunction() {
  *g_nowhere = 42;
  asm volatile("" ::: "memory");
}

[[gnu::noinline]] int OverflowingFunction(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth >= g_depthLimit) return frame[0];
  int result = OverflowingFunction(depth + 1);
  // Keeps the frame alive across the call, so the recursion cannot become a loop.
  asm volatile("" : : "r"(frame) : "memory");
  return result + frame[0];
}

int FaultingFilter(platform::ExceptionPointers*) {
  CrashingFunction();
  return 0;
}

int main(int argc, char** argv) {
  platform::PrefixRoot();
  InstallCrashDumpFilter();
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "thread-null-write") == 0) {
    std::thread([] { CrashingFunction(); }).join();
  } else if (std::strcmp(mode, "thread-overflow") == 0) {
    std::thread([] {
      platform::PrepareThreadForCrashDump();
      OverflowingFunction(0);
    }).join();
  } else if (std::strcmp(mode, "main-overflow") == 0) {
    OverflowingFunction(0);
  } else if (std::strcmp(mode, "main-abort") == 0) {
    std::abort();
  } else if (std::strcmp(mode, "faulting-filter") == 0) {
    platform::SetUnhandledExceptionFilter(&FaultingFilter);
    CrashingFunction();
  }
  return 2;
}
