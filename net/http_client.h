#pragma once
// Small whole-response HTTP requests (the manifest download, event reports). Synchronous on
// the calling thread; every operation opens and closes its own session, so operations on
// different threads share nothing. Nothing is logged here: callers log.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http_transport.h"

namespace net {

struct HttpResult {
  bool ok = false;          // the request was sent and a response was received and read
  std::int32_t status = 0;  // 0 when ok is false
  std::string body;         // UTF-8; empty when ok is false
};

// ok, status below 400 and a body.
bool IsHttpSuccess(const HttpResult& result);

// charset: the character set to assume when the response declares none.
HttpResult HttpGet(const std::string& url, const std::wstring& charset);
// The body is sent as raw bytes with Content-Length and Content-Type headers.
HttpResult HttpPost(const std::string& url, const std::string& body, const std::string& contentType);

// One request: sent once with up to three attempts, read, then destroyed. Never shared.
class HttpRequest {
 public:
  explicit HttpRequest(std::wstring url);

  void SetCharset(std::wstring charset) { charset_ = std::move(charset); }
  void SetExtraHeaders(std::wstring headers) { extraHeaders_ = std::move(headers); }
  void SetBody(std::string_view bytes) { body_ = std::string(bytes); }

  // method: "GET" or "POST" in any letter case. True when an attempt completed.
  bool Send(std::wstring_view method);

  const std::wstring& charset() const { return charset_; }  // the response's, if declared
  const std::wstring& rawHeaders() const { return rawHeaders_; }
  const std::wstring& statusText() const { return statusText_; }
  const std::string& responseBytes() const { return responseBytes_; }
  const std::wstring& responseText() const { return responseText_; }

 private:
  enum class Attempt { Completed, Failed };
  Attempt Try(const std::wstring& method, platform::HttpExchange& exchange);
  bool SendThroughBrowserProxy(platform::HttpExchange& exchange, platform::HttpResponse* response);
  bool AppendBody(std::string_view chunk);
  void TakeResponse(const platform::HttpResponse& response);

  std::wstring url_;
  std::optional<platform::HttpSession> session_;  // the open handle, from the first Send
  std::wstring charset_;
  std::wstring extraHeaders_;
  std::optional<std::string> body_;
  std::wstring rawHeaders_;
  std::wstring statusText_;
  std::string responseBytes_;
  std::wstring responseText_;
  std::string received_;  // the body of the exchange in progress
};

}  // namespace net
