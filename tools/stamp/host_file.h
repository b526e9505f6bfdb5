#pragma once
// Host files for the stamper. The stamper works on the build machine's own files (host
// paths given on its command line), not on Windows-form paths inside an emulated machine,
// so it talks to POSIX here instead of going through the platform layer's prefix.
#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace stamp {

// A refusal or failure reported to the user as one sentence; the command ends with exit
// code 1 and the target file is left as it was.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One open descriptor: move-only, closed on every path. Every operation either does all of
// its work or throws Failure naming the file and the system's reason.
class HostFile {
 public:
  // Opens an existing regular file for positioned reads.
  static HostFile OpenForReading(const std::string& path);
  // Opens the file that is about to be replaced by a stamped copy. Opening it for writing is
  // the permission check that also holds for a read-only file system and a running program;
  // a file with no write permission bit at all is refused too, because root passes every
  // permission check and the missing bits are the owner's "do not change" mark.
  static HostFile OpenForStamping(const std::string& path);

  HostFile(HostFile&& other) noexcept;
  HostFile& operator=(HostFile&& other) noexcept;
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;
  ~HostFile();

  const std::string& path() const { return path_; }
  std::uint64_t Size() const;
  mode_t Mode() const;
  uid_t Owner() const;
  gid_t Group() const;

  void ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const;
  void WriteAt(std::uint64_t offset, const void* data, std::size_t length);
  // Copies `length` bytes from the start of `source` to the start of this file.
  void CopyFrom(const HostFile& source, std::uint64_t length);
  void Sync();

 private:
  HostFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  friend class ReplacementFile;
  int fd_ = -1;
  std::string path_;
};

// A new file created next to a target, in the same folder so that the rename that puts it
// in place is atomic: readers see either the old file or the complete new one, never a
// half-written one. Removed again unless ReplaceTarget() succeeded.
class ReplacementFile {
 public:
  static ReplacementFile CreateNextTo(const std::string& target);
  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  HostFile& file() { return file_; }
  // Gives the new file the target's owner (where allowed) and mode, flushes it to disk and
  // renames it over the target.
  void ReplaceTarget(mode_t mode, uid_t owner, gid_t group);

 private:
  ReplacementFile(HostFile file, std::string target) : file_(std::move(file)), target_(std::move(target)) {}
  HostFile file_;
  std::string target_;
  bool replaced_ = false;
};

// The absolute path with every symbolic link resolved, so that stamping a link changes the
// file it points to instead of replacing the link with a copy.
std::string ResolveTargetPath(const std::string& path);

// Reads a whole (small) file, such as the JSON document to stamp.
std::string ReadWholeFile(const std::string& path);

}  // namespace stamp
