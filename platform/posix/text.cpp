#include "platform/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

namespace platform {

namespace {

// wchar_t is UTF-32 here; iconv calls it WCHAR_T.
constexpr const char* kWide = "WCHAR_T";

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvPtr = std::unique_ptr<void, IconvCloser>;

// iconv_open is costly; every thread keeps its descriptors.
iconv_t Descriptor(const std::string& to, const std::string& from) {
  thread_local std::map<std::pair<std::string, std::string>, IconvPtr> cache;
  auto key = std::make_pair(to, from);
  auto it = cache.find(key);
  if (it == cache.end()) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    // A character set iconv does not know is taken as Latin-1, which maps every byte.
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      cd = to == kWide ? iconv_open(kWide, "ISO-8859-1") : iconv_open("ISO-8859-1", kWide);
    }
    it = cache.emplace(std::move(key), IconvPtr(cd)).first;
  }
  iconv(static_cast<iconv_t>(it->second.get()), nullptr, nullptr, nullptr, nullptr);
  return static_cast<iconv_t>(it->second.get());
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool IsAscii(std::wstring_view text) {
  for (wchar_t c : text) {
    if (static_cast<std::uint32_t>(c) >= 0x80) return false;
  }
  return true;
}

std::wstring Decode(std::string_view bytes, const std::string& charset) {
  if (IsAscii(bytes)) return std::wstring(bytes.begin(), bytes.end());
  iconv_t cd = Descriptor(kWide, charset);
  std::wstring out;
  out.resize(bytes.size());
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  std::size_t done = 0;
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(out.data() + done);
    std::size_t outLeft = (out.size() - done) * sizeof(wchar_t);
    std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    done = out.size() - outLeft / sizeof(wchar_t);
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2 + 4);
    } else {  // EILSEQ or EINVAL: an undecodable byte or a cut sequence
      if (done == out.size()) out.resize(out.size() + 4);
      out[done++] = L'\xFFFD';
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  out.resize(done);
  return out;
}

std::string Encode(std::wstring_view text, const std::string& charset) {
  if (IsAscii(text)) return std::string(text.begin(), text.end());
  iconv_t cd = Descriptor(charset, kWide);
  std::string out;
  out.resize(text.size() * 4 + 4);
  char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
  std::size_t inLeft = text.size() * sizeof(wchar_t);
  std::size_t done = 0;
  while (inLeft > 0) {
    char* outPtr = out.data() + done;
    std::size_t outLeft = out.size() - done;
    std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    done = out.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {  // a character the target cannot hold
      if (done == out.size()) out.resize(out.size() + 4);
      out[done++] = '?';
      in += sizeof(wchar_t);
      inLeft -= sizeof(wchar_t);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  out.resize(done);
  return out;
}

std::string CharsetFromLocaleName(std::string_view name) {
  auto dot = name.find('.');
  if (dot == std::string_view::npos) {
    if (name.empty() || name == "C" || name == "POSIX") return "ANSI_X3.4-1968";
    return "UTF-8";
  }
  auto charset = name.substr(dot + 1);
  charset = charset.substr(0, charset.find('@'));
  std::string result(charset);
  // glibc spells UTF-8 locales "utf8"; iconv wants "UTF-8".
  if (result == "utf8" || result == "UTF8") result = "UTF-8";
  return result;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) { return Decode(text, "UTF-8"); }
std::string WideToUtf8(std::wstring_view text) { return Encode(text, "UTF-8"); }

std::string AnsiCharset() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return CharsetFromLocaleName(value);
  }
  return CharsetFromLocaleName("C");
}

std::wstring AnsiToWide(std::string_view text) {
  if (IsAscii(text)) return std::wstring(text.begin(), text.end());
  return Decode(text, AnsiCharset());
}

std::string WideToAnsi(std::wstring_view text) {
  if (IsAscii(text)) return std::string(text.begin(), text.end());
  return Encode(text, AnsiCharset());
}

// Surrogate code units that do not form a pair are kept as they are in the wide string, so
// any UTF-16 data round-trips unchanged.
std::string WideToUtf16Le(std::wstring_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  auto put = [&out](std::uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  for (wchar_t c : text) {
    auto cp = static_cast<std::uint32_t>(c);
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

std::wstring Utf16LeToWide(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size() / 2);
  auto unit = [&bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      std::uint32_t low = unit(i + 1);
      if (low >= 0xDC00 && low < 0xE000) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(u));
  }
  return out;
}

}  // namespace platform
