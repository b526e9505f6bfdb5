// The file downloader against real servers on loopback.
#include "net/file_downloader.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/win_error.h"
#include "tests/net/net_fixture.h"
#include "tests/net/test_pki.h"

namespace orvo::test {
namespace {

using net::DownloadFile;
using net::DownloadResult;
namespace error = net::download_error;

constexpr platform::DWORD kCannotConnect = 12029;
constexpr platform::DWORD kNameNotResolved = 12007;
constexpr platform::DWORD kConnectionError = 12030;
constexpr platform::DWORD kSecureFailure = 12175;
constexpr platform::DWORD kInvalidServerResponse = 12152;

class FileDownloaderTest : public NetTest {
 protected:
  std::wstring Target(const std::wstring& name = L"pkg.bin") { return prefix_.C(L"dl\\" + name); }
  std::string TargetBytes(const std::wstring& name = L"pkg.bin") { return ReadHostFile(prefix_.Host(Target(name))); }
  bool TargetExists(const std::wstring& name = L"pkg.bin") { return std::filesystem::exists(prefix_.Host(Target(name))); }
  void MakeTargetFolder() { std::filesystem::create_directories(prefix_.Host(prefix_.C(L"dl"))); }
  static std::wstring W(const std::string& text) { return std::wstring(text.begin(), text.end()); }
};

TEST_F(FileDownloaderTest, ProgressRisesToHundredAndTheFileHoldsTheBytes) {
  const std::string bytes = PatternBytes(10000);
  routes_.Add("/pkg.bin", [&bytes](const SeenRequest& request, Wire& wire) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";
    if (request.method == "HEAD") return wire.Send(head);
    wire.Send(head);
    for (std::size_t at = 0; at < bytes.size(); at += 2500) {
      if (!wire.Pause(std::chrono::milliseconds(40)) || !wire.Send(bytes.substr(at, 2500))) return false;
    }
    return true;
  });
  MakeTargetFolder();
  std::vector<std::uint32_t> percents;
  std::vector<std::uint32_t> seconds;
  DownloadResult result = DownloadFile(W(Url("/pkg.bin")), Target(), [&](std::uint32_t percent, std::uint32_t second) {
    percents.push_back(percent);
    seconds.push_back(second);
  }, L"");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.errorType, 0);
  EXPECT_EQ(result.errorCode, 0u);
  ASSERT_GE(percents.size(), 2u);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_LT(percents.front(), 100u);
  EXPECT_EQ(percents.back(), 100u);
  EXPECT_EQ(seconds, std::vector<std::uint32_t>(seconds.size(), 0u));
  EXPECT_TRUE(TargetBytes() == bytes);

  auto seen = Server().Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "HEAD");
  EXPECT_EQ(seen[1].method, "GET");
  for (const auto& request : seen) {
    EXPECT_EQ(request.Header("user-agent"), "OrvoDownloader/1.0");
    EXPECT_EQ(request.Header("pragma"), "no-cache");
    EXPECT_EQ(request.Header("cache-control"), "no-cache");
  }
}

TEST_F(FileDownloaderTest, UrlsNotOfTheFormSchemeHostPathFailWithType4) {
  const std::wstring urls[] = {
      L"http://cdn.orvo.test",         // no path
      L"HTTP://cdn.orvo.test/pkg.bin",  // scheme in capitals
      L"Https://cdn.orvo.test/pkg.bin",
      L"file:///C:/pkg.bin",
      L"file://cdn.orvo.test/pkg.bin",
      L"cdn.orvo.test/pkg.bin",
      L"http:///pkg.bin",
      L"",
  };
  for (const auto& url : urls) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    platform::SetLastError(1234);  // the code is whatever the thread held at that moment
    DownloadResult result = DownloadFile(url, Target(), nullptr, L"");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorType, error::kBadUrl);
    EXPECT_EQ(result.errorCode, 1234u);
  }
}

TEST_F(FileDownloaderTest, TargetThatCannotBeCreatedFailsWithType18) {
  routes_.AddBody("/pkg.bin", 200, "payload");
  DownloadResult missing = DownloadFile(W(Url("/pkg.bin")), prefix_.C(L"no\\such\\folder\\pkg.bin"), nullptr, L"");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.errorType, error::kFile);
  EXPECT_EQ(missing.errorCode, platform::win::kErrorPathNotFound);

  std::filesystem::create_directories(prefix_.Host(prefix_.C(L"dl\\folder.bin")));
  DownloadResult folder = DownloadFile(W(Url("/pkg.bin")), Target(L"folder.bin"), nullptr, L"");
  EXPECT_EQ(folder.errorType, error::kFile);
  EXPECT_EQ(folder.errorCode, platform::win::kErrorAccessDenied);

  routes_.AddBody("/empty.bin", 200, "");
  DownloadResult empty = DownloadFile(W(Url("/empty.bin")), prefix_.C(L"no\\folder\\empty.bin"), nullptr, L"");
  EXPECT_EQ(empty.errorType, error::kFile);
  EXPECT_EQ(empty.errorCode, platform::win::kErrorPathNotFound);
}

TEST_F(FileDownloaderTest, ExistingFileIsReplacedAndErrorPagesAreWritten) {
  MakeTargetFolder();
  WriteHostFile(prefix_.Host(Target()), std::string(50000, 'x'));
  routes_.AddBody("/pkg.bin", 200, "new content");
  EXPECT_TRUE(DownloadFile(W(Url("/pkg.bin")), Target(), nullptr, L"").ok);
  EXPECT_EQ(TargetBytes(), "new content");

  // The status is not examined: the page is the file, and the digest check rejects it.
  routes_.AddBody("/gone.bin", 404, "<html>not found</html>");
  DownloadResult gone = DownloadFile(W(Url("/gone.bin")), Target(), nullptr, L"");
  EXPECT_TRUE(gone.ok);
  EXPECT_EQ(TargetBytes(), "<html>not found</html>");
}

TEST_F(FileDownloaderTest, UnknownSizeIsReadToTheEndWithoutPercentages) {
  MakeTargetFolder();
  const std::string bytes = PatternBytes(70000);
  routes_.Add("/stream.bin", [&bytes](const SeenRequest& request, Wire& wire) {
    if (request.method == "HEAD") return wire.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n") && false;
    wire.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
    for (std::size_t at = 0; at < bytes.size(); at += 10000) {
      if (!wire.Pause(std::chrono::milliseconds(10)) || !wire.Send(bytes.substr(at, 10000))) return false;
    }
    return false;
  });
  routes_.Add("/chunked.bin", [&bytes](const SeenRequest& request, Wire& wire) {
    std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    if (request.method == "HEAD") return wire.Send(head);
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    return wire.Send(head + size + bytes + "\r\n0\r\n\r\n");
  });
  for (const char* path : {"/stream.bin", "/chunked.bin"}) {
    SCOPED_TRACE(path);
    int calls = 0;
    DownloadResult result = DownloadFile(W(Url(path)), Target(), [&calls](std::uint32_t, std::uint32_t) { ++calls; }, L"");
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(TargetBytes() == bytes);
  }
}

TEST_F(FileDownloaderTest, TransferEndingBeforeTheAnnouncedSizeFailsWithType12) {
  MakeTargetFolder();
  const std::string bytes = PatternBytes(5000);
  routes_.Add("/cut.bin", [&bytes](const SeenRequest& request, Wire& wire) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n";
    if (request.method == "HEAD") return wire.Send(head);
    wire.Send(head + bytes.substr(0, 2000));
    return false;
  });
  routes_.Add("/short.bin", [&bytes](const SeenRequest& request, Wire& wire) {
    if (request.method == "HEAD") return wire.Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n");
    wire.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + bytes.substr(0, 2000));
    return false;
  });
  for (const char* path : {"/cut.bin", "/short.bin"}) {
    SCOPED_TRACE(path);
    std::vector<std::uint32_t> percents;
    DownloadResult result =
        DownloadFile(W(Url(path)), Target(), [&](std::uint32_t p, std::uint32_t) { percents.push_back(p); }, L"");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorType, error::kRead);
    EXPECT_EQ(result.errorCode, kConnectionError);
    EXPECT_EQ(TargetBytes(), bytes.substr(0, 2000));  // the partial file is left for the caller
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 40u);
  }
}

TEST_F(FileDownloaderTest, FailuresAreTypedByTheStepThatFailed) {
  MakeTargetFolder();
  WriteHostFile(prefix_.Host(Target()), "old");
  RefusedPort refused;
  routes_.Add("/garbage.bin", [](const SeenRequest&, Wire& wire) {
    wire.Send("garbage\r\n\r\n");
    return false;
  });
  routes_.Add("/silent.bin", [](const SeenRequest&, Wire&) { return false; });
  const std::string port = std::to_string(Server().port());
  struct Case {
    std::string url;
    std::int32_t type;
    platform::DWORD code;
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(refused.port()) + "/pkg.bin", error::kConnect, kCannotConnect},
      {"http://user@127.0.0.1:" + port + "/pkg.bin", error::kConnect, kNameNotResolved},
      {"http://127.0.0.1:99999/pkg.bin", error::kConnect, kNameNotResolved},
      {"http://127.0.0.1:" + port + "/garbage.bin", error::kReceive, kInvalidServerResponse},
      {"http://127.0.0.1:" + port + "/silent.bin", error::kReceive, kConnectionError},
      {"https://127.0.0.1:" + port + "/pkg.bin", error::kSend, kSecureFailure},  // TLS to a plain server
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    DownloadResult result = DownloadFile(W(c.url), Target(), nullptr, L"Custom/2.0");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorType, c.type);
    EXPECT_EQ(result.errorCode, c.code);
    EXPECT_EQ(TargetBytes(), "old");  // no answer, so the old file is untouched
  }
}

TEST_F(FileDownloaderTest, HostPortIsConnectedToThatPort) {
  MakeTargetFolder();
  routes_.AddBody("/pkg.bin", 200, "via port");
  const std::wstring url = L"http://localhost:" + std::to_wstring(Server().port()) + L"/pkg.bin?v=2";
  DownloadResult result = DownloadFile(url, Target(), nullptr, L"Custom/2.0");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(TargetBytes(), "via port");
  EXPECT_EQ(Server().Requests().back().target, "/pkg.bin?v=2");
  EXPECT_EQ(Server().Requests().back().Header("user-agent"), "Custom/2.0");
}

TEST_F(FileDownloaderTest, SchemesUseTheirDefaultPortsOnRealHostNames) {
  MakeTargetFolder();
  TestPki pki;
  WritePrefixFile("ca.pem", pki.caPem());
  const TlsIdentity identity = pki.Leaf({"cdn.orvo.test"});
  const std::string bytes = PatternBytes(300000);
  routes_.AddBody("/pkg.bin", 200, bytes);
  LoopbackServer tls(routes_.handler(), &identity);
  WriteConnectTo({"cdn.orvo.test:443:127.0.0.1:" + std::to_string(tls.port()),
                  "cdn.orvo.test:80:127.0.0.1:" + std::to_string(Server().port())});
  for (const wchar_t* url : {L"https://cdn.orvo.test/pkg.bin", L"http://cdn.orvo.test/pkg.bin",
                             L"ftp://cdn.orvo.test/pkg.bin"}) {
    SCOPED_TRACE(std::string(url, url + wcslen(url)));
    std::filesystem::remove(prefix_.Host(Target()));
    DownloadResult result = DownloadFile(url, Target(), nullptr, L"");
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(TargetBytes() == bytes);
  }
  EXPECT_EQ(tls.CountRequests("GET", "/pkg.bin"), 1u);
  EXPECT_EQ(Server().CountRequests("GET", "/pkg.bin"), 2u);
  EXPECT_EQ(Server().Requests().back().Header("host"), "cdn.orvo.test");
}

TEST_F(FileDownloaderTest, UntrustedCertificatesFailWithType8) {
  MakeTargetFolder();
  TestPki pki;
  WritePrefixFile("ca.pem", pki.caPem());
  routes_.AddBody("/pkg.bin", 200, "payload");
  const TlsIdentity identities[] = {pki.Leaf({"cdn.orvo.test"}, -30, -1), pki.Leaf({"evil.orvo.test"}),
                                    TestPki::SelfSigned("cdn.orvo.test")};
  for (const auto& identity : identities) {
    LoopbackServer tls(routes_.handler(), &identity);
    WriteConnectTo({"cdn.orvo.test:443:127.0.0.1:" + std::to_string(tls.port())});
    DownloadResult result = DownloadFile(L"https://cdn.orvo.test/pkg.bin", Target(), nullptr, L"");
    EXPECT_EQ(result.errorType, error::kSend);
    EXPECT_EQ(result.errorCode, kSecureFailure);
    EXPECT_FALSE(TargetExists());
    EXPECT_EQ(tls.Requests().size(), 0u);
  }
}

}  // namespace
}  // namespace orvo::test
