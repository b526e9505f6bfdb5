#include "tests/net/tiny_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace orvo::test {

namespace {

std::uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return ntohs(addr.sin_port);
}

bool Accepts(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Found before fork: the child only makes async-signal-safe calls.
std::string ProgramPath() {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/usr/sbin";
  std::size_t at = 0;
  while (at <= dirs.size()) {
    auto end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/tinyproxy";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  throw std::runtime_error("tinyproxy is not installed");
}

}  // namespace

TinyProxy::TinyProxy(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  // The free port may be taken by someone else before tinyproxy binds it: try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start(folder, FreePort())) return;
  }
  throw std::runtime_error("tinyproxy did not start");
}

TinyProxy::~TinyProxy() { Stop(); }

bool TinyProxy::Start(const std::filesystem::path& folder, std::uint16_t port) {
  const auto config = folder / "tinyproxy.conf";
  {
    std::ofstream out(config, std::ios::trunc);
    out << "Port " << port << "\n"
        << "Listen 127.0.0.1\n"
        << "Allow 127.0.0.1\n"
        << "Timeout 15\n"
        << "MaxClients 16\n"
        << "LogLevel Info\n"
        << "LogFile \"" << (folder / "tinyproxy.log").string() << "\"\n";
  }
  const std::string program = ProgramPath();
  const std::string configText = config.string();
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(program.c_str(), "tinyproxy", "-d", "-c", configText.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  port_ = port;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return false;
}

void TinyProxy::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

}  // namespace orvo::test
