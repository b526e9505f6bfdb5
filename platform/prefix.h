#pragma once
// The emulated machine: one folder (ORVO_PREFIX) holding drive C:, the drive table, the
// known folders and the registry store. Windows-form paths are resolved to host paths only
// here, at the system-call boundary.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win_error.h"

namespace platform {

// The prefix root, created with its layout on first use: ORVO_PREFIX, else
// $XDG_DATA_HOME/orvo-prefix (or ~/.local/share/orvo-prefix).
std::filesystem::path PrefixRoot();
// Switches the process to another prefix (tests give every case its own). Creates it.
void UsePrefix(const std::filesystem::path& root);

enum class KnownFolder { Temp, LocalAppData, RoamingAppData, Desktop };
// Windows form with a trailing backslash, e.g. C:\users\me\Temp\ ; created if missing.
std::wstring GetKnownFolder(KnownFolder folder);

// "C:\a\b" -> <prefix>/dosdevices/c:/a/b. A drive letter with no drive fails with
// ERROR_PATH_NOT_FOUND (3); the reason goes to *error when given. "\\?\" is accepted.
// A path without a drive letter is taken relative to the current folder.
std::optional<std::filesystem::path> ResolvePath(std::wstring_view windowsPath,
                                                 DWORD* error = nullptr);
// The Windows form of a host path, through the drive with the longest matching target
// (Z: maps the host root).
std::wstring ToWindowsPath(const std::filesystem::path& hostPath);

// Adds or replaces a drive letter mapping (the drive table of the prefix).
void MapDrive(wchar_t letter, const std::filesystem::path& target);

// Full path of the running executable in Windows form (GetModuleFileNameW).
std::wstring GetModuleFileName();

}  // namespace platform
