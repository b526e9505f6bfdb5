#include "platform/session.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include "platform/posix/errno_map.h"
#include "platform/text.h"

// A named mutex is a listening socket in the abstract namespace: it exists exactly while a
// process keeps the descriptor open, and the kernel removes it when that process dies.

namespace platform {

namespace {

bool ParseSessionId(const std::string& text, DWORD* id) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (end == text.c_str() || value > 0xFFFFFFFEul) return false;  // 4294967295: unset
  *id = static_cast<DWORD>(value);
  return true;
}

// A socket and the abstract address of a mutex name; the socket is closed unless taken.
struct Endpoint {
  explicit Endpoint(std::wstring_view name) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) posix::FailFromErrno();
    address.sun_family = AF_UNIX;
    std::string key = "orvo-mutex:" + WideToUtf8(name);
    // Leading NUL selects the abstract namespace. Long names are cut; the session-specific
    // names of this program are far shorter than the 107 bytes available.
    std::size_t size = std::min(key.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, key.data(), size);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
  }
  ~Endpoint() {
    if (fd >= 0) ::close(fd);
  }
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  sockaddr* Address() { return reinterpret_cast<sockaddr*>(&address); }

  int fd = -1;
  sockaddr_un address{};
  socklen_t length = 0;
};

}  // namespace

bool ProcessSessionId(DWORD* sessionId) {
  if (const char* seam = std::getenv("ORVO_LOGON_SESSION")) return ParseSessionId(seam, sessionId);
  std::ifstream audit("/proc/self/sessionid");
  std::string text;
  if (audit >> text && ParseSessionId(text, sessionId)) return true;
  pid_t sid = getsid(0);
  if (sid < 0) return false;
  *sessionId = static_cast<DWORD>(sid);
  return true;
}

NamedMutex::NamedMutex(NamedMutex&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<NamedMutex> NamedMutex::Open(std::wstring_view name) {
  Endpoint endpoint(name);
  if (endpoint.fd < 0) return std::nullopt;
  int rc = ::connect(endpoint.fd, endpoint.Address(), endpoint.length);
  int err = errno;
  if (rc == 0) {
    SetLastError(0);
    return NamedMutex(-1);
  }
  SetLastError(err == ECONNREFUSED || err == ENOENT ? win::kErrorFileNotFound
                                                    : posix::Win32FromErrno(err));
  return std::nullopt;
}

std::optional<NamedMutex> NamedMutex::Create(std::wstring_view name) {
  Endpoint endpoint(name);
  if (endpoint.fd < 0) return std::nullopt;
  if (::bind(endpoint.fd, endpoint.Address(), endpoint.length) != 0) {
    if (errno == EADDRINUSE) {
      SetLastError(win::kErrorAlreadyExists);
      return NamedMutex(-1);
    }
    posix::FailFromErrno();
    return std::nullopt;
  }
  if (::listen(endpoint.fd, 1) != 0) {
    posix::FailFromErrno();
    return std::nullopt;
  }
  SetLastError(0);
  return NamedMutex(std::exchange(endpoint.fd, -1));
}

}  // namespace platform
