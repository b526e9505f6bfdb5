#pragma once
// KEY arguments: ROOT[\subkey...], ROOT one of HKLM, HKCU, HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER (any case).
#include <optional>
#include <string>

#include "platform/registry.h"

namespace orvoreg {

struct KeyPath {
  platform::HKEY root = nullptr;
  std::wstring rootName;  // long form, as printed: HKEY_LOCAL_MACHINE
  std::wstring subkey;    // without leading or trailing backslashes; empty for the root

  std::wstring Display() const { return subkey.empty() ? rootName : rootName + L"\\" + subkey; }
};

// nullopt for an unknown root or a malformed path.
std::optional<KeyPath> ParseKeyPath(const std::wstring& text);

}  // namespace orvoreg
