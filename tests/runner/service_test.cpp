// The worker's service commands behind the administrator password, run as a
// shell, a script or a web server starts them, seen from outside: exit
// status, output, the group files and the error log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>

#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

using test::LogLines;

class ServiceTest : public test::WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    test::writeAdminPassword(instance_);
  }

  test::RunResult service(const std::vector<std::string>& args, const std::string& input = "") {
    return instance_.runWorker(args, {{"ADMIN_PWD", "secret"}}, input);
  }

  // "<interval> <url>@<lastCheck> ..." of a stored group, "(none)" without one.
  std::string summary(const std::string& name) {
    if (!instance_.exists("vydata/vydb/" + name + ".dat")) return "(none)";
    GroupConfig group = readGroup(name);
    std::string text = std::to_string(group.checkInterval);
    for (const UrlStatus& url : group.urls) {
      text += " " + std::string(url.url) + "@" + std::to_string(url.lastCheck);
    }
    return text;
  }
};

TEST_F(ServiceTest, OnlyTheRightPasswordOrWebServerUserOpensTheCommands) {
  GroupConfig group = groupOf({"http://a.test/"});
  group.urls[0].resultCode = 200;
  storeGroup("general", group);
  using Env = std::map<std::string, std::string>;
  Env web = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "get+general"}, {"REMOTE_USER", "admin"}};
  Env intruder = web;
  intruder["REMOTE_USER"] = "intruder";
  const std::vector<std::pair<Env, int>> cases = {
      {{{"ADMIN_PWD", "secret"}}, 0}, {{{"ADMIN_PWD", "wrong"}}, 2}, {web, 0}, {intruder, 2}};
  LogLines refusals;
  for (const auto& [env, exitCode] : cases) {
    test::RunResult result = instance_.runWorker({"get", "general"}, env);
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(result.out, exitCode == 0 ? "http://a.test/ 0 c=200" : "");
    if (exitCode != 0) refusals.emplace_back("1", "Invalid Admin Password");
    EXPECT_EQ(test::loggedActions(instance_), refusals);
  }
  std::filesystem::remove(instance_.path("vydata/admin.pwd"));
  EXPECT_EQ(service({"get", "general"}).exitCode, 2);
}

TEST_F(ServiceTest, StoringCommandsChangeWhatTheyShouldAndKeepTheRest) {
  const std::vector<std::vector<std::string>> cases = {
      // command, input, the group afterwards
      {"set", "checktime=15\nurl=http://z/\n", "15 http://a/@1000 http://b/@2000"},
      {"add", "url=http://b/\nurl=http://c/\n", "30 http://a/@1000 http://b/@2000 http://c/@0"},
      {"rewrite", "url=http://c/\nurl=http://a/\n", "30 http://c/@0 http://a/@1000"},
      {"write", "url=http://b/\nurl=http://c/\n", "30 http://b/@0 http://c/@0"},
      {"writegroup", "checktime=5\nurl=http://x/\n", "5 http://x/@0"},
      {"del", "url=http://b/\n", "30 http://a/@1000"},
      {"del", "url=all\n", "(none)"}};
  for (const auto& c : cases) {
    GroupConfig group = groupOf({"http://a/", "http://b/"}, 30);
    group.urls[0].lastCheck = 1000;
    group.urls[1].lastCheck = 2000;
    storeGroup("shop", group);
    EXPECT_EQ(service({c[0], "shop"}, c[1]).exitCode, 0) << c[0];
    EXPECT_EQ(summary("shop"), c[2]) << c[0] << " " << c[1];
    EXPECT_EQ(service({"exist", "shop"}).exitCode, c[2] == "(none)" ? 0 : 1);
  }
  EXPECT_TRUE(instance_.errorLog().empty());
}

TEST_F(ServiceTest, GetsetupPrintsTextThatWritegroupStoresBackToTheSameFile) {
  const std::string text =
      "checktime=45\nwritelog=1\ninftype=3\ninform=ops@example.test\ninfuptime=1\nsuspend=1\n"
      "qstrunc=uc\ndelete_after_check=1\nbancontent=9\nSold\nOut!\nprescontent=5\nPrice\n"
      "url=http://a.test/?q=1\nchkban=1\nurl=http://b.test/\nchkpres=1\n";
  ASSERT_EQ(service({"writegroup", "shop"}, text).exitCode, 0);
  const std::string stored = groupBytes("shop");
  test::RunResult setup = service({"getsetup", "shop"});
  EXPECT_EQ(setup.exitCode, 0);
  ASSERT_EQ(service({"writegroup", "copy"}, setup.out).exitCode, 0);
  EXPECT_EQ(groupBytes("copy"), stored);
}

TEST_F(ServiceTest, GetPrintsTheListingLinesBackToBack) {
  GroupConfig group = groupOf({"http://a.test/", "http://b.test/"});
  group.urls[0].flags = kUrlUp | kUrlPresOk;
  group.urls[0].resultCode = 200;
  group.urls[1].flags = kUrlUp | kUrlBanFound;
  group.urls[1].banIndex = 1;
  group.urls[1].presIndex = 2;
  group.urls[1].resultCode = 200;
  storeGroup("shop", group);
  EXPECT_EQ(service({"get", "shop"}).out, "http://a.test/ 0 c=200http://b.test/ 0 f=1 p=2 c=200");
  EXPECT_EQ(service({"get", "shop", "http://b.test/"}).out, "http://b.test/ 0 f=1 p=2 c=200");
  EXPECT_EQ(service({"get", "shop", "http://z.test/"}).out, "");
}

TEST_F(ServiceTest, GetstatsSummarizesEachGroupAndSkipsWhatItCannotRead) {
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  GroupConfig ages = groupOf({"http://a/", "http://b/", "http://c/"});
  ages.urls[0].lastCheck = now - 5 * 60;
  ages.urls[0].flags = kUrlCheckBan | kUrlUp | kUrlPresOk;
  ages.urls[1].lastCheck = now - 25 * 60;
  ages.urls[1].flags = kUrlCheckPres | kUrlUp | kUrlBanFound;
  ages.urls[2].lastCheck = now - 35 * 60;
  ages.urls[2].flags = kUrlCheckBan | kUrlCheckPres;
  storeGroup("ages", ages);
  GroupConfig fresh = groupOf({"http://a/"}), never = groupOf({"http://a/"});
  fresh.urls[0].lastCheck = now - 60;
  storeGroup("fresh", fresh);
  storeGroup("never", never);
  instance_.write("vydata/vydb/readme", "not a group\n");

  EXPECT_EQ(service({"getstats", "ages"}).out, "ages 3 2 2 2 1 1 10 30.0\n");
  EXPECT_EQ(service({"getstats", "fresh"}).out, "fresh 1 0 0 0 0 0 10 10.0\n");
  EXPECT_EQ(service({"getstats", "never"}).out, "never 1 0 0 0 0 0 10 -1.0\n");
  EXPECT_EQ(service({"getstats", "nosuch"}).out, "");
  test::RunResult all = service({"getstats"});
  EXPECT_EQ(all.exitCode, 0);
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 3) << all.out;
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"1", "Read group"}}));
}

TEST_F(ServiceTest, AddConsumesItsInputEvenWithAWrongPassword) {
  // A script that runs the worker and then prints whatever input it left.
  instance_.write("leftover.sh",
                  "#!/bin/sh\n./vyrunner.cgi \"$@\"\necho \"status $?\"\nexec cat\n");
  ::chmod(instance_.path("leftover.sh").c_str(), 0755);
  test::RunOptions options;
  options.args = {"add", "general"};
  options.env = {{"ADMIN_PWD", "wrong"}};
  options.stdinText = "url=http://a.test/\n";
  EXPECT_EQ(instance_.run("leftover.sh", options).out, "status 2\n");
  EXPECT_FALSE(instance_.exists("vydata/vydb/general.dat"));
}

TEST_F(ServiceTest, RewriteStartsTheSchedulerOnlyWhenNoneRuns) {
  test::SchedulerPids daemons(instance_);
  schedule(true, false, 600, 600);
  EXPECT_EQ(service({"rewrite", "shop"}, "url=http://a.test/\n").exitCode, 0);
  ASSERT_TRUE(test::waitUntil([&] { return daemons.registeredRuns(); }, 10));
  const pid_t daemon = daemons.registered();

  EXPECT_EQ(service({"rewrite", "shop"}, "url=http://b.test/\n").exitCode, 0);
  usleep(300000);
  EXPECT_EQ(daemons.registered(), daemon);
  EXPECT_TRUE(daemons.registeredRuns());
}

TEST_F(ServiceTest, InvalidGroupNameIsRefusedBeforeAnyFileIsTouched) {
  GroupConfig group = groupOf({"http://a.test/"});
  storeGroup("general", group);
  const std::string stored = groupBytes("general");
  const std::string sneaky = "../vydb/general";  // general.dat if it were used as a path
  const std::vector<std::string> commands = {"set",      "add",      "writegroup", "del",
                                             "write",    "rewrite",  "get",        "getsetup",
                                             "getstats", "delgroup", "exist"};
  for (const std::string& command : commands) {
    test::RunResult result = service({command, sneaky}, "url=all\n");
    EXPECT_EQ(result.exitCode, 3) << command;
    EXPECT_EQ(result.out, "") << command;
  }
  EXPECT_EQ(test::loggedActions(instance_), LogLines(commands.size(), {"0", "Invalid group name"}));
  EXPECT_EQ(groupBytes("general"), stored);
}

}  // namespace
}  // namespace vy
