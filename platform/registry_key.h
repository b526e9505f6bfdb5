#pragma once
// All registry access of the installer goes through RegistryKey: a thin owner of one key
// handle over the registry service (platform/registry.h), so the same code runs over
// ADVAPI32 on Windows and over the prefix's store on Linux. No caching, no retries.
//
// Status operations return the Win32 status of the underlying call (0 = success), never
// throw, and leave the object as it was when they fail. The *OrThrow operations raise
// winreg::RegException instead.
//
// Concurrency: a RegistryKey is owned and used by one thread at a time; distinct objects
// may be used on distinct threads at once.
#include <stdexcept>
#include <string>

#include "platform/registry.h"

namespace winreg {

// what() is one of the fixed messages of the throwing operations; the status is carried
// separately and is not part of the message.
class RegException : public std::runtime_error {
 public:
  RegException(const char* message, platform::LONG code) : std::runtime_error(message), code_(code) {}
  platform::LONG code() const noexcept { return code_; }

 private:
  platform::LONG code_;
};

}  // namespace winreg

class RegistryKey {
 public:
  using HKEY = platform::HKEY;
  using LONG = platform::LONG;
  using DWORD = platform::DWORD;
  using REGSAM = platform::REGSAM;

  RegistryKey() = default;
  ~RegistryKey();
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // RegOpenKeyEx(parent, subkey, 0, access). On success the previous key is closed and
  // view() = access & KEY_WOW64_RES.
  LONG Open(HKEY parent, const wchar_t* subkey, REGSAM access);
  // RegCreateKeyEx, stable key, KEY_READ | KEY_WRITE, missing levels created. On success
  // *disposition (when asked for) is REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY, the
  // previous key is closed and view() = 0.
  LONG Create(HKEY parent, const wchar_t* subkey, DWORD* disposition = nullptr);
  // Closes the key if one is held: the close status, 0 when nothing was held.
  LONG Close();

  // `length` goes in as the buffer size in wide characters and is set to 0 first. The
  // value must be REG_SZ or REG_EXPAND_SZ (returned unexpanded), else ERROR_INVALID_DATA
  // (13); with a buffer, an odd byte count or a last UTF-16 unit that is not 0 is also 13,
  // and no data gives an empty string. On success `length` is the number of wide
  // characters stored, terminator included (the byte count / 2 on Windows). A null buffer
  // asks for the size only (byte count / 2).
  LONG ReadString(const wchar_t* name, wchar_t* buffer, DWORD* length);
  // REG_SZ with the terminator. A null text is ERROR_INVALID_DATA (13) without a call.
  LONG WriteString(const wchar_t* name, const wchar_t* text);
  // Succeeds (0) only for a REG_DWORD of 4 bytes; another type or size is
  // ERROR_INVALID_DATA (13), a longer value ERROR_MORE_DATA (234). *value is written only
  // on success.
  LONG ReadDword(const wchar_t* name, DWORD* value);
  LONG WriteDword(const wchar_t* name, DWORD value);
  // RegEnumKeyEx: `length` in = buffer size, out = name length. ERROR_NO_MORE_ITEMS (259)
  // past the last subkey.
  LONG EnumSubKey(DWORD index, wchar_t* name, DWORD* length);
  // Deletes the named direct subkey, which must have no subkeys (else ERROR_ACCESS_DENIED).
  LONG DeleteChild(const wchar_t* name);
  // Deletes the named direct subkey and everything below it. A failure part-way leaves the
  // tree partly deleted.
  LONG DeleteChildTree(const wchar_t* name);

  // Create, throwing RegException("RegCreateKeyEx failed.", status). The previously held
  // key is closed unless it is a predefined root key.
  void CreateOrThrow(HKEY parent, const wchar_t* subkey);
  // The REG_SZ value without its terminator (RegGetValue, RRF_RT_REG_SZ).
  std::wstring ReadStringOrThrow(const wchar_t* name);
  void WriteStringOrThrow(const wchar_t* name, const std::wstring& text);

  HKEY key() const { return key_; }
  REGSAM view() const { return view_; }
  bool IsOpen() const { return key_ != nullptr; }

 private:
  void Take(HKEY key, REGSAM view);

  HKEY key_ = nullptr;
  REGSAM view_ = 0;
};
