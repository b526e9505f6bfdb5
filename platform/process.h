#pragma once
// Starting programs: ShellExecuteExW with the "open" verb, SEE_MASK_NOCLOSEPROCESS |
// SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI, no working-folder argument.
//
// Linux: the Windows-form path is resolved through the prefix and the host file is started
// with posix_spawn. The parameters are split into arguments by the CommandLineToArgvW rules
// (SplitCommandLine); the current folder and the environment are inherited; `hidden` has no
// effect, there being no window to hide. Only the named file is tried: no search of PATH and
// no file associations.
//
// What counts as a program: a file the kernel runs (ELF, a "#!" script, anything binfmt
// knows) when it carries an execute bit. Windows has no execute bit, so a file without one
// whose first bytes are "\x7fELF" or "#!" (a freshly downloaded package, say) is given
// execute bits where it has read bits, and started.
//
// Failures (Start returns nullopt, platform::GetLastError says why):
//   2    ERROR_FILE_NOT_FOUND  the file does not exist
//   3    ERROR_PATH_NOT_FOUND  its folder or drive does not exist
//   5    ERROR_ACCESS_DENIED   a folder, or the system refuses to run or mark the file
//   193  ERROR_BAD_EXE_FORMAT  the file is not a program
//
// Exit codes: Windows exit codes are 32-bit, a POSIX exit status only 8. A program may
// pass its full code by writing it in decimal to the descriptor named by the environment
// variable ORVO_EXIT_CODE_FD before it exits with the code's low 8 bits; the full code is
// taken only when those bits match the status it exited with. Otherwise the exit code is the
// status (0..255). A program ended by signal N gives 0xC0000000 | N, a value no exit status
// can take, in the range Windows uses for abnormal ends.
//
// Threads: any thread may start programs; a Process is owned by one thread at a time.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_error.h"

namespace platform {

inline constexpr DWORD kExitCodeSignalBase = 0xC0000000u;
inline constexpr const char* kExitCodeFdVariable = "ORVO_EXIT_CODE_FD";

// A started program: the move-only owner of its process handle. Destroying it without
// Wait leaves the program running (as CloseHandle does); it is reaped once it ends.
class Process {
 public:
  static std::optional<Process> Start(std::wstring_view file, std::wstring_view parameters,
                                      bool hidden);

  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  // Waits with no time limit for the program to end. False (last error set) when it cannot
  // be waited for; *exitCode is then untouched.
  bool Wait(DWORD* exitCode);

 private:
  Process(int pid, int exitCodeFd) : pid_(pid), exitCodeFd_(exitCodeFd) {}
  void Release();

  int pid_ = -1;         // -1 once waited for or released
  int exitCodeFd_ = -1;  // read end of the full-exit-code channel
};

// The arguments of a Windows command line that follow the program name, by the rules of
// CommandLineToArgvW: spaces and tabs separate arguments outside quotes; 2n backslashes
// before a quote give n backslashes and the quote opens or closes a quoted part; 2n+1
// backslashes before a quote give n backslashes and a literal quote; other backslashes are
// literal; a quote that closes a quoted part and is directly followed by another quote
// gives a literal quote, the part staying closed.
std::vector<std::wstring> SplitCommandLine(std::wstring_view parameters);

}  // namespace platform
