#include <unistd.h>

#include <cerrno>

#include "platform/posix/errno_map.h"
#include "platform/prefix.h"
#include "platform/win_error.h"

namespace platform {

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

namespace posix {

DWORD Win32FromErrno(int error) {
  switch (error) {
    case 0: return win::kErrorSuccess;
    case ENOENT: return win::kErrorFileNotFound;
    case ENOTDIR: return win::kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return win::kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return win::kErrorAccessDenied;
    case EBADF: return win::kErrorInvalidHandle;
    case ENOMEM: return win::kErrorNotEnoughMemory;
    case EEXIST: return win::kErrorAlreadyExists;
    case ENOSPC:
    case EDQUOT: return win::kErrorDiskFull;
    case ENAMETOOLONG: return win::kErrorFilenameExcedRange;
    case ENOTEMPTY: return win::kErrorDirNotEmpty;
    case EBUSY: return win::kErrorBusy;
    case EINVAL: return win::kErrorInvalidParameter;
    case EPIPE: return win::kErrorBrokenPipe;
    case ELOOP: return win::kErrorCantResolveFilename;
    case EIO: return win::kErrorReadFault;
    default: return win::kErrorInvalidParameter;
  }
}

bool FailFromErrno() {
  SetLastError(Win32FromErrno(errno));
  return false;
}

DWORD Win32FromErrnoAt(int error, const std::filesystem::path& host) {
  const std::filesystem::path parent = host.parent_path();
  if (error == ENOENT && !parent.empty() && ::access(parent.c_str(), F_OK) != 0) {
    return win::kErrorPathNotFound;
  }
  return Win32FromErrno(error);
}

bool FailFromErrnoAt(const std::filesystem::path& host) {
  SetLastError(Win32FromErrnoAt(errno, host));
  return false;
}

std::optional<std::filesystem::path> ResolveOrFail(std::wstring_view windowsPath) {
  DWORD error = 0;
  auto host = ResolvePath(windowsPath, &error);
  if (!host) SetLastError(error);
  return host;
}

}  // namespace posix
}  // namespace platform
