#pragma once
// A real HTTP proxy (Debian's tinyproxy) on a free loopback port, started with a generated
// configuration and stopped (and reaped) by the destructor. It dies with the test process.
#include <cstdint>
#include <filesystem>
#include <string>

namespace orvo::test {

class TinyProxy {
 public:
  explicit TinyProxy(const std::filesystem::path& folder);
  ~TinyProxy();
  TinyProxy(const TinyProxy&) = delete;
  TinyProxy& operator=(const TinyProxy&) = delete;

  std::uint16_t port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  bool Start(const std::filesystem::path& folder, std::uint16_t port);
  void Stop();
  int pid_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace orvo::test
