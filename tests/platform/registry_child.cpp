#include "tests/platform/registry_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace orvo::test {

namespace {

using Clock = std::chrono::steady_clock;

struct Argv {
  std::vector<std::string> storage;
  std::vector<char*> pointers;
  char** get() {
    pointers.clear();
    for (auto& s : storage) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers.data();
  }
};

Argv Environment(const std::vector<std::string>& extra) {
  Argv env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
    if (!replaced) env.storage.push_back(entry);
  }
  for (const auto& x : extra) env.storage.push_back(x);
  return env;
}

// Spawns with stdout (and stderr, when errFd is given) on pipes; -1 on failure.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& extraEnv, int* outFd, int* errFd) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  if (errFd != nullptr && ::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (errFd != nullptr) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  Argv argv;
  argv.storage.push_back(program);
  for (const auto& a : args) argv.storage.push_back(a);
  Argv env = Environment(extraEnv);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.get(), env.get());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (errFd != nullptr) ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    if (errFd != nullptr) ::close(err[0]);
    return -1;
  }
  *outFd = out[0];
  if (errFd != nullptr) *errFd = err[0];
  return pid;
}

// Exit code of a reaped status, -1 for a signal.
int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, std::chrono::seconds timeout) {
  ChildResult result;
  int outFd = -1;
  int errFd = -1;
  pid_t pid = Spawn(program, args, env, &outFd, &errFd);
  if (pid < 0) {
    result.err = "cannot start " + program;
    return result;
  }
  const auto deadline = Clock::now() + timeout;
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    int ready = ::poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char chunk[4096];
      ssize_t n = ::read(fds[i].fd, chunk, sizeof(chunk));
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = result.timedOut ? -1 : ExitCode(status);
  return result;
}

ChildProcess ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) {
  int outFd = -1;
  pid_t pid = Spawn(program, args, env, &outFd, nullptr);
  return ChildProcess(pid, outFd);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::exchange(other.out_, -1)),
      buffer_(std::move(other.buffer_)),
      eof_(other.eof_) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Kill();
  if (out_ >= 0) ::close(out_);
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (eof_ || out_ < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fd{out_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left > 0 ? left : 0));
    if (ready == 0) return std::nullopt;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof(chunk));
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      eof_ = true;
    }
  }
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

int ChildProcess::Wait(std::chrono::seconds timeout) {
  if (pid_ <= 0) return -1;
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return ExitCode(status);
    }
    if (Clock::now() >= deadline) {
      Kill();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace orvo::test
