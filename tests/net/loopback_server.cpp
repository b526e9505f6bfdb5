#include "tests/net/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <stdexcept>

namespace orvo::test {

namespace {

constexpr int kSocketTimeoutSeconds = 10;
constexpr std::size_t kHeadLimit = 64 * 1024;

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  auto end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

void SetTimeouts(int fd) {
  timeval tv{kSocketTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int BindLoopback(const std::string& address, std::uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("bind failed on " + address);
  }
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  *port = ntohs(addr.sin_port);
  return fd;
}

// The byte stream of one connection, plain or TLS.
class Channel : public Wire {
 public:
  Channel(int fd, SSL* ssl, const std::atomic<bool>& stopping) : fd_(fd), ssl_(ssl), stopping_(stopping) {}

  bool Send(std::string_view bytes) override {
    while (!bytes.empty()) {
      long n = ssl_ != nullptr ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                               : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  bool Pause(std::chrono::milliseconds duration) override {
    auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
      if (stopping_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !stopping_;
  }

  // Appends what arrives to buffer; false at the end of the stream or on a timeout.
  bool Receive(std::string* buffer) {
    char chunk[16384];
    long n = ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<std::size_t>(n));
    return true;
  }

 private:
  int fd_;
  SSL* ssl_;
  const std::atomic<bool>& stopping_;
};

// Reads one request from the channel (pending bytes in *buffer). False when the peer is done.
bool ReadRequest(Channel& channel, std::string* buffer, SeenRequest* request) {
  std::size_t end;
  while ((end = buffer->find("\r\n\r\n")) == std::string::npos) {
    if (buffer->size() > kHeadLimit || !channel.Receive(buffer)) return false;
    // Not HTTP (a TLS hello sent to the plain server, say): hang up at once.
    const std::string_view head = std::string_view(*buffer).substr(0, buffer->find("\r\n\r\n"));
    if (std::any_of(head.begin(), head.end(), [](char c) {
          auto u = static_cast<unsigned char>(c);
          return u >= 0x7F || (u < 0x20 && u != '\r' && u != '\n' && u != '\t');
        })) {
      return false;
    }
  }
  std::string head = buffer->substr(0, end);
  buffer->erase(0, end + 4);
  std::size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  auto firstSpace = requestLine.find(' ');
  auto secondSpace = requestLine.find(' ', firstSpace + 1);
  if (firstSpace == std::string::npos || secondSpace == std::string::npos) return false;
  request->method = requestLine.substr(0, firstSpace);
  request->target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  std::size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (at < head.size()) {
    std::size_t next = head.find("\r\n", at);
    if (next == std::string::npos) next = head.size();
    std::string line = head.substr(at, next - at);
    at = next + 2;
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = Lower(Trim(line.substr(0, colon)));
    std::string value = Trim(line.substr(colon + 1));
    auto& slot = request->headers[name];
    slot = slot.empty() ? value : slot + ", " + value;
  }
  std::size_t length = 0;
  if (auto it = request->headers.find("content-length"); it != request->headers.end()) {
    length = std::stoul(it->second);
  }
  while (buffer->size() < length) {
    if (!channel.Receive(buffer)) return false;
  }
  request->body = buffer->substr(0, length);
  buffer->erase(0, length);
  return true;
}

void LoadIdentity(SSL_CTX* ctx, const TlsIdentity& identity) {
  std::unique_ptr<BIO, decltype(&BIO_free)> certs(
      BIO_new_mem_buf(identity.certificatePem.data(), static_cast<int>(identity.certificatePem.size())), BIO_free);
  X509* leaf = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr);
  if (leaf == nullptr || SSL_CTX_use_certificate(ctx, leaf) != 1) throw std::runtime_error("bad certificate");
  X509_free(leaf);
  while (X509* extra = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr)) {
    SSL_CTX_add_extra_chain_cert(ctx, extra);  // takes ownership
  }
  ERR_clear_error();
  std::unique_ptr<BIO, decltype(&BIO_free)> key(
      BIO_new_mem_buf(identity.keyPem.data(), static_cast<int>(identity.keyPem.size())), BIO_free);
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr);
  if (pkey == nullptr || SSL_CTX_use_PrivateKey(ctx, pkey) != 1) throw std::runtime_error("bad key");
  EVP_PKEY_free(pkey);
}

}  // namespace

std::string SeenRequest::Header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  return it == headers.end() ? std::string() : it->second;
}

std::string Response(int status, std::string_view body, const std::vector<std::string>& headers, bool contentLength) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + (status < 400 ? " OK" : " Error") + "\r\n";
  for (const auto& header : headers) out += header + "\r\n";
  if (contentLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  else out += "Connection: close\r\n";
  out += "\r\n";
  out.append(body);
  return out;
}

LoopbackServer::LoopbackServer(Handler handler, const TlsIdentity* tls, const std::string& address)
    : handler_(std::move(handler)), address_(address) {
  std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the test
  if (tls != nullptr) {
    tls_.reset(SSL_CTX_new(TLS_server_method()));
    LoadIdentity(tls_.get(), *tls);
  }
  listenFd_ = BindLoopback(address, &port_);
  if (listen(listenFd_, 64) != 0) {
    close(listenFd_);
    throw std::runtime_error("listen failed");
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  acceptor_.join();
  close(listenFd_);
  {
    std::lock_guard lock(mutex_);
    for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
  }
  for (auto& thread : connections_) thread.join();
}

std::string LoopbackServer::Origin(const std::string& host) const {
  return std::string(tls_ ? "https://" : "http://") + (host.empty() ? address_ : host) + ":" + std::to_string(port_);
}

std::vector<SeenRequest> LoopbackServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t LoopbackServer::CountRequests(const std::string& method, const std::string& targetSuffix) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const SeenRequest& r) {
    return r.method == method && r.target.size() >= targetSuffix.size() &&
           r.target.compare(r.target.size() - targetSuffix.size(), targetSuffix.size(), targetSuffix) == 0;
  }));
}

void LoopbackServer::AcceptLoop() {
  while (!stopping_) {
    pollfd waiting{listenFd_, POLLIN, 0};
    if (poll(&waiting, 1, 20) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    SetTimeouts(fd);
    std::lock_guard lock(mutex_);
    openFds_.push_back(fd);
    connections_.emplace_back([this, fd] { Serve(fd); });
  }
}

void LoopbackServer::Serve(int fd) {
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(nullptr, SSL_free);
  bool ready = true;
  if (tls_) {
    ssl.reset(SSL_new(tls_.get()));
    SSL_set_fd(ssl.get(), fd);
    ready = SSL_accept(ssl.get()) == 1;  // a client that rejects the certificate ends here
  }
  if (ready) {
    Channel channel(fd, ssl.get(), stopping_);
    std::string pending;
    SeenRequest request;
    while (!stopping_ && ReadRequest(channel, &pending, &request)) {
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      bool keep = handler_(request, channel);
      if (!keep || Lower(request.Header("connection")) == "close") break;
      request = SeenRequest{};
    }
    if (ssl) SSL_shutdown(ssl.get());
  }
  ERR_clear_error();
  std::lock_guard lock(mutex_);
  openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
  close(fd);
}

RefusedPort::RefusedPort() { fd_ = BindLoopback("127.0.0.1", &port_); }
RefusedPort::~RefusedPort() { close(fd_); }

}  // namespace orvo::test
