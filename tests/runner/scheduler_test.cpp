// The scheduler daemon as a user meets it: started by a web request or the
// console's command line, registered in the scheduler file, restarting and
// handing over, and refusing to run in cron mode. Every daemon pid a test
// learns from the scheduler file is killed when the test ends.
#include "runner/scheduler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "common/files.h"
#include "common/process.h"
#include "store/settings.h"
#include "tests/support/instance.h"

namespace vy {
namespace {

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override { instance_.makeDataDirs(); }

  void TearDown() override {
    registeredPid();
    for (pid_t pid : seen_) ::kill(pid, SIGKILL);
  }

  void writeSettings(bool schedulerOn, bool cronMode, int checkSeconds, int restartSeconds) {
    Settings settings;
    settings.setFlag(kFlagSchedulerOn, schedulerOn);
    settings.setFlag(kFlagCronMode, cronMode);
    settings.checkSeconds = checkSeconds;
    settings.restartSeconds = restartSeconds;
    ASSERT_EQ(saveSettings(settings, instance_.path("vydata/vyvars.dat")), 0);
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

  test::Instance instance_;
  std::set<pid_t> seen_;
};

TEST_F(SchedulerTest, CronModeAnswersTheWebRequestAndStartsNothing) {
  writeSettings(true, true, 60, 300);
  auto result = instance_.runWorker({}, {{"QUERY_STRING", "scheduler"}, {"HTTP_HOST", "h"}});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Content-type: text/html\n\nCron used...");
  EXPECT_FALSE(instance_.exists("vydata/vytime/scheduler"));
}

TEST_F(SchedulerTest, WebRequestRegistersADaemonThatStartsCheckRuns) {
  writeSettings(true, false, 1, 60);
  ASSERT_EQ(touchFile(instance_.path("vydata/vytime/check"), 1000), 0);
  auto result = instance_.runWorker({}, {{"QUERY_STRING", "scheduler"}, {"HTTP_HOST", "h"}});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Content-type: text/html\n\nRun Sheduler...");
  ASSERT_TRUE(test::waitUntil([&] { return runsAsDaemon(registeredPid()); }, 10));
  EXPECT_TRUE(test::waitUntil(
      [&] { return fileModTime(instance_.path("vydata/vytime/check")) > 1000; }, 10))
      << "the daemon never touched the check time file";

  // A second request finds the daemon alive and starts no other. (The first
  // logged that there was no scheduler file yet.)
  pid_t daemon = registeredPid();
  size_t logLines = instance_.errorLog().size();
  instance_.runWorker({}, {{"QUERY_STRING", "scheduler"}, {"HTTP_HOST", "h"}});
  usleep(300000);
  EXPECT_EQ(registeredPid(), daemon);
  EXPECT_EQ(instance_.errorLog().size(), logLines);
}

TEST_F(SchedulerTest, RestartHandsOverToANewProcess) {
  writeSettings(true, false, 600, 1);
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(test::waitUntil([&] { return runsAsDaemon(registeredPid()); }, 10));
  pid_t first = registeredPid();
  ASSERT_TRUE(test::waitUntil([&] { return registeredPid() != first; }, 10));
  pid_t second = registeredPid();
  EXPECT_TRUE(test::waitUntil([&] { return runsAsDaemon(second); }, 5));
  EXPECT_TRUE(test::waitUntil([&] { return !runsAsDaemon(first); }, 5));
}

TEST_F(SchedulerTest, ClearingTheSwitchEndsTheDaemonAtItsNextRestart) {
  writeSettings(true, false, 600, 1);
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(test::waitUntil([&] { return runsAsDaemon(registeredPid()); }, 10));
  writeSettings(false, false, 600, 1);
  EXPECT_TRUE(test::waitUntil([&] { return !runsAsDaemon(registeredPid()); }, 10));
  usleep(1500000);
  EXPECT_FALSE(runsAsDaemon(registeredPid()));
}

TEST_F(SchedulerTest, StartingWhileOneRunsTakesOverWithinARestart) {
  writeSettings(true, false, 600, 1);
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(test::waitUntil([&] { return runsAsDaemon(registeredPid()); }, 10));
  pid_t old = registeredPid();
  instance_.runWorker({"scheduler", "run"});
  ASSERT_TRUE(test::waitUntil([&] { return registeredPid() != old; }, 10));
  EXPECT_TRUE(test::waitUntil([&] { return !runsAsDaemon(old); }, 5))
      << "the daemon that was taken over kept running";
}

TEST_F(SchedulerTest, AZombiePidCountsAsNotRunning) {
  writeSettings(true, false, 600, 60);
  pid_t zombie = fork();
  if (zombie == 0) {
    execl("./vyrunner.cgi", "./vyrunner.cgi", static_cast<char*>(nullptr));
    _exit(0);
  }
  ASSERT_TRUE(test::waitUntil(
      [&] {
        siginfo_t info = {};
        return waitid(P_PID, zombie, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == zombie;
      },
      10));
  SchedulerRecord record{zombie, "./vyrunner.cgi"};
  uint8_t bytes[kSchedulerRecordSize];
  encodeSchedulerRecord(record, bytes);
  instance_.write("vydata/vytime/scheduler",
                  std::string(reinterpret_cast<char*>(bytes), sizeof bytes));

  instance_.runWorker({"scheduler", "e"});
  EXPECT_TRUE(test::waitUntil([&] { return registeredPid() != zombie; }, 10));
  EXPECT_TRUE(test::waitUntil([&] { return runsAsDaemon(registeredPid()); }, 10));
  waitpid(zombie, nullptr, 0);
}

TEST(SchedulerTiming, RestartWinsTiesAndCheckRunsComeFirstWhenSooner) {
  EXPECT_TRUE(nextSchedulerEvent(10, 10).restart);
  SchedulerEvent check = nextSchedulerEvent(10, 300);
  EXPECT_FALSE(check.restart);
  EXPECT_EQ(check.wait, 10);
  EXPECT_EQ(nextSchedulerEvent(400, 300).wait, 300);
}

}  // namespace
}  // namespace vy
