#pragma once
// Minidump writer for a thread stopped by a fatal signal. Everything here that runs at
// crash time is async-signal-safe: static buffers only, raw system calls, no locks.
// The buffers are shared, so one dump is written at a time (the crash handler lets only
// one thread in).
#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <string_view>

namespace platform {

// What the crash handler hands to the unhandled-exception filter.
struct ExceptionPointers {
  int signal = 0;
  siginfo_t* info = nullptr;
  ucontext_t* context = nullptr;
};

namespace minidump {

// Work the crash handler must not do itself: the memory-probe pipe, the kernel version
// and processor count. Idempotent; not async-signal-safe.
void PrepareWriter();

// Writes the dump to `fd` sequentially: system info, process id, the exception, the
// faulting thread with its AMD64 context and stack, the mapped ELF modules with their
// build ids, and the memory map. `threadId` is the faulting thread (the caller's).
// Only memory that is mapped is read. False when the dump could not be written whole.
bool WriteMinidump(int fd, const ExceptionPointers& exception, std::uint32_t threadId,
                   std::uint32_t timeStamp);

// One line of /proc/<pid>/maps, parsed in place (no allocation).
struct MapsEntry {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::uint64_t offset = 0;
  bool readable = false;
  bool writable = false;
  bool executable = false;
  std::uint64_t inode = 0;
  std::string_view path;  // empty for anonymous memory; "[stack]" and the like kept as is
};
bool ParseMapsLine(std::string_view line, MapsEntry* entry);

}  // namespace minidump
}  // namespace platform
