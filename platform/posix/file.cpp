#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/errno_map.h"

namespace platform {

using posix::FailFromErrno;

std::optional<File> File::Open(std::wstring_view path, Access access, Disposition disposition) {
  auto host = posix::ResolveOrFail(path);
  if (!host) return std::nullopt;
  int flags = O_CLOEXEC;
  switch (access) {
    case Access::Read: flags |= O_RDONLY; break;
    case Access::Write: flags |= O_WRONLY; break;
    case Access::ReadWrite: flags |= O_RDWR; break;
    case Access::Append: flags |= O_WRONLY | O_APPEND; break;
  }
  switch (disposition) {
    case Disposition::OpenExisting: break;
    case Disposition::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case Disposition::OpenAlways: flags |= O_CREAT; break;
    case Disposition::CreateNew: flags |= O_CREAT | O_EXCL; break;
  }
  int fd = ::open(host->c_str(), flags, 0666);
  if (fd < 0) {
    const int err = errno;
    SetLastError(err == EEXIST ? win::kErrorFileExists : posix::Win32FromErrnoAt(err, *host));
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(win::kErrorAccessDenied);
    return std::nullopt;
  }
  SetLastError(0);
  return File(fd);
}

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool File::Size(std::uint64_t* size) const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return FailFromErrno();
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool File::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t length, std::uint32_t* read) const {
  std::uint32_t total = 0;
  while (total < length) {
    ssize_t n = ::pread(fd_, static_cast<char*>(buffer) + total, length - total,
                        static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailFromErrno();
    }
    if (n == 0) break;
    total += static_cast<std::uint32_t>(n);
  }
  *read = total;
  return true;
}

bool File::Read(void* buffer, std::uint32_t length, std::uint32_t* read) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FailFromErrno();
    *read = static_cast<std::uint32_t>(n);
    return true;
  }
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
  std::uint32_t total = 0;
  while (total < length) {
    ssize_t n = ::write(fd_, static_cast<const char*>(data) + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = total;
      return FailFromErrno();
    }
    total += static_cast<std::uint32_t>(n);
  }
  if (written != nullptr) *written = total;
  return true;
}

bool File::Seek(std::int64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return FailFromErrno();
  return true;
}

bool File::Position(std::uint64_t* position) const {
  off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at < 0) return FailFromErrno();
  *position = static_cast<std::uint64_t>(at);
  return true;
}

bool File::Flush() {
  // Written bytes are already in the kernel; nothing is buffered in user space.
  return fd_ >= 0;
}

}  // namespace platform
