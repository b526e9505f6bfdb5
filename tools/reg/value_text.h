#pragma once
// Value data as text: how `query` shows it, how `export` writes it (.reg syntax) and how
// `add` reads /d for a type.
#include <optional>
#include <string>

#include "platform/registry.h"

namespace orvoreg {

// "REG_SZ" ..., or "REG_0x1234" for a type without a name.
std::string TypeName(platform::DWORD type);
// The types `add` accepts: REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY.
std::optional<platform::DWORD> ParseTypeName(const std::wstring& name);

// As reg.exe shows data: strings up to their first NUL, numbers as 0x..., the rest as hex.
std::string QueryText(platform::DWORD type, const std::string& data);

// `"name"=...` (`@=...` for the default value) in .reg syntax. Strings that are not a
// proper NUL-terminated UTF-16 text are written as hex(1)/hex(2) so nothing is lost.
std::string ExportLine(const std::wstring& name, platform::DWORD type, const std::string& data);

// The bytes to store for /d `text`; nullopt with *error set when `text` does not fit the type.
std::optional<std::string> EncodeData(platform::DWORD type, const std::wstring& text, std::string* error);

}  // namespace orvoreg
