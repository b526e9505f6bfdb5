#include "platform/lumalib_file.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/win_error.h"

namespace lumalib {

File::File(std::wstring_view path) {
  if (path.empty()) return;
  path_ = platform::GetFullPathName(path);
  // Windows' full-path function drops a trailing space that the name really has.
  if (path.back() == L' ' && (path_.empty() || path_.back() != L' ')) path_.push_back(L' ');
}

bool File::OpenRead() {
  Close();
  if (path_.empty()) {
    platform::SetLastError(platform::win::kErrorFileNotFound);
    return false;
  }
  handle_ = platform::File::Open(path_, platform::File::Access::Read,
                                 platform::File::Disposition::OpenExisting);
  return handle_.has_value();
}

std::int64_t File::Size() const {
  if (path_.empty()) return -1;
  auto attributes = platform::GetFileAttributes(path_);
  if (!attributes) return -1;
  return static_cast<std::int64_t>(attributes->size);
}

std::int64_t File::Read(void* buffer, std::size_t length) {
  if (!handle_) {
    platform::SetLastError(platform::win::kErrorInvalidHandle);
    return -1;
  }
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t total = 0;
  while (total < length) {
    auto piece = static_cast<std::uint32_t>(std::min(kReadPiece, length - total));
    std::uint32_t got = 0;
    if (!handle_->Read(out + total, piece, &got)) return total == 0 ? -1 : static_cast<std::int64_t>(total);
    if (got == 0) break;
    total += got;
  }
  return static_cast<std::int64_t>(total);
}

void File::Close() { handle_.reset(); }

}  // namespace lumalib
