#pragma once
// Text conversions between the core's wide strings and byte encodings. Invalid input never
// fails: undecodable bytes become U+FFFD, unencodable characters become '?', as the
// Windows conversion functions do by default.
#include <string>
#include <string_view>

namespace platform {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// The "ANSI code page" is the character set of the user's locale (LC_ALL, LC_CTYPE, LANG).
std::wstring AnsiToWide(std::string_view text);
std::string WideToAnsi(std::wstring_view text);
// iconv name of that character set, e.g. "UTF-8" or "GBK".
std::string AnsiCharset();

// REG_SZ and other on-disk UTF-16LE data. An odd trailing byte is ignored.
std::string WideToUtf16Le(std::wstring_view text);
std::wstring Utf16LeToWide(std::string_view bytes);

// Case-insensitive comparison and lower-casing for ASCII letters only (Windows treats
// names this way for the cases the installer meets).
std::wstring AsciiLower(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

}  // namespace platform
