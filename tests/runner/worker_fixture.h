// Process tests of the worker: an instance with settings, groups, error log and daemons.
#ifndef VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_
#define VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/process.h"
#include "runner/scheduler.h"
#include "runner/worker.h"
#include "store/group_config.h"
#include "store/group_file.h"
#include "store/settings.h"
#include "tests/support/instance.h"
#include "tests/support/printers.h"

namespace vy::test {

// Action and detail of every error-log line, sorted (threads log in any order).
using LogLines = std::vector<std::pair<std::string, std::string>>;
inline LogLines loggedActions(const Instance& instance) {
  LogLines found;
  for (const std::string& line : instance.errorLog()) {
    std::vector<std::string> fields = splitLogLine(line);
    found.emplace_back(fields.empty() ? "?" : fields[2], fields.empty() ? line : fields[4]);
  }
  std::sort(found.begin(), found.end());
  return found;
}

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

class WorkerTest : public ::testing::Test {
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
    ASSERT_EQ(vy::saveSettings(settings_, instance_.path("vydata/vyvars.dat")), ErrAction::kOk);
  }
  void schedule(bool schedulerOn, bool cronMode, int checkSeconds, int restartSeconds) {
    settings_.setFlag(kFlagSchedulerOn, schedulerOn);
    settings_.setFlag(kFlagCronMode, cronMode);
    settings_.checkSeconds = checkSeconds;
    settings_.restartSeconds = restartSeconds;
    saveSettings();
  }

  static GroupConfig groupOf(const std::vector<std::string>& urls, int interval = 10) {
    GroupConfig group;
    group.checkInterval = interval;
    for (const std::string& url : urls) group.addUrl(url);
    return group;
  }
  // Runs the store as if the instance directory were the working directory.
  ErrAction inInstance(const std::string& name, GroupConfig& group, GroupMode mode) {
    char previous[PATH_MAX];
    if (!::getcwd(previous, sizeof previous) || ::chdir(instance_.dir().c_str()) != 0) {
      return ErrAction::kReadFile;
    }
    ErrAction rc = accessGroupFile(name, group, mode);
    if (::chdir(previous) != 0) ADD_FAILURE() << "cannot leave the instance";
    return rc;
  }
  void storeGroup(const std::string& name, GroupConfig& group) {
    ASSERT_EQ(inInstance(name, group, GroupMode::kStoreGroup), ErrAction::kOk) << name;
  }
  void storeGroup(const std::string& name, GroupConfig&& group) { storeGroup(name, group); }
  GroupConfig readGroup(const std::string& name) {
    GroupConfig group;
    EXPECT_EQ(inInstance(name, group, GroupMode::kRead), ErrAction::kOk) << name;
    group.source = SourceFile();  // a test keeps no group file open
    return group;
  }
  std::string groupBytes(const std::string& name) {
    return instance_.read("vydata/vydb/" + name + ".dat");
  }
  RunResult checkurl(const std::string& group, const std::string& url) {
    std::vector<std::string> args = {"checkurl"};
    if (!group.empty()) args.push_back(group);
    return instance_.runWorker(args, {}, "url=" + url + "\n", 60);
  }

  Instance instance_;
  Settings settings_;
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_
