// The password-protected service commands as a script runs them.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>

#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

using test::LogLines;
using test::ServiceTest;

TEST_F(ServiceTest, TheListingNeedsTheAdministrator) {
  GroupConfig group = groupOf({"http://a.test/", "http://b.test/"});
  for (UrlStatus& url : group.urls) url.resultCode = 200;
  storeGroup("general", group);
  using Env = std::map<std::string, std::string>;
  Env web = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "get+general"}, {"REMOTE_USER", "admin"}};
  Env intruder = web;
  intruder["REMOTE_USER"] = "intruder";
  const std::vector<std::pair<Env, int>> cases = {
      {{{"ADMIN_PWD", "secret"}}, 0}, {{{"ADMIN_PWD", "wrong"}}, 2}, {web, 0}, {intruder, 2}};
  for (const auto& [env, exitCode] : cases) {
    test::RunResult result = instance_.runWorker({"get", "general"}, env);
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(result.out, exitCode ? "" : "http://a.test/ 0 c=200http://b.test/ 0 c=200");
  }
  EXPECT_EQ(test::loggedActions(instance_), LogLines(1, {"1", "Invalid Admin Password"}));
  EXPECT_EQ(service({"get", "general", "http://b.test/"}).out, "http://b.test/ 0 c=200");
  std::filesystem::remove(instance_.path("vydata/admin.pwd"));
  EXPECT_EQ(service({"get", "general"}).exitCode, 2);
}

TEST_F(ServiceTest, StoringCommandsChangeTheirPartOfTheGroup) {
  auto summary = [&](const std::string& name) {  // "<interval> <url>@<lastCheck> ..."
    if (!instance_.exists("vydata/vydb/" + name + ".dat")) return std::string("(none)");
    GroupConfig group = readGroup(name);
    std::string text = std::to_string(group.checkInterval);
    for (const UrlStatus& url : group.urls) {
      text += " " + std::string(url.url) + "@" + std::to_string(url.lastCheck);
    }
    return text;
  };
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
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

TEST_F(ServiceTest, GetsetupTextStoresBackToTheSameFile) {
  const std::string text =
      "checktime=45\nwritelog=1\ninftype=3\ninform=ops@example.test\ninfuptime=1\nsuspend=1\n"
      "qstrunc=uc\ndelete_after_check=1\nbancontent=9\nSold\nOut!\nprescontent=5\nPrice\n"
      "url=http://a.test/?q=1\nchkban=1\nurl=http://b.test/\nchkpres=1\n";
  ASSERT_EQ(service({"writegroup", "shop"}, text).exitCode, 0);
  ASSERT_EQ(service({"writegroup", "copy"}, service({"getsetup", "shop"}).out).exitCode, 0);
  EXPECT_EQ(groupBytes("copy"), groupBytes("shop"));
}

// A group it cannot read is logged and skipped.
TEST_F(ServiceTest, GetstatsSummarizesEachReadableGroup) {
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  // Only the overdue URLs count for the average age, not a fresh or a never-checked one.
  GroupConfig ages = groupOf({}), fresh = groupOf({});
  addUrl(ages, "http://a/", kUrlCheckBan | kUrlCheckPres | kUrlUp | kUrlBanFound, now - 25 * 60);
  addUrl(ages, "http://b/", kUrlCheckBan, now - 35 * 60);
  addUrl(ages, "http://c/", 0, now - 60);
  addUrl(ages, "http://d/", 0);
  addUrl(fresh, "http://a/", 0, now - 60);
  storeGroup("ages", ages);
  storeGroup("fresh", fresh);
  storeGroup("never", groupOf({"http://a/"}));
  instance_.write("vydata/vydb/readme", "not a group\n");  // no ".dat": not a group at all
  instance_.write("vydata/vydb/broken.dat", "damaged");
  EXPECT_EQ(service({"getstats", "ages"}).out, "ages 4 2 1 1 1 0 10 30.0\n");
  EXPECT_EQ(service({"getstats", "fresh"}).out, "fresh 1 0 0 0 0 0 10 10.0\n");  // the interval
  EXPECT_EQ(service({"getstats", "never"}).out, "never 1 0 0 0 0 0 10 -1.0\n");
  EXPECT_EQ(service({"getstats", "nosuch"}).out, "");
  const std::string all = service({"getstats"}).out;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 3) << all;
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"12", "Read group"}}));
}

TEST_F(ServiceTest, AddConsumesItsInputEvenWithAWrongPassword) {
  // A script that runs the worker and then prints whatever input it left.
  instance_.writeScript("leftover.sh", "./vyrunner.cgi \"$@\"\necho \"status $?\"\nexec cat\n");
  const test::RunOptions options{
      {"add", "general"}, {{"ADMIN_PWD", "wrong"}}, "url=http://a.test/\n", 30};
  EXPECT_EQ(instance_.run("leftover.sh", options).out, "status 2\n");
  EXPECT_FALSE(instance_.exists("vydata/vydb/general.dat"));
}

TEST_F(ServiceTest, RewriteStartsTheSchedulerOnlyWhenNoneRuns) {
  test::SchedulerPids daemons(instance_);
  schedule(true, false, 600, 600);
  EXPECT_EQ(service({"rewrite", "shop"}, "url=http://a.test/\n").exitCode, 0);
  daemons.expectKeptOver([&] {
    EXPECT_EQ(service({"rewrite", "shop"}, "url=http://b.test/\n").exitCode, 0);
  });
}

TEST_F(ServiceTest, InvalidGroupNameIsRefusedBeforeAnyFileIsTouched) {
  storeGroup("general", groupOf({"http://a.test/"}));
  const std::string stored = groupBytes("general");
  const std::vector<std::string> commands = {
      "set",      "add",      "writegroup", "del",      "write", "rewrite",    "get",
      "getsetup", "getstats", "metrics",    "delgroup", "exist", "checkgroup", "checkurl"};
  // "my.data" would be stored as my.data.dat and then found as the group "my".
  const std::vector<std::string> names = {"../vydb/general", "my.data"};
  for (const std::string& name : names) {
    for (const std::string& command : commands) {
      test::RunResult result = service({command, name}, "url=all\n");
      EXPECT_EQ(result.exitCode, kExitInvalidGroupName) << command << " " << name;
      EXPECT_EQ(result.out, "") << command;
    }
  }
  EXPECT_EQ(test::loggedActions(instance_), LogLines(1, {"0", "Invalid group name"}));
  EXPECT_EQ(groupBytes("general"), stored);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(instance_.path("vydata/vydb")), {}),
            1);
}

}  // namespace
}  // namespace vy
