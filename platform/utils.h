#pragma once
// File and process utilities of the installation pipeline. Free functions on Windows-form
// paths with no state of their own: callable from any thread, each call on its own handles.
//
// Failures are results (false, an empty string) with the system's last error set, except
// EnsureFolder, which raises. GetFileHexMd5 and RunProgram log their failures with the
// module tag "utils".
#include <cstdint>
#include <string>
#include <vector>

// MD5 of the file's content as 32 lowercase hexadecimal digits, streamed through one
// 65536-byte buffer; the empty string (and an Error line) when the file cannot be opened,
// sized or read, or when it ends before the size it had when opened.
std::wstring GetFileHexMd5(const std::wstring& path);

// Removes everything below `folder`, then the folder itself. Files that cannot be removed
// (or, with moveOnReboot, registered for deletion at the next restart) are appended to
// failedFiles and make the result false; the rest is removed all the same. A symbolic link
// is removed as a link: whatever it points to, inside or outside the folder, is never
// touched, and a `folder` that is itself a link only loses the link. False without doing
// anything when the folder cannot be listed or the path is empty.
bool DeleteFolder(const std::wstring& folder, std::vector<std::wstring>& failedFiles,
                  bool moveOnReboot);

// Starts `file` with `parameters` (one Windows command-line string), hidden or shown, in the
// calling process's current folder. True when the program was started; with exitCode, waits
// for it to end, without a time limit, and stores its exit code there. When the program
// cannot be started the result is false and *exitCode is untouched. See platform/process.h
// for what counts as a program and which exit codes arrive.
bool RunProgram(const std::wstring& file, const std::wstring& parameters, bool hidden,
                std::uint32_t* exitCode = nullptr);

// Makes sure `path` is a folder, creating every missing level. Raises
// std::filesystem::filesystem_error (path1: `path` in UTF-8) when that cannot be done.
void EnsureFolder(const std::wstring& path);

namespace lumalib {

// True when the path's attributes can be read: files, folders and links alike.
bool FileExists(const std::wstring& path);
// DeleteFileW: refuses read-only files and folders.
bool DeleteFile(const std::wstring& path);
// MoveFileW: the target must not exist.
bool MoveFile(const std::wstring& existing, const std::wstring& target);

}  // namespace lumalib
