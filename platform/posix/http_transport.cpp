#include "platform/http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/prefix.h"
#include "platform/text.h"

namespace platform {

namespace {

// curl_global_init is not thread-safe and must run before any handle exists.
CURLcode GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result;
}

struct EasyCloser {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using CurlEasy = std::unique_ptr<CURL, EasyCloser>;

struct SlistCloser {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, SlistCloser>;

// Appends to an owned list; the list stays whole (and owned) when appending fails.
void Append(CurlSlist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  (void)list.release();
  list.reset(grown);
}

// Header bytes are octets; WinHTTP hands them to the caller one character per byte.
std::wstring Widen(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) out.push_back(static_cast<wchar_t>(c));
  return out;
}

std::string Trim(std::string_view text) {
  auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  auto end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return out.str();
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// ---- prefix files ----

// <prefix>/connect-to.txt, one curl connect-to entry per line.
CurlSlist LoadConnectTo() {
  CurlSlist list;
  auto text = ReadWholeFile(PrefixRoot() / "connect-to.txt");
  if (!text) return list;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    line = Trim(line.substr(0, line.find('#')));
    if (!line.empty()) Append(list, line);
  }
  return list;
}

// The system bundle plus <prefix>/ca.pem, or nothing when the prefix adds no CA (curl then
// uses its built-in bundle and folder).
std::optional<std::string> LoadTrustBundle() {
  auto extra = ReadWholeFile(PrefixRoot() / "ca.pem");
  if (!extra) return std::nullopt;
  std::string bundle;
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info != nullptr && info->cainfo != nullptr) {
    if (auto system = ReadWholeFile(info->cainfo)) bundle = std::move(*system);
  }
  bundle += "\n";
  bundle += *extra;
  return bundle;
}

// ---- names and URLs ----

bool IsHostNameChar(unsigned char c) {
  return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c >= 0x80;
}

// The host as it goes into a URL; nullopt when it cannot be a host name (a user-name part,
// a stray port, blanks...), which can never resolve.
std::optional<std::string> UrlHost(std::wstring_view host) {
  std::string name = WideToUtf8(host);
  if (name.empty()) return std::nullopt;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {  // an IPv6 address
    for (unsigned char c : name.substr(1, name.size() - 2)) {
      if (std::isxdigit(c) == 0 && c != ':' && c != '.') return std::nullopt;
    }
    return name;
  }
  for (unsigned char c : name) {
    if (!IsHostNameChar(c)) return std::nullopt;
  }
  return name;
}

// WinHTTP escapes unsafe characters of the object name unless told not to; so does this.
std::string EscapePath(std::wstring_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : WideToUtf8(path)) {
    bool unsafe = c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' ||
                  c == '^' || c == '`' || c == '{' || c == '|' || c == '}' || c == '#';
    if (unsafe) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (out.empty() || out.front() != '/') out.insert(out.begin(), '/');
  return out;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  // Iterative '*' matching, both sides already lower case.
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && (pattern[p] == text[t] || pattern[p] == '?')) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> SplitList(std::string_view text, std::string_view separators) {
  std::vector<std::string> items;
  std::size_t at = 0;
  while (at <= text.size()) {
    auto end = text.find_first_of(separators, at);
    if (end == std::string_view::npos) end = text.size();
    auto item = Trim(text.substr(at, end - at));
    if (!item.empty()) items.push_back(std::move(item));
    at = end + 1;
  }
  return items;
}

bool Bypassed(const std::string& host, std::wstring_view bypass) {
  const std::string name = Lower(host);
  for (const auto& entry : SplitList(WideToUtf8(bypass), "; \t,")) {
    std::string pattern = Lower(entry);
    if (pattern == "<local>") {
      if (name.find('.') == std::string::npos) return true;
    } else if (WildcardMatch(pattern, name)) {
      return true;
    }
  }
  return false;
}

// no_proxy as curl reads it: names or domains separated by commas ("example.com" also
// covers "www.example.com"), "*" for every host.
bool ExemptFromProxy(const std::string& host, std::string_view noProxy) {
  std::string name = Lower(host);
  if (name.size() > 2 && name.front() == '[') name = name.substr(1, name.size() - 2);
  for (auto entry : SplitList(noProxy, ", \t")) {
    entry = Lower(entry);
    if (entry == "*") return true;
    if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (name == entry) return true;
    if (name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

// The proxy URL for curl from a named proxy list: the entry for the request's scheme, else
// the first entry without a scheme; "" for none.
std::string ProxyFromList(std::wstring_view list, bool secure) {
  std::string plain;
  for (const auto& entry : SplitList(WideToUtf8(list), "; \t")) {
    auto equals = entry.find('=');
    if (equals == std::string::npos) {
      if (plain.empty()) plain = entry;
      continue;
    }
    std::string scheme = Lower(entry.substr(0, equals));
    if (scheme == (secure ? "https" : "http")) {
      plain = entry.substr(equals + 1);
      break;
    }
  }
  if (plain.empty() || plain.find("://") != std::string::npos) return plain;
  return "http://" + plain;
}

// ---- one transfer ----

struct Transfer {
  const HttpBodySink* sink = nullptr;
  std::string head;    // the current response's header block
  std::string status;  // its status code as written
  bool headComplete = false;
  bool finalHead = false;  // the head of a response that is not 1xx is complete
  bool requestStarted = false;
  bool sinkRefused = false;
  DWORD sinkError = 0;
  std::exception_ptr exception;
};

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  try {
    std::string_view line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {  // a new response (after 1xx or a redirect)
      transfer->head.clear();
      transfer->status.clear();
      transfer->headComplete = false;
      transfer->finalHead = false;
      auto space = line.find(' ');
      if (space != std::string_view::npos) {
        auto rest = line.substr(space + 1);
        transfer->status = std::string(rest.substr(0, rest.find_first_of(" \r\n")));
      }
    }
    transfer->head.append(line);
    if (line == "\r\n" || line == "\n") {
      transfer->headComplete = true;
      transfer->finalHead = transfer->status.empty() || transfer->status[0] != '1';
    }
  } catch (...) {
    transfer->exception = std::current_exception();
    return 0;
  }
  return length;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  if (transfer->sink == nullptr || !*transfer->sink) return length;
  try {
    if (!(*transfer->sink)(std::string_view(data, length))) {
      transfer->sinkRefused = true;
      transfer->sinkError = GetLastError();
      return CURL_WRITEFUNC_ERROR;
    }
  } catch (...) {
    transfer->exception = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

int OnRequestReady(void* user, char*, char*, int, int) {
  static_cast<Transfer*>(user)->requestStarted = true;
  return CURL_PREREQFUNC_OK;
}

// Where a failed transfer stopped and the WinHTTP code for it. Codes that can come at more
// than one point are placed by how far the transfer got.
std::pair<HttpStep, DWORD> Classify(CURLcode code, const Transfer& transfer, CURL* easy) {
  curl_off_t connectTime = 0;
  curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectTime);
  auto byProgress = [&]() {
    if (transfer.finalHead) return HttpStep::Read;
    if (transfer.requestStarted) return HttpStep::Receive;
    return connectTime > 0 ? HttpStep::Send : HttpStep::Connect;
  };
  switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_SETOPT_OPTION_SYNTAX:
      return {HttpStep::Request, winhttp::kErrorInvalidUrl};
    case CURLE_UNSUPPORTED_PROTOCOL:  // also a status line that is not HTTP (HTTP/0.9)
      if (transfer.requestStarted) return {HttpStep::Receive, winhttp::kErrorInvalidServerResponse};
      return {HttpStep::Request, winhttp::kErrorUnrecognizedScheme};
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return {HttpStep::Connect, winhttp::kErrorNameNotResolved};
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
      return {HttpStep::Connect, winhttp::kErrorCannotConnect};
    case CURLE_WEIRD_SERVER_REPLY:
      return {HttpStep::Receive, winhttp::kErrorInvalidServerResponse};
    case CURLE_TOO_MANY_REDIRECTS:
      return {HttpStep::Receive, winhttp::kErrorRedirectFailed};
    case CURLE_OPERATION_TIMEDOUT:
      return {byProgress(), winhttp::kErrorTimeout};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return {HttpStep::Send, winhttp::kErrorSecureFailure};
    case CURLE_SEND_ERROR:
      return {transfer.finalHead ? HttpStep::Read : HttpStep::Send, winhttp::kErrorConnectionError};
    case CURLE_GOT_NOTHING:
      return {HttpStep::Receive, winhttp::kErrorConnectionError};
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
    case CURLE_BAD_CONTENT_ENCODING:
      return {transfer.finalHead ? HttpStep::Read : HttpStep::Receive,
              winhttp::kErrorConnectionError};
    case CURLE_PARTIAL_FILE:
      return {HttpStep::Read, winhttp::kErrorConnectionError};
    default:
      return {byProgress(), winhttp::kErrorInternalError};
  }
}

}  // namespace

// ---- the session ----

struct HttpSession::State {
  CurlEasy easy;
  CurlSlist connectTo;
  std::optional<std::string> trust;
};

HttpSession::HttpSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpSession::HttpSession(HttpSession&& other) noexcept = default;
HttpSession& HttpSession::operator=(HttpSession&& other) noexcept = default;
HttpSession::~HttpSession() = default;

std::optional<HttpSession> HttpSession::Open(std::wstring_view userAgent, const HttpTimeouts& timeouts) {
  if (GlobalInit() != CURLE_OK) {
    SetLastError(winhttp::kErrorInternalError);
    return std::nullopt;
  }
  auto state = std::make_unique<State>();
  state->easy.reset(curl_easy_init());
  if (!state->easy) {
    SetLastError(winhttp::kErrorOutOfHandles);
    return std::nullopt;
  }
  state->connectTo = LoadConnectTo();
  state->trust = LoadTrustBundle();

  CURL* easy = state->easy.get();
  bool set = true;
  auto check = [&set](CURLcode code) { set = set && code == CURLE_OK; };
  check(curl_easy_setopt(easy, CURLOPT_USERAGENT, WideToUtf8(userAgent).c_str()));
  check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  check(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L));
  check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  // WinHTTP follows redirects by default, never from HTTPS down to HTTP.
  check(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L));
  check(curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L));
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
  if (state->trust) {
    curl_blob blob{state->trust->data(), state->trust->size(), CURL_BLOB_NOCOPY};
    check(curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob));
  }
  check(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 64L * 1024L));
  if (timeouts.connectMs != 0) {
    check(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connectMs)));
  }
  // Send and receive limits are limits on silence: less than one byte a second over that
  // long ends the transfer. curl keeps one such limit for both directions.
  std::uint32_t silenceMs = std::max(timeouts.sendMs, timeouts.receiveMs);
  if (silenceMs != 0) {
    check(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L));
    check(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>((silenceMs + 999) / 1000)));
  }
  if (!set) {
    SetLastError(winhttp::kErrorInternalError);
    return std::nullopt;
  }
  SetLastError(0);
  return HttpSession(std::move(state));
}

HttpResponse HttpSession::Exchange(const HttpExchange& request, const HttpBodySink& sink) {
  HttpResponse response;
  auto fail = [&response](HttpStep step, DWORD error) {
    response.step = step;
    response.error = error;
    SetLastError(error);
    return response;
  };
  auto host = UrlHost(request.host);
  if (!host) return fail(HttpStep::Connect, winhttp::kErrorNameNotResolved);
  const std::string url = std::string(request.secure ? "https://" : "http://") + *host + ":" +
                          std::to_string(request.port) + EscapePath(request.path);

  CURL* easy = state_->easy.get();
  CurlSlist headers;
  for (const auto& line : SplitList(WideToUtf8(request.headers), "\r\n")) Append(headers, line);
  if (request.noCache) {
    Append(headers, "Pragma: no-cache");
    Append(headers, "Cache-Control: no-cache");
  }
  // WinHTTP sends neither.
  Append(headers, "Accept:");
  Append(headers, "Expect:");

  // The proxy decision is made here, whole: curl is told "this proxy" or "none", never left
  // to read the environment itself.
  std::string proxy;
  if (request.proxy) {
    if (!Bypassed(*host, request.proxy->bypass)) proxy = ProxyFromList(request.proxy->proxy, request.secure);
  } else {
    // The system proxy: the standard environment, read here so that nothing else can steer
    // it. Upper-case HTTP_PROXY is ignored as curl does (CGI sets it from a request header).
    static constexpr const char* kSecure[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", nullptr};
    static constexpr const char* kPlain[] = {"http_proxy", "all_proxy", "ALL_PROXY", nullptr};
    for (const char* const* name = request.secure ? kSecure : kPlain; *name != nullptr && proxy.empty(); ++name) {
      proxy = Env(*name);
    }
    std::string noProxy = Env("no_proxy");
    if (noProxy.empty()) noProxy = Env("NO_PROXY");
    if (!proxy.empty() && ExemptFromProxy(*host, noProxy)) proxy.clear();
  }

  Transfer transfer;
  transfer.sink = &sink;
  bool set = true;
  auto check = [&set](CURLcode code) { set = set && code == CURLE_OK; };
  check(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
  check(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));  // resets the method of the last exchange
  if (request.method == L"HEAD") {
    check(curl_easy_setopt(easy, CURLOPT_NOBODY, 1L));
  } else if (request.method == L"POST") {
    std::string_view body = request.body.value_or(std::string_view());
    check(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
    check(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data() != nullptr ? body.data() : ""));
  } else if (request.method != L"GET") {
    return fail(HttpStep::Request, winhttp::kErrorInternalError);
  }
  check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()));
  check(curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str()));
  check(curl_easy_setopt(easy, CURLOPT_NOPROXY, ""));
  // Through a proxy the proxy makes the connection; the connect-to table would instead turn
  // the request into a tunnel to the table's address.
  check(curl_easy_setopt(easy, CURLOPT_CONNECT_TO, proxy.empty() ? state_->connectTo.get() : nullptr));
  check(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, request.secure ? "https" : "http,https"));
  check(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader));
  check(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer));
  check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody));
  check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer));
  check(curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &OnRequestReady));
  check(curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer));
  if (!set) return fail(HttpStep::Request, winhttp::kErrorInternalError);

  const CURLcode code = curl_easy_perform(easy);
  // Nothing of this exchange may outlive it inside the handle.
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, nullptr);
  if (transfer.exception) std::rethrow_exception(transfer.exception);
  if (code == CURLE_OUT_OF_MEMORY) throw std::bad_alloc();

  if (transfer.finalHead) {
    response.rawHeaders = Widen(transfer.head);
    response.statusText = Widen(transfer.status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0) {
      response.contentLength = static_cast<std::uint64_t>(length);
    }
  }
  if (code == CURLE_OK) {
    response.step = HttpStep::Done;
    response.error = 0;
    SetLastError(0);
    return response;
  }
  if (transfer.sinkRefused) {
    response.step = HttpStep::Sink;
    response.error = transfer.sinkError;
    SetLastError(transfer.sinkError);
    return response;
  }
  auto [step, error] = Classify(code, transfer, easy);
  return fail(step, error);
}

std::optional<CrackedUrl> CrackUrl(std::wstring_view url) {
  static const std::wregex kUrl(
      LR"(^([A-Za-z][A-Za-z0-9+.-]*)://([^/?#@]*@)?(\[[^\]/]*\]|[^/?#:]*)(:([^/?#]*))?([^#]*)(#.*)?$)");
  std::wstring text(url);
  std::wsmatch parts;
  if (!std::regex_match(text, parts, kUrl)) {
    SetLastError(winhttp::kErrorUnrecognizedScheme);
    return std::nullopt;
  }
  CrackedUrl cracked;
  const std::wstring scheme = AsciiLower(parts[1].str());
  if (scheme != L"http" && scheme != L"https") {
    SetLastError(winhttp::kErrorUnrecognizedScheme);
    return std::nullopt;
  }
  cracked.secure = scheme == L"https";
  cracked.host = parts[3].str();
  cracked.port = cracked.secure ? 443 : 80;
  if (parts[4].matched) {
    const std::wstring port = parts[5].str();
    unsigned long value = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (wchar_t c : port) {
      digits = digits && c >= L'0' && c <= L'9';
      if (digits) value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (!digits || value == 0 || value > 65535) {
      SetLastError(winhttp::kErrorInvalidUrl);
      return std::nullopt;
    }
    cracked.port = static_cast<std::uint16_t>(value);
  }
  cracked.pathWithQuery = parts[6].str();
  if (cracked.host.empty() || (!cracked.pathWithQuery.empty() && cracked.pathWithQuery.front() != L'/' &&
                               cracked.pathWithQuery.front() != L'?')) {
    SetLastError(winhttp::kErrorInvalidUrl);
    return std::nullopt;
  }
  if (!cracked.pathWithQuery.empty() && cracked.pathWithQuery.front() == L'?') {
    cracked.pathWithQuery.insert(cracked.pathWithQuery.begin(), L'/');
  }
  SetLastError(0);
  return cracked;
}

// ---- proxy configuration ----

std::optional<BrowserProxyConfig> GetBrowserProxyConfig() {
  BrowserProxyConfig config;
  const auto path = PrefixRoot() / "proxy.json";
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    SetLastError(0);
    return config;
  }
  auto text = ReadWholeFile(path);
  if (!text) {
    SetLastError(win::kErrorAccessDenied);
    return std::nullopt;
  }
  auto document = nlohmann::json::parse(*text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    SetLastError(win::kErrorInvalidData);
    return std::nullopt;
  }
  auto field = [&document](const char* key, std::wstring* out) {
    auto it = document.find(key);
    if (it == document.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    *out = Utf8ToWide(it->get_ref<const std::string&>());
    return true;
  };
  if (!field("autoConfigUrl", &config.autoConfigUrl) || !field("proxy", &config.proxy) ||
      !field("bypass", &config.bypass)) {
    SetLastError(win::kErrorInvalidData);
    return std::nullopt;
  }
  SetLastError(0);
  return config;
}

std::optional<HttpNamedProxy> GetProxyForUrl(std::wstring_view url, std::wstring_view scriptUrl) {
  (void)url;  // the script's conditions are not evaluated, so its answer is the same for all
  constexpr std::size_t kScriptLimit = 1 << 20;
  auto failWith = [](DWORD error) -> std::optional<HttpNamedProxy> {
    SetLastError(error);
    return std::nullopt;
  };
  auto parts = CrackUrl(scriptUrl);
  if (!parts) return failWith(winhttp::kErrorUnableToDownloadScript);
  HttpExchange fetch;
  fetch.method = L"GET";
  fetch.secure = parts->secure;
  fetch.host = parts->host;
  fetch.port = parts->port;
  fetch.path = parts->pathWithQuery;
  fetch.proxy = HttpNamedProxy{};  // the script is fetched directly

  auto session = HttpSession::Open(L"OrvoDownloader", HttpTimeouts{});
  if (!session) return failWith(winhttp::kErrorUnableToDownloadScript);
  std::string script;
  bool tooLong = false;
  auto response = session->Exchange(fetch, [&](std::string_view chunk) {
    if (script.size() + chunk.size() > kScriptLimit) {
      tooLong = true;
      return false;
    }
    script.append(chunk);
    return true;
  });
  if (!response.done() || tooLong || response.statusText.size() != 3 || response.statusText[0] != L'2') {
    return failWith(winhttp::kErrorUnableToDownloadScript);
  }

  static const std::regex kReturn(R"(\breturn\s*\(?\s*("([^"\\]|\\.)*"|'([^'\\]|\\.)*'))");
  static const std::regex kProxyEntry(R"(^PROXY\s+([^\s;]+)$)", std::regex::ECMAScript | std::regex::icase);
  bool direct = false;
  for (auto it = std::sregex_iterator(script.begin(), script.end(), kReturn); it != std::sregex_iterator(); ++it) {
    std::string literal = (*it)[1].str();
    literal = literal.substr(1, literal.size() - 2);
    std::wstring list;
    for (const auto& entry : SplitList(literal, ";")) {
      std::smatch proxyEntry;
      if (std::regex_match(entry, proxyEntry, kProxyEntry)) {
        if (!list.empty()) list += L';';
        list += Utf8ToWide(proxyEntry[1].str());
      } else if (Lower(entry) == "direct") {
        direct = true;
      }
    }
    if (!list.empty()) {
      SetLastError(0);
      return HttpNamedProxy{list, L""};
    }
  }
  if (direct) {
    SetLastError(0);
    return HttpNamedProxy{};
  }
  return failWith(winhttp::kErrorBadAutoProxyScript);
}

}  // namespace platform
