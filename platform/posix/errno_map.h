#pragma once
// errno -> Win32 status, for the posix host services.
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/win_error.h"

namespace platform::posix {

DWORD Win32FromErrno(int error);
// Sets the last error from errno and returns false, for one-line failure paths.
bool FailFromErrno();

// The status Windows gives a call on `host` that failed with `error`: a missing file is
// ERROR_FILE_NOT_FOUND, but a missing folder on the way is ERROR_PATH_NOT_FOUND.
DWORD Win32FromErrnoAt(int error, const std::filesystem::path& host);
// Sets the last error from errno for a call on `host` and returns false.
bool FailFromErrnoAt(const std::filesystem::path& host);

// ResolvePath that sets the last error when the path has no host path.
std::optional<std::filesystem::path> ResolveOrFail(std::wstring_view windowsPath);

}  // namespace platform::posix
