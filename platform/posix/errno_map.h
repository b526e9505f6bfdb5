#pragma once
// errno -> Win32 status, for the posix host services.
#include "platform/win_error.h"

namespace platform::posix {

DWORD Win32FromErrno(int error);
// Sets the last error from errno and returns false, for one-line failure paths.
bool FailFromErrno();

}  // namespace platform::posix
