// Checking pages: content patterns, redirects, "checkurl", check runs and notifications.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>

#include "common/zonetime.h"
#include "runner/check_run.h"
#include "runner/check_url.h"
#include "runner/match_content.h"
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::answerWith;
using test::FakeServer;
using test::httpReplyText;
using test::LogLines;
using Paths = std::vector<std::string>;

bool matches(std::string_view page, std::string_view pattern) {
  return matchContent(page, pattern) == ContentMatch::kMatched;
}

// Each pattern with the pages it matches and the pages it misses.
TEST(MatchContent, LiteralsAreFoundInOrderAndCommandsTestTheTextsOfTheirRegion) {
  using Pages = std::vector<const char*>;
  const std::tuple<const char*, Pages, Pages> cases[] = {
      {"a[b]c", {"a b c"}, {"c b a"}},
      {"x[x]", {}, {"x"}},  // the next search starts after the last match
      {"a[]c", {"abxcd"}, {}},
      {"ab]cd", {}, {"cd ab"}},  // unmatched brackets still split
      {"ab[cd", {"abxcd"}, {}},
      {"<table[~=('<tr','</tr')]</table",
       {"<table><tr>1</tr><tr>2</tr></table>", "<tr><table><tr></tr></table><tr>"},
       {"<table><tr>1</tr><tr>2</table>"}},
      {"[~>('a','b')]", {"a a a b"}, {}},
      {"[~<('a','b')]", {}, {"a a a b"}},
      {"[~%('a','b')]", {"a a a b"}, {}},
      {"[~?('a','b')]", {}, {"b b a"}},
      {"[~?('a')]", {"a"}, {}},
      {"<title>[~-'error']</title>", {"<title>x</title>error"}, {"<title>an error</title>"}},
      {"<title>[~+'ok']</title>", {}, {"<title>no</title> ok"}},
      {"[~+'head']body", {"header body"}, {"body header"}},  // before the first literal
      {"</body>[~!]", {"<body>x</body>\n", "</body>junk</body>"}, {"<body>x</body>\n\n"}},
      {"a[~#whatever]c", {"abc"}, {}},
      {"[~]", {"abc"}, {}},
      {"[~+", {"abc"}, {}}};
  for (const auto& [pattern, matched, missed] : cases) {
    for (bool expected : {true, false}) {
      for (const char* page : expected ? matched : missed) {
        EXPECT_EQ(matches(page, pattern), expected) << pattern << " on " << page;
      }
    }
  }
}

// The searches under the patterns against the plain definitions, on pages of
// a small alphabet where false starts abound (more than the fast search
// tolerates before it hands over to memmem).
TEST(MatchContent, SearchesAndCountsAgreeWithThePlainDefinitionsOnEveryKindOfPage) {
  std::srand(7);
  auto randomText = [](size_t size, const char* alphabet, size_t letters) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += alphabet[std::rand() % letters];
    return text;
  };
  auto count = [](const std::string& page, const std::string& needle) {
    long n = 0;
    for (size_t at = page.find(needle); at != std::string::npos;
         at = page.find(needle, at + needle.size())) {
      ++n;
    }
    return n;
  };
  for (int round = 0; round < 3000; ++round) {
    const size_t letters = 2 + round % 3;
    std::string page = randomText(static_cast<size_t>(std::rand() % 3000), "aab<zq", letters);
    if (round % 7 == 0) page = std::string(5000, 'a') + "ab";  // false starts everywhere
    const std::string a = randomText(1 + std::rand() % 6, "aab<zq", letters);
    const std::string b = randomText(1 + std::rand() % 4, "aab<zq", letters);
    SCOPED_TRACE(page + " | " + a + " | " + b);
    ASSERT_EQ(matches(page, a), page.find(a) != std::string::npos);
    ASSERT_EQ(matches(page, "[~-'" + a + "']"), page.find(a) == std::string::npos);
    ASSERT_EQ(matches(page, "[~=('" + a + "','" + b + "')]"), count(page, a) == count(page, b));
  }
}

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

TEST_F(CheckUrlTest, StatusGoesIntoItsRecordOnlyAndTheCheckLogGetsFirstChecksAndChanges) {
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

TEST_F(CheckUrlTest, SizeLimitIsTheStatusLineWithoutContentChecksAndTheSettingWithThem) {
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
  EXPECT_EQ(resolveRedirect("https://h:8443/a", "//o/x"), "https://o/x");
  EXPECT_EQ(resolveRedirect("https://h:8443/a", "b"), "https://h:8443/b");
}

class CheckRunTest : public test::WorkerTest {
 protected:
  // Each answer takes 0.2 s, so that runs and threads overlap.
  CheckRunTest() : site_(test::answerAfter(0.2, httpReplyText("200 OK", "ok"))) {}

  // URLs /<name>/<i> checked every 5 minutes, last ages[i] seconds ago (0: never).
  void makeGroup(const std::string& name, std::vector<long> ages, uint8_t options = 0,
                 uint8_t moreOptions = 0) {
    GroupConfig group = groupOf({}, 5);
    group.options = options;
    group.moreOptions = moreOptions;
    for (size_t i = 0; i < ages.size(); ++i) {
      group.addUrl(site_.url("/" + name + "/" + std::to_string(i))).lastCheck =
          ages[i] == 0 ? 0 : static_cast<uint32_t>(std::time(nullptr) - ages[i]);
    }
    storeGroup(name, group);
  }
  // The paths requested from the site, sorted, each as often as it was requested.
  Paths requested() {
    site_.connectionCount();  // lets every connection land first
    Paths paths;
    for (const std::string& received : site_.received()) {
      std::istringstream request(received);
      paths.emplace_back();
      request >> paths.back() >> paths.back();
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  // A group checked every 5 minutes that notifies with `type` at `inform`.
  static GroupConfig notifying(int type, const std::string& inform,
                               const std::vector<std::string>& urls, bool oneShot = false) {
    GroupConfig group = groupOf(urls, 5);
    group.setInfType(type);
    group.inform = inform;
    group.setMoreOption(kMoreDeleteAfterCheck, oneShot);
    return group;
  }
  // An entry last checked long ago, when the page was up with status 200.
  static void wasUp(UrlStatus& entry) {
    entry.lastCheck = static_cast<uint32_t>(std::time(nullptr) - 1000);
    entry.resultCode = 200;
    entry.flags = kUrlUp | kUrlPresOk;
  }
  // A fake mail program as the mail transport: it records its arguments, one a line, and
  // appends the mail.
  void useFakeMail(const std::string& transport) {
    instance_.writeScript("fakemail.sh",
                          "printf '%s\\n' \"$0\" \"$@\" >> mailargs.txt\ncat >> mail.txt\n");
    settings_.mailTransport = transport;
  }

  FakeServer site_;
};

TEST_F(CheckRunTest, UrlsOlderThanTheIntervalAreDueAndNoOthers) {
  const std::time_t now = 1700000000;
  EXPECT_FALSE(isDue(static_cast<uint32_t>(now - 300), 5, now));
  EXPECT_TRUE(isDue(static_cast<uint32_t>(now - 301), 5, now));
  EXPECT_FALSE(isDue(0, 0, now));
  EXPECT_TRUE(isDue(0, -1, now));
  EXPECT_FALSE(isDue(1, -1, now));
  makeGroup("shop", {290, 310, 0});
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(requested(), (Paths{"/shop/1", "/shop/2"}));
}

// The maximum of "check" cuts across the groups in listing order; "checkgroup" takes its own
// maximum and threads and checks its group alone.
TEST_F(CheckRunTest, ARunTakesAtMostItsMaximumOfDueUrlsOldestFirst) {
  makeGroup("alpha", {1000, 2000});
  makeGroup("beta", {1000, 2000});
  auto listing = std::filesystem::directory_iterator(instance_.path("vydata/vydb"));
  const bool alphaFirst = listing->path().stem() == "alpha";
  EXPECT_EQ(instance_.runWorker({"check", "3"}).exitCode, 0);
  Paths expected = alphaFirst ? Paths{"/alpha/0", "/alpha/1", "/beta/1"}
                              : Paths{"/alpha/1", "/beta/0", "/beta/1"};
  EXPECT_EQ(requested(), expected);
  makeGroup("shop", {100000, 700, 600, 500, 400, 350, 900});
  EXPECT_EQ(instance_.runWorker({"checkgroup", "shop", "5", "2"}).exitCode, 0);
  expected.insert(expected.end(), {"/shop/0", "/shop/1", "/shop/2", "/shop/3", "/shop/6"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(requested(), expected);
}

TEST_F(CheckRunTest, NoThreadsOrSuspensionChecksNothingAndOneShotGroupsGoWhenDone) {
  makeGroup("paused", {0, 5000}, kOptSuspend);
  makeGroup("done", {0, 0}, 0, kMoreDeleteAfterCheck);
  const std::string paused = groupBytes("paused");
  EXPECT_EQ(instance_.runWorker({"check", "0", "0"}).exitCode, 0);
  EXPECT_EQ(requested(), Paths{});
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(groupBytes("paused"), paused);
  EXPECT_FALSE(instance_.exists("vydata/vydb/done.dat"));
  makeGroup("cut", {0, 0, 0}, 0, kMoreDeleteAfterCheck);
  EXPECT_EQ(instance_.runWorker({"check", "2"}).exitCode, 0);
  EXPECT_TRUE(instance_.exists("vydata/vydb/cut.dat"));
}

TEST_F(CheckRunTest, MissingCheckTimeFileEndsTheRunWithOneLogLine) {
  makeGroup("shop", {0});
  std::filesystem::remove(instance_.path("vydata/vytime/check"));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 1);
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"2", "./vydata/vytime/check"}}));
  EXPECT_EQ(requested(), Paths{});
}

TEST_F(CheckRunTest, RunsStartedTogetherTakeTurns) {
  makeGroup("shop", {0, 0, 0, 0});
  const test::RunOptions check{{"check"}, {}, "", 30};
  std::vector<test::BackgroundProcess> runs;
  for (int i = 0; i < 2; ++i) runs.push_back(instance_.start("vyrunner.cgi", check));
  for (test::BackgroundProcess& run : runs) EXPECT_EQ(run.wait(30).exitCode, 0);
  EXPECT_EQ(requested(), (Paths{"/shop/0", "/shop/1", "/shop/2", "/shop/3"}));
}

TEST_F(CheckRunTest, ThreadsShareTheWorkSoSlowSitesOverlap) {
  Paths expected;
  for (const std::string group : {"a", "b", "c"}) {
    makeGroup(group, std::vector<long>(20, 0));
    for (int i = 0; i < 20; ++i) expected.push_back("/" + group + "/" + std::to_string(i));
  }
  std::sort(expected.begin(), expected.end());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(instance_.runWorker({"check", "0", "10"}, {}, "", 60).exitCode, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  EXPECT_EQ(requested(), expected);
}

TEST_F(CheckRunTest, CommandAndHttpCallGetTheStatusAndFailuresAreReported) {
  FakeServer hook(answerWith([](const std::string& request) {
    return httpReplyText(request.rfind("GET /ok", 0) == 0 ? "200 OK" : "404 Not Found", "");
  }));
  const std::string url = site_.url("/page");
  storeGroup("shop", notifying(1, "cat > status.txt", {url}));
  storeGroup("broken", notifying(1, "exit 3", {site_.url("/other")}));
  storeGroup("good", notifying(3, hook.url("/ok?u=[URL]&s=[RETHTTP]"), {url}));
  storeGroup("bad", notifying(3, hook.url("/missing?s=[STATUS]"), {site_.url("/other")}));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(instance_.read("status.txt"), url + " 5 c=200");
  const std::string call = "GET /ok?u=http%3a%2f%2f" + site_.address() + "%2fpage&s=200 HTTP/1.0";
  EXPECT_NE((hook.received(0) + hook.received(1)).find(call), std::string::npos);
  EXPECT_EQ(test::loggedActions(instance_),
            (LogLines{{"0", hook.url("/missing?s=5")}, {"5", "exit 3"}}));
}

// Also when two threads finish the last two URLs at once.
TEST_F(CheckRunTest, BatchRunsOnceAfterTheLastUrlWithTheChangedUrlsBackToBack) {
  const std::string a = site_.url("/a"), c = site_.url("/c"), d = site_.url("/d");
  GroupConfig group =
      notifying(4, "cat >> batch.txt; echo run >> runs.txt", {a, site_.url("/b"), c, d});
  wasUp(group.urls[1]);  // stays up: no change
  storeGroup("shop", group);
  EXPECT_EQ(instance_.runWorker({"check", "1"}).exitCode, 0);  // c and d were never checked
  EXPECT_FALSE(instance_.exists("runs.txt"));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);  // only this run's changes
  EXPECT_EQ(instance_.read("runs.txt"), "run\n");
  EXPECT_EQ(instance_.read("batch.txt"), c + " 5 c=200" + d + " 5 c=200");
  std::string runs;
  for (int run = 0; run < 3; ++run) {
    storeGroup("pair", notifying(4, "cat > pair.txt; echo run >> pair-runs.txt", {a, d}));
    EXPECT_EQ(instance_.runWorker({"check", "0", "2"}).exitCode, 0);
    EXPECT_EQ(instance_.read("pair-runs.txt"), runs += "run\n");
    EXPECT_EQ(instance_.read("pair.txt"), a + " 5 c=200" + d + " 5 c=200");
  }
}

TEST_F(CheckRunTest, AOneShotGroupWithAFailedNotificationStaysWhateverLaterOnesDid) {
  // One thread checks the one-shot group's URLs in their stored order: the first
  // notification fails, the second works.
  storeGroup("once",
             notifying(1, "grep -q /second", {site_.url("/first"), site_.url("/second")}, true));
  EXPECT_EQ(instance_.runWorker({"check", "0", "1"}).exitCode, 0);
  ASSERT_TRUE(instance_.exists("vydata/vydb/once.dat"));
  EXPECT_EQ(readGroup("once").urls.at(1).resultCode, 200);  // both were checked
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"5", "grep -q /second"}}));
}

// Threads format the check time of their mails while others start the mail program, with a
// named zone (the daylight-saving switch on). The zone has no daylight saving of its own, so
// every time is UTC + 9 hours.
TEST_F(CheckRunTest, ThreadedMailNotificationsInANamedZoneAreRaceFreeAndInThatZone) {
  useFakeMail("./fakemail.sh");
  settings_.setFlag(kFlagDaylightSaving, true);
  settings_.zoneName = "Asia/Tokyo";
  saveSettings();
  instance_.write("vytpl/notifmail.msg", "[#URL#]=[#CHECKTIME#]\n");
  std::vector<std::string> urls;
  for (int i = 0; i < 12; ++i) urls.push_back(site_.url("/" + std::to_string(i)));
  storeGroup("shop", notifying(2, "ops@example.test", urls));
  test::RunResult run = instance_.run("vyrunner.cgi", {{"check", "0", "6"}, {}, "", 60});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  std::map<std::string, std::string> expected, mailed;
  for (const UrlStatus& entry : readGroup("shop").urls) {
    const std::time_t tokyo = entry.lastCheck + 9 * 3600;
    std::tm parts{};
    expected[std::string(entry.url)] = timeText(*gmtime_r(&tokyo, &parts));
  }
  std::istringstream mails(instance_.read("mail.txt"));
  for (std::string line; std::getline(mails, line);) {
    if (size_t equals = line.find('='); equals != std::string::npos) {
      mailed[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  EXPECT_EQ(mailed, expected);
}

TEST_F(CheckRunTest, MailNotificationGoesThroughTheConfiguredProgramAndNeedsARecipient) {
  useFakeMail("./fakemail.sh -oi");
  settings_.consoleHost = "console.example.test";  // stored at the console's last save
  saveSettings();
  instance_.write("vytpl/notifmail.msg",
                  "SUBJ=[#SUBJ#]\nFROM=[#FROM#]\nUP=[#OUPTIME#]/[#UPTIME#]\nCODE=[#HTTPCODE#]");
  FakeServer down(answerWith(httpReplyText("500 Internal Server Error", "")));
  GroupConfig group = notifying(2, "ops@example.test", {down.url("/shop")});
  group.setOption(kOptInfUpTime, true);
  wasUp(group.urls[0]);
  storeGroup("shop", group);
  storeGroup("once", notifying(2, "", {site_.url("/once")}, true));

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);  // a cron run: no HTTP_HOST
  // Its options and -t, once: none for the mail without a recipient.
  EXPECT_EQ(instance_.read("mailargs.txt"), "./fakemail.sh\n-oi\n-t\n");
  EXPECT_EQ(instance_.read("mail.txt"), "SUBJ=Changed: " + down.url("/shop") +
                                            "\nFROM=\"Vantry\" <vantry@console.example.test>"
                                            "\nUP=Yes/ No\nCODE=500\n.\n");
  EXPECT_TRUE(instance_.exists("vydata/vydb/once.dat"));
}

}  // namespace
}  // namespace vy
