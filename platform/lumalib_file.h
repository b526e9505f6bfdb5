#pragma once
// A whole-file reader for small files (the component manifest): made from a path, opened for
// reading, sized and read into the caller's buffer. Owns its handle and closes it when
// destroyed. One thread at a time.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace lumalib {

class File {
 public:
  static constexpr std::size_t kReadPiece = 33554432;  // 32 MiB per read call

  // Resolves `path` to an absolute path with GetFullPathName, keeping a trailing space that
  // the system's resolution would drop. An empty path stays empty and never opens.
  explicit File(std::wstring_view path);
  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() = default;

  // Opens the existing file for reading (others may read and write it); replaces a handle
  // that was already open.
  bool OpenRead();
  // From the file's attributes by path, not from the handle; -1 when they cannot be read.
  std::int64_t Size() const;
  // Reads until `length` bytes have arrived or a read returns none, in pieces of at most
  // kReadPiece bytes. The count read; -1 when closed or when the first read fails. A failure
  // after some bytes returns the count so far.
  std::int64_t Read(void* buffer, std::size_t length);
  void Close();

  const std::wstring& Path() const { return path_; }
  bool IsOpen() const { return handle_.has_value(); }

 private:
  std::wstring path_;
  std::optional<platform::File> handle_;
};

}  // namespace lumalib
