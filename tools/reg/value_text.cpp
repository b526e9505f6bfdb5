#include "tools/reg/value_text.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "platform/text.h"

using platform::DWORD;

namespace orvoreg {

namespace {

std::uint64_t LittleEndian(const std::string& data) {
  std::uint64_t value = 0;
  for (std::size_t i = data.size(); i-- > 0;) value = value << 8 | static_cast<unsigned char>(data[i]);
  return value;
}

std::string Hex(const std::string& data, const char* separator, bool upper) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  const char* digits = upper ? kUpper : kLower;
  std::string out;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0) out += separator;
    auto byte = static_cast<unsigned char>(data[i]);
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 0xF]);
  }
  return out;
}

// UTF-16 text of a string value, up to its first NUL.
std::wstring StringText(const std::string& data) {
  std::wstring text = platform::Utf16LeToWide(data);
  text.resize(std::wcslen(text.c_str()));
  return text;
}

// A string value export can write as "...": whole units, one terminator at the end, none inside.
bool IsPlainString(const std::string& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const std::size_t units = data.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const bool zero = data[2 * i] == 0 && data[2 * i + 1] == 0;
    if (zero != (i == units - 1)) return false;
  }
  return true;
}

std::string Quoted(const std::wstring& text) {
  std::string out = "\"";
  for (char c : platform::WideToUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

bool ParseUnsigned(const std::wstring& text, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty()) return false;
  std::size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    i = 2;
  }
  std::uint64_t result = 0;
  for (; i < text.size(); ++i) {
    wchar_t c = text[i];
    unsigned digit;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<unsigned>(c - L'0');
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = static_cast<unsigned>(c - L'a' + 10);
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = static_cast<unsigned>(c - L'A' + 10);
    } else {
      return false;
    }
    if (result > (limit - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

std::string LittleEndianBytes(std::uint64_t value, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

}  // namespace

std::string TypeName(DWORD type) {
  switch (type) {
    case platform::REG_NONE: return "REG_NONE";
    case platform::REG_SZ: return "REG_SZ";
    case platform::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case platform::REG_BINARY: return "REG_BINARY";
    case platform::REG_DWORD: return "REG_DWORD";
    case platform::REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case platform::REG_LINK: return "REG_LINK";
    case platform::REG_MULTI_SZ: return "REG_MULTI_SZ";
    case platform::REG_QWORD: return "REG_QWORD";
    default: {
      char text[24];
      std::snprintf(text, sizeof(text), "REG_0x%x", type);
      return text;
    }
  }
}

std::optional<DWORD> ParseTypeName(const std::wstring& name) {
  for (DWORD type : {platform::REG_SZ, platform::REG_EXPAND_SZ, platform::REG_DWORD, platform::REG_QWORD,
                     platform::REG_BINARY}) {
    if (platform::EqualsNoCase(name, platform::Utf8ToWide(TypeName(type)))) return type;
  }
  return std::nullopt;
}

std::string QueryText(DWORD type, const std::string& data) {
  char number[24];
  switch (type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ: return platform::WideToUtf8(StringText(data));
    case platform::REG_DWORD:
    case platform::REG_QWORD:
      if (data.size() == (type == platform::REG_DWORD ? 4u : 8u)) {
        std::snprintf(number, sizeof(number), "0x%llx", static_cast<unsigned long long>(LittleEndian(data)));
        return number;
      }
      return Hex(data, "", true);
    case platform::REG_MULTI_SZ: {
      std::wstring text = platform::Utf16LeToWide(data);
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      std::string out;
      for (wchar_t c : text) {
        if (c == L'\0') {
          out += "\\0";
        } else {
          out += platform::WideToUtf8(std::wstring(1, c));
        }
      }
      return out;
    }
    default: return Hex(data, "", true);
  }
}

std::string ExportLine(const std::wstring& name, DWORD type, const std::string& data) {
  std::string line = name.empty() ? "@=" : Quoted(name) + "=";
  if (type == platform::REG_SZ && IsPlainString(data)) return line + Quoted(StringText(data));
  if (type == platform::REG_DWORD && data.size() == 4) {
    char number[16];
    std::snprintf(number, sizeof(number), "dword:%08x", static_cast<unsigned>(LittleEndian(data)));
    return line + number;
  }
  if (type == platform::REG_BINARY) return line + "hex:" + Hex(data, ",", false);
  char prefix[24];
  std::snprintf(prefix, sizeof(prefix), "hex(%x):", type);
  return line + prefix + Hex(data, ",", false);
}

std::optional<std::string> EncodeData(DWORD type, const std::wstring& text, std::string* error) {
  switch (type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ: return platform::WideToUtf16Le(text) + std::string(2, '\0');
    case platform::REG_DWORD:
    case platform::REG_QWORD: {
      const bool dword = type == platform::REG_DWORD;
      std::uint64_t value = 0;
      if (text.empty()) return LittleEndianBytes(0, dword ? 4 : 8);
      if (!ParseUnsigned(text, dword ? 0xFFFFFFFFull : ~0ull, &value)) {
        *error = std::string("Invalid ") + (dword ? "DWORD" : "QWORD") + " data \"" +
                 platform::WideToUtf8(text) + "\": give a decimal number or 0x followed by hexadecimal digits" +
                 (dword ? ", at most 0xffffffff." : ".");
        return std::nullopt;
      }
      return LittleEndianBytes(value, dword ? 4 : 8);
    }
    case platform::REG_BINARY: {
      std::string out;
      if (text.size() % 2 != 0) {
        *error = "Invalid REG_BINARY data: give an even number of hexadecimal digits.";
        return std::nullopt;
      }
      for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint64_t byte = 0;
        if (!ParseUnsigned(L"0x" + text.substr(i, 2), 0xFF, &byte)) {
          *error = "Invalid REG_BINARY data: give an even number of hexadecimal digits.";
          return std::nullopt;
        }
        out.push_back(static_cast<char>(byte));
      }
      return out;
    }
    default: *error = "Unsupported type."; return std::nullopt;
  }
}

}  // namespace orvoreg
