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
#include "store/group_config.h"
#include "store/group_file.h"
#include "store/settings.h"
#include "tests/support/instance.h"

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

// Kills every daemon seen registered by its pid, in rounds (a hand-over registers one more).
class SchedulerPids {
 public:
  explicit SchedulerPids(const Instance& instance) : instance_(instance) {}
  ~SchedulerPids() {
    for (int round = 0; round < 3; ++round, usleep(100000)) {
      registered();
      for (pid_t pid : seen_) ::kill(pid, SIGKILL);
    }
  }
  pid_t registered() {  // 0 when none
    std::string bytes = instance_.read("vydata/vytime/scheduler");
    if (bytes.size() < kSchedulerRecordSize) return 0;
    pid_t pid = decodeSchedulerRecord(reinterpret_cast<const uint8_t*>(bytes.data())).pid;
    if (pid > 0) seen_.insert(pid);
    return pid;
  }
  static bool runsAsDaemon(pid_t pid) {
    int answer = -1;
    return pid > 0 && isProcessRunning(pid, "./vyrunner.cgi", answer) == 0 && answer == 1;
  }
  bool registeredRuns() { return runsAsDaemon(registered()); }
  void forget(pid_t reapedByTheTest) { seen_.erase(reapedByTheTest); }

 private:
  const Instance& instance_;
  std::set<pid_t> seen_;
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
    ASSERT_EQ(vy::saveSettings(settings_, instance_.path("vydata/vyvars.dat")), 0);
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
  int inInstance(const std::string& name, GroupConfig& group, char mode) {
    char previous[PATH_MAX];
    if (!::getcwd(previous, sizeof previous) || ::chdir(instance_.dir().c_str()) != 0) return -1;
    int rc = accessGroupFile(name, group, mode);
    if (::chdir(previous) != 0) ADD_FAILURE() << "cannot leave the instance";
    return rc;
  }
  void storeGroup(const std::string& name, GroupConfig& group) {
    ASSERT_EQ(inInstance(name, group, 'm'), 0) << name;
  }
  void storeGroup(const std::string& name, GroupConfig&& group) { storeGroup(name, group); }
  GroupConfig readGroup(const std::string& name) {
    GroupConfig group;
    EXPECT_EQ(inInstance(name, group, 'r'), 0) << name;
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
