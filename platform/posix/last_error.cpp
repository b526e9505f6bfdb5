#include <cerrno>

#include "platform/posix/errno_map.h"
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

}  // namespace posix
}  // namespace platform
