#pragma once
// The orvo-reg operations. Each prints its output to stdout, its error to stderr, and
// returns the exit code: 0 on success, 1 on any failure (as reg.exe does).
#include <optional>
#include <string>

#include "tools/reg/key_path.h"

namespace orvoreg {

struct Options {
  std::optional<std::wstring> valueName;  // /v name, or "" for /ve
  bool allValues = false;                 // /va
  bool recursive = false;                 // /s
  std::optional<std::wstring> type;       // /t
  std::optional<std::wstring> data;       // /d
  bool force = false;                     // /f
};

int Query(const KeyPath& key, const Options& options);
int Add(const KeyPath& key, const Options& options);
int Delete(const KeyPath& key, const Options& options);
int Export(const KeyPath& key);

// The message reg.exe users know for a status, for "ERROR: ..." lines.
std::string StatusText(platform::LONG status);

}  // namespace orvoreg
