// Process tests of the worker: an instance directory with its data
// directories, settings written from a record, and groups written and read
// with the store itself (run inside the instance directory).
#ifndef VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_
#define VANTRY_TESTS_RUNNER_WORKER_FIXTURE_H_

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "store/check_log.h"
#include "store/group_config.h"
#include "store/group_file.h"
#include "store/settings.h"
#include "tests/support/instance.h"

namespace vy::test {

// Runs store calls as if the instance directory were the working directory.
class InInstanceDir {
 public:
  explicit InInstanceDir(const Instance& instance) {
    char previous[PATH_MAX];
    if (::getcwd(previous, sizeof previous)) previous_ = previous;
    if (::chdir(instance.dir().c_str()) != 0) ADD_FAILURE() << "cannot enter the instance";
  }
  ~InInstanceDir() {
    if (::chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot leave the instance";
  }

 private:
  std::string previous_;
};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_.makeDataDirs();
    settings_.userAgent = "VantryTest/1.0";
    settings_.referer = "http://console.test";
    settings_.maxPageLength = 1000;
    settings_.recheckUpTimes = 1;
    settings_.maxCheckUrls = 25;
    settings_.maxCheckThreads = 3;
    saveSettings();
  }

  void saveSettings() {
    ASSERT_EQ(vy::saveSettings(settings_, instance_.path("vydata/vyvars.dat")), 0);
  }

  // Stores a whole group (mode "m") with the given URLs.
  void storeGroup(const std::string& name, GroupConfig& group) {
    InInstanceDir here(instance_);
    ASSERT_EQ(accessGroupFile(name, group, 'm'), 0);
  }

  GroupConfig readGroup(const std::string& name) {
    InInstanceDir here(instance_);
    GroupConfig group;
    EXPECT_EQ(accessGroupFile(name, group, 'r'), 0) << name;
    return group;
  }

  const UrlStatus* findUrl(const GroupConfig& group, const std::string& url) {
    for (const UrlStatus& status : group.urls) {
      if (status.url == url) return &status;
    }
    ADD_FAILURE() << "no entry for " << url;
    return nullptr;
  }

  std::vector<CheckLogEntry> checkLog(const std::string& name) {
    InInstanceDir here(instance_);
    std::vector<CheckLogEntry> entries;
    readCheckLog(name, entries);
    return entries;
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
