#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/file.h"
#include "platform/posix/errno_map.h"
#include "platform/prefix.h"
#include "platform/text.h"

namespace platform {

using posix::FailFromErrno;
using posix::FailFromErrnoAt;

constexpr auto Resolve = posix::ResolveOrFail;

namespace {

FileAttributes FromStat(const struct stat& st) {
  FileAttributes a;
  a.directory = S_ISDIR(st.st_mode);
  a.reparsePoint = S_ISLNK(st.st_mode);
  a.readOnly = !S_ISLNK(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  a.size = a.directory ? 0 : static_cast<std::uint64_t>(st.st_size);
  return a;
}

}  // namespace

std::optional<FileAttributes> GetFileAttributes(std::wstring_view path) {
  auto host = Resolve(path);
  if (!host) return std::nullopt;
  struct stat st {};
  if (::lstat(host->c_str(), &st) != 0) {
    FailFromErrnoAt(*host);
    return std::nullopt;
  }
  FileAttributes a = FromStat(st);
  if (a.reparsePoint) {
    struct stat target {};
    a.directory = ::stat(host->c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  }
  return a;
}

bool SetReadOnly(std::wstring_view path, bool readOnly) {
  auto host = Resolve(path);
  if (!host) return false;
  struct stat st {};
  if (::stat(host->c_str(), &st) != 0) return FailFromErrnoAt(*host);
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (::chmod(host->c_str(), mode) != 0) return FailFromErrno();
  return true;
}

bool CreateDirectory(std::wstring_view path) {
  auto host = Resolve(path);
  if (!host) return false;
  if (::mkdir(host->c_str(), 0777) != 0) {
    if (errno == EEXIST) {
      SetLastError(win::kErrorAlreadyExists);
      return false;
    }
    if (errno == ENOENT) {
      SetLastError(win::kErrorPathNotFound);
      return false;
    }
    return FailFromErrno();
  }
  return true;
}

bool CreateDirectoryTree(std::wstring_view path) {
  auto host = Resolve(path);
  if (!host) return false;
  std::error_code ec;
  std::filesystem::create_directories(*host, ec);
  if (ec) {
    SetLastError(posix::Win32FromErrno(ec.value()));
    return false;
  }
  if (!std::filesystem::is_directory(*host, ec)) {
    SetLastError(win::kErrorAlreadyExists);
    return false;
  }
  return true;
}

bool RemoveDirectory(std::wstring_view path) {
  auto host = Resolve(path);
  if (!host) return false;
  struct stat st {};
  if (::lstat(host->c_str(), &st) != 0) return FailFromErrnoAt(*host);
  if (S_ISLNK(st.st_mode)) {
    if (::unlink(host->c_str()) != 0) return FailFromErrno();
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetLastError(win::kErrorDirectory);
    return false;
  }
  if (::rmdir(host->c_str()) != 0) return FailFromErrno();
  return true;
}

bool DeleteFile(std::wstring_view path) {
  auto host = Resolve(path);
  if (!host) return false;
  struct stat st {};
  if (::lstat(host->c_str(), &st) != 0) return FailFromErrnoAt(*host);
  if (S_ISDIR(st.st_mode)) {
    SetLastError(win::kErrorAccessDenied);
    return false;
  }
  if (FromStat(st).readOnly) {
    SetLastError(win::kErrorAccessDenied);
    return false;
  }
  if (::unlink(host->c_str()) != 0) return FailFromErrno();
  return true;
}

bool MoveFile(std::wstring_view from, std::wstring_view to) {
  auto source = Resolve(from);
  if (!source) return false;
  auto target = Resolve(to);
  if (!target) return false;
  struct stat st {};
  if (::lstat(target->c_str(), &st) == 0) {
    SetLastError(win::kErrorAlreadyExists);
    return false;
  }
  if (::lstat(source->c_str(), &st) != 0) return FailFromErrnoAt(*source);
  // renameat2(RENAME_NOREPLACE) closes the window between the check and the rename.
  if (::renameat2(AT_FDCWD, source->c_str(), AT_FDCWD, target->c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) {
      SetLastError(win::kErrorAlreadyExists);
      return false;
    }
    if (errno == EINVAL || errno == ENOSYS) {
      if (::rename(source->c_str(), target->c_str()) == 0) return true;
    }
    return FailFromErrnoAt(*target);
  }
  return true;
}

bool DeleteFileAtReboot(std::wstring_view path) {
  auto host = Resolve(path);
  if (!host) return false;
  struct stat st {};
  if (::lstat(host->c_str(), &st) != 0) return FailFromErrnoAt(*host);
  auto list = File::Open(ToWindowsPath(PrefixRoot() / "pending-deletes.txt"), File::Access::Append,
                         File::Disposition::OpenAlways);
  if (!list) return false;
  std::string line = host->string() + "\n";
  return list->Write(line.data(), static_cast<std::uint32_t>(line.size()), nullptr);
}

std::optional<std::vector<DirEntry>> ListDirectory(std::wstring_view folder) {
  auto host = Resolve(folder);
  if (!host) return std::nullopt;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(host->c_str()), ::closedir);
  if (!dir) {
    if (errno == ENOTDIR) {
      SetLastError(win::kErrorDirectory);
    } else {
      FailFromErrnoAt(*host);
    }
    return std::nullopt;
  }
  std::vector<DirEntry> entries;
  errno = 0;
  while (dirent* entry = ::readdir(dir.get())) {
    DirEntry item;
    item.name = Utf8ToWide(entry->d_name);
    struct stat st {};
    if (::fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      item.attributes = FromStat(st);
      if (item.attributes.reparsePoint) {
        struct stat target {};
        item.attributes.directory =
            ::fstatat(dirfd(dir.get()), entry->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
      }
    }
    entries.push_back(std::move(item));
  }
  return entries;
}

std::wstring GetFullPathName(std::wstring_view path) {
  std::wstring full(path);
  bool absolute = full.size() >= 2 && full[1] == L':';
  if (!absolute) {
    std::error_code ec;
    std::wstring cwd = ToWindowsPath(std::filesystem::current_path(ec));
    if (!full.empty() && (full[0] == L'\\' || full[0] == L'/')) {
      full = cwd.substr(0, 2) + full;
    } else {
      if (!cwd.empty() && cwd.back() != L'\\') cwd.push_back(L'\\');
      full = cwd + full;
    }
  }
  // Fold "." and ".." segments and doubled separators.
  std::wstring drive = full.substr(0, 2);
  std::vector<std::wstring> parts;
  std::wstring part;
  auto flush = [&]() {
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (std::size_t i = 2; i < full.size(); ++i) {
    if (full[i] == L'\\' || full[i] == L'/') {
      flush();
    } else {
      part.push_back(full[i]);
    }
  }
  bool trailing = !full.empty() && (full.back() == L'\\' || full.back() == L'/');
  flush();
  std::wstring result = drive + L"\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    result += parts[i];
    if (i + 1 < parts.size() || trailing) result += L"\\";
  }
  return result;
}

}  // namespace platform
