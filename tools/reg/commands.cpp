#include "tools/reg/commands.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/registry_key.h"
#include "platform/text.h"
#include "tools/reg/value_text.h"

using platform::DWORD;
using platform::LONG;

namespace orvoreg {

namespace {

constexpr LONG kNotFound = static_cast<LONG>(platform::win::kErrorFileNotFound);
constexpr LONG kNoMoreItems = static_cast<LONG>(platform::win::kErrorNoMoreItems);
constexpr LONG kMoreData = static_cast<LONG>(platform::win::kErrorMoreData);

struct Value {
  std::wstring name;
  DWORD type = 0;
  std::string data;
};

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

int Error(const std::string& message) {
  std::fflush(stdout);
  std::cerr << "ERROR: " << message << "\n";
  return 1;
}

int StatusError(LONG status) { return Error(StatusText(status)); }

std::string DisplayName(const std::wstring& name) { return name.empty() ? "(Default)" : Utf8(name); }

LONG ReadValue(platform::HKEY key, const std::wstring& name, Value* value) {
  DWORD size = 0;
  LONG status = platform::RegQueryValueEx(key, name.c_str(), &value->type, nullptr, &size);
  while (status == 0) {
    std::vector<platform::BYTE> data(size > 0 ? size : 1);
    status = platform::RegQueryValueEx(key, name.c_str(), &value->type, data.data(), &size);
    if (status == 0) {
      value->name = name;
      value->data.assign(reinterpret_cast<const char*>(data.data()), size);
      return 0;
    }
    if (status == kMoreData) status = 0;  // grew in between: once more with the new size
  }
  return status;
}

// Every value of the key in enumeration order; stops at the first failure.
LONG ReadValues(platform::HKEY key, std::vector<Value>* values) {
  std::vector<wchar_t> name(platform::kRegistryMaxValueName + 1);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD size = 0;
    Value value;
    LONG status = platform::RegEnumValue(key, index, name.data(), &nameLength, &value.type, nullptr, &size);
    if (status == kNoMoreItems) return 0;
    if (status != 0) return status;
    status = ReadValue(key, std::wstring(name.data(), nameLength), &value);
    if (status != 0) return status;
    values->push_back(std::move(value));
  }
}

LONG ReadSubkeys(platform::HKEY key, std::vector<std::wstring>* names) {
  for (DWORD index = 0;; ++index) {
    wchar_t name[platform::kRegistryMaxKeyName + 1];
    DWORD length = platform::kRegistryMaxKeyName + 1;
    LONG status = platform::RegEnumKeyEx(key, index, name, &length);
    if (status == kNoMoreItems) return 0;
    if (status != 0) return status;
    names->emplace_back(name, length);
  }
}

void PrintValue(const Value& value) {
  std::cout << "    " << DisplayName(value.name) << "    " << TypeName(value.type) << "    "
            << QueryText(value.type, value.data) << "\n";
}

LONG QueryTree(platform::HKEY key, const std::wstring& path, bool recursive) {
  std::vector<Value> values;
  std::vector<std::wstring> subkeys;
  if (LONG status = ReadValues(key, &values)) return status;
  if (LONG status = ReadSubkeys(key, &subkeys)) return status;
  std::cout << "\n" << Utf8(path) << "\n";
  for (const Value& value : values) PrintValue(value);
  if (!recursive) {
    if (!subkeys.empty()) std::cout << "\n";
    for (const std::wstring& subkey : subkeys) std::cout << Utf8(path) << "\\" << Utf8(subkey) << "\n";
    return 0;
  }
  for (const std::wstring& subkey : subkeys) {
    RegistryKey child;
    if (LONG status = child.Open(key, subkey.c_str(), platform::KEY_READ)) return status;
    if (LONG status = QueryTree(child.key(), path + L"\\" + subkey, true)) return status;
  }
  return 0;
}

LONG ExportTree(platform::HKEY key, const std::wstring& path) {
  std::vector<Value> values;
  std::vector<std::wstring> subkeys;
  if (LONG status = ReadValues(key, &values)) return status;
  if (LONG status = ReadSubkeys(key, &subkeys)) return status;
  std::cout << "\n[" << Utf8(path) << "]\n";
  for (const Value& value : values) std::cout << ExportLine(value.name, value.type, value.data) << "\n";
  for (const std::wstring& subkey : subkeys) {
    RegistryKey child;
    if (LONG status = child.Open(key, subkey.c_str(), platform::KEY_READ)) return status;
    if (LONG status = ExportTree(child.key(), path + L"\\" + subkey)) return status;
  }
  return 0;
}

// Deleting asks first, like reg.exe, unless /f; without a terminal to ask on it refuses.
bool Confirmed(const Options& options, const std::string& question) {
  if (options.force) return true;
  if (::isatty(STDIN_FILENO) == 0) {
    Error("Nothing was deleted: add /f to delete without being asked.");
    return false;
  }
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (std::getline(std::cin, answer) && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) {
    return true;
  }
  std::cout << "The operation was cancelled.\n";
  return false;
}

}  // namespace

std::string StatusText(LONG status) {
  using namespace platform::win;
  std::string text;
  switch (static_cast<DWORD>(status)) {
    case kErrorFileNotFound: text = "The system was unable to find the specified registry key or value."; break;
    case kErrorAccessDenied: text = "Access is denied."; break;
    case kErrorInvalidParameter: text = "The parameter is incorrect."; break;
    case kErrorBadPathname: text = "The specified path is invalid."; break;
    case kErrorKeyDeleted: text = "Illegal operation attempted on a registry key that has been marked for deletion."; break;
    case kErrorChildMustBeVolatile: text = "Cannot create a stable subkey under a volatile parent key."; break;
    case kErrorRegistryCorrupt: text = "The registry store is corrupt."; break;
    case kErrorRegistryIoFailed: text = "The registry store could not be read or written."; break;
    case kErrorBusy: text = "The registry store is held by another process."; break;
    case kErrorDiskFull: text = "There is not enough space on the disk."; break;
    default: text = "The operation failed."; break;
  }
  return text + " (status " + std::to_string(status) + ")";
}

int Query(const KeyPath& path, const Options& options) {
  RegistryKey key;
  if (LONG status = key.Open(path.root, path.subkey.c_str(), platform::KEY_READ)) return StatusError(status);
  if (options.valueName) {
    Value value;
    if (LONG status = ReadValue(key.key(), *options.valueName, &value)) return StatusError(status);
    std::cout << "\n" << Utf8(path.Display()) << "\n";
    PrintValue(value);
    std::cout << "\n";
    return 0;
  }
  if (LONG status = QueryTree(key.key(), path.Display(), options.recursive)) return StatusError(status);
  return 0;
}

int Add(const KeyPath& path, const Options& options) {
  if (path.subkey.empty()) return Error("Invalid key name: name a key below the root.");
  const bool setValue = options.valueName || options.type || options.data;
  DWORD type = platform::REG_SZ;
  if (options.type) {
    auto parsed = ParseTypeName(*options.type);
    if (!parsed) {
      return Error("Unsupported type " + Utf8(*options.type) +
                   ": use REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD or REG_BINARY.");
    }
    type = *parsed;
  }
  std::string data;
  if (setValue) {
    std::string problem;
    auto encoded = EncodeData(type, options.data.value_or(L""), &problem);
    if (!encoded) return Error(problem);
    data = std::move(*encoded);
  }
  const std::wstring name = options.valueName.value_or(L"");
  if (setValue && !options.force) {
    RegistryKey existing;
    Value value;
    if (existing.Open(path.root, path.subkey.c_str(), platform::KEY_READ) == 0 &&
        ReadValue(existing.key(), name, &value) == 0) {
      return Error("The value " + DisplayName(name) + " already exists in " + Utf8(path.Display()) +
                   ": add /f to overwrite it.");
    }
  }
  RegistryKey key;
  if (LONG status = key.Create(path.root, path.subkey.c_str())) return StatusError(status);
  if (setValue) {
    LONG status = platform::RegSetValueEx(key.key(), name.c_str(), type,
                                          reinterpret_cast<const platform::BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size()));
    if (status != 0) return StatusError(status);
  }
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int Delete(const KeyPath& path, const Options& options) {
  if (options.valueName || options.allValues) {
    RegistryKey key;
    if (LONG status = key.Open(path.root, path.subkey.c_str(), platform::KEY_READ | platform::KEY_WRITE)) {
      return StatusError(status);
    }
    if (options.allValues) {
      if (!Confirmed(options, "Delete all values under the registry key " + Utf8(path.Display()))) return 1;
      std::vector<Value> values;
      if (LONG status = ReadValues(key.key(), &values)) return StatusError(status);
      for (const Value& value : values) {
        if (LONG status = platform::RegDeleteValue(key.key(), value.name.c_str())) return StatusError(status);
      }
    } else {
      Value value;
      if (LONG status = ReadValue(key.key(), *options.valueName, &value)) return StatusError(status);
      if (!Confirmed(options, "Delete the registry value " + DisplayName(*options.valueName))) return 1;
      if (LONG status = platform::RegDeleteValue(key.key(), options.valueName->c_str())) return StatusError(status);
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
  }
  if (path.subkey.empty()) return Error("Invalid key name: a root key cannot be deleted.");
  {
    RegistryKey existing;
    if (LONG status = existing.Open(path.root, path.subkey.c_str(), platform::KEY_READ)) return StatusError(status);
  }
  if (!Confirmed(options, "Permanently delete the registry key " + Utf8(path.Display()))) return 1;
  const std::size_t slash = path.subkey.rfind(L'\\');
  const std::wstring parentPath = slash == std::wstring::npos ? L"" : path.subkey.substr(0, slash);
  const std::wstring child = slash == std::wstring::npos ? path.subkey : path.subkey.substr(slash + 1);
  RegistryKey parent;
  LONG status = parent.Open(path.root, parentPath.c_str(), platform::KEY_READ | platform::KEY_WRITE);
  if (status == 0) status = parent.DeleteChildTree(child.c_str());
  if (status != 0) return StatusError(status);
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int Export(const KeyPath& path) {
  RegistryKey key;
  if (LONG status = key.Open(path.root, path.subkey.c_str(), platform::KEY_READ)) return StatusError(status);
  std::cout << "Windows Registry Editor Version 5.00\n";
  if (LONG status = ExportTree(key.key(), path.Display())) return StatusError(status);
  return 0;
}

}  // namespace orvoreg
