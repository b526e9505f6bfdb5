#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/posix/errno_map.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

namespace {

// Programs whose Process was dropped before they ended; reaped without blocking whenever
// another program starts, so they do not linger as zombies.
std::mutex g_orphansMutex;
std::vector<pid_t> g_orphans;

void ReapOrphans() {
  std::lock_guard lock(g_orphansMutex);
  std::erase_if(g_orphans, [](pid_t pid) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    return done == pid || (done < 0 && errno == ECHILD);
  });
}

bool Fail(DWORD code) {
  SetLastError(code);
  return false;
}

// The same descriptor-owning pattern as File, for the few descriptors used here.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int value) : fd(value) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int Release() {
    int value = fd;
    fd = -1;
    return value;
  }
};

struct FileActions {
  posix_spawn_file_actions_t value;
  FileActions() { posix_spawn_file_actions_init(&value); }
  ~FileActions() { posix_spawn_file_actions_destroy(&value); }
};

struct SpawnAttributes {
  posix_spawnattr_t value;
  SpawnAttributes() { posix_spawnattr_init(&value); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
};

bool LooksLikeProgram(const std::filesystem::path& host) {
  Fd fd(::open(host.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) return false;
  char head[4] = {};
  ssize_t n = 0;
  do {
    n = ::read(fd.fd, head, sizeof head);
  } while (n < 0 && errno == EINTR);
  if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
  return n == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0;
}

// Checks the file the way the shell would before starting it; sets the last error and
// returns false when it cannot be a program.
bool PrepareProgram(const std::filesystem::path& host) {
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) {
    return Fail(posix::Win32FromErrnoAt(errno, host));
  }
  if (!S_ISREG(st.st_mode)) return Fail(win::kErrorAccessDenied);
  if (::access(host.c_str(), X_OK) == 0) return true;
  if (!LooksLikeProgram(host)) return Fail(win::kErrorBadExeFormat);
  mode_t read = st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
  mode_t execute = (read & S_IRUSR ? S_IXUSR : 0) | (read & S_IRGRP ? S_IXGRP : 0) |
                   (read & S_IROTH ? S_IXOTH : 0);
  if (::chmod(host.c_str(), (st.st_mode & 07777) | execute | S_IXUSR) != 0) {
    return Fail(win::kErrorAccessDenied);
  }
  return true;
}

DWORD Win32FromSpawnError(int err) {
  switch (err) {
    case ENOEXEC: return win::kErrorBadExeFormat;
    case ENOENT: return win::kErrorFileNotFound;  // e.g. the interpreter of a script
    case EACCES:
    case EPERM:
    case ETXTBSY: return win::kErrorAccessDenied;
    default: return posix::Win32FromErrno(err);
  }
}

// The full exit code a program wrote to its channel, when it agrees with its exit status.
std::optional<DWORD> ReportedExitCode(int fd, int status) {
  char text[64];
  std::size_t size = 0;
  while (size < sizeof text) {
    ssize_t n = ::read(fd, text + size, sizeof text - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
  }
  std::string_view value(text, size);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ')) {
    value.remove_suffix(1);
  }
  DWORD code = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), code);
  if (value.empty() || error != std::errc() || end != value.data() + value.size()) return std::nullopt;
  if ((code & 0xFFu) != static_cast<DWORD>(WEXITSTATUS(status))) return std::nullopt;
  return code;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  std::vector<std::wstring> arguments;
  std::wstring current;
  std::size_t i = 0;
  while (i < line.size() && blank(line[i])) ++i;
  bool pending = i < line.size();
  int quotes = 0;       // quotes seen in the current run, the opening one included
  int backslashes = 0;  // backslashes directly before the current character
  while (i < line.size()) {
    wchar_t c = line[i];
    if (blank(c) && quotes == 0) {
      arguments.push_back(std::move(current));
      current.clear();
      backslashes = 0;
      while (i < line.size() && blank(line[i])) ++i;
      pending = i < line.size();
    } else if (c == L'\\') {
      current.push_back(c);
      ++backslashes;
      ++i;
    } else if (c == L'"') {
      if (backslashes % 2 == 0) {
        current.erase(current.size() - static_cast<std::size_t>(backslashes / 2));
        ++quotes;
      } else {
        current.erase(current.size() - static_cast<std::size_t>(backslashes / 2 + 1));
        current.push_back(L'"');
      }
      backslashes = 0;
      ++i;
      while (i < line.size() && line[i] == L'"') {
        if (++quotes == 3) {
          current.push_back(L'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
    } else {
      current.push_back(c);
      backslashes = 0;
      ++i;
    }
  }
  if (pending) arguments.push_back(std::move(current));
  return arguments;
}

std::optional<Process> Process::Start(std::wstring_view file, std::wstring_view parameters,
                                      bool hidden) {
  (void)hidden;  // no window to hide on this host
  ReapOrphans();
  if (file.empty()) {
    Fail(win::kErrorFileNotFound);
    return std::nullopt;
  }
  auto host = posix::ResolveOrFail(file);
  if (!host) return std::nullopt;
  if (!PrepareProgram(*host)) return std::nullopt;

  std::vector<std::string> arguments{host->string()};
  for (auto& argument : SplitCommandLine(parameters)) arguments.push_back(WideToUtf8(argument));

  int channel[2];
  if (::pipe2(channel, O_CLOEXEC | O_NONBLOCK) != 0) {
    posix::FailFromErrno();
    return std::nullopt;
  }
  Fd readEnd(channel[0]);
  Fd writeEnd(channel[1]);
  // The child may block on a full pipe otherwise; the code is a few bytes, so only the
  // parent's end stays non-blocking.
  ::fcntl(writeEnd.fd, F_SETFL, ::fcntl(writeEnd.fd, F_GETFL) & ~O_NONBLOCK);

  std::string channelVariable = std::string(kExitCodeFdVariable) + "=" + std::to_string(writeEnd.fd);
  std::vector<char*> environment;
  const std::string_view prefix = std::string_view(kExitCodeFdVariable);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    if (text.starts_with(prefix) && text.size() > prefix.size() && text[prefix.size()] == '=') continue;
    environment.push_back(*entry);
  }
  environment.push_back(channelVariable.data());
  environment.push_back(nullptr);

  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  FileActions actions;
  // Same descriptor number: posix_spawn clears its close-on-exec flag in the child only.
  posix_spawn_file_actions_adddup2(&actions.value, writeEnd.fd, writeEnd.fd);

  SpawnAttributes attributes;
  sigset_t mask;
  sigemptyset(&mask);
  posix_spawnattr_setsigmask(&attributes.value, &mask);
  // Ignored signals survive exec; a started program gets the default handling.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                     SIGALRM, SIGTSTP, SIGTTIN, SIGTTOU, SIGXFSZ}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigdefault(&attributes.value, &defaults);
  posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int err = ::posix_spawn(&pid, host->c_str(), &actions.value, &attributes.value, argv.data(),
                          environment.data());
  if (err != 0) {
    Fail(Win32FromSpawnError(err));
    return std::nullopt;
  }
  SetLastError(win::kErrorSuccess);
  return Process(pid, readEnd.Release());
}

Process::Process(Process&& other) noexcept : pid_(other.pid_), exitCodeFd_(other.exitCodeFd_) {
  other.pid_ = -1;
  other.exitCodeFd_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Release();
    pid_ = other.pid_;
    exitCodeFd_ = other.exitCodeFd_;
    other.pid_ = -1;
    other.exitCodeFd_ = -1;
  }
  return *this;
}

Process::~Process() { Release(); }

void Process::Release() {
  if (exitCodeFd_ >= 0) ::close(exitCodeFd_);
  exitCodeFd_ = -1;
  if (pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      try {
        std::lock_guard lock(g_orphansMutex);
        g_orphans.push_back(pid_);
      } catch (...) {
        // Out of memory: the program becomes a zombie until this process ends.
      }
    }
  }
  pid_ = -1;
}

bool Process::Wait(DWORD* exitCode) {
  if (pid_ <= 0) return Fail(win::kErrorInvalidHandle);
  int status = 0;
  pid_t done = -1;
  do {
    done = ::waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done < 0) {
    // ECHILD: someone else reaped it (SIGCHLD ignored, or a waitpid(-1) elsewhere).
    pid_ = -1;
    return Fail(win::kErrorInvalidHandle);
  }
  pid_ = -1;
  DWORD code = 0;
  if (WIFSIGNALED(status)) {
    code = kExitCodeSignalBase | static_cast<DWORD>(WTERMSIG(status));
  } else {
    code = static_cast<DWORD>(WEXITSTATUS(status));
    if (auto reported = ReportedExitCode(exitCodeFd_, status)) code = *reported;
  }
  if (exitCode != nullptr) *exitCode = code;
  SetLastError(win::kErrorSuccess);
  return true;
}

}  // namespace platform
