// One URL's check through the "checkurl" command, against loopback sites.
#include "runner/check_url.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::answerWith;
using test::FakeServer;
using test::httpReplyText;

class CheckUrlTest : public test::WorkerTest {
 protected:
  // A group of one URL with a banned (kUrlCheckBan) or a present text (kUrlCheckPres).
  static GroupConfig checking(const std::string& url, uint8_t flag, const std::string& text) {
    GroupConfig group = groupOf({url});
    flag == kUrlCheckBan ? group.addBanContent(text) : group.addPresContent(text);
    group.urls[0].flags = flag;
    return group;
  }
};

TEST_F(CheckUrlTest, RequestCarriesTheIdentityOfTheSettings) {
  FakeServer site(answerWith(httpReplyText("200 OK", "hello")));
  const std::string url = "http://" + site.address();
  storeGroup("general", groupOf({url}));
  test::RunResult result = checkurl("", url);
  EXPECT_EQ(result.exitCode, 5);  // up, and present without a presence check
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(site.connectionCount(), 1);
  EXPECT_EQ(site.received(0),
            "GET / HTTP/1.0\r\nUser-Agent: VantryTest/1.0\r\nReferer: "
            "http://console.test\r\nAccept: */*\r\nHost: " +
                site.address() + "\r\n\r\n");
  EXPECT_EQ(readGroup("general").urls[0].resultCode, 200);
}

TEST_F(CheckUrlTest, StatusIsWrittenIntoTheRightRecordOnly) {
  FakeServer up(answerWith(httpReplyText("200 OK", "fine")));
  FakeServer missing(answerWith(httpReplyText("404 Not Found", "gone")));
  storeGroup("shop", groupOf({up.url("/a"), missing.url("/b"), up.url("/c")}));
  const std::string before = groupBytes("shop");

  EXPECT_EQ(checkurl("shop", missing.url("/b")).exitCode, 0);
  const std::string after = groupBytes("shop");
  const size_t record = readGroup("shop").urls[1].fileOffset;
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, record), before.substr(0, record));
  EXPECT_EQ(after.substr(record + kUrlStatusSize), before.substr(record + kUrlStatusSize));

  EXPECT_EQ(checkurl("shop", up.url("/c")).exitCode, 5);
  GroupConfig stored = readGroup("shop");
  EXPECT_EQ(stored.urls[0].lastCheck, 0u);
  EXPECT_EQ(stored.urls[1].resultCode, 404);
  EXPECT_EQ(stored.urls[1].flags, 0);
  EXPECT_EQ(stored.urls[2].resultCode, 200);
  EXPECT_EQ(stored.urls[2].flags, kUrlUp | kUrlPresOk);
}

TEST_F(CheckUrlTest, SizeLimitIsTheStatusLineWithoutContentChecksAndTheSettingWithThem) {
  // The site never closes: a check that waits for more than it needs hangs.
  const std::string page = std::string(600, 'x') + "needle" + std::string(2000, 'y') + "far";
  FakeServer site([&](test::FakeConnection& connection) {
    std::string head = connection.readUntil("\r\n\r\n");
    connection.send(head.find("/plain") != std::string::npos ? httpReplyText("200 OK", "short")
                                                             : httpReplyText("200 OK", page));
    connection.holdOpen(30);
  });
  storeGroup("needle", checking(site.url("/page"), kUrlCheckPres, "needle"));
  storeGroup("far", checking(site.url("/page"), kUrlCheckPres, "far"));
  EXPECT_EQ(checkurl("needle", site.url("/page")).exitCode, 5);  // within MAXLENPAGE 1000
  EXPECT_EQ(checkurl("far", site.url("/page")).exitCode, 1);     // beyond it: missing

  storeGroup("plain", groupOf({site.url("/plain")}));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(checkurl("plain", site.url("/plain")).exitCode, 5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(CheckUrlTest, MovedPageIsFollowedAtMostTwiceAndOnlyWithContentChecks) {
  FakeServer site(answerWith("HTTP/1.0 301 Moved Permanently\r\nLocation: /again\r\n\r\n"));
  storeGroup("plain", groupOf({site.url("/old")}));
  EXPECT_EQ(checkurl("plain", site.url("/old")).exitCode, 5);
  EXPECT_EQ(site.connectionCount(), 1);

  storeGroup("checked", checking(site.url("/old"), kUrlCheckBan, "error"));
  EXPECT_EQ(checkurl("checked", site.url("/old")).exitCode, 5);
  EXPECT_EQ(site.connectionCount(), 1 + 3);
  EXPECT_EQ(readGroup("checked").urls[0].resultCode, 301);
}

TEST_F(CheckUrlTest, RelativeRedirectReachesTheSameHostAndItsPageIsTested) {
  FakeServer site(answerWith([](const std::string& request) {
    if (request.rfind("GET /shop/cart", 0) == 0) {
      return std::string("HTTP/1.0 302 Found\r\nlocation:   login?next=1\r\n\r\n");
    }
    return httpReplyText("200 OK", "<title>Login ERROR</title>");
  }));
  storeGroup("shop", checking(site.url("/shop/cart"), kUrlCheckBan, "error"));
  EXPECT_EQ(checkurl("shop", site.url("/shop/cart")).exitCode, 7);  // up, banned text found
  ASSERT_EQ(site.connectionCount(), 2);
  EXPECT_EQ(site.received(1).rfind("GET /shop/login?next=1 HTTP/1.0\r\n", 0), 0u);
}

TEST_F(CheckUrlTest, AFailingPageThatWasUpIsRetriedAndOneThatWasDownIsNot) {
  FakeServer site(answerWith(httpReplyText("500 Internal Server Error", "")));
  auto checkFailing = [&](int recheckUpTimes, bool wasUp) {
    settings_.recheckUpTimes = recheckUpTimes;
    saveSettings();
    GroupConfig group = groupOf({site.url("/page")});
    group.urls[0].lastCheck = 1000;
    group.urls[0].setFlag(kUrlUp, wasUp);
    storeGroup("shop", group);
    int before = site.connectionCount();
    EXPECT_EQ(checkurl("shop", site.url("/page")).exitCode, 0);
    return site.connectionCount() - before;
  };
  EXPECT_EQ(checkFailing(3, true), 3);
  EXPECT_EQ(checkFailing(3, false), 1);
  EXPECT_EQ(checkFailing(0, true), 1);  // 0 is taken as 1
}

TEST_F(CheckUrlTest, CheckLogRecordsTheFirstCheckAndChangesOnly) {
  auto turn = std::make_shared<std::atomic<int>>(0);
  FakeServer site(answerWith([turn](const std::string&) {
    return httpReplyText((*turn)++ < 2 ? "200 OK" : "203 Non-Authoritative Information", "");
  }));
  const std::string url = "http://" + site.address() + "/";
  GroupConfig group = groupOf({url});
  group.setOption(kOptWriteLog, true);
  storeGroup("shop", group);

  checkurl("shop", url);
  std::string bytes = instance_.read("vydata/vychklog/shop.log");
  ASSERT_EQ(bytes.size(), 8 + url.size() + 1);
  EXPECT_EQ(bytes.substr(4), std::string("\xC8\x00\x05\x00", 4) + url + '\0');  // 200, up+presOk

  checkurl("shop", url);  // the same result: nothing to log
  EXPECT_EQ(instance_.read("vydata/vychklog/shop.log"), bytes);
  checkurl("shop", url);  // the code alone changed
  std::string grown = instance_.read("vydata/vychklog/shop.log");
  ASSERT_EQ(grown.size(), 2 * bytes.size());
  EXPECT_EQ(grown.substr(bytes.size() + 4, 2), std::string("\xCB\x00", 2));  // 203
}

TEST_F(CheckUrlTest, InputWithoutUrlAndBadGroupNamesAreRefused) {
  EXPECT_EQ(instance_.runWorker({"checkurl", "shop"}, {}, "").exitCode, 255);
  EXPECT_EQ(checkurl("../etc", "http://127.0.0.1/").exitCode, 3);
  EXPECT_EQ(test::loggedActions(instance_), (test::LogLines{{"0", "Invalid group name"}}));
}

TEST(Redirects, LocationIsFoundAtALineStartAndRelativeTargetsAreResolved) {
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nLOCATION: http://a/b\r\n\r\n"), "http://a/b");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nX-Location: /no\r\n\r\n"), "");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\n\r\nLocation: /body\r\n"), "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/login", "http://h/login"}, {"login", "http://h/a/login"},
      {"?x=1", "http://h/a/b?x=1"}, {"//other/x", "http://other/x"},
      {"http://o/x", "http://o/x"}, {"https://o/x", "https://o/x"}};
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(resolveRedirect("http://h/a/b?q=1", target), expected) << target;
  }
  EXPECT_EQ(resolveRedirect("http://h", "login"), "http://h/login");
}

}  // namespace
}  // namespace vy
