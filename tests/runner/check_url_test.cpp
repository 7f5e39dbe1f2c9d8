// One URL's check: "checkurl", the size limit, redirects and retries.
#include "runner/check_url.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <tuple>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::answerWith;
using test::FakeServer;
using test::httpReplyText;
using test::LogLines;

using CheckUrlTest = test::WorkerTest;

// A group of one URL testing a banned (kUrlCheckBan) or a present text (kUrlCheckPres).
GroupConfig checking(const std::string& url, uint8_t flag, const std::string& text) {
  GroupConfig group;
  group.addUrl(url).flags = flag;
  flag == kUrlCheckBan ? group.addBanContent(text) : group.addPresContent(text);
  return group;
}

// A missing and an empty group argument each check one URL of "general".
TEST_F(CheckUrlTest, UrlFromInputIsCheckedInGeneralWithoutAGroupWithTheIdentityOfTheSettings) {
  EXPECT_EQ(instance_.runWorker({"checkurl", "shop"}, {}, "").exitCode, 255);
  FakeServer site(answerWith(httpReplyText("200 OK", "hello")));
  const std::string url = "http://" + site.address();
  storeGroup("general", groupOf({url, site.url("/b"), site.url("/c")}));
  EXPECT_EQ(checkurl("", url).exitCode, 5);  // up, and present without a presence check
  EXPECT_EQ(site.received(0),
            "GET / HTTP/1.0\r\nUser-Agent: VantryTest/1.0\r\nReferer: "
            "http://console.test\r\nAccept: */*\r\nHost: " +
                site.address() + "\r\n\r\n");
  EXPECT_EQ(instance_.runWorker({"checkurl", ""}, {}, "url=" + site.url("/b") + "\n").exitCode, 5);
  GroupConfig general = readGroup("general");
  EXPECT_EQ(
      std::tuple(general.urls[0].resultCode, general.urls[1].resultCode, general.urls[2].lastCheck),
      std::tuple(200, 200, 0u));
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// The group file changes in the checked URL's record only; the check log gets first checks and
// changes only.
TEST_F(CheckUrlTest, ACheckWritesItsOwnRecordAndLogsFirstChecksAndChangesOnly) {
  auto turn = std::make_shared<std::atomic<int>>(0);
  FakeServer site(answerWith([turn](const std::string&) {
    return httpReplyText((*turn)++ < 2 ? "200 OK" : "203 Non-Authoritative Information", "");
  }));
  const std::string url = site.url("/b");
  GroupConfig group = groupOf({site.url("/a"), url, site.url("/c")});
  group.setOption(kOptWriteLog, true);
  storeGroup("shop", group);
  const std::string before = groupBytes("shop");
  EXPECT_EQ(checkurl("shop", url).exitCode, 5);
  const std::string after = groupBytes("shop");
  const size_t start = readGroup("shop").urls[1].fileOffset, end = start + kUrlStatusSize;
  EXPECT_EQ(after.substr(0, start) + after.substr(end),
            before.substr(0, start) + before.substr(end));
  EXPECT_EQ(readGroup("shop").urls[1].resultCode, 200);
  std::string bytes = instance_.read("vydata/vychklog/shop.log");
  EXPECT_EQ(bytes.substr(4), std::string("\xC8\x00\x05\x00", 4) + url + '\0');  // 200, up+presOk
  checkurl("shop", url);  // the same result: nothing to log
  EXPECT_EQ(instance_.read("vydata/vychklog/shop.log"), bytes);
  checkurl("shop", url);  // the code alone changed
  std::string grown = instance_.read("vydata/vychklog/shop.log");
  ASSERT_EQ(grown.size(), 2 * bytes.size());
  EXPECT_EQ(grown.substr(bytes.size() + 4, 2), std::string("\xCB\x00", 2));  // 203
}

// The status line without content checks, MAXLENPAGE with them.
TEST_F(CheckUrlTest, TheSizeLimitFollowsTheContentChecks) {
  // The site never closes: a check that waits for more than it needs hangs.
  const std::string page = std::string(600, 'x') + "needle" + std::string(2000, 'y') + "far";
  FakeServer site([&](test::FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send(httpReplyText("200 OK", page));
    connection.holdOpen(30);
  });
  storeGroup("needle", checking(site.url("/page"), kUrlCheckPres, "needle"));
  storeGroup("far", checking(site.url("/page"), kUrlCheckPres, "far"));
  EXPECT_EQ(checkurl("needle", site.url("/page")).exitCode, 5);  // within MAXLENPAGE 1000
  EXPECT_EQ(checkurl("far", site.url("/page")).exitCode, 1);     // beyond it: missing
  storeGroup("plain", groupOf({site.url("/page")}));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(checkurl("plain", site.url("/page")).exitCode, 5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(CheckUrlTest, RedirectsAreFollowedOnlyWithContentChecksAtMostTwiceOnTheSameHost) {
  FakeServer site(answerWith([](const std::string& request) {
    if (request.rfind("GET /shop/cart", 0) == 0) {
      return std::string("HTTP/1.0 302 Found\r\nlocation:   login?next=1\r\n\r\n");
    }
    if (request.rfind("GET /shop/", 0) == 0) return httpReplyText("200 OK", "<title>ERROR</title>");
    return std::string("HTTP/1.0 301 Moved Permanently\r\nLocation: /again\r\n\r\n");
  }));
  storeGroup("plain", groupOf({site.url("/old")}));
  EXPECT_EQ(checkurl("plain", site.url("/old")).exitCode, 5);
  EXPECT_EQ(site.connectionCount(), 1);
  EXPECT_EQ(readGroup("plain").urls[0].resultCode, 301);
  storeGroup("checked", checking(site.url("/old"), kUrlCheckBan, "error"));
  EXPECT_EQ(checkurl("checked", site.url("/old")).exitCode, 5);
  EXPECT_EQ(site.connectionCount(), 1 + 3);
  storeGroup("shop", checking(site.url("/shop/cart"), kUrlCheckBan, "error"));
  EXPECT_EQ(checkurl("shop", site.url("/shop/cart")).exitCode, 7);  // up, banned text found
  ASSERT_EQ(site.connectionCount(), 4 + 2);
  EXPECT_EQ(site.received(5).rfind("GET /shop/login?next=1 HTTP/1.0\r\n", 0), 0u);
}

TEST_F(CheckUrlTest, AFailingPageThatWasUpIsRetriedAndOneThatWasDownIsNot) {
  FakeServer site(answerWith(httpReplyText("500 Internal Server Error", "")));
  auto fetchesOfFailing = [&](int recheckUpTimes, bool wasUp) {
    settings_.recheckUpTimes = recheckUpTimes;
    saveSettings();
    GroupConfig group = groupOf({});
    addUrl(group, site.url("/page"), wasUp ? kUrlUp : 0, 1000);
    storeGroup("shop", group);
    int before = site.connectionCount();
    EXPECT_EQ(checkurl("shop", site.url("/page")).exitCode, 0);
    return site.connectionCount() - before;
  };
  EXPECT_EQ(fetchesOfFailing(3, true), 3);
  EXPECT_EQ(fetchesOfFailing(3, false), 1);
  EXPECT_EQ(fetchesOfFailing(0, true), 1);  // 0 is taken as 1
}

TEST(Redirects, LocationIsTakenFromAHeaderLineStartOnly) {
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nLOCATION: http://a/b\r\n\r\n"), "http://a/b");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nX-Location: /no\r\n\r\n"), "");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\n\r\nLocation: /body\r\n"), "");
}

TEST(Redirects, RelativeTargetsResolveAgainstTheBase) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/login", "http://h/login"}, {"login", "http://h/a/login"},
      {"?x=1", "http://h/a/b?x=1"}, {"//other/x", "http://other/x"},
      {"http://o/x", "http://o/x"}, {"https://o/x", "https://o/x"}};
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(resolveRedirect("http://h/a/b?q=1", target), expected) << target;
  }
  EXPECT_EQ(resolveRedirect("http://h", "login"), "http://h/login");
  EXPECT_EQ(resolveRedirect("https://h:8443/a", "//o/x"), "https://o/x");
  EXPECT_EQ(resolveRedirect("https://h:8443/a", "b"), "https://h:8443/b");
}

}  // namespace
}  // namespace vy
