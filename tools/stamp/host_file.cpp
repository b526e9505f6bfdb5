#include "tools/stamp/host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace stamp {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw Failure(what + " " + path + ": " + std::strerror(error));
}

struct stat StatOf(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) Fail("cannot get the size of", path, errno);
  return st;
}

int OpenRegular(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EISDIR) throw Failure(path + " is a folder, not a file");
    Fail("cannot open", path, error);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Failure(path + (S_ISDIR(st.st_mode) ? " is a folder, not a file" : " is not a regular file"));
  }
  return fd;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

HostFile HostFile::OpenForReading(const std::string& path) {
  return HostFile(OpenRegular(path, O_RDONLY), path);
}

HostFile HostFile::OpenForStamping(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw Failure(path + " is read-only (mode " + mode +
                  "); make it writable (chmod u+w) if it is meant to be stamped");
  }
  return HostFile(OpenRegular(path, O_RDWR), path);
}

HostFile::HostFile(HostFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

HostFile& HostFile::operator=(HostFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

HostFile::~HostFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t HostFile::Size() const { return static_cast<std::uint64_t>(StatOf(fd_, path_).st_size); }
mode_t HostFile::Mode() const { return StatOf(fd_, path_).st_mode & 07777; }
uid_t HostFile::Owner() const { return StatOf(fd_, path_).st_uid; }
gid_t HostFile::Group() const { return StatOf(fd_, path_).st_gid; }

void HostFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const {
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    const ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("cannot read", path_, errno);
    if (got == 0) throw Failure("cannot read " + path_ + ": the file ended early (changed while reading?)");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
}

void HostFile::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t put = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) Fail("cannot write", path_, errno);
    in += put;
    offset += static_cast<std::uint64_t>(put);
    length -= static_cast<std::size_t>(put);
  }
}

void HostFile::CopyFrom(const HostFile& source, std::uint64_t length) {
  std::vector<char> buffer(1 << 20);
  for (std::uint64_t done = 0; done < length;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
    source.ReadAt(done, buffer.data(), chunk);
    WriteAt(done, buffer.data(), chunk);
    done += chunk;
  }
}

void HostFile::Sync() {
  if (::fsync(fd_) != 0) Fail("cannot flush", path_, errno);
}

ReplacementFile ReplacementFile::CreateNextTo(const std::string& target) {
  const std::string folder = FolderOf(target);
  const std::string base = target.substr(target.rfind('/') + 1);
  std::string name = folder + "/." + base + ".stamp-XXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) Fail("cannot create a temporary file in", folder, errno);
  return ReplacementFile(HostFile(fd, name), target);
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : file_(std::move(other.file_)), target_(std::move(other.target_)), replaced_(other.replaced_) {
  other.replaced_ = true;  // the moved-from owner must not remove the file
}

ReplacementFile::~ReplacementFile() {
  if (!replaced_) ::unlink(file_.path().c_str());
}

void ReplacementFile::ReplaceTarget(mode_t mode, uid_t owner, gid_t group) {
  // Only root may give the file away; otherwise it belongs to whoever stamped it, as any
  // newly written file would. Ownership first: changing it clears set-user-id bits.
  if (::fchown(file_.fd_, owner, group) != 0) (void)::fchown(file_.fd_, static_cast<uid_t>(-1), group);
  if (::fchmod(file_.fd_, mode) != 0) Fail("cannot set the mode of", file_.path(), errno);
  file_.Sync();
  if (::rename(file_.path().c_str(), target_.c_str()) != 0) Fail("cannot replace", target_, errno);
  replaced_ = true;
  // Make the rename itself durable; the data already is.
  int dir = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
}

std::string ResolveTargetPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) Fail("cannot open", path, errno);
  return resolved;
}

std::string ReadWholeFile(const std::string& path) {
  const HostFile file = HostFile::OpenForReading(path);
  const std::uint64_t size = file.Size();
  if (size > SIZE_MAX / 2) throw Failure(path + " is too large");
  std::string bytes(static_cast<std::size_t>(size), '\0');
  file.ReadAt(0, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace stamp
