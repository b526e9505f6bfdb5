#pragma once
// A real HTTP/1.1 server on a free loopback port, plain or TLS, whose handler writes the
// exact bytes that go on the wire: well-formed responses, broken ones, slow ones. Started
// and stopped by the test itself; every socket wait is bounded, and the destructor ends
// all connections and joins every thread.
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvo::test {

struct SeenRequest {
  std::string method;
  std::string target;  // as written: a path, or an absolute URL when sent to a proxy
  std::map<std::string, std::string> headers;  // lower-case names; repeated ones joined by ", "
  std::string body;
  std::string Header(const std::string& lowerName) const;
};

// One accepted connection, as the handler sees it.
class Wire {
 public:
  virtual ~Wire() = default;
  virtual bool Send(std::string_view bytes) = 0;
  // Sleeps in small steps; returns false early when the server is stopping.
  virtual bool Pause(std::chrono::milliseconds duration) = 0;
};

// Answers one request. Return true to keep the connection for the next request.
using Handler = std::function<bool(const SeenRequest& request, Wire& wire)>;

// A complete response with Content-Length (or none when contentLength is false: the body
// then ends with the connection, and the handler must return false).
std::string Response(int status, std::string_view body, const std::vector<std::string>& headers = {},
                     bool contentLength = true);

struct TlsIdentity {
  std::string certificatePem;  // leaf first, then any intermediates
  std::string keyPem;
};

class LoopbackServer {
 public:
  explicit LoopbackServer(Handler handler, const TlsIdentity* tls = nullptr,
                          const std::string& address = "127.0.0.1");
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string Origin(const std::string& host = "") const;  // "http://127.0.0.1:port"
  std::vector<SeenRequest> Requests() const;
  std::size_t CountRequests(const std::string& method, const std::string& targetSuffix) const;

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler handler_;
  std::string address_;
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tls_{nullptr, SSL_CTX_free};
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<int> openFds_;
  std::vector<SeenRequest> requests_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

// A port on which nothing listens for as long as this object lives (bound, never
// listening), so connections to it are refused.
class RefusedPort {
 public:
  RefusedPort();
  ~RefusedPort();
  RefusedPort(const RefusedPort&) = delete;
  RefusedPort& operator=(const RefusedPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace orvo::test
