#include "net/file_downloader.h"

#include <algorithm>
#include <optional>
#include <regex>

#include "platform/file.h"
#include "platform/http_transport.h"
#include "platform/text.h"

namespace net {

namespace {

constexpr wchar_t kDefaultUserAgent[] = L"OrvoDownloader/1.0";

DownloadResult Failed(std::int32_t errorType, platform::DWORD errorCode) {
  DownloadResult result;
  result.errorType = errorType;
  result.errorCode = errorCode;
  return result;
}

std::int32_t ErrorTypeOf(platform::HttpStep step) {
  switch (step) {
    case platform::HttpStep::Done: return download_error::kNone;
    case platform::HttpStep::Request: return download_error::kOpenRequest;
    case platform::HttpStep::Connect: return download_error::kConnect;
    case platform::HttpStep::Send: return download_error::kSend;
    case platform::HttpStep::Receive: return download_error::kReceive;
    case platform::HttpStep::Read: return download_error::kRead;
    case platform::HttpStep::Sink: return download_error::kFile;
  }
  return download_error::kRead;
}

// The host part keeps everything between "://" and the first "/". A trailing ":digits"
// there is a port, and the connection goes to it; anything else stays part of the name
// (and then cannot resolve).
void SplitPort(const std::wstring& hostPart, std::wstring* host, std::uint16_t* port) {
  *host = hostPart;
  auto colon = hostPart.rfind(L':');
  if (colon == std::wstring::npos || colon + 1 == hostPart.size() || hostPart.size() - colon - 1 > 5) return;
  if (hostPart.find(L']') != std::wstring::npos && hostPart.rfind(L']') > colon) return;  // inside [v6]
  std::uint32_t value = 0;
  for (std::size_t i = colon + 1; i < hostPart.size(); ++i) {
    if (hostPart[i] < L'0' || hostPart[i] > L'9') return;
    value = value * 10 + static_cast<std::uint32_t>(hostPart[i] - L'0');
  }
  if (value == 0 || value > 65535) return;
  *host = hostPart.substr(0, colon);
  *port = static_cast<std::uint16_t>(value);
}

}  // namespace

DownloadResult DownloadFile(const std::wstring& url, const std::wstring& path, const DownloadProgress& progress,
                            const std::wstring& userAgent) {
  const std::wstring agent = userAgent.empty() ? std::wstring(kDefaultUserAgent) : userAgent;

  static const std::wregex kUrlForm(L"^((http|https|ftp)://)(.+?)(/.*)", std::regex::ECMAScript);
  std::wsmatch parts;
  if (!std::regex_match(url, parts, kUrlForm)) return Failed(download_error::kBadUrl, platform::GetLastError());
  // An ftp URL is fetched over plain HTTP, as WinHTTP would.
  const bool secure = platform::EqualsNoCase(parts[2].str(), L"HTTPS");

  platform::HttpExchange request;
  request.secure = secure;
  request.port = secure ? 443 : 80;
  SplitPort(parts[3].str(), &request.host, &request.port);
  request.path = parts[4].str();
  request.noCache = true;

  // The platform's defaults, stated: no resolve limit, connect 60 s, send and receive 30 s.
  auto session = platform::HttpSession::Open(agent, platform::HttpTimeouts{});
  if (!session) return Failed(download_error::kOpen, platform::GetLastError());

  // The size, if the server tells it. Every failure here leaves the size unknown.
  std::uint64_t total = 0;
  request.method = L"HEAD";
  auto head = session->Exchange(request, nullptr);
  if (head.done() && head.contentLength) total = *head.contentLength;

  // The target is created (or truncated) when the body starts, so a request that fails
  // before any answer leaves an existing file untouched.
  std::optional<platform::File> file;
  platform::DWORD fileError = 0;
  auto openFile = [&]() {
    file = platform::File::Open(path, platform::File::Access::ReadWrite, platform::File::Disposition::CreateAlways);
    if (!file) fileError = platform::GetLastError();
    return file.has_value();
  };

  std::uint64_t received = 0;
  request.method = L"GET";
  auto response = session->Exchange(request, [&](std::string_view chunk) {
    if (!file && !openFile()) {
      platform::SetLastError(fileError);
      return false;
    }
    // Chunks are at most the transport's buffer; each goes to the file as it arrives.
    std::uint32_t written = 0;
    if (!file->Write(chunk.data(), static_cast<std::uint32_t>(chunk.size()), &written) ||
        written != chunk.size()) {
      return false;
    }
    received += chunk.size();
    if (progress && total > 0) {
      // A body longer than the announced size is kept whole; the percentage stops at 100.
      std::uint64_t percent = std::min<std::uint64_t>(received * 100 / total, 100);
      progress(static_cast<std::uint32_t>(percent), 0);
    }
    return true;
  });
  if (!response.done()) return Failed(ErrorTypeOf(response.step), response.error);
  if (!file && !openFile()) return Failed(download_error::kFile, fileError);  // an empty body
  // The response ended before the size HEAD announced: a short file is never a download.
  if (received < total) return Failed(download_error::kRead, platform::winhttp::kErrorConnectionError);

  DownloadResult result;
  result.ok = true;
  return result;
}

}  // namespace net
