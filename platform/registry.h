#pragma once
// The registry service: the ADVAPI32 registry functions the installer uses, with their
// Win32 status results (0 = ERROR_SUCCESS). On Windows these forward to ADVAPI32; on Linux
// they run over the prefix's store (registry/machine.db for HKEY_LOCAL_MACHINE,
// registry/user.db for HKEY_CURRENT_USER; SQLite). Parameters the program never uses
// (reserved words, classes, security attributes, write times) are left out.
//
// Concurrency: every function may be called from any thread; handles are plain values and
// may be passed between threads. Within a process the store serialises calls with one
// lock. Across processes the store is shared safely: each change is one SQLite
// transaction taken with BEGIN IMMEDIATE, readers see committed states only, and a writer
// waits up to 10 s for another process's transaction instead of failing.
//
// Store contract (Linux), chosen to match what Windows does:
// - Two roots: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. The other predefined keys are
//   recognised by value but hold nothing here: using them gives ERROR_INVALID_HANDLE (6).
//   There is one registry view: KEY_WOW64_32KEY / KEY_WOW64_64KEY are accepted and ignored.
// - Key and value names match without regard to case for ASCII letters only (A-Z = a-z);
//   other characters match exactly. Names keep the case they were created with.
//   Subkeys enumerate in upper-cased code-unit order, values in creation order.
// - A subkey path may not start with a backslash (ERROR_BAD_PATHNAME, 161); repeated and
//   trailing backslashes are skipped. A key name holds at most 256 UTF-16 units (Windows
//   accepts 256 although 255 is documented) and keys nest at most 512 deep; beyond either,
//   creation fails with ERROR_INVALID_PARAMETER (87). A value name holds at most 16383
//   units; longer ones fail with ERROR_FILENAME_EXCED_RANGE (206).
// - Value data is stored exactly as written, whatever its type and size: a REG_SZ without
//   its terminator or with an odd byte count reads back as written (RegQueryValueEx);
//   only RegGetValue terminates strings.
// - A handle names a key, not a path: after the key is deleted (by anyone) operations on
//   the handle fail with ERROR_KEY_DELETED (1018); closing it still succeeds.
// - Access rights of a handle are enforced as Windows does for values and enumeration:
//   querying needs KEY_QUERY_VALUE, setting or deleting a value KEY_SET_VALUE, enumerating
//   subkeys KEY_ENUMERATE_SUB_KEYS; otherwise ERROR_ACCESS_DENIED (5). There are no ACLs.
// - Volatile keys (REG_OPTION_VOLATILE) last until the machine restarts: the store records
//   the boot id (/proc/sys/kernel/random/boot_id, or ORVO_BOOT_ID when set, which tests use
//   to simulate a restart) and drops every volatile key the first time a process opens the
//   store under a different boot id. A stable key cannot be created under a volatile one
//   (ERROR_CHILD_MUST_BE_VOLATILE, 1021).
// - A change either happens whole or not at all, also when the process is killed: a
//   RegCreateKeyEx that makes several missing levels makes all or none.
// - Store failures surface as ERROR_REGISTRY_IO_FAILED (1016), ERROR_REGISTRY_CORRUPT
//   (1015), ERROR_ACCESS_DENIED (5, read-only store file), ERROR_DISK_FULL (112) or
//   ERROR_BUSY (170, another process held the store for more than 10 s).
//
// The Windows implementation must #undef the <windows.h> macros that share these names
// (RegOpenKeyEx, HKEY_LOCAL_MACHINE, REG_SZ ...) before defining them.
#include <cstdint>

#include "platform/win_error.h"

namespace platform {

using LONG = std::int32_t;
using BYTE = std::uint8_t;
using REGSAM = DWORD;

struct HKEY__;
using HKEY = HKEY__*;

// Predefined keys are the 32-bit values 0x80000000... sign-extended to pointer width.
// Written as plain casts so that they are constant-initialised (no start-up order issue).
inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFF - 1});
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFF});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFE});
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFD});
inline const HKEY HKEY_PERFORMANCE_DATA = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFC});
inline const HKEY HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFB});
inline const HKEY HKEY_DYN_DATA = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFFA});
inline const HKEY HKEY_CURRENT_USER_LOCAL_SETTINGS = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFF9});
inline const HKEY HKEY_PERFORMANCE_TEXT = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFB0});
inline const HKEY HKEY_PERFORMANCE_NLSTEXT = reinterpret_cast<HKEY>(std::intptr_t{-0x7FFFFFA0});

// True for the predefined root keys above, recognised by value.
bool IsPredefinedKey(HKEY key);

// Access rights (REGSAM).
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM KEY_WOW64_RES = 0x0300;
inline constexpr REGSAM KEY_DELETE = 0x00010000;  // DELETE
inline constexpr REGSAM KEY_READ = 0x00020019;
inline constexpr REGSAM KEY_WRITE = 0x00020006;
inline constexpr REGSAM KEY_EXECUTE = 0x00020019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// RegCreateKeyEx options and dispositions.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
inline constexpr DWORD REG_OPTION_VOLATILE = 0x1;
inline constexpr DWORD REG_OPTION_CREATE_LINK = 0x2;  // not supported here: ERROR_NOT_SUPPORTED
inline constexpr DWORD REG_OPTION_BACKUP_RESTORE = 0x4;
inline constexpr DWORD REG_OPTION_OPEN_LINK = 0x8;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// RegGetValue flags.
inline constexpr DWORD RRF_RT_REG_NONE = 0x00000001;
inline constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
inline constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x00000004;
inline constexpr DWORD RRF_RT_REG_BINARY = 0x00000008;
inline constexpr DWORD RRF_RT_REG_DWORD = 0x00000010;
inline constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x00000020;
inline constexpr DWORD RRF_RT_REG_QWORD = 0x00000040;
inline constexpr DWORD RRF_RT_DWORD = RRF_RT_REG_BINARY | RRF_RT_REG_DWORD;
inline constexpr DWORD RRF_RT_QWORD = RRF_RT_REG_BINARY | RRF_RT_REG_QWORD;
inline constexpr DWORD RRF_RT_ANY = 0x0000FFFF;
inline constexpr DWORD RRF_SUBKEY_WOW6464KEY = 0x00010000;
inline constexpr DWORD RRF_SUBKEY_WOW6432KEY = 0x00020000;
inline constexpr DWORD RRF_WOW64_MASK = 0x00030000;
inline constexpr DWORD RRF_NOEXPAND = 0x10000000;
inline constexpr DWORD RRF_ZEROONFAILURE = 0x20000000;

// Limits, in UTF-16 units.
inline constexpr DWORD kRegistryMaxKeyName = 256;
inline constexpr DWORD kRegistryMaxValueName = 16383;
inline constexpr DWORD kRegistryMaxDepth = 512;

// Name and text parameters are NUL-terminated wide strings; counts of characters are in
// wchar_t units (UTF-16 units on Windows), counts of data in bytes.

// RegOpenKeyExW. A null or empty subKey on a predefined key returns that key itself; on
// another key a new handle to the same key. *result is set to null on failure.
LONG RegOpenKeyEx(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);

// RegCreateKeyExW: opens the key, or creates it with every missing level (all with the
// same options). *disposition (optional) receives REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY; it and *result are left alone on failure.
LONG RegCreateKeyEx(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result,
                    DWORD* disposition);

// RegCloseKey. Closing a predefined key succeeds and leaves it usable.
LONG RegCloseKey(HKEY key);

// RegQueryValueExW. A null (or empty) name is the key's default value. With data null,
// *size receives the byte count. With a buffer too small: ERROR_MORE_DATA, *size = needed,
// the buffer untouched. Strings are returned as stored; as on Windows a NUL unit is
// written after an unterminated string when the buffer has room (not counted in *size).
LONG RegQueryValueEx(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size);

// RegSetValueExW: stores the bytes exactly as given, for any type.
LONG RegSetValueEx(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size);

// RegGetValueW. `flags` restricts the type (RRF_RT_*): a value of another type fails with
// ERROR_UNSUPPORTED_TYPE (1630). Strings come back NUL-terminated (a terminator is added
// when the stored data lacks one, a trailing odd byte is dropped) and *size counts it, in
// the size query as in the data query. REG_EXPAND_SZ is expanded (and reported as REG_SZ)
// unless RRF_NOEXPAND is given; environment variables are the process's.
LONG RegGetValue(HKEY key, const wchar_t* subKey, const wchar_t* value, DWORD flags, DWORD* type,
                 void* data, DWORD* size);

// RegEnumKeyExW. *nameLength goes in as the buffer size (terminator included) and comes
// back as the name's length without it. ERROR_MORE_DATA when the buffer is too small,
// ERROR_NO_MORE_ITEMS (259) past the last subkey.
LONG RegEnumKeyEx(HKEY key, DWORD index, wchar_t* name, DWORD* nameLength);

// RegEnumValueW. Name as in RegEnumKeyEx; type, data and size as in RegQueryValueEx.
LONG RegEnumValue(HKEY key, DWORD index, wchar_t* name, DWORD* nameLength, DWORD* type,
                  BYTE* data, DWORD* size);

// RegDeleteKeyExW / RegDeleteKeyW: deletes the subkey (an empty name: the key itself) with
// its values. A key that has subkeys is not deleted: ERROR_ACCESS_DENIED (5), as on Windows.
LONG RegDeleteKeyEx(HKEY key, const wchar_t* subKey, REGSAM view, DWORD reserved);
LONG RegDeleteKey(HKEY key, const wchar_t* subKey);

// RegDeleteValueW.
LONG RegDeleteValue(HKEY key, const wchar_t* name);

// RegDeleteKeyExW as found by name at run time: older Windows lacks it (null there); the
// Linux store always has it.
using RegDeleteKeyExProc = LONG (*)(HKEY, const wchar_t*, REGSAM, DWORD);
RegDeleteKeyExProc LookupRegDeleteKeyEx();

}  // namespace platform
