// Fatal signals as unhandled exceptions: the handler, the signal stacks and the dump file.
#include "platform/crash_dump.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/posix/minidump_writer.h"
#include "platform/prefix.h"

namespace platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP};
constexpr std::size_t kSignalStackSize = 128 << 10;
constexpr std::size_t kEnoughSignalStack = 64 << 10;
constexpr unsigned kWatchdogSeconds = 30;
constexpr char kDumpSuffix[] = ".dmp";
constexpr char kPartialSuffix[] = ".partial";

std::atomic<UnhandledExceptionFilter> g_filter{nullptr};
// The thread (kernel id) that owns the crash handling; 0 while no thread does.
std::atomic<pid_t> g_handlingThread{0};
static_assert(std::atomic<UnhandledExceptionFilter>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);

// Host path of the dump folder, without a trailing slash; set by PrepareDumpFolder.
char g_dumpFolder[PATH_MAX];
std::atomic<bool> g_dumpFolderReady{false};
// "<folder>/<20 digits>.dmp.partial"
char g_dumpPath[PATH_MAX + 32];
char g_partialPath[PATH_MAX + 32];

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The calling thread's alternate signal stack: one mapping with a guard page below it.
// Move-only; on destruction the stack that was there before is put back.
class SignalStack {
 public:
  static std::optional<SignalStack> Create() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kEnoughSignalStack) {
      return std::nullopt;
    }
    const std::size_t guard = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t length = guard + kSignalStackSize;
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return std::nullopt;
    mprotect(mapping, guard, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + guard;
    stack.ss_size = kSignalStackSize;
    stack_t previous{};
    if (sigaltstack(&stack, &previous) != 0) {
      munmap(mapping, length);
      return std::nullopt;
    }
    return SignalStack(mapping, length, stack.ss_sp, previous);
  }

  SignalStack(SignalStack&& other) noexcept
      : mapping_(std::exchange(other.mapping_, nullptr)),
        length_(other.length_),
        stack_(other.stack_),
        previous_(other.previous_) {}
  SignalStack& operator=(SignalStack&&) = delete;
  SignalStack(const SignalStack&) = delete;
  SignalStack& operator=(const SignalStack&) = delete;

  ~SignalStack() {
    if (mapping_ == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack_) {
      if (previous_.ss_sp == nullptr) previous_.ss_flags = SS_DISABLE;
      sigaltstack(&previous_, nullptr);
    }
    munmap(mapping_, length_);
  }

 private:
  SignalStack(void* mapping, std::size_t length, void* stack, stack_t previous)
      : mapping_(mapping), length_(length), stack_(stack), previous_(previous) {}

  void* mapping_;
  std::size_t length_;
  void* stack_;
  stack_t previous_;
};

thread_local std::optional<SignalStack> t_signalStack;

void ResetToDefault(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

// A filter that never returns (for instance one blocked on a lock the crashed thread
// held) must not keep a dying process alive.
void StartWatchdog() {
  ResetToDefault(SIGALRM);
  alarm(kWatchdogSeconds);
}

// Another thread is handling a crash and ends the process when done; the watchdog bounds
// that, and this bound is only a backstop.
void WaitForHandlingThread() {
  for (unsigned waited = 0; waited < 10 * (kWatchdogSeconds + 5); ++waited) {
    timespec tenth{0, 100 * 1000 * 1000};
    nanosleep(&tenth, nullptr);
  }
}

void OnFatalSignal(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const pid_t self = CurrentThreadId();
  pid_t owner = 0;
  if (g_handlingThread.compare_exchange_strong(owner, self)) {
    StartWatchdog();
    if (UnhandledExceptionFilter filter = g_filter.load()) {
      ExceptionPointers exception{signal, info, static_cast<ucontext_t*>(context)};
      filter(&exception);
    }
  } else if (owner != self) {
    WaitForHandlingThread();
  }
  // A fault inside the handling itself (owner == self) comes straight here. The signal
  // stays blocked until the handler returns, so the re-raised one is delivered then, with
  // the default action: the process ends by the original signal, also for signals that
  // returning alone would not repeat (abort, kill, a breakpoint trap).
  ResetToDefault(signal);
  syscall(SYS_tgkill, getpid(), self, signal);
  errno = savedErrno;
}

void InstallHandlers() {
  struct sigaction action {};
  action.sa_sigaction = &OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // While one fatal signal is handled the others are blocked on this thread: a fault
  // inside the handler then kills the process at once (the kernel does not queue a
  // blocked synchronous fault).
  sigemptyset(&action.sa_mask);
  for (int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

// Decimal digits of `value` at `out`; returns the end.
char* FormatDecimal(char* out, unsigned long long value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* Append(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

}  // namespace

void SetUnhandledExceptionFilter(UnhandledExceptionFilter filter) {
  minidump::PrepareWriter();
  PrepareThreadForCrashDump();
  g_filter.store(filter);
  InstallHandlers();
}

void PrepareThreadForCrashDump() {
  if (t_signalStack) return;
  if (std::optional<SignalStack> stack = SignalStack::Create()) t_signalStack.emplace(std::move(*stack));
}

bool PrepareDumpFolder(std::wstring_view windowsFolder) {
  minidump::PrepareWriter();
  auto host = ResolvePath(windowsFolder);
  if (!host) return false;
  std::error_code ec;
  std::string folder = std::filesystem::absolute(*host, ec).string();
  if (ec) return false;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder.size() >= sizeof(g_dumpFolder) ||
      folder.find('\0') != std::string::npos) {
    return false;
  }
  g_dumpFolderReady.store(false);
  std::memcpy(g_dumpFolder, folder.c_str(), folder.size() + 1);
  g_dumpFolderReady.store(true);
  return true;
}

bool WriteCrashDump(ExceptionPointers* exception) {
  if (exception == nullptr || !g_dumpFolderReady.load()) return false;
  if (mkdir(g_dumpFolder, 0777) != 0 && errno != EEXIST) return false;

  const time_t now = time(nullptr);
  if (now < 0) return false;
  char* end = Append(g_dumpPath, g_dumpFolder);
  *end++ = '/';
  end = FormatDecimal(end, static_cast<unsigned long long>(now));
  end = Append(end, kDumpSuffix);
  *end = '\0';
  *Append(Append(g_partialPath, g_dumpPath), kPartialSuffix) = '\0';

  int fd = open(g_partialPath, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = minidump::WriteMinidump(fd, *exception, static_cast<std::uint32_t>(CurrentThreadId()),
                                    static_cast<std::uint32_t>(now));
  ok = close(fd) == 0 && ok;
  ok = ok && rename(g_partialPath, g_dumpPath) == 0;
  if (!ok) unlink(g_partialPath);
  return ok;
}

}  // namespace platform
