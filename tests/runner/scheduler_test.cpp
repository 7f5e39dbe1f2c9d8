// The scheduler daemon as a user meets it: started by a web request or the
// command line, registered in the scheduler file, restarting and handing
// over, and refusing to run in cron mode.
#include "runner/scheduler.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/files.h"
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

class SchedulerTest : public test::WorkerTest {
 protected:
  test::RunResult webRequest() {
    return instance_.runWorker({}, {{"QUERY_STRING", "scheduler"}, {"HTTP_HOST", "h"}});
  }

  test::SchedulerPids daemons_{instance_};
};

TEST_F(SchedulerTest, CronModeAnswersTheWebRequestAndStartsNothing) {
  schedule(true, true, 60, 300);
  test::RunResult result = webRequest();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Content-type: text/html\n\nCron used...");
  EXPECT_FALSE(instance_.exists("vydata/vytime/scheduler"));
}

TEST_F(SchedulerTest, WebRequestRegistersOneDaemonThatStartsCheckRuns) {
  schedule(true, false, 1, 60);
  ASSERT_EQ(touchFile(instance_.path("vydata/vytime/check"), 1000), 0);
  EXPECT_EQ(webRequest().out, "Content-type: text/html\n\nRun Sheduler...");
  ASSERT_TRUE(test::waitUntil([&] { return daemons_.registeredRuns(); }, 10));
  EXPECT_TRUE(test::waitUntil(
      [&] { return fileModTime(instance_.path("vydata/vytime/check")) > 1000; }, 10))
      << "the daemon never touched the check time file";

  const pid_t daemon = daemons_.registered();
  webRequest();
  usleep(300000);
  EXPECT_EQ(daemons_.registered(), daemon);
}

TEST_F(SchedulerTest, RestartHandsOverAndAClearedSwitchEndsTheDaemon) {
  schedule(true, false, 600, 1);
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(test::waitUntil([&] { return daemons_.registeredRuns(); }, 10));
  const pid_t first = daemons_.registered();
  ASSERT_TRUE(test::waitUntil([&] { return daemons_.registered() != first; }, 10));
  EXPECT_TRUE(test::waitUntil([&] { return daemons_.registeredRuns(); }, 5));
  EXPECT_TRUE(test::waitUntil([&] { return !test::SchedulerPids::runsAsDaemon(first); }, 5));

  schedule(false, false, 600, 1);
  EXPECT_TRUE(test::waitUntil([&] { return !daemons_.registeredRuns(); }, 10));
  usleep(1500000);  // no successor turns up
  EXPECT_FALSE(daemons_.registeredRuns());
}

TEST_F(SchedulerTest, AZombiePidCountsAsNotRunning) {
  schedule(true, false, 600, 60);
  const std::string worker = instance_.path("vyrunner.cgi");  // ends at once without a command
  pid_t zombie = fork();
  if (zombie == 0) {
    execl(worker.c_str(), "./vyrunner.cgi", static_cast<char*>(nullptr));
    _exit(0);
  }
  ASSERT_TRUE(test::waitUntil(
      [&] {
        siginfo_t info = {};
        return waitid(P_PID, zombie, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == zombie;
      },
      10));
  uint8_t bytes[kSchedulerRecordSize];
  encodeSchedulerRecord(SchedulerRecord{zombie, "./vyrunner.cgi"}, bytes);
  instance_.write("vydata/vytime/scheduler",
                  std::string(reinterpret_cast<char*>(bytes), sizeof bytes));

  instance_.runWorker({"scheduler", "e"});
  EXPECT_TRUE(test::waitUntil([&] { return daemons_.registered() != zombie; }, 10));
  EXPECT_TRUE(test::waitUntil([&] { return daemons_.registeredRuns(); }, 10));
  daemons_.forget(zombie);
  waitpid(zombie, nullptr, 0);
}

}  // namespace
}  // namespace vy
