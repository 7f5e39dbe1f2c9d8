// The HTTP client against loopback fake sites (request text, URL rules, size limits, timeout,
// many threads), how a raw reply becomes one status, and the host table.
#include "net/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/child.h"
#include "tests/support/fake_server.h"
#include "tests/support/printers.h"

// The name lookups of this test program, in place of the C library's, so that no test asks a
// name server: no name resolves, and 127.0.0.1 and ::1 have the reverse name "localhost".
extern "C" int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo** result) {
  *result = nullptr;
  return EAI_NONAME;
}
extern "C" int getnameinfo(const sockaddr* address, socklen_t, char* host, socklen_t size, char*,
                           socklen_t, int) {
  const auto* four = reinterpret_cast<const sockaddr_in*>(address);
  const auto* six = reinterpret_cast<const sockaddr_in6*>(address);
  const bool local = (address->sa_family == AF_INET && four->sin_addr.s_addr == htonl(0x7f000001)) ||
                     (address->sa_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&six->sin6_addr));
  if (!local || size < 10) return EAI_NONAME;
  std::strcpy(host, "localhost");
  return 0;
}

namespace vy {
namespace {

TEST(HttpGet, UrlsGiveSchemeHostPortAndPathAndOnlyValidPortsPass) {
  struct Case {
    const char* url;
    HttpError code;
    const char *host, *header, *path;
    int port;
    bool tls;
  };
  const Case cases[] = {
      {"http://a.test", HttpError::kOk, "a.test", "a.test", "/", 80, false},
      {"http://a.test?q=/x", HttpError::kOk, "a.test", "a.test", "/?q=/x", 80, false},
      {"https://a.test:8443/p?q", HttpError::kOk, "a.test", "a.test:8443", "/p?q", 8443, true},
      {"https://a.test:443/", HttpError::kOk, "a.test", "a.test", "/", 443, true},
      {"http://a.test:80/", HttpError::kOk, "a.test", "a.test", "/", 80, false},
      {"http://[::1]:8080/x", HttpError::kOk, "::1", "[::1]:8080", "/x", 8080, false},
      {"http://[2001:db8::1]/", HttpError::kOk, "2001:db8::1", "[2001:db8::1]", "/", 80, false},
      {"http://a.test:0/", HttpError::kLookupFailed},
      {"http://a.test:65536/", HttpError::kLookupFailed},
      {"http://a.test:80a/", HttpError::kLookupFailed},
      {"http://a.test:/", HttpError::kLookupFailed},
      {"http://[::1/", HttpError::kLookupFailed},
      {"http://[::1]x/", HttpError::kLookupFailed},
      {"HTTP://a.test/", HttpError::kInvalidUrl},
      {"ftp://a.test/", HttpError::kInvalidUrl},
  };
  for (const Case& c : cases) {
    HttpTarget target;
    ASSERT_EQ(parseHttpUrl(c.url, target), c.code) << c.url;
    if (c.code != HttpError::kOk) continue;
    EXPECT_EQ(target.tls, c.tls) << c.url;
    EXPECT_EQ(target.host, c.host) << c.url;
    EXPECT_EQ(target.hostHeader, c.header) << c.url;
    EXPECT_EQ(target.path, c.path) << c.url;
    EXPECT_EQ(target.port, c.port) << c.url;
  }
}

// The port of the URL is the one connected to and named in the Host header; a refused port
// connects nowhere.
TEST(HttpGet, RequestsCarryTheirPathIdentityAndHostWithAPortThatIsNotTheDefault) {
  setRequestIdentity("VantryTest/1.0", "http://console.test/");
  const std::string reply = test::httpReplyText("200 OK", "<html>hello</html>");
  test::FakeServer site(test::answerWith(reply)), alternate(test::answerWith(reply), 8080);
  ASSERT_TRUE(site.ok() && alternate.ok());
  const auto request = [](const std::string& path, const std::string& host) {
    return "GET " + path + " HTTP/1.0\r\nUser-Agent: VantryTest/1.0" +
           "\r\nReferer: http://console.test/\r\nAccept: */*\r\nHost: " + host + "\r\n\r\n";
  };
  const std::string cases[][2] = {{"", "/"}, {"?a=1", "/?a=1"}, {":80/x?y=/z", "/x?y=/z"}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    HttpReply got = httpGet("http://" + site.address() + cases[i][0], -1, 15);
    EXPECT_TRUE(got.code == HttpError::kOk && got.data && std::string_view(*got.data) == reply &&
                got.length == reply.size());
    EXPECT_EQ(site.received(i), request(cases[i][1], site.address()));
  }
  EXPECT_EQ(httpGet("http://" + alternate.address() + ":8080/p", -1, 15).code, HttpError::kOk);
  EXPECT_EQ(alternate.received(0), request("/p", alternate.address() + ":8080"));
  for (const char* port : {":0", ":65536", ":80a"}) {
    EXPECT_EQ(httpGet("http://" + alternate.address() + port + "/", -1, 15).code,
              HttpError::kLookupFailed);
  }
  EXPECT_EQ(httpGet("HTTP://" + site.address(), -1, 15).code, HttpError::kInvalidUrl);
  EXPECT_EQ(httpGet("http://unknown.test/", -1, 15).code, HttpError::kLookupFailed);
  EXPECT_EQ(site.connectionCount(), 3);
  EXPECT_EQ(alternate.connectionCount(), 1);
}

// A long page without a head, or announcing its length as sent, too short, far too long or beyond
// any number: that only sizes the buffer. Without a limit all is kept; a limit stops after the
// chunk reaching it, and the buffer never outgrows that chunk (limit 25 takes one chunk).
TEST(HttpGet, SizeLimitStopsAfterTheChunkThatReachesItWhateverLengthIsAnnounced) {
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>('a' + i % 26);
  for (std::string announced : {"", "300000", "10", "8000000", "99999999999999999999999"}) {
    const std::string reply =
        announced.empty() ? body
                          : "HTTP/1.0 200 OK\r\nContent-Length: " + announced + "\r\n\r\n" + body;
    test::FakeServer site(test::answerWith(reply));
    ASSERT_TRUE(site.ok());
    for (auto [limit, most] :
         {std::pair<int, size_t>{-1, reply.size()}, {25, kReceiveChunk}, {100000, 100511}}) {
      HttpReply got = httpGet(site.url(), limit, 15);
      ASSERT_TRUE(got.code == HttpError::kOk && got.data) << announced << " " << limit;
      EXPECT_GE(got.data->size(), limit < 0 ? reply.size() : size_t(limit)) << announced;
      EXPECT_LE(got.data->size(), most) << announced;
      EXPECT_LE(got.data->capacity(), limit < 0 ? SIZE_MAX : limit + 511u) << announced;
      EXPECT_TRUE(std::string_view(*got.data) ==
                  std::string_view(reply).substr(0, got.data->size()))
          << announced << " " << limit;
    }
  }
}

TEST(HttpGet, ServerThatNeverAnswersTimesOutAfterTheReceiveWait) {
  test::FakeServer site([](test::FakeConnection& connection) { connection.holdOpen(60); });
  ASSERT_TRUE(site.ok());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(httpGet(site.url(), 25, kRequestSeconds, Milliseconds(300)).code, HttpError::kTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

// A reply whose size and bytes depend on the request line, so a swapped or damaged reply shows.
std::string pageFor(const std::string& requestLine) {
  std::string body;
  for (size_t n = 20 + std::hash<std::string>{}(requestLine) % 700; n > 0; --n) body += requestLine;
  return test::httpReplyText("200 OK", body);
}

TEST(HttpGet, ManyThreadsAgainstSeveralSitesGetEveryReplyIntact) {
  const test::Session serve = test::answerWith(
      [](const std::string& request) { return pageFor(request.substr(0, request.find('\r'))); });
  test::FakeServer sites[] = {test::FakeServer(serve), test::FakeServer(serve),
                              test::FakeServer(serve), test::FakeServer(serve)};
  constexpr int kThreads = 12, kRequests = 20;
  std::atomic<int> intact{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRequests; ++r) {
        const test::FakeServer& site = sites[(t + r) % std::size(sites)];
        std::string path =
            "/t" + std::to_string(t) + "/r" + std::to_string(r) + "?" + site.address();
        HttpReply reply = httpGet(site.url(path), -1, 15);
        if (reply.code == HttpError::kOk && reply.data &&
            std::string_view(*reply.data) == pageFor("GET " + path + " HTTP/1.0"))
          ++intact;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(intact.load(), kThreads * kRequests);
}

TEST(ReplyStatus, NeedsAStatusLineLongerThanThirteenCharactersAndTransferErrorsWin) {
  auto status = [](std::optional<std::string> data, HttpError transfer = HttpError::kOk) {
    std::optional<LargeText> bytes;
    if (data) bytes.emplace(data->data(), data->size());
    ReplyStatus got = replyStatus(bytes, transfer);
    return std::to_string(got.code) + " " + got.text;
  };
  EXPECT_EQ(status("HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\nbody"), "404 Not Found");
  EXPECT_EQ(status("HTTP/1.0 200 "), "8 Invalid header");  // 13 characters
  EXPECT_EQ(status("HTTP/1.0 200 O"), "200 OK");
  EXPECT_EQ(status(std::string("HTTP/1.0 200\0 OK\r\n\r\n", 20)), "8 Invalid header");
  EXPECT_EQ(status("<html><body>no header</body></html>"), "8 Invalid header");
  EXPECT_EQ(status(std::nullopt), "8 Invalid header");
  EXPECT_EQ(status("HTTP/1.1 299 Odd\r\n\r\n"), "299 Unknown HTTP Error");
  EXPECT_EQ(status("HTTP/1.0 200 OK", HttpError::kConnectError), "5 Connection error");
}

TEST(HostTable, EntriesNeedAReverseNameAndOnlyTheLoadingPairFreesTheTable) {
  test::TempDir dir;
  const std::filesystem::path former = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  // 127.0.0.1 and ::1 have a reverse name (localhost); 127.0.0.37 has none.
  std::ofstream(kHostsPath) << "Site.Local 127.0.0.1\nnoreverse.local 127.0.0.37\nsix.local ::1\n";
  std::vector<IpAddress> address;
  EXPECT_TRUE(loadHosts());
  EXPECT_EQ(resolveHost("site.LOCAL", address), HttpError::kOk);
  EXPECT_EQ(address, std::vector<IpAddress>{*parseIpAddress("127.0.0.1")});
  EXPECT_EQ(resolveHost("six.local", address), HttpError::kOk);
  EXPECT_EQ(address, std::vector<IpAddress>{*parseIpAddress("::1")});
  EXPECT_EQ(resolveHost("noreverse.local", address), HttpError::kLookupFailed);
  EXPECT_FALSE(loadHosts());  // a nested pair, as the mail sender inside a check run
  releaseHosts(false);
  EXPECT_EQ(resolveHost("site.local", address), HttpError::kOk);
  releaseHosts(true);  // only the pair that loaded the table frees it
  EXPECT_EQ(resolveHost("site.local", address), HttpError::kLookupFailed);
  std::filesystem::current_path(former);
}

}  // namespace
}  // namespace vy
