#include "tests/net/net_fixture.h"

#include <cstdlib>

namespace orvo::test {

void Router::Add(const std::string& path, Handler handler) {
  std::lock_guard lock(table_->mutex);
  table_->routes[path] = std::move(handler);
}

void Router::AddBody(const std::string& path, int status, std::string body, std::vector<std::string> headers) {
  Add(path, [status, body = std::move(body), headers = std::move(headers)](const SeenRequest& request, Wire& wire) {
    std::string response = Response(status, body, headers);
    if (request.method == "HEAD") response.resize(response.size() - body.size());
    return wire.Send(response);
  });
}

Handler Router::handler() {
  return [table = table_](const SeenRequest& request, Wire& wire) {
    Handler route;
    {
      std::lock_guard lock(table->mutex);
      auto it = table->routes.find(PathOf(request.target));
      if (it != table->routes.end()) route = it->second;
    }
    if (!route) return wire.Send(Response(404, "<html>no such page</html>"));
    return route(request, wire);
  };
}

std::string PathOf(const std::string& target) {
  std::string path = target;
  if (auto scheme = path.find("://"); scheme != std::string::npos) {
    auto slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  return path.substr(0, path.find('?'));
}

std::string ReadTestData(const std::string& name) {
  return ReadHostFile(std::filesystem::path(ORVO_SOURCE_DIR) / "tests/data/net" / name);
}

std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('0' + (i * 7 + i / 251) % 75);
  return bytes;
}

NetTest::NetTest() {
  // The machine's own proxy settings must not steer the tests.
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
}

void NetTest::WritePrefixFile(const std::string& name, const std::string& text) {
  WriteHostFile(prefix_.root() / name, text);
}

void NetTest::WriteConnectTo(const std::vector<std::string>& lines) {
  std::string text = "# test routes to loopback\n";
  for (const auto& line : lines) text += line + "\n";
  WritePrefixFile("connect-to.txt", text);
}

LoopbackServer& NetTest::Server() {
  if (!server_) server_ = std::make_unique<LoopbackServer>(routes_.handler());
  return *server_;
}

}  // namespace orvo::test
