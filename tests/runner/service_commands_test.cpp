// The worker's service commands run as a shell, a script or a web server
// starts them, seen from outside: exit status, output, the group files and
// the error log. Every scheduler daemon a test starts is killed by its pid.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "common/credentials.h"
#include "common/process.h"
#include "runner/scheduler.h"
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

class ServiceCommands : public test::WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    ASSERT_EQ(writePasswordFile("admin", "secret", instance_.path("vydata/admin.pwd")), 0);
  }

  test::RunResult service(const std::vector<std::string>& args, const std::string& input = "") {
    return instance_.runWorker(args, {{"ADMIN_PWD", "secret"}}, input);
  }

  std::vector<std::string> urlsOf(const std::string& name) {
    std::vector<std::string> urls;
    for (const UrlStatus& status : readGroup(name).urls) urls.emplace_back(status.url);
    return urls;
  }

  std::string groupBytes(const std::string& name) {
    return instance_.read("vydata/vydb/" + name + ".dat");
  }

  // Action and detail of the n-th error-log line.
  std::pair<std::string, std::string> logLine(size_t n) {
    std::vector<std::string> log = instance_.errorLog();
    if (n >= log.size()) return {"", "(no line)"};
    std::vector<std::string> fields = test::splitLogLine(log[n]);
    return {fields.at(2), fields.at(4)};
  }
};

using Urls = std::vector<std::string>;
using LogLine = std::pair<std::string, std::string>;

TEST_F(ServiceCommands, AddSetAndRewriteKeepTheStoredResults) {
  GroupConfig group;
  group.checkInterval = 30;
  group.addUrl("http://a.test/").lastCheck = 1000;
  group.addUrl("http://b.test/").lastCheck = 2000;
  storeGroup("shop", group);

  EXPECT_EQ(service({"add", "shop"}, "url=http://b.test/\nchkban=1\nurl=http://c.test/\n").exitCode,
            0);
  GroupConfig stored = readGroup("shop");
  EXPECT_EQ(urlsOf("shop"), (Urls{"http://a.test/", "http://b.test/", "http://c.test/"}));
  EXPECT_EQ(findUrl(stored, "http://b.test/")->lastCheck, 2000u);
  EXPECT_TRUE(findUrl(stored, "http://b.test/")->checkBan());

  EXPECT_EQ(service({"set", "shop"}, "checktime=15\nbancontent=3\nBad\n").exitCode, 0);
  stored = readGroup("shop");
  EXPECT_EQ(stored.checkInterval, 15);
  EXPECT_EQ(stored.banContents, (std::vector<std::string_view>{"bad"}));
  EXPECT_EQ(findUrl(stored, "http://b.test/")->lastCheck, 2000u);
  EXPECT_EQ(stored.urlCount(), 3);

  EXPECT_EQ(service({"rewrite", "shop"}, "url=http://c.test/\nurl=http://a.test/\n").exitCode, 0);
  stored = readGroup("shop");
  EXPECT_EQ(urlsOf("shop"), (Urls{"http://c.test/", "http://a.test/"}));
  EXPECT_EQ(findUrl(stored, "http://a.test/")->lastCheck, 1000u);
  EXPECT_TRUE(instance_.errorLog().empty());
}

TEST_F(ServiceCommands, WriteWritegroupAndDelReplaceOrRemove) {
  GroupConfig group;
  group.addUrl("http://a.test/").lastCheck = 1000;
  group.addUrl("http://b.test/").lastCheck = 2000;
  storeGroup("shop", group);

  EXPECT_EQ(service({"write", "shop"}, "url=http://b.test/\nurl=http://c.test/\n").exitCode, 0);
  EXPECT_EQ(urlsOf("shop"), (Urls{"http://b.test/", "http://c.test/"}));
  EXPECT_EQ(readGroup("shop").urls[0].lastCheck, 0u) << "write stores the statuses as given";

  EXPECT_EQ(service({"del", "shop"}, "url=http://b.test/\n").exitCode, 0);
  EXPECT_EQ(urlsOf("shop"), (Urls{"http://c.test/"}));
  EXPECT_EQ(service({"del", "shop"}, "url=all\nurl=http://c.test/\n").exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vydb/shop.dat"));

  EXPECT_EQ(service({"writegroup", "fresh"}, "checktime=5\nurl=http://x.test/\n").exitCode, 0);
  EXPECT_EQ(readGroup("fresh").checkInterval, 5);
  EXPECT_EQ(urlsOf("fresh"), (Urls{"http://x.test/"}));
  EXPECT_TRUE(instance_.errorLog().empty());
}

TEST_F(ServiceCommands, WithoutAGroupArgumentTheGeneralGroupIsMeant) {
  test::RunResult result = service({"add"}, "url=http://a.test/\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(urlsOf("general"), (Urls{"http://a.test/"}));
  EXPECT_EQ(service({"get"}).out, "http://a.test/ 0 c=0");
  EXPECT_NE(service({"getsetup"}).out.find("url=http://a.test/\n"), std::string::npos);
}

TEST_F(ServiceCommands, FailuresAreLoggedWithTheCommandsDetailAndEndWith0) {
  std::filesystem::create_directory(instance_.path("vydata/vydb/broken.dat"));
  const std::vector<std::pair<std::string, LogLine>> cases = {
      {"set", {"2", "Set settings"}}, {"add", {"2", "Add"}},        {"writegroup", {"2", "Add"}},
      {"del", {"1", "Delete"}},       {"write", {"2", "Write"}},    {"rewrite", {"2", "Update"}},
      {"get", {"1", "broken"}},       {"getsetup", {"1", "broken"}}};
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [command, expected] = cases[i];
    test::RunResult result = service({command, "broken"}, "url=http://a.test/\n");
    EXPECT_EQ(result.exitCode, 0) << command;
    EXPECT_EQ(logLine(i), expected) << command;
  }
  EXPECT_EQ(instance_.errorLog().size(), cases.size());
}

TEST_F(ServiceCommands, GetsetupPrintsTextThatWritegroupStoresBackToTheSameFile) {
  const std::string text =
      "checktime=45\nwritelog=1\ninftype=3\ninform=ops@example.test\ninfuptime=1\nsuspend=1\n"
      "qstrunc=uc\ndelete_after_check=1\nbancontent=9\nSold\nOut!\nprescontent=5\nPrice\n"
      "url=http://a.test/?q=1\nchkban=1\nurl=http://b.test/\nchkpres=1\n";
  ASSERT_EQ(service({"writegroup", "shop"}, text).exitCode, 0);
  const std::string stored = groupBytes("shop");

  test::RunResult setup = service({"getsetup", "shop"});
  EXPECT_EQ(setup.exitCode, 0);
  EXPECT_NE(setup.out.find("bancontent=9\nsold\nout!\n"), std::string::npos) << setup.out;
  ASSERT_EQ(service({"writegroup", "shop"}, setup.out).exitCode, 0);
  EXPECT_EQ(groupBytes("shop"), stored);
  ASSERT_EQ(service({"writegroup", "copy"}, setup.out).exitCode, 0);
  EXPECT_EQ(groupBytes("copy"), stored);

  // A group that cannot be read is shown as the empty group.
  EXPECT_EQ(service({"getsetup", "nosuch"}).out, formatGroupConfig(GroupConfig()));
  EXPECT_EQ(logLine(0), (LogLine{"1", "nosuch"}));
}

TEST_F(ServiceCommands, GetPrintsTheListingLinesBackToBack) {
  GroupConfig group;
  UrlStatus& a = group.addUrl("http://a.test/");
  a.flags = kUrlUp | kUrlPresOk;
  a.resultCode = 200;
  UrlStatus& b = group.addUrl("http://b.test/");
  b.flags = kUrlUp | kUrlBanFound;
  b.banIndex = 1;
  b.presIndex = 2;
  b.resultCode = 200;
  storeGroup("shop", group);

  EXPECT_EQ(service({"get", "shop"}).out, "http://a.test/ 0 c=200http://b.test/ 0 f=1 p=2 c=200");
  EXPECT_EQ(service({"get", "shop", "http://b.test/"}).out, "http://b.test/ 0 f=1 p=2 c=200");
  EXPECT_EQ(service({"get", "shop", "http://z.test/"}).out, "");
  EXPECT_TRUE(instance_.errorLog().empty());
}

TEST_F(ServiceCommands, GetstatsSummarizesEachGroupAndSkipsWhatItCannotRead) {
  const std::time_t now = std::time(nullptr);
  auto minutesAgo = [&](int minutes) { return static_cast<uint32_t>(now - minutes * 60); };
  GroupConfig ages;
  ages.checkInterval = 10;
  UrlStatus& first = ages.addUrl("http://a.test/");
  first.lastCheck = minutesAgo(5);
  first.flags = kUrlCheckBan | kUrlUp | kUrlPresOk;
  UrlStatus& second = ages.addUrl("http://b.test/");
  second.lastCheck = minutesAgo(25);
  second.flags = kUrlCheckPres | kUrlUp | kUrlBanFound;
  UrlStatus& third = ages.addUrl("http://c.test/");
  third.lastCheck = minutesAgo(35);
  third.flags = kUrlCheckBan | kUrlCheckPres;
  storeGroup("ages", ages);
  GroupConfig fresh;
  fresh.checkInterval = 10;
  fresh.addUrl("http://a.test/").lastCheck = minutesAgo(1);
  storeGroup("fresh", fresh);
  GroupConfig never;
  never.checkInterval = 10;
  never.addUrl("http://a.test/");
  storeGroup("never", never);
  instance_.write("vydata/vydb/readme", "not a group\n");

  test::RunResult all = service({"getstats"});
  EXPECT_EQ(all.exitCode, 0);
  std::vector<std::string> lines;
  std::istringstream in(all.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines,
            (std::vector<std::string>{"ages 3 2 2 2 1 1 10 30.0", "fresh 1 0 0 0 0 0 10 10.0",
                                      "never 1 0 0 0 0 0 10 -1.0"}));
  EXPECT_EQ(instance_.errorLog().size(), 1u);
  EXPECT_EQ(logLine(0), (LogLine{"1", "Read group"}));

  EXPECT_EQ(service({"getstats", "fresh"}).out, "fresh 1 0 0 0 0 0 10 10.0\n");
  test::RunResult unknown = service({"getstats", "nosuch"});
  EXPECT_EQ(unknown.exitCode, 0);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(instance_.errorLog().size(), 1u);
}

TEST_F(ServiceCommands, GetstatsWithoutTheGroupDirectoryIsFatal) {
  std::filesystem::remove_all(instance_.path("vydata/vydb"));
  test::RunResult result = service({"getstats"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Software error");
  std::vector<std::string> fields = test::splitLogLine(instance_.errorLog().at(0));
  EXPECT_EQ(fields.at(2), "10");
  EXPECT_EQ(fields.at(4), "./vydata/vydb");
  EXPECT_EQ(fields.at(6), "1");
}

TEST_F(ServiceCommands, ExistAndDelgroupWorkOnTheGroupFile) {
  GroupConfig group;
  storeGroup("general", group);
  EXPECT_EQ(service({"exist", "general"}).exitCode, 1);
  EXPECT_EQ(service({"exist", "nosuch"}).exitCode, 0);
  // Without a group argument both mean the file named ".dat".
  EXPECT_EQ(service({"exist"}).exitCode, 0);
  instance_.write("vydata/vydb/.dat", "");
  EXPECT_EQ(service({"exist"}).exitCode, 1);
  EXPECT_EQ(service({"delgroup"}).exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vydb/.dat"));
  EXPECT_TRUE(instance_.exists("vydata/vydb/general.dat"));

  EXPECT_EQ(service({"delgroup", "general"}).exitCode, 0);
  EXPECT_EQ(service({"exist", "general"}).exitCode, 0);
  EXPECT_EQ(service({"delgroup", "general"}).exitCode, 0);
  EXPECT_TRUE(instance_.errorLog().empty());
}

// A script that runs the worker and then prints whatever input it left.
TEST_F(ServiceCommands, AddConsumesItsInputEvenWithAWrongPassword) {
  instance_.write("leftover.sh",
                  "#!/bin/sh\n./vyrunner.cgi \"$@\"\necho \"status $?\"\nexec cat\n");
  ::chmod(instance_.path("leftover.sh").c_str(), 0755);
  auto run = [&](const std::string& command) {
    test::RunOptions options;
    options.args = {command, "general"};
    options.env = {{"ADMIN_PWD", "wrong"}};
    options.stdinText = "url=http://a.test/\n";
    return instance_.run("leftover.sh", options).out;
  };
  EXPECT_EQ(run("add"), "status 2\n");
  EXPECT_EQ(run("nosuchcommand"), "status 2\nurl=http://a.test/\n") << "the check itself is blind";
  EXPECT_FALSE(instance_.exists("vydata/vydb/general.dat"));
}

TEST_F(ServiceCommands, InvalidGroupNameIsRefusedBeforeAnyFileIsTouched) {
  GroupConfig group;
  group.addUrl("http://a.test/");
  storeGroup("general", group);
  const std::string stored = groupBytes("general");
  // Resolves to general.dat if it were used as a path.
  const std::string sneaky = "../vydb/general";
  const std::vector<std::string> commands = {"set",      "add",      "writegroup", "del",
                                             "write",    "rewrite",  "get",        "getsetup",
                                             "getstats", "delgroup", "exist"};
  for (size_t i = 0; i < commands.size(); ++i) {
    test::RunResult result = service({commands[i], sneaky}, "url=all\n");
    EXPECT_EQ(result.exitCode, 3) << commands[i];
    EXPECT_EQ(result.out, "") << commands[i];
    EXPECT_EQ(logLine(i), (LogLine{"0", "Invalid group name"})) << commands[i];
  }
  EXPECT_EQ(instance_.errorLog().size(), commands.size());
  EXPECT_EQ(groupBytes("general"), stored);

  // Refused before the password file is read.
  EXPECT_EQ(instance_.runWorker({"get", "a/b"}, {{"ADMIN_PWD", "wrong"}}).exitCode, 3);
}

TEST_F(ServiceCommands, WebServerUserStandsInForThePassword) {
  GroupConfig group;
  group.addUrl("http://a.test/").resultCode = 200;
  storeGroup("general", group);
  std::map<std::string, std::string> web = {{"REQUEST_METHOD", "GET"},
                                            {"QUERY_STRING", "get+general"},
                                            {"REMOTE_USER", "admin"},
                                            {"REMOTE_ADDR", "127.0.0.1"}};
  test::RunResult granted = instance_.runWorker({"get", "general"}, web);
  EXPECT_EQ(granted.exitCode, 0);
  EXPECT_EQ(granted.out, "http://a.test/ 0 c=200");

  web["REMOTE_USER"] = "intruder";
  test::RunResult refused = instance_.runWorker({"get", "general"}, web);
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(logLine(0), (LogLine{"1", "Invalid Admin Password"}));
}

class RewriteScheduler : public ServiceCommands {
 protected:
  void TearDown() override {
    registeredPid();
    for (pid_t pid : seen_) ::kill(pid, SIGKILL);
  }

  void wantScheduler(bool schedulerOn, bool cronMode) {
    settings_.setFlag(kFlagSchedulerOn, schedulerOn);
    settings_.setFlag(kFlagCronMode, cronMode);
    settings_.checkSeconds = 600;
    settings_.restartSeconds = 600;
    saveSettings();
  }

  // The registered pid (0 when none), remembered for the clean-up.
  pid_t registeredPid() {
    std::string bytes = instance_.read("vydata/vytime/scheduler");
    if (bytes.size() < kSchedulerRecordSize) return 0;
    SchedulerRecord record = decodeSchedulerRecord(reinterpret_cast<const uint8_t*>(bytes.data()));
    if (record.pid > 0) seen_.insert(record.pid);
    return record.pid;
  }

  bool runsAsDaemon(pid_t pid) {
    int answer = -1;
    return pid > 0 && isProcessRunning(pid, "./vyrunner.cgi", answer) == 0 && answer == 1;
  }

  test::RunResult rewrite() { return service({"rewrite", "shop"}, "url=http://a.test/\n"); }

  std::set<pid_t> seen_;
};

TEST_F(RewriteScheduler, StartsTheDaemonOnlyWhenNoneRuns) {
  wantScheduler(true, false);
  EXPECT_EQ(rewrite().exitCode, 0);
  EXPECT_EQ(urlsOf("shop"), (Urls{"http://a.test/"}));
  ASSERT_TRUE(test::waitUntil([&] { return runsAsDaemon(registeredPid()); }, 10));
  const pid_t daemon = registeredPid();

  EXPECT_EQ(rewrite().exitCode, 0);
  usleep(300000);
  EXPECT_EQ(registeredPid(), daemon);
  EXPECT_TRUE(runsAsDaemon(daemon));
}

TEST_F(RewriteScheduler, CronModeOrASwitchedOffSchedulerStartsNothing) {
  wantScheduler(true, true);
  EXPECT_EQ(rewrite().exitCode, 0);
  wantScheduler(false, false);
  EXPECT_EQ(rewrite().exitCode, 0);
  usleep(300000);
  EXPECT_FALSE(instance_.exists("vydata/vytime/scheduler"));
  EXPECT_EQ(urlsOf("shop"), (Urls{"http://a.test/"}));
}

}  // namespace
}  // namespace vy
