// Change notifications through check runs against loopback sites: commands,
// batches, mails by a fake mail program, HTTP calls, and the one-shot groups
// whose removal depends on the notification's result.
#include "runner/notify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;
using test::LogLines;

class NotifyTest : public test::WorkerTest {
 protected:
  NotifyTest() : site_(test::answerWith(test::httpReplyText("200 OK", "welcome"))) {}

  // A group checked every 5 minutes that notifies with `type` at `inform`.
  static GroupConfig notifying(int type, const std::string& inform,
                               const std::vector<std::string>& urls) {
    GroupConfig group = groupOf(urls, 5);
    group.setInfType(type);
    group.inform = inform;
    return group;
  }

  // An entry last checked long ago, when the page was up with status 200.
  static void wasUp(UrlStatus& entry) {
    entry.lastCheck = static_cast<uint32_t>(std::time(nullptr) - 1000);
    entry.resultCode = 200;
    entry.flags = kUrlUp | kUrlPresOk;
  }

  // The mail program records its arguments and its input; the console host
  // was stored at the console's last save.
  void useFakeMailProgram() {
    instance_.write("fakemail.sh",
                    "#!/bin/sh\nprintf '%s\\n' \"$@\" >> mailargs.txt\ncat >> mail.txt\n");
    ::chmod(instance_.path("fakemail.sh").c_str(), 0755);
    settings_.mailTransport = "./fakemail.sh";
    settings_.consoleHost = "console.example.test";
    saveSettings();
  }

  FakeServer site_;
};

TEST_F(NotifyTest, CommandGetsTheStatusTextAndAFailingOneIsReported) {
  const std::string url = site_.url("/page");
  storeGroup("shop", notifying(1, "cat > status.txt", {url}));
  storeGroup("broken", notifying(1, "exit 3", {site_.url("/other")}));

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(instance_.read("status.txt"), url + " 5 c=200");
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"5", "exit 3"}}));
}

TEST_F(NotifyTest, BatchRunsOnceAfterTheLastUrlWithTheChangedUrlsBackToBack) {
  const std::string c = site_.url("/c"), d = site_.url("/d");
  GroupConfig group = notifying(4, "cat >> batch.txt; echo run >> runs.txt",
                                {site_.url("/a"), site_.url("/b"), c, d});
  wasUp(group.urls[1]);  // stays up: no change
  storeGroup("shop", group);
  EXPECT_EQ(instance_.runWorker({"check", "1"}).exitCode, 0);  // c and d were never checked
  EXPECT_FALSE(instance_.exists("runs.txt"));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);  // only this run's changes
  EXPECT_EQ(instance_.read("runs.txt"), "run\n");
  EXPECT_EQ(instance_.read("batch.txt"), c + " 5 c=200" + d + " 5 c=200");
}

TEST_F(NotifyTest, TwoThreadsFinishingTheLastTwoUrlsCauseOneBatch) {
  FakeServer slow(test::answerAfter(0.3, test::httpReplyText("200 OK", "ok")));
  const std::string a = slow.url("/a"), b = slow.url("/b");
  std::string runs;
  for (int run = 0; run < 3; ++run) {
    storeGroup("pair", notifying(4, "cat > batch.txt; echo run >> runs.txt", {a, b}));
    EXPECT_EQ(instance_.runWorker({"check", "0", "2"}).exitCode, 0);
    runs += "run\n";
    EXPECT_EQ(instance_.read("runs.txt"), runs);
    EXPECT_EQ(instance_.read("batch.txt"), a + " 5 c=200" + b + " 5 c=200");
  }
}

TEST_F(NotifyTest, MailOfAPageThatWentDownNamesTheChange) {
  useFakeMailProgram();
  instance_.write("vytpl/notifmail.msg",
                  "SUBJ=[#SUBJ#]\nFROM=[#FROM#]\nUP=[#OUPTIME#]/[#UPTIME#]\nCODE=[#HTTPCODE#]");
  FakeServer down(test::answerWith(test::httpReplyText("500 Internal Server Error", "")));
  const std::string url = down.url("/shop");
  GroupConfig group = notifying(2, "ops@example.test", {url});
  group.setOption(kOptInfUpTime, true);
  wasUp(group.urls[0]);
  storeGroup("shop", group);

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);  // a cron run: no HTTP_HOST
  EXPECT_EQ(instance_.read("mailargs.txt"), "-t\n");
  EXPECT_EQ(instance_.read("mail.txt"), "SUBJ=Changed: " + url +
                                            "\nFROM=\"Vantry\" <vantry@console.example.test>"
                                            "\nUP=Yes/ No\nCODE=500\n.\n");
}

TEST_F(NotifyTest, OneShotGroupWithoutNotificationGoesButAMailWithoutRecipientKeepsIt) {
  useFakeMailProgram();
  for (int type : {0, 2}) {
    GroupConfig group = notifying(type, "", {site_.url("/" + std::to_string(type))});
    group.setMoreOption(kMoreDeleteAfterCheck, true);
    storeGroup("once" + std::to_string(type), group);
  }
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vydb/once0.dat"));
  EXPECT_TRUE(instance_.exists("vydata/vydb/once2.dat"));
  EXPECT_FALSE(instance_.exists("mailargs.txt"));
}

TEST_F(NotifyTest, HttpCallCarriesTheEncodedUrlAndAFailedCallIsReported) {
  FakeServer hook(test::answerWith([](const std::string& request) {
    return test::httpReplyText(
        request.find("/missing") == std::string::npos ? "200 OK" : "404 Not Found", "");
  }));
  storeGroup("good", notifying(3, hook.url("/ok?u=[URL]&s=[RETHTTP]"), {site_.url("/page")}));
  instance_.runWorker({"check"});
  EXPECT_EQ(hook.connectionCount(), 1);
  EXPECT_EQ(hook.received(0).rfind(
                "GET /ok?u=http%3a%2f%2f" + site_.address() + "%2fpage&s=200 HTTP/1.0\r\n", 0),
            0u);
  EXPECT_TRUE(instance_.errorLog().empty());

  storeGroup("bad", notifying(3, hook.url("/missing?s=[STATUS]"), {site_.url("/other")}));
  instance_.runWorker({"check"});
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"0", hook.url("/missing?s=5")}}));
}

}  // namespace
}  // namespace vy
