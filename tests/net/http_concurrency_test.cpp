// Many check threads fetching from several sites at once: every reply must
// arrive intact and belong to its own request. Also run under the thread
// and address sanitizers.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/http.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

constexpr int kSites = 4;
constexpr int kThreads = 12;
constexpr int kRequestsPerThread = 20;

// The page a site sends for a path: its size and bytes depend on both, so a
// reply that went to the wrong request or lost a chunk cannot pass.
std::string pageFor(const std::string& site, const std::string& path) {
  std::string seed = site + path + ";";
  std::string body;
  size_t size = 700 + 1379 * (std::hash<std::string>{}(seed) % 23);
  while (body.size() < size) body += seed;
  body.resize(size);
  return test::httpReplyText("200 OK", body);
}

// The path between "GET " and " HTTP/1.0" of a request head.
std::string requestPath(const std::string& request) {
  size_t end = request.find(" HTTP/1.0\r\n");
  return request.size() > 4 && end != std::string::npos ? request.substr(4, end - 4) : "?";
}

// The value of the Host header of a request head.
std::string requestHost(const std::string& request) {
  size_t start = request.find("\r\nHost: ");
  if (start == std::string::npos) return "?";
  start += 8;
  return request.substr(start, request.find("\r\n", start) - start);
}

TEST(HttpConcurrency, ManyThreadsGetEveryReplyIntact) {
  std::vector<std::unique_ptr<test::FakeServer>> sites;
  for (int i = 0; i < kSites; ++i) {
    sites.push_back(
        std::make_unique<test::FakeServer>(test::answerWith([](const std::string& request) {
          return pageFor(requestHost(request), requestPath(request));
        })));
    ASSERT_TRUE(sites.back()->ok());
  }
  setRequestIdentity("VantryTest/1.0", "http://console.test/");

  std::atomic<int> intact{0};
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRequestsPerThread; ++r) {
        const std::string& site = sites[(t + r) % kSites]->address();
        std::string path = "/t" + std::to_string(t) + "/r" + std::to_string(r) + "?q=" + site;
        std::string expected = pageFor(site, path);
        int limit = r % 5 == 4 ? 25 : -1;
        HttpReply reply = httpGet("http://" + site + path, limit, 15);
        bool ok = reply.code == kHttpOk && reply.data &&
                  (limit < 0 ? *reply.data == expected
                             : reply.data->size() >= 25 && expected.starts_with(*reply.data)) &&
                  replyStatus(reply).code == 200;
        if (ok) {
          ++intact;
        } else if (failures[t].empty()) {
          failures[t] = "code " + std::to_string(reply.code) + " for " + path;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  EXPECT_EQ(intact.load(), kThreads * kRequestsPerThread);
  int connections = 0;
  for (auto& site : sites) connections += site->connectionCount();
  EXPECT_EQ(connections, kThreads * kRequestsPerThread);
}

}  // namespace
}  // namespace vy
