// httpGet against loopback fake sites: the exact request text, the URL rules,
// the size limits, the timeout and many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "net/http.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;

TEST(HttpGet, RequestTextCarriesPathIdentityAndHost) {
  setRequestIdentity("VantryTest/1.0", "http://console.test/");
  const std::string reply = test::httpReplyText("200 OK", "<html>hello</html>");
  FakeServer site(test::answerWith(reply));
  ASSERT_TRUE(site.ok());
  const std::string host = site.address();
  const std::pair<std::string, std::string> cases[] = {
      {"", "/"}, {"?a=1", "/?a=1"}, {"/x?y=/z", "/x?y=/z"}};

  for (size_t i = 0; i < std::size(cases); ++i) {
    HttpReply got = httpGet("http://" + host + cases[i].first, -1, 15);
    EXPECT_EQ(got.code, kHttpOk);
    EXPECT_EQ(got.data, reply);
    EXPECT_EQ(got.length, reply.size());
    EXPECT_EQ(site.received(i), "GET " + cases[i].second +
                                    " HTTP/1.0\r\nUser-Agent: VantryTest/1.0\r\nReferer: "
                                    "http://console.test/\r\nAccept: */*\r\nHost: " +
                                    host + "\r\n\r\n");
  }
}

TEST(HttpGet, OtherSchemesAndPortsFailWithoutConnecting) {
  FakeServer site(test::answerWith(test::httpReplyText("200 OK", "")));
  ASSERT_TRUE(site.ok());
  FakeServer alternate(test::answerWith(test::httpReplyText("200 OK", "")), 8080, site.address());
  ASSERT_TRUE(alternate.ok());

  for (const std::string& url : {"https://" + site.address() + "/", "HTTP://" + site.address()}) {
    HttpReply got = httpGet(url, -1, 15);
    EXPECT_EQ(got.code, kHttpInvalidUrl) << url;
    EXPECT_FALSE(got.data.has_value()) << url;
  }
  EXPECT_EQ(httpGet("http://" + site.address() + ":8080/", -1, 15).code, kHttpLookupFailed);
  EXPECT_EQ(httpGet("http://host:8080/", -1, 15).code, kHttpLookupFailed);
  EXPECT_EQ(site.connectionCount(), 0);
  EXPECT_EQ(alternate.connectionCount(), 0);
}

TEST(HttpGet, SizeLimitStopsAfterTheChunkThatReachesIt) {
  std::string page(300000, ' ');
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<char>('a' + i % 26);
  FakeServer site(test::answerWith(page));
  ASSERT_TRUE(site.ok());

  HttpReply small = httpGet(site.url(), 25, 15);
  ASSERT_TRUE(small.code == kHttpOk && small.data.has_value());
  EXPECT_GE(small.data->size(), 25u);
  EXPECT_LE(small.data->size(), kReceiveChunk);
  EXPECT_EQ(*small.data, page.substr(0, small.data->size()));

  HttpReply large = httpGet(site.url(), 100000, 15);
  ASSERT_TRUE(large.code == kHttpOk && large.data.has_value());
  EXPECT_GE(large.data->size(), 100000u);
  EXPECT_LE(large.data->size(), 100000u + 511);
  EXPECT_LE(large.data->capacity(), 100000u + 511);
  EXPECT_EQ(*large.data, page.substr(0, large.data->size()));
}

TEST(HttpGet, ServerThatNeverAnswersTimesOut) {
  FakeServer site([](test::FakeConnection& connection) { connection.holdOpen(60); });
  ASSERT_TRUE(site.ok());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(httpGet(site.url(), 25, 15).code, kHttpTimeout);
  std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited.count(), 14.5);
  EXPECT_LT(waited.count(), 25.0);
}

// A reply whose size and bytes depend on the request line (which names the
// site), so a reply that went to the wrong request or lost a chunk fails.
std::string pageFor(const std::string& requestLine) {
  std::string body;
  while (body.size() < 700 + 1379 * (std::hash<std::string>{}(requestLine) % 23)) {
    body += requestLine;
  }
  return test::httpReplyText("200 OK", body);
}

TEST(HttpGet, ManyThreadsAgainstSeveralSitesGetEveryReplyIntact) {
  std::deque<FakeServer> sites;
  for (int i = 0; i < 4; ++i) {
    sites.emplace_back(test::answerWith(
        [](const std::string& request) { return pageFor(request.substr(0, request.find('\r'))); }));
    ASSERT_TRUE(sites.back().ok());
  }
  constexpr int kThreads = 12, kRequests = 20;
  std::atomic<int> intact{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRequests; ++r) {
        const FakeServer& site = sites[(t + r) % sites.size()];
        std::string path =
            "/t" + std::to_string(t) + "/r" + std::to_string(r) + "?" + site.address();
        HttpReply reply = httpGet(site.url(path), -1, 15);
        if (reply.code == kHttpOk && reply.data == pageFor("GET " + path + " HTTP/1.0")) ++intact;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(intact.load(), kThreads * kRequests);
}

}  // namespace
}  // namespace vy
