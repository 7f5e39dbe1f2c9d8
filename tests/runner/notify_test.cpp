// Change notifications: commands, HTTP calls, batches and mail.
#include <ctime>
#include <map>
#include <sstream>

#include "common/zonetime.h"
#include "tests/runner/check_run_fixture.h"

namespace vy {
namespace {

using test::answerWith;
using test::CheckRunTest;
using test::FakeServer;
using test::httpReplyText;
using test::LogLines;

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
