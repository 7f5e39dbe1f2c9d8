// Change notifications through check runs against loopback sites: commands,
// batches, mails by a fake mail program and by SMTP, HTTP calls, and the
// one-shot groups whose removal depends on the notification's result.
#include "runner/notify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "common/zonetime.h"
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;

class NotifyTest : public test::WorkerTest {
 protected:
  NotifyTest() : site_(test::answerWith(test::httpReplyText("200 OK", "welcome"))) {}

  // A group checked every 5 minutes that notifies with `type` at `inform`;
  // its URLs were never checked.
  GroupConfig groupOf(int type, const std::string& inform, const std::vector<std::string>& urls) {
    GroupConfig group;
    group.checkInterval = 5;
    group.setInfType(type);
    group.inform = inform;
    for (const std::string& url : urls) group.addUrl(url);
    return group;
  }

  // An entry last checked long ago, when the page was up with status 200.
  static void wasUp(UrlStatus& entry) {
    entry.lastCheck = static_cast<uint32_t>(std::time(nullptr) - 1000);
    entry.resultCode = 200;
    entry.setFlag(kUrlUp, true);
    entry.setFlag(kUrlPresOk, true);
  }

  std::string fileText(const std::string& name) {
    return instance_.exists(name) ? instance_.read(name) : "";
  }

  // The mail program is a script in the instance that records its arguments
  // and its input; the console host was stored at the console's last save.
  void useFakeMailProgram() {
    instance_.write("fakemail.sh",
                    "#!/bin/sh\nprintf '%s\\n' \"$@\" >> mailargs.txt\ncat >> mail.txt\n");
    ::chmod(instance_.path("fakemail.sh").c_str(), 0755);
    settings_.mailTransport = "./fakemail.sh";
    settings_.consoleHost = "console.example.test";
    saveSettings();
  }

  // The action and detail fields of every error-log line.
  std::vector<std::pair<std::string, std::string>> reports() {
    std::vector<std::pair<std::string, std::string>> found;
    if (!instance_.exists("vydata/error.log")) return found;
    for (const std::string& line : instance_.errorLog()) {
      std::vector<std::string> fields = test::splitLogLine(line);
      if (fields.size() == 7) found.emplace_back(fields[2], fields[4]);
    }
    return found;
  }

  FakeServer site_;
};

TEST_F(NotifyTest, CommandGetsTheStatusTextAndAFailingOneIsReported) {
  const std::string url = site_.url("/page");
  GroupConfig group = groupOf(1, "cat > status.txt", {url});
  storeGroup("shop", group);
  GroupConfig failing = groupOf(1, "exit 3", {site_.url("/other")});
  storeGroup("broken", failing);

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(fileText("status.txt"), url + " 5 c=200");
  using Report = std::pair<std::string, std::string>;
  EXPECT_EQ(reports(), (std::vector<Report>{{"5", "exit 3"}}));
}

TEST_F(NotifyTest, BatchRunsOnceAfterTheLastUrlWithTheChangedUrlsBackToBack) {
  const std::string a = site_.url("/a"), b = site_.url("/b"), c = site_.url("/c");
  GroupConfig group = groupOf(4, "cat >> batch.txt; echo run >> runs.txt", {a, b, c});
  wasUp(group.urls[1]);  // stays up: no change
  storeGroup("shop", group);

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(fileText("runs.txt"), "run\n");
  EXPECT_EQ(fileText("batch.txt"), a + " 5 c=200" + c + " 5 c=200");
}

TEST_F(NotifyTest, BatchWaitsUntilEveryUrlOfTheGroupWasChecked) {
  const std::string a = site_.url("/a"), b = site_.url("/b"), c = site_.url("/c");
  GroupConfig group = groupOf(4, "cat >> batch.txt", {a, b, c});
  storeGroup("shop", group);

  instance_.runWorker({"check", "2"});
  EXPECT_FALSE(instance_.exists("batch.txt"));
  instance_.runWorker({"check"});  // the last URL; only its change is in this run
  EXPECT_EQ(fileText("batch.txt"), c + " 5 c=200");
}

TEST_F(NotifyTest, TwoThreadsFinishingTheLastTwoUrlsCauseOneBatch) {
  FakeServer slow(test::answerAfter(0.3, test::httpReplyText("200 OK", "ok")));
  std::string runs;
  for (int run = 0; run < 3; ++run) {
    GroupConfig group =
        groupOf(4, "cat > batch.txt; echo run >> runs.txt", {slow.url("/a"), slow.url("/b")});
    storeGroup("pair", group);
    EXPECT_EQ(instance_.runWorker({"check", "0", "2"}).exitCode, 0);
    runs += "run\n";
    EXPECT_EQ(fileText("runs.txt"), runs);
    EXPECT_EQ(fileText("batch.txt"), slow.url("/a") + " 5 c=200" + slow.url("/b") + " 5 c=200");
  }
}

TEST_F(NotifyTest, MailOfAPageThatWentDownCarriesEveryVariable) {
  useFakeMailProgram();
  instance_.write("vytpl/notifmail.msg",
                  "SUBJ=[#SUBJ#]\nFROM=[#FROM#]\nTO=[#TO#]\nGROUP=[#GROUP#]\nURL=[#URL#]\n"
                  "CHECKTIME=[#CHECKTIME#]\nUP=[#OUPTIME#]/[#UPTIME#]\n"
                  "BAN=[#OFNDBAN#]/[#FNDBAN#]\nPRES=[#OFNDPRES#]/[#FNDPRES#]\n"
                  "CODE=[#OHTTPCODE#]/[#HTTPCODE#]\nCONTENTS=[#FNDBANCNT#]/[#FNDPRESCNT#]\n"
                  "HOST=[#HTTP_HOST#]");
  FakeServer down(test::answerWith(test::httpReplyText("500 Internal Server Error", "")));
  const std::string url = down.url("/shop");
  GroupConfig group = groupOf(2, "ops@example.test", {url});
  group.setOption(kOptInfUpTime, true);
  group.addPresContent("welcome");
  group.urls[0].flags = kUrlCheckPres;
  wasUp(group.urls[0]);
  storeGroup("shop", group);

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);  // a cron run: no HTTP_HOST
  const uint32_t checked = readGroup("shop").urls[0].lastCheck;
  EXPECT_EQ(fileText("mailargs.txt"), "-t\n");
  EXPECT_EQ(fileText("mail.txt"), "SUBJ=Changed: " + url +
                                      "\nFROM=\"Vantry\" <vantry@console.example.test>"
                                      "\nTO= \"shop\" <ops@example.test>\nGROUP=shop\nURL=" +
                                      url + "\nCHECKTIME=" + formatTime(checked) +
                                      "\nUP=Yes/ No\nBAN= No/ No\nPRES=Yes/ No\nCODE=200/500"
                                      "\nCONTENTS=/\nHOST=console.example.test\n.\n");
}

TEST_F(NotifyTest, ShippedTemplateMakesACompleteMail) {
  useFakeMailProgram();
  const std::string url = site_.url("/new");
  GroupConfig group = groupOf(2, "ops@example.test", {url});
  storeGroup("shop", group);

  instance_.runWorker({"check"});
  const std::string mail = fileText("mail.txt");
  EXPECT_EQ(mail.rfind("From: \"Vantry\" <vantry@console.example.test>\n", 0), 0u) << mail;
  for (const std::string& line :
       {std::string("\nTo: \"shop\" <ops@example.test>\n"), "\nSubject: Changed: " + url + "\n",
        std::string("\nMIME-Version: 1.0\n"), std::string("\nContent-Type: text/plain"),
        "URL:         " + url + "\n"}) {
    EXPECT_NE(mail.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(mail.find("[#"), std::string::npos);
}

TEST_F(NotifyTest, OneShotGroupWithoutNotificationGoesButAMailWithoutRecipientKeepsIt) {
  useFakeMailProgram();
  for (int type : {0, 2}) {
    GroupConfig group = groupOf(type, "", {site_.url("/" + std::to_string(type))});
    group.setMoreOption(kMoreDeleteAfterCheck, true);
    storeGroup("once" + std::to_string(type), group);
  }

  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vydb/once0.dat"));
  EXPECT_TRUE(instance_.exists("vydata/vydb/once2.dat"));
  EXPECT_FALSE(instance_.exists("mailargs.txt"));
}

TEST_F(NotifyTest, SmtpMailGoesToEveryRecipientAndARefusalIsReported) {
  FakeServer mailServer(test::lineDialogue("220 mail.test\r\n",
                                           [](const std::string& line) {
                                             if (line.find("b@y.test") != std::string::npos) {
                                               return "550 unknown user\r\n";
                                             }
                                             return "250 ok\r\n";
                                           }),
                        25);
  ASSERT_TRUE(mailServer.ok());
  settings_.mailTransport = mailServer.address();
  settings_.consoleHost = "console.example.test";
  saveSettings();
  GroupConfig group = groupOf(2, "a@x.test, b@y.test", {site_.url("/")});
  storeGroup("shop", group);

  instance_.runWorker({"check"});
  EXPECT_EQ(mailServer.received(0),
            "HELO localhost\r\nMAIL FROM: <vantry@console.example.test>\r\n"
            "RCPT TO: <a@x.test>\r\nRCPT TO: <b@y.test>\r\n");
  using Report = std::pair<std::string, std::string>;
  EXPECT_EQ(reports(), (std::vector<Report>{{"9", "SendMail Error: RCPT TO"}}));
}

TEST_F(NotifyTest, HttpCallCarriesTheEncodedUrlAndAFailedCallIsReported) {
  FakeServer hook(test::answerWith([](const std::string& request) {
    return request.find("/missing") != std::string::npos ? test::httpReplyText("404 Not Found", "")
                                                         : test::httpReplyText("200 OK", "");
  }));
  const std::string url = site_.url("/page");
  GroupConfig good = groupOf(3, hook.url("/ok?u=[URL]&s=[RETHTTP]&x=[NOPE]"), {url});
  storeGroup("good", good);
  GroupConfig bad = groupOf(3, hook.url("/missing?s=[STATUS]"), {site_.url("/other")});
  storeGroup("bad", bad);

  instance_.runWorker({"check"});
  hook.connectionCount();
  std::vector<std::string> requests;
  for (const auto& record : hook.records()) {
    requests.push_back(record.received.substr(0, record.received.find("\r\n")));
  }
  std::string encoded = "http%3a%2f%2f" + site_.address() + "%2fpage";
  EXPECT_NE(
      std::find(requests.begin(), requests.end(), "GET /ok?u=" + encoded + "&s=200&x= HTTP/1.0"),
      requests.end());
  using Report = std::pair<std::string, std::string>;
  EXPECT_EQ(reports(), (std::vector<Report>{{"0", hook.url("/missing?s=5")}}));
}

}  // namespace
}  // namespace vy
