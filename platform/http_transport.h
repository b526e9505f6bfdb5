#pragma once
// The host HTTP service: a session (WinHttpOpen) that carries out whole exchanges, one
// request and its response, and reports where an exchange stopped in the terms of the
// WinHTTP calls the networking code is written against (connect, send, receive, read).
//
// Trust: every HTTPS exchange verifies the server's certificate chain and host name against
// the system CA bundle plus the prefix's extra CA file (<prefix>/ca.pem, optional).
// Routing: the prefix's connect-to table (<prefix>/connect-to.txt, lines
// "host:port:connect-host:connect-port", '#' starts a comment) sends the connection for a
// host and port elsewhere while the URL, the Host header and the certificate check keep the
// real name. It applies to direct connections, not to a proxy's.
// Proxies: without a named proxy an exchange goes through the system proxy, taken from the
// standard environment (http_proxy, https_proxy/HTTPS_PROXY, all_proxy/ALL_PROXY,
// no_proxy/NO_PROXY) and nothing else. Redirects are followed (at most 10, never from HTTPS
// to HTTP), as WinHTTP does by default.
//
// Concurrency: sessions are independent; one session is used by one thread at a time.
// Several threads may open and use sessions at once.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win_error.h"

namespace platform {

// WinHTTP status codes the transport reports as the last error of a failed step. Never
// renumber.
namespace winhttp {
inline constexpr DWORD kErrorOutOfHandles = 12001;
inline constexpr DWORD kErrorTimeout = 12002;
inline constexpr DWORD kErrorInternalError = 12004;
inline constexpr DWORD kErrorInvalidUrl = 12005;
inline constexpr DWORD kErrorUnrecognizedScheme = 12006;
inline constexpr DWORD kErrorNameNotResolved = 12007;
inline constexpr DWORD kErrorCannotConnect = 12029;
inline constexpr DWORD kErrorConnectionError = 12030;
inline constexpr DWORD kErrorRedirectFailed = 12156;
inline constexpr DWORD kErrorInvalidServerResponse = 12152;
inline constexpr DWORD kErrorBadAutoProxyScript = 12166;
inline constexpr DWORD kErrorUnableToDownloadScript = 12167;
inline constexpr DWORD kErrorSecureFailure = 12175;
}  // namespace winhttp

// Where an exchange stopped.
enum class HttpStep {
  Done,     // the whole response arrived
  Request,  // the request could not be formed (bad host name characters, option refused)
  Connect,  // name resolution or the TCP connection (to the server or the proxy)
  Send,     // the TLS handshake and certificate check, or sending the request
  Receive,  // no complete, readable response head (status line and headers)
  Read,     // the body broke off: connection lost, or shorter than its Content-Length
  Sink,     // the body sink refused a chunk
};

struct HttpTimeouts {
  std::uint32_t resolveMs = 0;  // not enforced separately: the connect limit covers resolution
  std::uint32_t connectMs = 60000;
  std::uint32_t sendMs = 30000;
  std::uint32_t receiveMs = 30000;  // longest silence while waiting for data
};

// A named proxy as WinHTTP's proxy option takes it: a list of "host:port" or
// "scheme=host:port" entries separated by ';' or blanks, and a bypass list of host
// patterns ('*' wildcards, "<local>" for names without a dot). An empty list: no proxy.
struct HttpNamedProxy {
  std::wstring proxy;
  std::wstring bypass;
};

struct HttpExchange {
  std::wstring method;  // "GET", "POST" or "HEAD", upper case
  bool secure = false;
  std::wstring host;  // name or address, no port
  std::uint16_t port = 80;
  std::wstring path;     // path with query, starting with '/'
  std::wstring headers;  // extra header lines, each ended by CR LF
  std::optional<std::string_view> body;  // sent with its length declared; absent: none
  bool noCache = false;  // the refresh flag: Pragma and Cache-Control "no-cache"
  std::optional<HttpNamedProxy> proxy;  // absent: the system proxy
};

struct HttpResponse {
  HttpStep step = HttpStep::Request;
  DWORD error = 0;  // the WinHTTP-style code of the failing step, 0 when Done
  // Of the final response (redirects are followed, as WinHTTP does): the status line and
  // each header line ended by CR LF, then an empty line.
  std::wstring rawHeaders;
  std::wstring statusText;  // the status code as the server wrote it
  std::optional<std::uint64_t> contentLength;
  bool done() const { return step == HttpStep::Done; }
};

// Receives the final response's body chunk by chunk as it arrives; returning false stops
// the exchange at HttpStep::Sink. Exceptions it throws reach the caller of Exchange.
using HttpBodySink = std::function<bool(std::string_view chunk)>;

class HttpSession {
 public:
  // Fails (nullopt, last error set) when the HTTP library cannot start or give a handle.
  static std::optional<HttpSession> Open(std::wstring_view userAgent, const HttpTimeouts& timeouts);

  HttpSession(HttpSession&& other) noexcept;
  HttpSession& operator=(HttpSession&& other) noexcept;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  ~HttpSession();

  // One request and its whole response; the session's connections may be reused by the
  // next exchange. Sets the last error to response.error. Memory exhaustion throws
  // std::bad_alloc.
  HttpResponse Exchange(const HttpExchange& request, const HttpBodySink& sink);

 private:
  struct State;
  explicit HttpSession(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The parts of an http or https URL, as WinHttpCrackUrl splits them (a user-name part is
// split off and dropped; a fragment is not part of the path). Fails (nullopt, last error
// ERROR_WINHTTP_INVALID_URL or ERROR_WINHTTP_UNRECOGNIZED_SCHEME) for anything else.
struct CrackedUrl {
  bool secure = false;
  std::wstring host;
  std::uint16_t port = 80;
  std::wstring pathWithQuery;  // may be empty: the server's root
};
std::optional<CrackedUrl> CrackUrl(std::wstring_view url);

// The user's browser proxy configuration (WinHttpGetIEProxyConfigForCurrentUser), read from
// <prefix>/proxy.json: {"autoConfigUrl": "...", "proxy": "...", "bypass": "..."}, every key
// optional. A missing file is an empty configuration; an unreadable or malformed one fails
// (nullopt, last error set).
struct BrowserProxyConfig {
  std::wstring autoConfigUrl;
  std::wstring proxy;
  std::wstring bypass;
};
std::optional<BrowserProxyConfig> GetBrowserProxyConfig();

// The proxy an automatic-configuration script names for a URL (WinHttpGetProxyForUrl). The
// script is fetched over HTTP(S) from scriptUrl, directly. Without a script engine only its
// answers are read, not its conditions: the first string a "return" hands back that names a
// "PROXY host:port" gives the proxy list (every PROXY entry of that string, in order); a
// script that returns only "DIRECT" gives an empty list. Fails (nullopt, last error set)
// when the script cannot be fetched or names no usable answer.
std::optional<HttpNamedProxy> GetProxyForUrl(std::wstring_view url, std::wstring_view scriptUrl);

}  // namespace platform
