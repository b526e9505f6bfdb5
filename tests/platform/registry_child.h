#pragma once
// Child processes for the registry tests: run a program to its end, or start one and read
// its output line by line. Every wait is bounded; a child still running when its owner
// goes away is killed.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace orvo::test {

struct ChildResult {
  int exitCode = -1;  // -1: killed by a signal or by the timeout
  bool timedOut = false;
  std::string out;
  std::string err;
};

// `env` entries ("NAME=value") are added to (or replace) the test's own environment.
// The program is looked up in PATH when it has no slash.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {},
                     std::chrono::seconds timeout = std::chrono::seconds(60));

class ChildProcess {
 public:
  // Starts the program with its stdout on a pipe; stderr is the test's.
  static ChildProcess Start(const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::string>& env = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool started() const { return pid_ > 0; }
  // The next complete line without its newline; nullopt at the end of the output or when
  // no line came within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // SIGKILL, then reaps the process.
  void Kill();
  // The exit code; at the timeout the child is killed and -1 returned.
  int Wait(std::chrono::seconds timeout);

 private:
  ChildProcess(pid_t pid, int out) : pid_(pid), out_(out) {}
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool eof_ = false;
};

}  // namespace orvo::test
