// The worker as a process: start-up, signals, the scheduler daemon and the service commands.
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/files.h"
#include "common/le.h"
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::Instance;
using test::LogLines;

// Starts a worker that blocks reading its FIFO settings file, signal handlers installed.
test::BackgroundProcess startBlockedWorker(const Instance& instance,
                                           std::map<std::string, std::string> env = {}) {
  const std::string fifo = instance.path("vydata/vyvars.dat");
  test::BackgroundProcess worker = instance.start("vyrunner.cgi", {{}, env, "", 30});
  std::string fds = "/proc/" + std::to_string(worker.pid()) + "/fd";
  auto opened = [&] {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
      if (std::filesystem::read_symlink(entry.path(), ec) == fifo) return true;
    }
    return false;
  };
  EXPECT_TRUE(test::waitUntil(opened, 10));
  return worker;
}

// A signal mask line of /proc/<pid>/status ("SigIgn:", "SigCgt:") as bits.
uint64_t signalMask(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0) return std::stoull(line.substr(name.size()), nullptr, 16);
  }
  return 0;
}
constexpr uint64_t bit(int signal) { return uint64_t{1} << (signal - 1); }

TEST(WorkerEntry, NoCommandAndShortSettingsAreRefusedButTheAboutPageWorks) {
  Instance instance;
  test::RunResult bare = instance.runWorker({});
  EXPECT_EQ(bare.exitCode, 254);
  EXPECT_EQ(bare.out, "");

  instance.makeDataDirs();
  instance.write("vydata/vyvars.dat", std::string(1000, 'x'));
  test::RunResult about = instance.runWorker({}, {{"QUERY_STRING", "about"}});
  EXPECT_EQ(about.exitCode, 0);
  EXPECT_EQ(about.out.rfind("Content-type: text/html\n\n<h2>Vantry</h2>\n<pre>", 0), 0u);
  EXPECT_NE(about.out.find("Unit         : vyrunner\n<br>"), std::string::npos);

  test::RunResult result = instance.runWorker({"check"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Software error");
  EXPECT_EQ(test::loggedActions(instance), (LogLines{{"12", "./vydata/vyvars.dat"}}));
  instance.write("vydata/vyvars.dat", std::string(2000, '\0'));
  EXPECT_EQ(instance.runWorker({}).exitCode, 254);  // loaded: no command
}

TEST(WorkerSignals, TermHupAndPipeAreIgnoredIntEndsTheWorkerAndSegvLeavesACrashRecord) {
  Instance instance;
  instance.makeDataDirs();
  ASSERT_EQ(mkfifo(instance.path("vydata/vyvars.dat").c_str(), 0666), 0);
  test::BackgroundProcess worker = startBlockedWorker(instance);
  // An ignored signal is dropped when it is sent: it can never end the worker.
  const uint64_t ignored = signalMask(worker.pid(), "SigIgn:");
  const uint64_t caught = signalMask(worker.pid(), "SigCgt:");
  EXPECT_EQ(ignored & (bit(SIGTERM) | bit(SIGHUP) | bit(SIGPIPE)),
            bit(SIGTERM) | bit(SIGHUP) | bit(SIGPIPE));
  for (int fatal : {SIGINT, SIGILL, SIGABRT, SIGFPE, SIGSEGV}) EXPECT_TRUE(caught & bit(fatal));
  for (int signal : {SIGTERM, SIGPIPE, SIGINT}) worker.signal(signal);
  EXPECT_EQ(worker.wait(10).exitCode, 1);
  EXPECT_EQ(test::loggedActions(instance), (LogLines{{"5", "Got INT signal #2"}}));
  EXPECT_FALSE(instance.exists("dumplog.dat"));

  test::BackgroundProcess crashing = startBlockedWorker(instance, {{"MARKER", "crash-test"}});
  crashing.signal(SIGSEGV);
  EXPECT_EQ(crashing.wait(10).exitCode, 1);
  std::string dump = instance.read("dumplog.dat");
  ASSERT_GE(dump.size(), 188u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(dump.data());
  std::string environment = dump.substr(188);
  EXPECT_EQ(le::getI32(bytes + 8), SIGSEGV);
  EXPECT_EQ(le::getU16(bytes + 180), std::count(environment.begin(), environment.end(), '\0'));
  EXPECT_EQ(le::getU16(bytes + 182), environment.size());
  EXPECT_NE(environment.find(std::string("MARKER=crash-test\0", 18)), std::string::npos);
  EXPECT_EQ(test::loggedActions(instance),
            (LogLines{{"5", "Got INT signal #2"}, {"5", "Got SEGV signal #11"}}));
}

class SchedulerTest : public test::WorkerTest {
 protected:
  test::RunResult webRequest() {
    return instance_.runWorker({}, {{"QUERY_STRING", "scheduler"}, {"HTTP_HOST", "h"}});
  }
  bool becomes(const std::function<bool()>& condition) { return test::waitUntil(condition, 10); }

  test::SchedulerPids daemons_{instance_};
};

TEST_F(SchedulerTest, WebRequestStartsOneDaemonOnlyWhenNoneLivesAndNoneInCronMode) {
  schedule(true, true, 60, 300);
  EXPECT_EQ(webRequest().out, "Content-type: text/html\n\nCron used...");
  EXPECT_FALSE(instance_.exists("vydata/vytime/scheduler"));

  schedule(true, false, 1, 60);  // a registered zombie counts as not running
  test::BackgroundProcess zombie = instance_.start("vyrunner.cgi", {});  // left unreaped
  ASSERT_TRUE(becomes([&] { return zombie.ended(); }));
  registerScheduler(zombie.pid(), "./vyrunner.cgi");
  ASSERT_TRUE(touchFile(instance_.path("vydata/vytime/check"), 1000));
  EXPECT_EQ(webRequest().out, "Content-type: text/html\n\nRun Sheduler...");
  daemons_.expectKeptOver([&] { webRequest(); });
  EXPECT_TRUE(becomes([&] { return fileModTime(instance_.path("vydata/vytime/check")) > 1000; }));
  // Its own session: the web server's end is not its end.
  EXPECT_EQ(getsid(daemons_.registered()), daemons_.registered());
}

TEST_F(SchedulerTest, ADaemonStartedUnderNiceCountsAsRunning) {
  schedule(true, false, 600, 600);
  instance_.writeScript("nicely.sh", "exec nice -n 5 ./vyrunner.cgi \"$@\"\n");
  EXPECT_EQ(instance_.run("nicely.sh", {{"scheduler", "run"}, {}, "", 30}).exitCode, 0);
  daemons_.expectKeptOver([&] { webRequest(); });  // ps shows its state as SN
}

TEST_F(SchedulerTest, RestartHandsOverAndAClearedSwitchEndsTheDaemon) {
  schedule(true, false, 600, 1);
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(becomes([&] { return daemons_.registeredRuns(); }));
  const pid_t first = daemons_.registered();
  ASSERT_TRUE(becomes([&] { return daemons_.registered() != first; }));
  EXPECT_TRUE(becomes([&] { return daemons_.registeredRuns(); }));
  EXPECT_TRUE(becomes([&] { return !test::SchedulerPids::runsAsDaemon(first); }));
  schedule(false, false, 600, 1);
  // The last daemon hands over to a process that finds the switch cleared and ends: once no
  // worker is left, none can come back.
  EXPECT_TRUE(becomes([&] { return daemons_.daemonsAndStarters().empty(); }));
  EXPECT_FALSE(daemons_.registeredRuns());
}

TEST_F(SchedulerTest, PeriodsBelowOneSecondAreTheDefaultsSoTheDaemonNeverSpins) {
  // Ten never-checked URLs, one per run: each run shows as one request to the site.
  test::FakeServer site(test::answerWith(test::httpReplyText("200 OK", "")));
  GroupConfig group = groupOf({}, -1);
  for (int i = 0; i < 10; ++i) group.addUrl(site.url("/" + std::to_string(i)));
  storeGroup("shop", group);
  settings_.maxCheckUrls = 1;
  schedule(true, false, -5, 0);
  ASSERT_TRUE(touchFile(instance_.path("vydata/vytime/check"), 1000));  // the first run is due
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(becomes([&] { return site.connectionCount() >= 1; }));
  std::set<pid_t> daemons;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end) {
    if (pid_t pid = daemons_.registered()) daemons.insert(pid);
    usleep(20000);
  }
  EXPECT_LE(site.connectionCount(), 3);  // at most one run per second
  EXPECT_LE(daemons.size(), 3u);         // and at most one restart per second
}

using test::ServiceTest;

TEST_F(ServiceTest, OnlyTheRightPasswordOrWebServerUserGetsTheListing) {
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

TEST_F(ServiceTest, StoringCommandsChangeWhatTheyShouldAndKeepTheRest) {
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

TEST_F(ServiceTest, GetsetupPrintsTextThatWritegroupStoresBackToTheSameFile) {
  const std::string text =
      "checktime=45\nwritelog=1\ninftype=3\ninform=ops@example.test\ninfuptime=1\nsuspend=1\n"
      "qstrunc=uc\ndelete_after_check=1\nbancontent=9\nSold\nOut!\nprescontent=5\nPrice\n"
      "url=http://a.test/?q=1\nchkban=1\nurl=http://b.test/\nchkpres=1\n";
  ASSERT_EQ(service({"writegroup", "shop"}, text).exitCode, 0);
  ASSERT_EQ(service({"writegroup", "copy"}, service({"getsetup", "shop"}).out).exitCode, 0);
  EXPECT_EQ(groupBytes("copy"), groupBytes("shop"));
}

TEST_F(ServiceTest, GetstatsSummarizesEachGroupAndSkipsWhatItCannotRead) {
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
  EXPECT_EQ(test::loggedActions(instance_),
            LogLines(1, {"0", "Invalid group name"}));
  EXPECT_EQ(groupBytes("general"), stored);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(instance_.path("vydata/vydb")), {}),
            1);
}

}  // namespace
}  // namespace vy
