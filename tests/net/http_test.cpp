// The HTTP client against loopback fake sites (request text, URL rules, size limits, timeout,
// many threads), how a raw reply becomes one status, name resolution with the host table, and
// the typed receive under it.
#include "net/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "tests/support/child.h"
#include "tests/support/fake_server.h"
#include "tests/support/printers.h"
#include "tests/support/test_ca.h"

// The name lookups of this test program, in place of the C library's, so that no test asks a
// name server: 127.0.0.1 and ::1 have the reverse name "localhost", and the only name that
// resolves is "both.test", to the addresses the test puts in resolvedBoth, in their order.
std::vector<std::string> resolvedBoth;

extern "C" int getaddrinfo(const char* name, const char*, const addrinfo*, addrinfo** result) {
  *result = nullptr;
  if (std::string_view(name) != "both.test") return EAI_NONAME;
  for (auto at = resolvedBoth.rbegin(); at != resolvedBoth.rend(); ++at) {
    auto* entry = new addrinfo{};
    auto* address = new sockaddr_in6{};
    const bool six = at->find(':') != std::string::npos;
    entry->ai_family = six ? AF_INET6 : AF_INET;
    entry->ai_socktype = SOCK_STREAM;
    entry->ai_addrlen = six ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    entry->ai_addr = reinterpret_cast<sockaddr*>(address);
    address->sin6_family = static_cast<sa_family_t>(entry->ai_family);
    ::inet_pton(entry->ai_family, at->c_str(),
                six ? static_cast<void*>(&address->sin6_addr)
                    : &reinterpret_cast<sockaddr_in*>(address)->sin_addr);
    entry->ai_next = *result;
    *result = entry;
  }
  return *result ? 0 : EAI_NONAME;
}
extern "C" void freeaddrinfo(addrinfo* list) {
  while (list) {
    delete reinterpret_cast<sockaddr_in6*>(list->ai_addr);
    delete std::exchange(list, list->ai_next);
  }
}
extern "C" int getnameinfo(const sockaddr* address, socklen_t, char* host, socklen_t size, char*,
                           socklen_t, int) {
  const auto* four = reinterpret_cast<const sockaddr_in*>(address);
  const auto* six = reinterpret_cast<const sockaddr_in6*>(address);
  const bool local =
      (address->sa_family == AF_INET && four->sin_addr.s_addr == htonl(0x7f000001)) ||
      (address->sa_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&six->sin6_addr));
  if (!local || size < 10) return EAI_NONAME;
  std::strcpy(host, "localhost");
  return 0;
}

namespace vy {
namespace {

// Requests that name no host of a table.
const HostTable kNoHosts;

std::pair<HttpError, HttpTarget> parsed(const char* url) {
  HttpTarget target;
  const HttpError code = parseHttpUrl(url, target);
  return std::pair(code, target);
}

TEST(HttpUrl, GivesSchemeHostHostHeaderPathAndPort) {
  // URL; TLS, host, Host header, path, port.
  const std::pair<const char*, std::tuple<bool, const char*, const char*, const char*, int>>
      cases[] = {{"http://a.test", {false, "a.test", "a.test", "/", 80}},
                 {"http://a.test?q=/x", {false, "a.test", "a.test", "/?q=/x", 80}},
                 {"https://a.test:8443/p?q", {true, "a.test", "a.test:8443", "/p?q", 8443}},
                 {"https://a.test:443/", {true, "a.test", "a.test", "/", 443}},
                 {"http://a.test:80/", {false, "a.test", "a.test", "/", 80}},
                 {"http://[::1]:8080/x", {false, "::1", "[::1]:8080", "/x", 8080}},
                 {"http://[2001:db8::1]/", {false, "2001:db8::1", "[2001:db8::1]", "/", 80}}};
  for (const auto& [url, expected] : cases) {
    const auto [code, target] = parsed(url);
    ASSERT_EQ(code, HttpError::kOk) << url;
    EXPECT_EQ(std::tuple(target.tls, target.host, target.hostHeader, target.path, target.port),
              expected)
        << url;
  }
}

// A control character would break the request line or add headers.
TEST(HttpUrl, ARefusedUrlHasTheCodeOfItsFault) {
  constexpr HttpError kLookup = HttpError::kLookupFailed, kInvalid = HttpError::kInvalidUrl;
  const std::pair<const char*, HttpError> cases[] = {
      {"http://a.test:0/", kLookup},   {"http://a.test:65536/", kLookup},
      {"http://a.test:80a/", kLookup}, {"http://a.test:/", kLookup},
      {"http://[::1/", kLookup},       {"http://[::1]x/", kLookup},
      {"HTTP://a.test/", kInvalid},    {"ftp://a.test/", kInvalid},
      {"http://a.test/\tx", kInvalid}, {"http://a.test/x\r\nHost: evil", kInvalid},
      {"http://a.test\n/", kInvalid},  {"http://a.test/\x7f", kInvalid}};
  for (const auto& [url, code] : cases) EXPECT_EQ(parsed(url).first, code) << url;
}

std::string expectedRequest(const std::string& path, const std::string& host) {
  return "GET " + path + " HTTP/1.0\r\nUser-Agent: VantryTest/1.0" +
         "\r\nReferer: http://console.test/\r\nAccept: */*\r\nHost: " + host + "\r\n\r\n";
}

struct PlainSite : ::testing::Test {
  PlainSite() { setRequestIdentity("VantryTest/1.0", "http://console.test/"); }
  const std::string reply = test::httpReplyText("200 OK", "<html>hello</html>");
  test::FakeServer site{test::answerWith(reply)};
};

// A refused URL connects nowhere; a plain site's reply has no certificate.
TEST_F(PlainSite, RequestCarriesItsPathAndIdentityAndARefusedUrlConnectsNowhere) {
  ASSERT_TRUE(site.ok());
  EXPECT_EQ(httpGet("HTTP://" + site.address(), -1, kNoHosts).code, HttpError::kInvalidUrl);
  EXPECT_EQ(httpGet("http://unknown.test/", -1, kNoHosts).code, HttpError::kLookupFailed);
  EXPECT_EQ(site.connectionCount(), 0);
  const HttpReply got = httpGet("http://" + site.address() + ":80/x?y=/z", -1, kNoHosts);
  EXPECT_EQ(got.code, HttpError::kOk);
  EXPECT_FALSE(got.certificate);
  EXPECT_EQ(site.received(0), expectedRequest("/x?y=/z", site.address()));
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
      HttpReply got = httpGet(site.url(), limit, kNoHosts);
      ASSERT_TRUE(got.code == HttpError::kOk && got.data) << announced << " " << limit;
      EXPECT_EQ(got.length, got.data->size()) << announced;
      EXPECT_GE(got.data->size(), limit < 0 ? reply.size() : size_t(limit)) << announced;
      EXPECT_LE(got.data->size(), most) << announced;
      EXPECT_LE(got.data->capacity(), limit < 0 ? SIZE_MAX : limit + 511u) << announced;
      EXPECT_TRUE(std::string_view(*got.data) ==
                  std::string_view(reply).substr(0, got.data->size()))
          << announced << " " << limit;
    }
  }
}

// Also a peer that never begins the TLS handshake.
TEST(HttpGet, ASilentServerTimesOutAfterTheReceiveWait) {
  const test::Session silent = [](test::FakeConnection& connection) { connection.holdOpen(60); };
  test::FakeServer site(silent), secure(silent, 443);
  ASSERT_TRUE(site.ok() && secure.ok());
  for (const std::string& url : {site.url(), "https://" + secure.address() + "/"}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpGet(url, 25, kNoHosts, {.receive = Milliseconds(300)}).code, HttpError::kTimeout)
        << url;
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(290)) << url;
    EXPECT_LT(waited, std::chrono::seconds(5)) << url;
  }
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
        HttpReply reply = httpGet(site.url(path), -1, kNoHosts);
        if (reply.code == HttpError::kOk && reply.data &&
            std::string_view(*reply.data) == pageFor("GET " + path + " HTTP/1.0"))
          ++intact;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(intact.load(), kThreads * kRequests);
}

std::string statusOf(std::optional<std::string> data, HttpError transfer = HttpError::kOk) {
  std::optional<LargeText> bytes;
  if (data) bytes.emplace(data->data(), data->size());
  ReplyStatus got = replyStatus(bytes, transfer);
  return std::to_string(got.code) + " " + got.text;
}

// A reply needs a status line longer than thirteen characters; a transfer error wins over it.
TEST(ReplyStatus, IsTheTransferErrorOrTheReplysStatusLine) {
  const std::tuple<std::optional<std::string>, HttpError, const char*> cases[] = {
      {"HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\nbody", HttpError::kOk, "404 Not Found"},
      {"HTTP/1.0 200 ", HttpError::kOk, "8 Invalid header"},  // 13 characters
      {"HTTP/1.0 200 O", HttpError::kOk, "200 OK"},
      {std::string("HTTP/1.0 200\0 OK\r\n\r\n", 20), HttpError::kOk, "8 Invalid header"},
      {"<html><body>no header</body></html>", HttpError::kOk, "8 Invalid header"},
      {std::nullopt, HttpError::kOk, "8 Invalid header"},
      {"HTTP/1.1 299 Odd\r\n\r\n", HttpError::kOk, "299 Unknown HTTP Error"},
      {"HTTP/1.0 200 OK", HttpError::kConnectError, "5 Connection error"},
      {std::nullopt, HttpError::kTlsHandshake, "10 TLS handshake failed"},
      {std::nullopt, HttpError::kCertificate, "11 Certificate not valid"}};
  for (const auto& [reply, transfer, status] : cases) {
    EXPECT_EQ(statusOf(reply, transfer), status) << reply.value_or("(none)");
  }
}

// The authority every TLS test of this program trusts.
test::TestCa& trusted() { return test::processTrustedCa(); }

TEST(HttpsGet, AVerifiedSiteAnswersAsOverHttp) {
  const std::string reply = test::httpReplyText("200 OK", "<html>secure</html>");
  test::FakeServer site(test::answerWith(reply),
                        {8443, false, trusted().issuing(test::CertKind::kValid)});
  HttpReply got = httpGet(site.url("/p"), -1, kNoHosts);
  EXPECT_EQ(got.code, HttpError::kOk);
  EXPECT_TRUE(got.data && std::string_view(*got.data) == reply);
  EXPECT_NE(site.received(0).find("GET /p HTTP/1.0\r\n"), std::string::npos);
  EXPECT_NE(site.received(0).find("\r\nHost: " + site.address() + ":8443\r\n"), std::string::npos);
}

// A refused certificate is not given with the reply either.
TEST(HttpsGet, SelfSignedExpiredOrOtherNameCertificatesAreNotValid) {
  const test::Session answer = test::answerWith(test::httpReplyText("200 OK", "x"));
  test::FakeServer selfSigned(answer, {443, false, trusted().issuing(test::CertKind::kSelfSigned)}),
      expired(answer, {443, false, trusted().issuing(test::CertKind::kExpired)}),
      otherName(answer, 443, trusted().issue("other.test", test::CertKind::kValid));
  for (const test::FakeServer* bad : {&selfSigned, &expired, &otherName}) {
    const HttpReply got = httpGet(bad->url("/"), -1, kNoHosts);
    EXPECT_EQ(got.code, HttpError::kCertificate) << bad->url();
    EXPECT_FALSE(got.certificate) << bad->url();
  }
}

constexpr long kDay = 24 * 60 * 60;

// A site whose leaf expires in leafDays and, with middleDays, is signed through an intermediate
// that expires then; the reply's certificate is the one of the two that expires first, found by
// its time (to the minute: the certificates are made a moment before) and its names.
TEST(HttpsGet, TheReplyHasTheEarliestExpiringCertificateOfTheVerifiedChain) {
  const std::string site = "CN=127.0.0.", middle = "CN=Vantry Test Intermediate ";
  // leaf days, intermediate days; expected days, subject and issuer prefixes.
  const std::tuple<long, std::optional<long>, long, std::string, std::string> cases[] = {
      {20, 10, 10, middle, "CN=Vantry Test CA"},
      {10, 20, 10, site, middle},
      {12, 12, 12, site, middle},  // a tie: the leaf
      // A leaf outliving the CA: the trust anchor is not counted.
      {20 * 365, std::nullopt, 20 * 365, site, "CN=Vantry Test CA"}};
  for (const auto& [leafDays, middleDays, days, subject, issuer] : cases) {
    const std::optional<long> middleSeconds =
        middleDays ? std::optional<long>(*middleDays * kDay) : std::nullopt;
    test::FakeServer server(
        test::answerWith(test::httpReplyText("200 OK", "x")),
        {443, false, trusted().issuingExpiring(leafDays * kDay, middleSeconds)});
    const HttpReply got = httpGet(server.url("/"), -1, kNoHosts);
    ASSERT_EQ(got.code, HttpError::kOk) << leafDays;
    ASSERT_TRUE(got.certificate) << leafDays;
    EXPECT_NEAR(static_cast<double>(got.certificate->notAfter),
                static_cast<double>(std::time(nullptr) + days * kDay), 60)
        << leafDays;
    EXPECT_TRUE(got.certificate->subject.starts_with(subject)) << got.certificate->subject;
    EXPECT_TRUE(got.certificate->issuer.starts_with(issuer)) << got.certificate->issuer;
    if (subject == site) {
      EXPECT_EQ(got.certificate->subject, "CN=" + server.address());
    }
  }
}

// Names go into files and pages: controls and broken UTF-8 become "?", and the cut to 255 bytes
// never splits a character.
TEST(CertificateName, ControlsAndBrokenUtf8AreReplacedAndTheCutKeepsWholeCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"CN=caf\xc3\xa9,O=Shop", "CN=caf\xc3\xa9,O=Shop"},
      {"CN=a\nb\x7f\x01", "CN=a?b??"},
      {"CN=\xc3(\xff\xed\xa0\x80\xe2\x82", "CN=?(??????"},
      {std::string(300, 'a'), std::string(255, 'a')},
      {std::string(254, 'a') + "\xc3\xa9", std::string(254, 'a')},
      {std::string(252, 'a') + "\xf0\x9f\x94\x92" + "b", std::string(252, 'a')}};
  for (const auto& [raw, safe] : cases) EXPECT_EQ(safeCertificateName(raw), safe) << raw;
}

// A temporary working directory holding the host table `entries`, for as long as this lives.
struct HostsFile : test::TempWorkingDir {
  explicit HostsFile(const std::string& entries) { std::ofstream(kHostsPath) << entries; }
};

struct Ipv6Site : ::testing::Test {
  test::FakeServer site{test::answerWith(test::httpReplyText("200 OK", "six")),
                        test::ServerOptions{0, true, nullptr}};
  const std::string port = std::to_string(site.port());
};

TEST_F(Ipv6Site, IsReachedByItsAddressAndByAHostTableName) {
  ASSERT_TRUE(site.ok());
  EXPECT_EQ(httpGet(site.url("/a"), -1, kNoHosts).code, HttpError::kOk);
  EXPECT_NE(site.received(0).find("\r\nHost: [::1]:" + port + "\r\n"), std::string::npos);
  const HostsFile file("six.local ::1\n");
  EXPECT_EQ(httpGet("http://six.local:" + port + "/b", -1, HostTable::load()).code, HttpError::kOk);
  EXPECT_NE(site.received(1).find("\r\nHost: six.local:" + port + "\r\n"), std::string::npos);
}

// A name's addresses are tried in the resolver's order: the first that connects is used.
TEST(HttpGet, ANameIsReachedOnTheFirstOfItsAddressesThatConnects) {
  test::FakeServer six(test::answerWith(test::httpReplyText("200 OK", "six")),
                       test::ServerOptions{0, true, nullptr});
  test::FakeServer refusing(nullptr, six.port());
  ASSERT_TRUE(six.ok() && refusing.ok());
  const std::string url = "http://both.test:" + std::to_string(six.port()) + "/";
  resolvedBoth = {refusing.address(), "::1"};
  EXPECT_EQ(httpGet(url, -1, kNoHosts).code, HttpError::kOk);
  resolvedBoth = {refusing.address()};
  EXPECT_EQ(httpGet(url, -1, kNoHosts).code, HttpError::kConnectError);
  EXPECT_EQ(six.connectionCount(), 1);
}

TEST(HostTable, TheFirstEntryOfANameWinsInAnyCase) {
  const HostTable hosts(parseHostTable("Site.Local 127.0.0.1\nsite.local 127.0.0.2\nbad x\n"));
  EXPECT_EQ(hosts.lookup("SITE.local"), parseIpAddress("127.0.0.1"));
  EXPECT_EQ(hosts.lookup("bad"), std::nullopt);
  EXPECT_EQ(hosts.lookup("other.local"), std::nullopt);
}

TEST(HostTable, AnEntryIsUsedOnlyWhenItsAddressHasAReverseName) {
  // 127.0.0.1 has a reverse name (localhost), 127.0.0.37 none; an IPv6 entry is reached above.
  const HostsFile file("Site.Local 127.0.0.1\nnoreverse.local 127.0.0.37\n");
  const HostTable hosts = HostTable::load();
  EXPECT_EQ(resolveHost("site.LOCAL", hosts), std::vector<IpAddress>{*parseIpAddress("127.0.0.1")});
  EXPECT_TRUE(resolveHost("noreverse.local", hosts).empty());
  EXPECT_TRUE(resolveHost("site.local", HostTable()).empty());  // only the loaded table has it
}

// Both ends of a connected local stream socket pair.
struct Receive : ::testing::Test {
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    near.reset(fds[0]);
    far.reset(fds[1]);
  }
  Received receive(Milliseconds wait) {
    return recvTimeout(near.get(), buffer, sizeof buffer, wait);
  }
  UniqueFd near, far;
  char buffer[16];
};

TEST_F(Receive, GivesTheBytesThatArrivedThenTimesOutThenThePeersCloseThenFails) {
  const Received none = receive(Milliseconds(50));
  EXPECT_EQ(std::pair(none.kind, none.bytes), std::pair(Received::Kind::kTimedOut, size_t{0}));
  ASSERT_TRUE(sendText(far.get(), "abc"));
  far.reset();
  const Received first = receive(Milliseconds(1000));
  EXPECT_EQ(first.kind, Received::Kind::kBytes);
  EXPECT_EQ(std::string_view(buffer, first.bytes), "abc");
  EXPECT_EQ(receive(Milliseconds(1000)).kind, Received::Kind::kClosed);
  near.reset();
  EXPECT_EQ(receive(Milliseconds(50)).kind, Received::Kind::kFailed);
}

}  // namespace
}  // namespace vy
