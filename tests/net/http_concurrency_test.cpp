// Requests and downloads on several threads at once share nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "net/file_downloader.h"
#include "net/http_client.h"
#include "tests/net/net_fixture.h"

namespace orvo::test {
namespace {

class HttpConcurrencyTest : public NetTest {};

TEST_F(HttpConcurrencyTest, ParallelRequestsEachGetTheirOwnAnswer) {
  for (int i = 0; i < 4; ++i) routes_.AddBody("/r" + std::to_string(i), 200, PatternBytes(20000 + i));
  const std::string origin = Server().Origin();
  std::filesystem::create_directories(prefix_.Host(prefix_.C(L"dl")));
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      const std::string path = "/r" + std::to_string(i);
      for (int round = 0; round < 3; ++round) {
        net::HttpResult get = net::HttpGet(origin + path, L"utf-8");
        net::HttpResult post = net::HttpPost(origin + path, "x", "text/plain");
        std::wstring target = prefix_.C(L"dl\\f" + std::to_wstring(i));
        std::wstring url(origin.begin(), origin.end());
        net::DownloadResult file = net::DownloadFile(url + std::wstring(path.begin(), path.end()), target, nullptr, L"");
        if (get.body == PatternBytes(20000 + i) && post.body == get.body && file.ok &&
            ReadHostFile(prefix_.Host(target)) == get.body) {
          ++good;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good, 12);
}

}  // namespace
}  // namespace orvo::test
