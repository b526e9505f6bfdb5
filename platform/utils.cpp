#include "platform/utils.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/logger.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/md5.h"
#include "platform/prefix.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/win_error.h"

namespace {

constexpr std::uint32_t kDigestBuffer = 65536;

// Logging may touch files and so the last error; callers read the failure's own code.
class KeepLastError {
 public:
  KeepLastError() : code_(platform::GetLastError()) {}
  ~KeepLastError() { platform::SetLastError(code_); }
  platform::DWORD code() const { return code_; }

 private:
  platform::DWORD code_;
};

std::wstring_view WithoutTrailingSeparators(std::wstring_view path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.remove_suffix(1);
  return path;
}

// "C:", "C:\" and "\\?\C:\" name a drive, whose host entry is itself a link in the prefix.
bool IsDriveRoot(std::wstring_view path) {
  if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);
  path = WithoutTrailingSeparators(path);
  return path.size() == 2 && path[1] == L':';
}

bool RemoveFileEntry(const std::wstring& path, bool moveOnReboot) {
  return moveOnReboot ? platform::DeleteFileAtReboot(path) : platform::DeleteFile(path);
}

// `folder` ends with a backslash.
bool DeleteFolderTree(const std::wstring& folder, std::vector<std::wstring>& failedFiles,
                      bool moveOnReboot) {
  // The listing of folder + "*".
  auto entries = platform::ListDirectory(folder);
  if (!entries) return false;
  bool result = true;
  for (const auto& entry : *entries) {
    if (entry.name == L"." || entry.name == L"..") continue;
    const std::wstring path = folder + entry.name;
    if (entry.attributes.reparsePoint) {
      // Removed as a link, never entered: its target may lie outside this folder.
      bool removed = entry.attributes.directory ? platform::RemoveDirectory(path)
                                                : RemoveFileEntry(path, moveOnReboot);
      if (!removed) {
        failedFiles.push_back(path);
        result = false;
      }
    } else if (entry.attributes.directory) {
      // Removes the subfolder itself once it is empty; a failed removal is not recorded.
      if (!DeleteFolderTree(path + L"\\", failedFiles, moveOnReboot)) result = false;
    } else if (!RemoveFileEntry(path, moveOnReboot)) {
      failedFiles.push_back(path);
      result = false;
    }
  }
  platform::RemoveDirectory(folder);
  return result;
}

}  // namespace

std::wstring GetFileHexMd5(const std::wstring& path) {
  auto file = platform::File::Open(path, platform::File::Access::Read,
                                   platform::File::Disposition::OpenExisting);
  if (!file) {
    KeepLastError error;
    LOG_ERROR("utils") << "open " << path << " failed. error code: " << error.code();
    return {};
  }
  std::uint64_t size = 0;
  if (!file->Size(&size)) {
    KeepLastError error;
    LOG_ERROR("utils") << "get " << path << " file size failed. error code: " << error.code();
    return {};
  }
  platform::Md5 md5;
  auto buffer = std::make_unique<std::uint8_t[]>(kDigestBuffer);
  std::uint64_t done = 0;
  while (done < size) {
    auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(kDigestBuffer, size - done));
    std::uint32_t got = 0;
    bool ok = file->Read(buffer.get(), want, &got);
    if (ok && got == 0) {
      // The file shrank while being read: the bytes it had when opened are gone.
      platform::SetLastError(platform::win::kErrorHandleEof);
      ok = false;
    }
    if (!ok) {
      KeepLastError error;
      LOG_ERROR("utils") << "read file buffer failed. error code: " << error.code();
      return {};
    }
    md5.Update(buffer.get(), got);
    done += got;
  }
  return platform::Utf8ToWide(platform::HexDigest(md5.Final()));
}

bool DeleteFolder(const std::wstring& folder, std::vector<std::wstring>& failedFiles,
                  bool moveOnReboot) {
  // "" + "\" would name the root of the current drive.
  if (folder.empty()) {
    platform::SetLastError(platform::win::kErrorPathNotFound);
    return false;
  }
  if (!IsDriveRoot(folder)) {
    const std::wstring named(WithoutTrailingSeparators(folder));
    if (auto attributes = platform::GetFileAttributes(named); attributes && attributes->reparsePoint) {
      if (!attributes->directory) {
        platform::SetLastError(platform::win::kErrorDirectory);
        return false;
      }
      return platform::RemoveDirectory(named);
    }
  }
  std::wstring base = folder;
  if (base.back() != L'\\') base.push_back(L'\\');
  return DeleteFolderTree(base, failedFiles, moveOnReboot);
}

bool RunProgram(const std::wstring& file, const std::wstring& parameters, bool hidden,
                std::uint32_t* exitCode) {
  auto process = platform::Process::Start(file, parameters, hidden);
  if (!process) {
    KeepLastError error;
    LOG_ERROR("utils") << "run " << file << " failed. error code: " << error.code();
    return false;
  }
  if (exitCode != nullptr && !process->Wait(exitCode)) {
    KeepLastError error;
    LOG_WARN("utils") << "wait for " << file << " failed. error code: " << error.code();
  }
  return true;
}

void EnsureFolder(const std::wstring& path) {
  namespace fs = std::filesystem;
  const fs::path named(platform::WideToUtf8(path));
  platform::DWORD resolveError = 0;
  auto host = platform::ResolvePath(path, &resolveError);
  if (path.empty() || !host) {
    throw fs::filesystem_error("EnsureFolder: no such drive or folder", named,
                               std::make_error_code(std::errc::no_such_file_or_directory));
  }
  fs::path target = *host;
  while (!target.has_filename() && target.has_relative_path()) target = target.parent_path();
  std::error_code ec;
  if (fs::is_directory(target, ec)) return;
  fs::create_directories(target, ec);
  if (!ec && !fs::is_directory(target, ec)) ec = std::make_error_code(std::errc::not_a_directory);
  // Reported with the caller's Windows-form path: the host path means nothing to the core.
  if (ec) throw fs::filesystem_error("EnsureFolder: cannot create folder", named, ec);
}

namespace lumalib {

bool FileExists(const std::wstring& path) { return platform::GetFileAttributes(path).has_value(); }

bool DeleteFile(const std::wstring& path) { return platform::DeleteFile(path); }

bool MoveFile(const std::wstring& existing, const std::wstring& target) {
  return platform::MoveFile(existing, target);
}

}  // namespace lumalib
