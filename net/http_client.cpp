#include "net/http_client.h"

#include <charconv>
#include <utility>

#include "platform/text.h"

namespace net {

namespace {

constexpr wchar_t kUserAgent[] = L"OrvoDownloader";
constexpr int kAttempts = 3;
constexpr std::size_t kHostBuffer = 260;     // characters, terminating zero included
constexpr std::size_t kPathBuffer = 1300;    // path with query, terminating zero included
constexpr std::size_t kProxyBuffer = 260;    // fixed browser proxy list and bypass list
constexpr std::size_t kFirstBodyBuffer = 10240;

platform::HttpTimeouts ClientTimeouts() {
  platform::HttpTimeouts timeouts;
  timeouts.resolveMs = 0;
  timeouts.connectMs = 60000;
  timeouts.sendMs = 30000;
  timeouts.receiveMs = 30000;
  return timeouts;
}

bool SendFailed(const platform::HttpResponse& response) {
  return response.step == platform::HttpStep::Request || response.step == platform::HttpStep::Connect ||
         response.step == platform::HttpStep::Send;
}

bool IsTokenChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' ||
         c == L'_';
}

// The first "charset=" (any letter case) followed by a token, anywhere in the headers.
std::optional<std::wstring> DeclaredCharset(const std::wstring& headers) {
  static constexpr std::wstring_view kKey = L"charset=";
  const std::wstring lower = platform::AsciiLower(headers);
  for (auto at = lower.find(kKey); at != std::wstring::npos; at = lower.find(kKey, at + 1)) {
    std::size_t begin = at + kKey.size();
    std::size_t end = begin;
    while (end < headers.size() && IsTokenChar(headers[end])) ++end;
    if (end > begin) return headers.substr(begin, end - begin);
  }
  return std::nullopt;
}

bool LooksTruncated(const std::wstring& text) {
  const std::wstring lower = platform::AsciiLower(text);
  return lower.find(L"<html>") != std::wstring::npos && lower.find(L"</html>") == std::wstring::npos;
}

// The status text as a signed decimal number; nothing else counts.
std::optional<std::int32_t> StatusNumber(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) {
    if (c > 0x7F) return std::nullopt;
    narrow.push_back(static_cast<char>(c));
  }
  std::int32_t value = 0;
  const char* end = narrow.data() + narrow.size();
  auto [ptr, ec] = std::from_chars(narrow.data(), end, value);
  if (narrow.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

HttpResult Finish(HttpRequest& request, bool sent) {
  HttpResult result;
  if (!sent) return result;
  auto status = StatusNumber(request.statusText());
  if (!status) return result;  // a response without a readable status is no response
  result.ok = true;
  result.status = *status;
  result.body = platform::WideToUtf8(request.responseText());
  return result;
}

}  // namespace

bool IsHttpSuccess(const HttpResult& result) { return result.ok && result.status < 400 && !result.body.empty(); }

HttpResult HttpGet(const std::string& url, const std::wstring& charset) {
  HttpRequest request(platform::Utf8ToWide(url));
  request.SetCharset(charset);
  bool sent = request.Send(L"GET");
  return Finish(request, sent);
}

HttpResult HttpPost(const std::string& url, const std::string& body, const std::string& contentType) {
  HttpRequest request(platform::Utf8ToWide(url));
  request.SetBody(body);
  request.SetExtraHeaders(L"Content-Length: " + std::to_wstring(body.size()) + L"\r\nContent-Type: " +
                          platform::Utf8ToWide(contentType) + L"\r\n");
  bool sent = request.Send(L"POST");
  return Finish(request, sent);
}

HttpRequest::HttpRequest(std::wstring url) : url_(std::move(url)) {}

bool HttpRequest::Send(std::wstring_view method) {
  if (url_.empty()) return false;
  std::wstring verb;
  if (platform::EqualsNoCase(method, L"GET")) {
    verb = L"GET";
  } else if (platform::EqualsNoCase(method, L"POST")) {
    verb = L"POST";
  } else {
    return false;
  }
  if (!session_) {
    session_ = platform::HttpSession::Open(kUserAgent, ClientTimeouts());
    if (!session_) return false;
  }
  auto parts = platform::CrackUrl(url_);
  if (!parts || parts->host.size() >= kHostBuffer || parts->pathWithQuery.size() >= kPathBuffer) return false;

  // Certificates are always verified: the manifest decides which programs run with
  // administrator rights, so an untrusted or misnamed certificate is never accepted.
  platform::HttpExchange exchange;
  exchange.method = verb;
  exchange.secure = parts->secure;
  exchange.host = parts->host;
  exchange.port = parts->port;
  exchange.path = parts->pathWithQuery;
  // Each attempt sends the extra headers once. Coalescing them into the previous attempt's
  // values would send "Content-Length: 5; 5" on a retry.
  exchange.headers = extraHeaders_;
  if (body_) exchange.body = std::string_view(*body_);

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Try(verb, exchange) == Attempt::Completed) return true;
  }
  return false;
}

HttpRequest::Attempt HttpRequest::Try(const std::wstring& method, platform::HttpExchange& exchange) {
  auto collect = [this](std::string_view chunk) { return AppendBody(chunk); };
  received_.clear();
  platform::HttpResponse response = session_->Exchange(exchange, collect);
  if (SendFailed(response)) {
    received_.clear();
    if (!SendThroughBrowserProxy(exchange, &response)) return Attempt::Failed;
  }
  // A response that never came, or a body that broke off, is not a response: a cut body
  // handed on as whole would be a failure reported as success.
  if (!response.done()) return Attempt::Failed;

  TakeResponse(response);
  if (method == L"GET" && LooksTruncated(responseText_)) return Attempt::Failed;
  return Attempt::Completed;
}

// After a failed send: the user's browser proxy configuration. A script's proxy is used for
// a second send at once; a fixed proxy is only set, for the next attempt.
bool HttpRequest::SendThroughBrowserProxy(platform::HttpExchange& exchange, platform::HttpResponse* response) {
  auto config = platform::GetBrowserProxyConfig();
  if (!config) return false;
  if (!config->autoConfigUrl.empty()) {
    auto proxy = platform::GetProxyForUrl(url_, config->autoConfigUrl);
    if (!proxy) return false;
    exchange.proxy = std::move(*proxy);
    *response = session_->Exchange(exchange, [this](std::string_view chunk) { return AppendBody(chunk); });
    return !SendFailed(*response);
  }
  if (!config->proxy.empty()) {
    // Lists that do not fit the option's buffers are skipped rather than cut: a cut list
    // could name a different proxy.
    if (config->proxy.size() < kProxyBuffer && config->bypass.size() < kProxyBuffer) {
      exchange.proxy = platform::HttpNamedProxy{config->proxy, config->bypass};
    }
  }
  return false;
}

// The body buffer starts at 10240 bytes and doubles whenever a chunk would not fit.
bool HttpRequest::AppendBody(std::string_view chunk) {
  if (received_.capacity() < kFirstBodyBuffer) received_.reserve(kFirstBodyBuffer);
  const std::size_t needed = received_.size() + chunk.size();
  if (needed > received_.capacity()) {
    std::size_t capacity = received_.capacity();
    while (capacity < needed) capacity *= 2;
    received_.reserve(capacity);
  }
  received_.append(chunk);
  return true;
}

void HttpRequest::TakeResponse(const platform::HttpResponse& response) {
  rawHeaders_ = response.rawHeaders;
  if (auto declared = DeclaredCharset(rawHeaders_)) charset_ = std::move(*declared);
  statusText_ = response.statusText;
  responseBytes_ = std::move(received_);
  received_.clear();

  // The body is taken as a zero-terminated string.
  std::string_view text(responseBytes_);
  text = text.substr(0, text.find('\0'));
  const bool utf8 = charset_.size() >= 5 && platform::EqualsNoCase(std::wstring_view(charset_).substr(0, 5), L"utf-8");
  responseText_ = utf8 ? platform::Utf8ToWide(text) : platform::AnsiToWide(text);
  if (responseText_.empty()) responseText_ = platform::AnsiToWide(text);
}

}  // namespace net
