#pragma once
// Streams one file over HTTP or HTTPS straight to disk, with progress as a percentage. One
// try: no retry, no resume, no proxy fallback; the status code is not examined (the
// caller's digest check catches a wrong answer). Synchronous on the calling thread; nothing
// is logged here.
#include <cstdint>
#include <functional>
#include <string>

namespace net {

// errorType values; each is also an installation result code. Never renumber.
namespace download_error {
inline constexpr std::int32_t kNone = 0;
inline constexpr std::int32_t kBadUrl = 4;        // not scheme "://" host "/" path
inline constexpr std::int32_t kOpen = 5;          // the HTTP session could not be opened
inline constexpr std::int32_t kConnect = 6;       // name resolution or connection
inline constexpr std::int32_t kOpenRequest = 7;   // the GET request could not be formed
inline constexpr std::int32_t kSend = 8;          // sending, the TLS handshake or certificate check
inline constexpr std::int32_t kReceive = 9;       // no readable response
inline constexpr std::int32_t kQueryData = 11;    // not produced on this transport
inline constexpr std::int32_t kRead = 12;         // the body broke off or fell short of its size
inline constexpr std::int32_t kFile = 18;         // creating or writing the target file
}  // namespace download_error

struct DownloadResult {
  bool ok = false;
  std::int32_t errorType = 0;
  std::uint32_t errorCode = 0;  // the system error code of the failing step
};

// Called on the downloading thread with the percentage done and 0. Only called when the
// size is known (HEAD gave a Content-Length).
using DownloadProgress = std::function<void(std::uint32_t percent, std::uint32_t reserved)>;

// userAgent empty: "OrvoDownloader/1.0". An existing file at path is replaced once the
// response body starts; a failed download leaves its partial file for the caller.
DownloadResult DownloadFile(const std::wstring& url, const std::wstring& path, const DownloadProgress& progress,
                            const std::wstring& userAgent);

}  // namespace net
