#include "platform/registry_key.h"

#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

using namespace platform;

namespace {

constexpr LONG kInvalidData = static_cast<LONG>(win::kErrorInvalidData);

// REG_SZ data: UTF-16LE with one terminating NUL unit.
std::string StringData(std::wstring_view text) {
  std::string bytes = WideToUtf16Le(text);
  bytes.append(2, '\0');
  return bytes;
}

const BYTE* AsBytes(const std::string& data) { return reinterpret_cast<const BYTE*>(data.data()); }

std::string_view AsChars(const std::vector<BYTE>& data, std::size_t size) {
  return {reinterpret_cast<const char*>(data.data()), size};
}

// Found once per process, as the lookup in Advapi32.dll is.
RegDeleteKeyExProc DeleteKeyExProc() {
  static const RegDeleteKeyExProc proc = LookupRegDeleteKeyEx();
  return proc;
}

}  // namespace

RegistryKey::~RegistryKey() { Close(); }

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : key_(std::exchange(other.key_, nullptr)), view_(std::exchange(other.view_, 0)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = std::exchange(other.key_, nullptr);
    view_ = std::exchange(other.view_, 0);
  }
  return *this;
}

void RegistryKey::Take(HKEY key, REGSAM view) {
  Close();
  key_ = key;
  view_ = view;
}

LONG RegistryKey::Open(HKEY parent, const wchar_t* subkey, REGSAM access) {
  HKEY opened = nullptr;
  LONG status = RegOpenKeyEx(parent, subkey, 0, access, &opened);
  if (status == 0) Take(opened, access & KEY_WOW64_RES);
  return status;
}

LONG RegistryKey::Create(HKEY parent, const wchar_t* subkey, DWORD* disposition) {
  HKEY created = nullptr;
  DWORD result = 0;
  LONG status = RegCreateKeyEx(parent, subkey, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                               &created, &result);
  if (status != 0) return status;
  if (disposition != nullptr) *disposition = result;
  Take(created, 0);
  return 0;
}

LONG RegistryKey::Close() {
  if (key_ == nullptr) return 0;
  LONG status = RegCloseKey(key_);
  key_ = nullptr;
  view_ = 0;
  return status;
}

LONG RegistryKey::ReadString(const wchar_t* name, wchar_t* buffer, DWORD* length) {
  if (length == nullptr) return static_cast<LONG>(win::kErrorInvalidParameter);
  const DWORD capacity = *length;
  *length = 0;
  DWORD type = REG_NONE;
  if (buffer == nullptr) {
    DWORD bytes = 0;
    LONG status = RegQueryValueEx(key_, name, &type, nullptr, &bytes);
    if (status != 0) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return kInvalidData;
    *length = bytes / 2;
    return 0;
  }
  // The value arrives as UTF-16LE bytes; wchar_t is wider than a UTF-16 unit on Linux, so
  // it is decoded into the caller's buffer rather than read into it.
  DWORD bytes = capacity > 0x7FFFFFFFu ? 0xFFFFFFFEu : capacity * 2;
  std::vector<BYTE> raw(bytes > 0 ? bytes : 1);
  LONG status = RegQueryValueEx(key_, name, &type, raw.data(), &bytes);
  if (status != 0) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kInvalidData;
  if (bytes == 0) {
    if (capacity > 0) buffer[0] = L'\0';
    return 0;
  }
  if (bytes % 2 != 0 || raw[bytes - 2] != 0 || raw[bytes - 1] != 0) return kInvalidData;
  const std::wstring text = Utf16LeToWide(AsChars(raw, bytes));
  text.copy(buffer, text.size());  // never more characters than UTF-16 units
  *length = static_cast<DWORD>(text.size());
  return 0;
}

LONG RegistryKey::WriteString(const wchar_t* name, const wchar_t* text) {
  if (text == nullptr) return kInvalidData;
  const std::string data = StringData(text);
  return RegSetValueEx(key_, name, REG_SZ, AsBytes(data), static_cast<DWORD>(data.size()));
}

LONG RegistryKey::ReadDword(const wchar_t* name, DWORD* value) {
  BYTE raw[4] = {};
  DWORD type = REG_NONE;
  DWORD bytes = sizeof(raw);
  LONG status = RegQueryValueEx(key_, name, &type, raw, &bytes);
  if (status != 0) return status;
  if (type != REG_DWORD || bytes != sizeof(raw)) return kInvalidData;
  if (value == nullptr) return static_cast<LONG>(win::kErrorInvalidParameter);
  *value = static_cast<DWORD>(raw[0]) | static_cast<DWORD>(raw[1]) << 8 |
           static_cast<DWORD>(raw[2]) << 16 | static_cast<DWORD>(raw[3]) << 24;
  return 0;
}

LONG RegistryKey::WriteDword(const wchar_t* name, DWORD value) {
  const BYTE raw[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                       static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  return RegSetValueEx(key_, name, REG_DWORD, raw, sizeof(raw));
}

LONG RegistryKey::EnumSubKey(DWORD index, wchar_t* name, DWORD* length) {
  return RegEnumKeyEx(key_, index, name, length);
}

LONG RegistryKey::DeleteChild(const wchar_t* name) {
  if (RegDeleteKeyExProc deleteKeyEx = DeleteKeyExProc()) return deleteKeyEx(key_, name, view_, 0);
  return RegDeleteKey(key_, name);
}

LONG RegistryKey::DeleteChildTree(const wchar_t* name) {
  RegistryKey child;
  LONG status = child.Open(key_, name, view_ | KEY_READ | KEY_WRITE);
  if (status != 0) return status;
  for (;;) {
    // Always index 0: every deletion shifts the remaining subkeys down.
    wchar_t subkey[256];
    DWORD length = 256;
    if (child.EnumSubKey(0, subkey, &length) != 0) break;
    status = child.DeleteChildTree(subkey);
    if (status != 0) return status;  // `child` closes on the way out
  }
  child.Close();
  return DeleteChild(name);
}

void RegistryKey::CreateOrThrow(HKEY parent, const wchar_t* subkey) {
  HKEY created = nullptr;
  LONG status = RegCreateKeyEx(parent, subkey, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                               &created, nullptr);
  if (status != 0) throw winreg::RegException("RegCreateKeyEx failed.", status);
  if (key_ != nullptr && !IsPredefinedKey(key_)) RegCloseKey(key_);
  key_ = created;
  view_ = 0;
}

std::wstring RegistryKey::ReadStringOrThrow(const wchar_t* name) {
  // Only REG_SZ passes. Without RRF_NOEXPAND, RegGetValue would expand a REG_EXPAND_SZ and
  // let it through as REG_SZ.
  constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_NOEXPAND;
  DWORD bytes = 0;
  LONG status = RegGetValue(key_, nullptr, name, kFlags, nullptr, nullptr, &bytes);
  if (status != 0) {
    throw winreg::RegException("Cannot get size of string value: RegGetValue failed.", status);
  }
  // Whole UTF-16 units, and room for at least the terminator.
  std::vector<BYTE> raw(bytes < 2 ? 2 : (bytes + 1) & ~DWORD{1});
  bytes = static_cast<DWORD>(raw.size());
  status = RegGetValue(key_, nullptr, name, kFlags, nullptr, raw.data(), &bytes);
  if (status != 0) throw winreg::RegException("Cannot get string value: RegGetValue failed.", status);
  const DWORD units = bytes / 2;
  if (units == 0) return {};
  return Utf16LeToWide(AsChars(raw, (units - 1) * 2));
}

void RegistryKey::WriteStringOrThrow(const wchar_t* name, const std::wstring& text) {
  const std::string data = StringData(text);
  LONG status = RegSetValueEx(key_, name, REG_SZ, AsBytes(data), static_cast<DWORD>(data.size()));
  if (status != 0) {
    throw winreg::RegException("Cannot write string value: RegSetValueEx failed.", status);
  }
}
