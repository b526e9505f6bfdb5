#pragma once
// File-system operations on Windows-form paths. Each returns false (or nothing) and sets
// the last error as the Win32 call of the same name does.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_error.h"

namespace platform {

struct FileAttributes {
  bool directory = false;
  bool readOnly = false;      // no write permission bit: Windows' read-only attribute
  bool reparsePoint = false;  // symbolic link (the link itself is described)
  std::uint64_t size = 0;
};

// GetFileAttributesExW: the link itself, not its target.
std::optional<FileAttributes> GetFileAttributes(std::wstring_view path);
bool SetReadOnly(std::wstring_view path, bool readOnly);
// One level, like CreateDirectoryW: ERROR_ALREADY_EXISTS when present, 3 when the parent is missing.
bool CreateDirectory(std::wstring_view path);
// Every missing level, like SHCreateDirectory.
bool CreateDirectoryTree(std::wstring_view path);
// RemoveDirectoryW: the folder must be empty; a link to a folder is removed as a link.
bool RemoveDirectory(std::wstring_view path);
// DeleteFileW: refuses a read-only file (ERROR_ACCESS_DENIED) and a folder.
bool DeleteFile(std::wstring_view path);
// MoveFileW: fails with ERROR_ALREADY_EXISTS when the target exists.
bool MoveFile(std::wstring_view from, std::wstring_view to);
// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT and no target: queues the file in the prefix's
// pending-delete list.
bool DeleteFileAtReboot(std::wstring_view path);

struct DirEntry {
  std::wstring name;
  FileAttributes attributes;
};
// FindFirstFileW(folder + "*") and the rest of the listing, "." and ".." included as on
// Windows. Fails (nullopt, last error set) when the folder cannot be listed.
std::optional<std::vector<DirEntry>> ListDirectory(std::wstring_view folder);

// GetFullPathNameW for a Windows-form path: makes it absolute against the current folder
// and folds "." and "..".
std::wstring GetFullPathName(std::wstring_view path);

}  // namespace platform
