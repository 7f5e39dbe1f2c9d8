// Process tests of the worker: an instance with settings, groups, error log and daemons.
#ifndef VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_
#define VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/credentials.h"
#include "common/process.h"
#include "runner/worker.h"
#include "store/settings.h"
#include "tests/support/instance_test.h"

namespace vy::test {

// The scheduler daemon as the tests see it: the pid registered in the scheduler file, and the
// worker processes working in the instance. Every process left in the instance is killed by its
// pid at the end, in rounds (a daemon in hand-over starts one more).
class SchedulerPids {
 public:
  explicit SchedulerPids(const Instance& instance) : instance_(instance) {}
  ~SchedulerPids() {
    for (int round = 0; round < 3; ++round) {
      std::vector<ProcessInfo> left = processesWorkingIn(instance_.dir());
      if (left.empty()) break;
      for (const ProcessInfo& process : left) ::kill(process.pid, SIGKILL);
      waitUntil([&] { return processesWorkingIn(instance_.dir()).empty(); }, 2);
    }
  }
  pid_t registered() const {  // 0 when none
    std::string bytes = instance_.read("vydata/vytime/scheduler");
    if (bytes.size() < kSchedulerRecordSize) return 0;
    return decodeSchedulerRecord(reinterpret_cast<const uint8_t*>(bytes.data())).pid;
  }
  static bool runsAsDaemon(pid_t pid) {
    return pid > 0 && isProcessRunning(pid, "./vyrunner.cgi").answer == Running::kYes;
  }
  bool registeredRuns() const { return runsAsDaemon(registered()); }
  // Once a daemon runs, `trigger` must neither replace it nor start another one.
  void expectKeptOver(const std::function<void()>& trigger) const {
    ASSERT_TRUE(waitUntil([&] { return registeredRuns(); }, 10));
    const pid_t daemon = registered();
    trigger();
    EXPECT_EQ(registered(), daemon);
    EXPECT_EQ(daemonsAndStarters(), std::vector<pid_t>{daemon});
  }
  // The workers in the instance other than the check runs a daemon started: a daemon, or a
  // process on its way to become one. Processes are created before the command that starts
  // them returns, so right after such a command this is a complete count.
  std::vector<pid_t> daemonsAndStarters() const {
    std::vector<ProcessInfo> all = processesWorkingIn(instance_.dir());
    std::vector<pid_t> found;
    for (const ProcessInfo& process : all) {
      const bool checkRun = std::any_of(all.begin(), all.end(), [&](const ProcessInfo& parent) {
        return parent.pid == process.parent && parent.command == "./vyrunner.cgi scheduler";
      });
      if (process.command.rfind("./vyrunner.cgi", 0) == 0 && !checkRun)
        found.push_back(process.pid);
    }
    return found;
  }

 private:
  const Instance& instance_;
};

class WorkerTest : public InstanceTest {
 protected:
  void SetUp() override {
    instance_.makeDataDirs();
    settings_.userAgent = "VantryTest/1.0";
    settings_.referer = "http://console.test";
    settings_.maxPageLength = 1000;
    settings_.maxCheckUrls = 25;
    settings_.maxCheckThreads = 3;
    saveSettings();
  }
  void saveSettings() {
    ASSERT_EQ(vy::saveSettings(settings_, instance_.path("vydata/vyvars.dat")), StoreCode::kOk);
  }
  void schedule(bool schedulerOn, bool cronMode, int checkSeconds, int restartSeconds) {
    settings_.setFlag(kFlagSchedulerOn, schedulerOn);
    settings_.setFlag(kFlagCronMode, cronMode);
    settings_.checkSeconds = checkSeconds;
    settings_.restartSeconds = restartSeconds;
    saveSettings();
  }
  RunResult checkurl(const std::string& group, const std::string& url) {
    std::vector<std::string> args = {"checkurl"};
    if (!group.empty()) args.push_back(group);
    return instance_.runWorker(args, {}, "url=" + url + "\n", 60);
  }

  // The hidden names in the group directory: temporary files a writer left beside the groups.
  std::vector<std::string> hiddenGroupFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(instance_.path("vydata/vydb"))) {
      if (entry.path().filename().string()[0] == '.') names.push_back(entry.path().filename());
    }
    return names;
  }

  Settings settings_;
};

// The service commands, run with the administrator's password as a script gives it.
class ServiceTest : public WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    ASSERT_TRUE(
        writePasswordFile("admin", "secret", instance_.path("vydata/admin.pwd"), kLowestBcryptCost)
            .ok());
  }
  RunResult service(const std::vector<std::string>& args, const std::string& input = "") {
    return instance_.runWorker(args, {{"ADMIN_PWD", "secret"}}, input, 60);
  }
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_
