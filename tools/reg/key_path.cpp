#include "tools/reg/key_path.h"

#include "platform/text.h"

namespace orvoreg {

std::optional<KeyPath> ParseKeyPath(const std::wstring& text) {
  const std::size_t slash = text.find(L'\\');
  const std::wstring root = text.substr(0, slash);
  KeyPath path;
  if (platform::EqualsNoCase(root, L"HKLM") || platform::EqualsNoCase(root, L"HKEY_LOCAL_MACHINE")) {
    path.root = platform::HKEY_LOCAL_MACHINE;
    path.rootName = L"HKEY_LOCAL_MACHINE";
  } else if (platform::EqualsNoCase(root, L"HKCU") ||
             platform::EqualsNoCase(root, L"HKEY_CURRENT_USER")) {
    path.root = platform::HKEY_CURRENT_USER;
    path.rootName = L"HKEY_CURRENT_USER";
  } else {
    return std::nullopt;
  }
  if (slash != std::wstring::npos) {
    std::wstring rest = text.substr(slash + 1);
    while (!rest.empty() && rest.back() == L'\\') rest.pop_back();
    // reg.exe refuses "HKLM\\x" as well; an empty component is a typing error.
    if (!rest.empty() && (rest.front() == L'\\' || rest.find(L"\\\\") != std::wstring::npos)) {
      return std::nullopt;
    }
    path.subkey = rest;
  }
  return path;
}

}  // namespace orvoreg
