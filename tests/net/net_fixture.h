#pragma once
// What the networking tests share: a router for the loopback servers, a fresh prefix with
// no proxy in the environment, and writers for the prefix's network files.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/net/loopback_server.h"
#include "tests/support/test_prefix.h"

namespace orvo::test {

// Routes requests by path (query and an absolute-form prefix ignored). Unknown paths: 404.
class Router {
 public:
  void Add(const std::string& path, Handler handler);
  // A fixed answer: GET and POST get the body, HEAD the same head without it.
  void AddBody(const std::string& path, int status, std::string body, std::vector<std::string> headers = {});
  Handler handler();

 private:
  struct Table {
    std::mutex mutex;
    std::map<std::string, Handler> routes;
  };
  std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

std::string PathOf(const std::string& target);
std::string ReadTestData(const std::string& name);  // tests/data/net/<name>
// Bytes that show where each part of a body landed: "0123...".
std::string PatternBytes(std::size_t size);

class NetTest : public PrefixTest {
 protected:
  NetTest();
  void WritePrefixFile(const std::string& name, const std::string& text);
  void WriteConnectTo(const std::vector<std::string>& lines) ;
  // A server on loopback for the router, started on first use.
  LoopbackServer& Server();
  std::string Url(const std::string& path) { return Server().Origin() + path; }

  Router routes_;
  std::unique_ptr<LoopbackServer> server_;
};

}  // namespace orvo::test
