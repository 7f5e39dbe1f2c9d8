// One URL's check through the "checkurl" command, against loopback sites.
#include "runner/check_url.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;
using test::answerWith;
using test::httpReplyText;

class CheckUrlTest : public test::WorkerTest {
 protected:
  // A group of the given URLs, without content checks unless asked.
  GroupConfig groupOf(std::initializer_list<std::string> urls, uint8_t urlFlags = 0) {
    GroupConfig group;
    group.checkInterval = 10;
    group.setOption(kOptWriteLog, true);
    for (const std::string& url : urls) group.addUrl(url).flags = urlFlags;
    return group;
  }
};

// A server that answers every request with the next reply of a list (the
// last one repeats).
test::Session answerInTurn(std::vector<std::string> replies) {
  auto turn = std::make_shared<std::atomic<size_t>>(0);
  return answerWith([replies, turn](const std::string&) {
    size_t i = (*turn)++;
    return replies[std::min(i, replies.size() - 1)];
  });
}

TEST_F(CheckUrlTest, RequestCarriesTheIdentityOfTheSettings) {
  FakeServer site(answerWith(httpReplyText("200 OK", "hello")));
  const std::string url = "http://" + site.address();
  GroupConfig group = groupOf({url});
  storeGroup("shop", group);
  test::RunResult result = checkurl("shop", url);
  EXPECT_EQ(result.exitCode, 5);  // up, and present without a presence check
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(site.received(0), "GET / HTTP/1.0\r\nUser-Agent: VantryTest/1.0\r\nReferer: "
                              "http://console.test\r\nAccept: */*\r\nHost: " +
                                  site.address() + "\r\n\r\n");
}

TEST_F(CheckUrlTest, StatusIsWrittenIntoTheRightRecordAndTheOthersStayAlone) {
  FakeServer up(answerWith(httpReplyText("200 OK", "fine")));
  FakeServer missing(answerWith(httpReplyText("404 Not Found", "gone")));
  GroupConfig group = groupOf({up.url("/a"), missing.url("/b"), up.url("/c")});
  storeGroup("shop", group);
  const std::time_t before = std::time(nullptr);

  EXPECT_EQ(checkurl("shop", missing.url("/b")).exitCode, 0);
  EXPECT_EQ(checkurl("shop", up.url("/c")).exitCode, 5);

  GroupConfig stored = readGroup("shop");
  ASSERT_EQ(stored.urlCount(), 3);
  EXPECT_EQ(stored.urls[0].lastCheck, 0u);
  EXPECT_EQ(stored.urls[1].resultCode, 404);
  EXPECT_FALSE(stored.urls[1].up());
  EXPECT_EQ(stored.urls[2].resultCode, 200);
  EXPECT_TRUE(stored.urls[2].up());
  EXPECT_TRUE(stored.urls[2].presOk());
  EXPECT_GE(stored.urls[2].lastCheck, static_cast<uint32_t>(before));
}

TEST_F(CheckUrlTest, SizeLimitIsTheStatusLineWithoutContentChecksAndTheSettingWithThem) {
  std::string page = std::string(600, 'x') + "needle" + std::string(2000, 'y') + "far";
  FakeServer site(answerWith(httpReplyText("200 OK", page)));
  GroupConfig group = groupOf({site.url("/near"), site.url("/far")}, kUrlCheckPres);
  group.addPresContent("needle");
  storeGroup("near", group);
  GroupConfig farGroup = groupOf({site.url("/far")}, kUrlCheckPres);
  farGroup.addPresContent("far");
  storeGroup("far", farGroup);

  EXPECT_EQ(checkurl("near", site.url("/near")).exitCode, 5);  // within MAXLENPAGE 1000
  EXPECT_EQ(checkurl("far", site.url("/far")).exitCode, 1);    // beyond it: missing
  EXPECT_EQ(readGroup("far").urls[0].presIndex, 0);

  // Without a content check only the status line matters: a page cut after
  // 25 bytes (one chunk) is still up.
  GroupConfig plain = groupOf({site.url("/plain")});
  plain.addPresContent("needle");
  storeGroup("plain", plain);
  EXPECT_EQ(checkurl("plain", site.url("/plain")).exitCode, 5);
}

TEST_F(CheckUrlTest, MovedPageWithoutContentChecksIsUpAndNotFollowed) {
  FakeServer site(answerWith(
      "HTTP/1.0 301 Moved Permanently\r\nLocation: /elsewhere\r\n\r\n"));
  GroupConfig group = groupOf({site.url("/old")});
  storeGroup("shop", group);
  EXPECT_EQ(checkurl("shop", site.url("/old")).exitCode, 5);
  EXPECT_EQ(site.connectionCount(), 1);
  EXPECT_EQ(readGroup("shop").urls[0].resultCode, 301);
}

TEST_F(CheckUrlTest, RedirectsAreFollowedAtMostTwiceWithContentChecks) {
  FakeServer site(answerWith("HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n"));
  GroupConfig group = groupOf({site.url("/start")}, kUrlCheckBan);
  group.addBanContent("error");
  storeGroup("shop", group);
  EXPECT_EQ(checkurl("shop", site.url("/start")).exitCode, 5);
  EXPECT_EQ(site.connectionCount(), 3);
  EXPECT_EQ(readGroup("shop").urls[0].resultCode, 302);
}

TEST_F(CheckUrlTest, RelativeRedirectReachesTheSameHostAndItsPageIsTested) {
  FakeServer site(answerWith([](const std::string& request) {
    if (request.rfind("GET /shop/cart", 0) == 0) {
      return std::string("HTTP/1.0 302 Found\r\nlocation:   login?next=1\r\n\r\n");
    }
    return httpReplyText("200 OK", "<title>Login ERROR</title>");
  }));
  GroupConfig group = groupOf({site.url("/shop/cart")}, kUrlCheckBan);
  group.addBanContent("error");
  storeGroup("shop", group);
  EXPECT_EQ(checkurl("shop", site.url("/shop/cart")).exitCode, 7);  // up, banned text found
  ASSERT_EQ(site.connectionCount(), 2);
  EXPECT_EQ(site.received(1).rfind("GET /shop/login?next=1 HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(readGroup("shop").urls[0].resultCode, 200);
}

TEST_F(CheckUrlTest, AFailingPageThatWasUpIsRetriedAndOneThatWasDownIsNot) {
  FakeServer site(answerWith(httpReplyText("500 Internal Server Error", "")));
  settings_.recheckUpTimes = 3;
  saveSettings();
  GroupConfig group = groupOf({site.url("/wasup"), site.url("/wasdown")});
  group.urls[0].flags = kUrlUp;
  group.urls[0].lastCheck = 1000;
  group.urls[0].resultCode = 200;
  group.urls[1].lastCheck = 1000;
  group.urls[1].resultCode = 500;
  storeGroup("shop", group);

  EXPECT_EQ(checkurl("shop", site.url("/wasup")).exitCode, 0);
  EXPECT_EQ(site.connectionCount(), 3);
  EXPECT_EQ(checkurl("shop", site.url("/wasdown")).exitCode, 0);
  EXPECT_EQ(site.connectionCount(), 4);

  settings_.recheckUpTimes = 0;  // treated as 1
  saveSettings();
  GroupConfig again = groupOf({site.url("/wasup")});
  again.urls[0].flags = kUrlUp;
  again.urls[0].lastCheck = 1000;
  storeGroup("other", again);
  checkurl("other", site.url("/wasup"));
  EXPECT_EQ(site.connectionCount(), 5);
}

TEST_F(CheckUrlTest, CheckLogRecordsTheFirstCheckAndChangesOnly) {
  FakeServer site(answerInTurn({httpReplyText("200 OK", ""), httpReplyText("200 OK", ""),
                                httpReplyText("203 Non-Authoritative Information", "")}));
  const std::string url = "http://" + site.address() + "/";
  GroupConfig group = groupOf({url});
  storeGroup("shop", group);

  checkurl("shop", url);
  std::string bytes = instance_.read("vydata/vychklog/shop.log");
  ASSERT_EQ(bytes.size(), 8 + url.size() + 1);
  EXPECT_EQ(bytes.substr(4, 4), std::string("\xC8\x00\x05\x00", 4));  // 200, up + presOk
  EXPECT_EQ(bytes.substr(8), url + '\0');

  checkurl("shop", url);  // same result: nothing to log
  EXPECT_EQ(checkLog("shop").size(), 1u);
  checkurl("shop", url);  // the code alone changed
  auto log = checkLog("shop");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].status, 203);
}

TEST_F(CheckUrlTest, FailedRequestStoresTheClientErrorAsADownStatus) {
  test::RefusingAddress closed;
  GroupConfig group = groupOf({closed.url("/")});
  storeGroup("shop", group);
  EXPECT_EQ(checkurl("shop", closed.url("/")).exitCode, 0);
  GroupConfig stored = readGroup("shop");
  EXPECT_EQ(stored.urls[0].resultCode, 5);
  EXPECT_FALSE(stored.urls[0].up());
  auto log = checkLog("shop");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 5);
  EXPECT_EQ(log[0].flags, 0);
}

TEST_F(CheckUrlTest, WithoutAGroupTheUrlOfStandardInputUpdatesTheGeneralGroup) {
  FakeServer site(answerWith(httpReplyText("200 OK", "")));
  GroupConfig general = groupOf({site.url("/x"), site.url("/y")});
  storeGroup("general", general);
  EXPECT_EQ(checkurl("", site.url("/y")).exitCode, 5);
  GroupConfig stored = readGroup("general");
  EXPECT_EQ(stored.urls[0].lastCheck, 0u);
  EXPECT_EQ(stored.urls[1].resultCode, 200);
}

TEST_F(CheckUrlTest, UnknownAddressChecksTheFirstEntryOfTheGroup) {
  FakeServer site(answerWith(httpReplyText("200 OK", "")));
  GroupConfig group = groupOf({site.url("/first"), site.url("/second")});
  storeGroup("shop", group);
  EXPECT_EQ(checkurl("shop", "http://127.0.0.1/not-in-group").exitCode, 5);
  EXPECT_EQ(site.received(0).rfind("GET /first ", 0), 0u);
}

TEST_F(CheckUrlTest, InputWithoutUrlAndBadGroupNamesAreRefused) {
  EXPECT_EQ(instance_.runWorker({"checkurl", "shop"}, {}, "").exitCode, 255);
  test::RunResult bad = instance_.runWorker({"checkurl", "../etc"}, {}, "url=http://127.0.0.1/\n");
  EXPECT_EQ(bad.exitCode, 3);
  auto log = instance_.errorLog();
  ASSERT_EQ(log.size(), 1u);
  auto fields = test::splitLogLine(log[0]);
  EXPECT_EQ(fields.at(2), "0");
  EXPECT_EQ(fields.at(4), "Invalid group name");
}

TEST(Redirects, LocationHeaderIsFoundAtALineStartWhateverItsCase) {
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nLOCATION: http://a/b\r\n\r\n"), "http://a/b");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nX-Location: /no\r\n\r\n"), "");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\n\r\nLocation: /body\r\n"), "");
  EXPECT_EQ(findLocationHeader("HTTP/1.0 302 Found\r\nLocation: /cut-off"), "");
}

TEST(Redirects, RelativeTargetsResolveAgainstTheFetchedUrl) {
  EXPECT_EQ(resolveRedirect("http://h/a/b?q=1", "/login"), "http://h/login");
  EXPECT_EQ(resolveRedirect("http://h/a/b?q=1", "login"), "http://h/a/login");
  EXPECT_EQ(resolveRedirect("http://h/a/b?q=1", "?x=1"), "http://h/a/b?x=1");
  EXPECT_EQ(resolveRedirect("http://h", "login"), "http://h/login");
  EXPECT_EQ(resolveRedirect("http://h?q", "?x"), "http://h/?x");
  EXPECT_EQ(resolveRedirect("http://h/a", "//other/x"), "http://other/x");
  EXPECT_EQ(resolveRedirect("http://h/a", "http://other/x"), "http://other/x");
  EXPECT_EQ(resolveRedirect("http://h/a", "https://other/x"), "https://other/x");
}

}  // namespace
}  // namespace vy
