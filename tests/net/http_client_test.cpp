// The HTTP client against real servers on loopback: a scriptable plain server for the
// faults, a TLS server with a test CA, and tinyproxy for the proxy paths.
#include "net/http_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/text.h"
#include "tests/net/net_fixture.h"
#include "tests/net/test_pki.h"
#include "tests/net/tiny_proxy.h"

namespace orvo::test {
namespace {

using net::HttpGet;
using net::HttpPost;
using net::HttpRequest;
using net::HttpResult;
using net::IsHttpSuccess;

class HttpClientTest : public NetTest {};

TEST_F(HttpClientTest, LinksTheOpenSslFlavourOfLibcurl) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  ASSERT_NE(info->ssl_version, nullptr);
  EXPECT_EQ(std::string(info->ssl_version).rfind("OpenSSL/", 0), 0u) << info->ssl_version;
}

TEST_F(HttpClientTest, SuccessNeedsOkStatusBelow400AndABody) {
  routes_.AddBody("/manifest", 200, "<xml/>");
  routes_.AddBody("/missing", 404, "<html>not here</html>");
  routes_.AddBody("/empty", 200, "");
  RefusedPort refused;

  HttpResult found = HttpGet(Url("/manifest"), L"utf-8");
  EXPECT_TRUE(found.ok);
  EXPECT_EQ(found.status, 200);
  EXPECT_EQ(found.body, "<xml/>");
  EXPECT_TRUE(IsHttpSuccess(found));

  HttpResult missing = HttpGet(Url("/missing"), L"utf-8");
  EXPECT_TRUE(missing.ok);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "<html>not here</html>");
  EXPECT_FALSE(IsHttpSuccess(missing));

  HttpResult empty = HttpGet(Url("/empty"), L"utf-8");
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.status, 200);
  EXPECT_FALSE(IsHttpSuccess(empty));

  HttpResult unreachable = HttpGet("http://127.0.0.1:" + std::to_string(refused.port()) + "/x", L"utf-8");
  EXPECT_FALSE(unreachable.ok);
  EXPECT_EQ(unreachable.status, 0);
  EXPECT_EQ(unreachable.body, "");
  EXPECT_FALSE(IsHttpSuccess(unreachable));
}

// The ANSI code page is the locale's character set; Latin-1 makes a UTF-8 body read as
// ANSI visibly different ("café" becomes "cafÃ©").
TEST_F(HttpClientTest, BodyIsConvertedByTheDeclaredCharset) {
  setenv("LC_ALL", "en_US.ISO-8859-1", 1);
  const std::string utf8 = ReadTestData("body_utf8.txt");
  const std::string asUtf8 = "caf\xc3\xa9";
  const std::string asAnsi = "caf\xc3\x83\xc2\xa9";
  struct Case {
    const char* contentType;
    const wchar_t* defaultCharset;
    std::string expected;
    const wchar_t* declared;  // what the request reports afterwards
  };
  const Case cases[] = {
      {"Content-Type: text/xml; charset=utf-8", L"", asUtf8, L"utf-8"},
      {"Content-Type: text/xml; charset=UTF-8", L"", asUtf8, L"UTF-8"},
      {"content-type: text/xml;CHARSET=Utf-8", L"", asUtf8, L"Utf-8"},
      {"Content-Type: text/xml; charset=utf8", L"utf-8", asAnsi, L"utf8"},
      {"Content-Type: text/xml; charset=\"utf-8\"", L"", asAnsi, L""},  // a quoted value is no token
      {"Content-Type: text/xml; charset=latin1", L"utf-8", asAnsi, L"latin1"},
      {"Content-Type: text/xml", L"utf-8", asUtf8, L"utf-8"},  // none declared: the default
      {"Content-Type: text/xml", L"", asAnsi, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contentType);
    routes_.AddBody("/doc", 200, utf8, {c.contentType});
    HttpRequest request(platform::Utf8ToWide(Url("/doc")));
    request.SetCharset(c.defaultCharset);
    ASSERT_TRUE(request.Send(L"GET"));
    EXPECT_EQ(request.charset(), c.declared);
    EXPECT_EQ(request.responseBytes(), utf8);
    EXPECT_EQ(platform::WideToUtf8(request.responseText()), c.expected);

    HttpResult result = HttpGet(Url("/doc"), c.defaultCharset);
    EXPECT_EQ(result.body, c.expected);
  }
}

TEST_F(HttpClientTest, GbkBodyIsReadThroughTheAnsiCodePage) {
  setenv("LC_ALL", "zh_CN.GBK", 1);
  routes_.AddBody("/doc", 200, ReadTestData("body_gbk.txt"), {"Content-Type: text/plain; charset=gbk"});
  EXPECT_EQ(HttpGet(Url("/doc"), L"utf-8").body, "\xe4\xb8\xad\xe6\x96\x87");
}

TEST_F(HttpClientTest, PostWithoutDeclaredCharsetUsesTheAnsiCodePage) {
  setenv("LC_ALL", "en_US.ISO-8859-1", 1);
  routes_.AddBody("/report", 200, ReadTestData("body_utf8.txt"), {"Content-Type: application/json"});
  EXPECT_EQ(HttpPost(Url("/report"), "", "").body, "caf\xc3\x83\xc2\xa9");
}

TEST_F(HttpClientTest, TruncatedPageIsTriedThreeTimesThenFails) {
  routes_.AddBody("/page", 200, ReadTestData("page_truncated.html"));
  HttpResult result = HttpGet(Url("/page"), L"utf-8");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.body, "");
  EXPECT_EQ(Server().CountRequests("GET", "/page"), 3u);

  // The rule is for GET only.
  HttpResult posted = HttpPost(Url("/page"), "x", "text/plain");
  EXPECT_TRUE(posted.ok);
  EXPECT_EQ(Server().CountRequests("POST", "/page"), 1u);
}

TEST_F(HttpClientTest, TruncatedPageThatCompletesOnARetryIsAccepted) {
  int served = 0;
  routes_.Add("/page", [&served](const SeenRequest&, Wire& wire) {
    ++served;
    return wire.Send(Response(200, served < 3 ? "<HTML><body>cut" : "<HTML><body>whole</body></HTML>"));
  });
  HttpResult result = HttpGet(Url("/page"), L"utf-8");
  EXPECT_TRUE(IsHttpSuccess(result));
  EXPECT_EQ(result.body, "<HTML><body>whole</body></HTML>");
  EXPECT_EQ(served, 3);
}

TEST_F(HttpClientTest, BodiesOfEverySizeAndFramingArriveWhole) {
  const std::string exact = PatternBytes(10240);
  const std::string several = PatternBytes(10240 * 7 + 13);
  routes_.AddBody("/exact", 200, exact);
  routes_.AddBody("/several", 200, several);
  routes_.Add("/close-delimited", [&several](const SeenRequest&, Wire& wire) {
    wire.Send(Response(200, several, {}, false));
    return false;
  });
  routes_.Add("/chunked", [&several](const SeenRequest&, Wire& wire) {
    std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = 0; at < several.size(); at += 9000) {
      std::string piece = several.substr(at, 9000);
      char size[16];
      snprintf(size, sizeof size, "%zx\r\n", piece.size());
      out += size + piece + "\r\n";
    }
    return wire.Send(out + "0\r\n\r\n");
  });
  routes_.Add("/slow", [&exact](const SeenRequest&, Wire& wire) {
    wire.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(exact.size()) + "\r\n\r\n");
    for (std::size_t at = 0; at < exact.size(); at += 2048) {
      if (!wire.Pause(std::chrono::milliseconds(60)) || !wire.Send(exact.substr(at, 2048))) return false;
    }
    return true;
  });
  struct Case {
    const char* path;
    const std::string& body;
  };
  for (const Case& c : {Case{"/exact", exact}, Case{"/several", several}, Case{"/close-delimited", several},
                        Case{"/chunked", several}, Case{"/slow", exact}}) {
    SCOPED_TRACE(c.path);
    HttpResult result = HttpGet(Url(c.path), L"utf-8");
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.body.size(), c.body.size());
    EXPECT_TRUE(result.body == c.body);
  }
}

TEST_F(HttpClientTest, BodyWithAZeroByteIsCutThere) {
  routes_.AddBody("/zero", 200, ReadTestData("body_with_zero.bin"));
  HttpRequest request(platform::Utf8ToWide(Url("/zero")));
  ASSERT_TRUE(request.Send(L"get"));
  EXPECT_EQ(request.responseBytes().size(), 7u);
  EXPECT_EQ(request.responseText(), L"abc");
  EXPECT_EQ(HttpGet(Url("/zero"), L"utf-8").body, "abc");
}

// A response without a readable numeric status, or one that breaks off, is no response:
// every attempt is used and the result is ok = false, never an exception.
TEST_F(HttpClientTest, BrokenResponsesFailAfterThreeAttempts) {
  routes_.Add("/garbage", [](const SeenRequest&, Wire& wire) {
    wire.Send("SPDY/9 banana\r\nContent-Length: 2\r\n\r\nhi");
    return false;
  });
  routes_.Add("/letters", [](const SeenRequest&, Wire& wire) {
    wire.Send("HTTP/1.1 abc OK\r\nContent-Length: 2\r\n\r\nhi");
    return false;
  });
  routes_.Add("/silent", [](const SeenRequest&, Wire&) { return false; });
  routes_.Add("/cut", [](const SeenRequest&, Wire& wire) {
    wire.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + PatternBytes(300));
    return false;  // the connection closes in the middle of the body
  });
  for (const char* path : {"/garbage", "/letters", "/silent", "/cut"}) {
    SCOPED_TRACE(path);
    HttpResult get;
    EXPECT_NO_THROW(get = HttpGet(Url(path), L"utf-8"));
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.body, "");
    HttpResult post;
    EXPECT_NO_THROW(post = HttpPost(Url(path), "{}", "application/json"));
    EXPECT_FALSE(post.ok);
    EXPECT_EQ(Server().CountRequests("GET", path), 3u);
    EXPECT_EQ(Server().CountRequests("POST", path), 3u);
  }
}

TEST_F(HttpClientTest, PostSendsRawBodyWithItsLengthAndType) {
  routes_.AddBody("/in", 200, "{\"ret\":0}");
  const std::string body("a=1&b=\0two", 10);
  HttpResult result = HttpPost(Url("/in?retflag=json"), body, "application/x-www-form-urlencoded");
  EXPECT_TRUE(IsHttpSuccess(result));
  EXPECT_EQ(result.body, "{\"ret\":0}");
  HttpResult empty = HttpPost(Url("/in"), "", "");
  EXPECT_TRUE(empty.ok);

  auto seen = Server().Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/in?retflag=json");
  EXPECT_EQ(seen[0].body, body);
  EXPECT_EQ(seen[0].Header("content-length"), "10");
  EXPECT_EQ(seen[0].Header("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(seen[0].Header("user-agent"), "OrvoDownloader");
  EXPECT_EQ(seen[0].Header("expect"), "");
  EXPECT_EQ(seen[1].body, "");
  EXPECT_EQ(seen[1].Header("content-length"), "0");
}

TEST_F(HttpClientTest, RequestsThatCannotBeFormedFailAtOnce) {
  routes_.AddBody("/ok", 200, "fine");
  const std::string origin = Server().Origin();
  struct Case {
    std::string url;
    bool ok;
  };
  const Case cases[] = {
      {"", false},
      {"ftp://127.0.0.1/ok", false},
      {"127.0.0.1/ok", false},
      {"http://" + std::string(260, 'h') + "/ok", false},
      {origin + "/" + std::string(1298, 'p'), true},  // path of 1299 characters fits
      {origin + "/" + std::string(1299, 'p'), false},
      {origin + "/ok", true},
      {"HTTP://127.0.0.1:" + std::to_string(Server().port()) + "/ok", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url.substr(0, 60));
    EXPECT_EQ(HttpGet(c.url, L"utf-8").ok, c.ok);
  }
  HttpRequest put(platform::Utf8ToWide(origin + "/ok"));
  EXPECT_FALSE(put.Send(L"PUT"));
  EXPECT_EQ(Server().CountRequests("PUT", "/ok"), 0u);
}

TEST_F(HttpClientTest, RedirectsAreFollowed) {
  routes_.Add("/old", [](const SeenRequest&, Wire& wire) {
    return wire.Send(Response(302, "moved", {"Location: /new"}));
  });
  routes_.AddBody("/new", 200, "here");
  HttpResult result = HttpGet(Url("/old"), L"utf-8");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "here");
}

// ---- TLS ----

class HttpsTest : public NetTest {
 protected:
  // A TLS server for identity, reached as https://api.orvo.test:<port>.
  std::string Start(const TlsIdentity& identity) {
    server_ = std::make_unique<LoopbackServer>(routes_.handler(), &identity);
    WriteConnectTo({"api.orvo.test:" + std::to_string(server_->port()) + ":127.0.0.1:" +
                    std::to_string(server_->port())});
    return "https://api.orvo.test:" + std::to_string(server_->port());
  }
  TestPki pki_;
};

TEST_F(HttpsTest, CertificateOfTheTestCaForTheNameIsTrusted) {
  WritePrefixFile("ca.pem", pki_.caPem());
  routes_.AddBody("/compoment.xml", 200, "<Items/>");
  const std::string origin = Start(pki_.Leaf({"api.orvo.test"}));
  HttpResult result = HttpGet(origin + "/compoment.xml", L"utf-8");
  EXPECT_TRUE(IsHttpSuccess(result));
  EXPECT_EQ(result.body, "<Items/>");
  EXPECT_TRUE(HttpPost(origin + "/compoment.xml", "", "").ok);
}

// A forged certificate must never be accepted: the manifest decides what runs as
// administrator.
TEST_F(HttpsTest, UntrustedCertificatesAreRefused) {
  WritePrefixFile("ca.pem", pki_.caPem());
  routes_.AddBody("/compoment.xml", 200, "<Items/>");
  struct Case {
    const char* name;
    TlsIdentity identity;
  };
  const Case cases[] = {
      {"expired", pki_.Leaf({"api.orvo.test"}, -30, -1)},
      {"wrong name", pki_.Leaf({"cdn.other.test"})},
      {"self-signed", TestPki::SelfSigned("api.orvo.test")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string origin = Start(c.identity);
    EXPECT_FALSE(HttpGet(origin + "/compoment.xml", L"utf-8").ok);
    EXPECT_FALSE(HttpPost(origin + "/compoment.xml", "x", "text/plain").ok);
    EXPECT_EQ(server_->Requests().size(), 0u);
  }
}

TEST_F(HttpsTest, TestCaIsNotTrustedWithoutThePrefixFile) {
  routes_.AddBody("/compoment.xml", 200, "<Items/>");
  const std::string origin = Start(pki_.Leaf({"api.orvo.test"}));
  EXPECT_FALSE(HttpGet(origin + "/compoment.xml", L"utf-8").ok);
}

// ---- proxies ----

// The origin listens on 127.0.0.2; the connect-to table sends direct connections to a
// refused port, so only a path through the proxy (which connects by itself) reaches it.
class HttpProxyTest : public NetTest {
 protected:
  HttpProxyTest() : proxy_(prefix_.root() / "tinyproxy") {
    origin_ = std::make_unique<LoopbackServer>(routes_.handler(), nullptr, "127.0.0.2");
    routes_.AddBody("/in", 200, "{\"ret\":0}");
  }
  std::string OriginUrl(const std::string& path) const { return origin_->Origin() + path; }
  void RefuseDirect() {
    WriteConnectTo({"127.0.0.2:" + std::to_string(origin_->port()) + ":127.0.0.1:" + std::to_string(refused_.port())});
  }
  std::size_t ProxiedRequests() const {
    std::size_t count = 0;
    for (const auto& r : origin_->Requests()) count += r.Header("via").find("tinyproxy") != std::string::npos;
    return count;
  }

  TinyProxy proxy_;
  RefusedPort refused_;
  std::unique_ptr<LoopbackServer> origin_;
};

TEST_F(HttpProxyTest, SystemProxyComesFromTheEnvironment) {
  setenv("http_proxy", ("http://" + proxy_.Address()).c_str(), 1);
  EXPECT_TRUE(IsHttpSuccess(HttpPost(OriginUrl("/in"), "e=1", "text/plain")));
  EXPECT_EQ(ProxiedRequests(), 1u);

  setenv("no_proxy", "127.0.0.2", 1);
  EXPECT_TRUE(IsHttpSuccess(HttpPost(OriginUrl("/in"), "e=2", "text/plain")));
  EXPECT_EQ(origin_->Requests().size(), 2u);
  EXPECT_EQ(ProxiedRequests(), 1u);
}

TEST_F(HttpProxyTest, FixedBrowserProxyCarriesTheNextAttempt) {
  RefuseDirect();
  EXPECT_FALSE(HttpGet(OriginUrl("/in"), L"utf-8").ok);  // no browser proxy yet

  WritePrefixFile("proxy.json", R"({"proxy": ")" + proxy_.Address() + R"(", "bypass": "<local>;*.intranet"})");
  HttpResult result = HttpPost(OriginUrl("/in"), "e=1", "text/plain");
  EXPECT_TRUE(IsHttpSuccess(result));
  EXPECT_EQ(result.body, "{\"ret\":0}");
  EXPECT_EQ(ProxiedRequests(), 1u);
  EXPECT_EQ(origin_->Requests().size(), 1u);
}

TEST_F(HttpProxyTest, BypassedHostIsNotSentThroughTheBrowserProxy) {
  RefuseDirect();
  WritePrefixFile("proxy.json", R"({"proxy": ")" + proxy_.Address() + R"(", "bypass": "127.0.0.*"})");
  EXPECT_FALSE(HttpPost(OriginUrl("/in"), "e=1", "text/plain").ok);
  EXPECT_EQ(origin_->Requests().size(), 0u);
}

TEST_F(HttpProxyTest, ProxyScriptAnswerIsUsedWithinTheAttempt) {
  RefuseDirect();
  std::string script = ReadTestData("proxy_script.pac");
  script.replace(script.find("@PROXY@"), 7, proxy_.Address());
  Router scripts;
  scripts.AddBody("/proxy.pac", 200, script, {"Content-Type: application/x-ns-proxy-autoconfig"});
  LoopbackServer scriptServer(scripts.handler());
  WritePrefixFile("proxy.json", R"({"autoConfigUrl": ")" + scriptServer.Origin() + R"(/proxy.pac"})");

  HttpResult result = HttpPost(OriginUrl("/in"), "e=1", "text/plain");
  EXPECT_TRUE(IsHttpSuccess(result));
  EXPECT_EQ(ProxiedRequests(), 1u);
  EXPECT_EQ(scriptServer.CountRequests("GET", "/proxy.pac"), 1u);
}

TEST_F(HttpProxyTest, UnusableBrowserProxySettingsFailCleanly) {
  RefuseDirect();
  Router scripts;
  scripts.AddBody("/direct.pac", 200, "function FindProxyForURL(u, h) { return \"DIRECT\"; }");
  scripts.AddBody("/nonsense.pac", 200, "var x = 1;");
  LoopbackServer scriptServer(scripts.handler());
  const std::string tooLong = proxy_.Address() + ";" + std::string(300, 'p') + ":8080";
  const std::string settings[] = {
      R"({"proxy": ")" + tooLong + R"("})",
      R"({"proxy": ")" + proxy_.Address() + R"(", "bypass": ")" + std::string(300, 'b') + R"("})",
      R"({"autoConfigUrl": ")" + scriptServer.Origin() + R"(/direct.pac"})",
      R"({"autoConfigUrl": ")" + scriptServer.Origin() + R"(/nonsense.pac"})",
      R"({"autoConfigUrl": ")" + scriptServer.Origin() + R"(/missing.pac"})",
      R"({"proxy": 42})",
      "not json",
  };
  for (const auto& json : settings) {
    SCOPED_TRACE(json.substr(0, 80));
    WritePrefixFile("proxy.json", json);
    HttpResult result;
    EXPECT_NO_THROW(result = HttpPost(OriginUrl("/in"), "e=1", "text/plain"));
    EXPECT_FALSE(result.ok);
  }
  EXPECT_EQ(origin_->Requests().size(), 0u);
}

}  // namespace
}  // namespace orvo::test
