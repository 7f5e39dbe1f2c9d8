// The scheduler daemon as a process: its start, registration, restarts and periods.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>

#include "common/files.h"
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

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

}  // namespace
}  // namespace vy
