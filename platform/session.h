#pragma once
// Named mutex objects in the logon session's namespace. Only existence matters: an object
// exists while some process holds a handle to it and vanishes when the last holder dies.
#include <optional>
#include <string_view>

#include "platform/win_error.h"

namespace platform {

// ProcessIdToSessionId(GetCurrentProcessId()): the logon session of this process.
// ORVO_LOGON_SESSION overrides it (a second logon session cannot be made here).
bool ProcessSessionId(DWORD* sessionId);

class NamedMutex {
 public:
  NamedMutex(NamedMutex&& other) noexcept;
  NamedMutex& operator=(NamedMutex&& other) noexcept;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  ~NamedMutex();

  // OpenMutexW: a handle when the object exists, else nullopt with ERROR_FILE_NOT_FOUND (2).
  static std::optional<NamedMutex> Open(std::wstring_view name);
  // CreateMutexW, not owned. When the object already exists the handle refers to it and
  // the last error is ERROR_ALREADY_EXISTS (183); otherwise the last error is 0.
  static std::optional<NamedMutex> Create(std::wstring_view name);

 private:
  explicit NamedMutex(int fd) : fd_(fd) {}
  int fd_ = -1;  // -1 for a handle that refers to another process's object
};

}  // namespace platform
