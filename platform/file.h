#pragma once
// A kernel file handle: one move-only owner, closed on every path. Operations return
// false and set the last error (platform::GetLastError) as the Win32 calls do.
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/win_error.h"

namespace platform {

class File {
 public:
  enum class Access { Read, Write, ReadWrite, Append };
  enum class Disposition {
    OpenExisting,   // fail when missing
    CreateAlways,   // create or truncate
    OpenAlways,     // create when missing, keep content
    CreateNew,      // fail when it exists
  };

  // Windows-form path. Opening a folder fails with ERROR_ACCESS_DENIED as on Windows.
  static std::optional<File> Open(std::wstring_view path, Access access, Disposition disposition);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool Size(std::uint64_t* size) const;
  bool ReadAt(std::uint64_t offset, void* buffer, std::uint32_t length, std::uint32_t* read) const;
  bool Read(void* buffer, std::uint32_t length, std::uint32_t* read);
  bool Write(const void* data, std::uint32_t length, std::uint32_t* written);
  bool Seek(std::int64_t offset);  // from the start
  bool Position(std::uint64_t* position) const;
  bool Flush();
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace platform
