// Check runs over groups ("check", "checkgroup") against loopback sites.
#include "runner/check_run.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <map>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;

class CheckRunTest : public test::WorkerTest {
 protected:
  CheckRunTest() : site_(test::answerAfter(0, test::httpReplyText("200 OK", "ok"))) {}

  // A group of `count` URLs named /<name>/<i>, last checked `agesSeconds[i]`
  // ago (0: never).
  void makeGroup(const std::string& name, std::vector<long> ages, int interval = 5,
                 uint8_t options = 0, uint8_t moreOptions = 0) {
    GroupConfig group;
    group.checkInterval = interval;
    group.options = options;
    group.moreOptions = moreOptions;
    const std::time_t now = std::time(nullptr);
    for (size_t i = 0; i < ages.size(); ++i) {
      UrlStatus& url = group.addUrl(site_.url("/" + name + "/" + std::to_string(i)));
      url.lastCheck = ages[i] == 0 ? 0 : static_cast<uint32_t>(now - ages[i]);
    }
    storeGroup(name, group);
  }

  // How often each path was requested.
  std::map<std::string, int> requests() {
    site_.connectionCount();  // let every connection land first
    std::map<std::string, int> count;
    for (const auto& record : site_.records()) {
      size_t start = record.received.find(' ') + 1;
      ++count[record.received.substr(start, record.received.find(' ', start) - start)];
    }
    return count;
  }

  FakeServer site_;
};

// The group names in the order the directory lists their files.
std::vector<std::string> listedGroups(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* entry = readdir(d)) {
    std::string file = entry->d_name;
    if (file.size() > 4 && file.substr(file.size() - 4) == ".dat") {
      names.push_back(file.substr(0, file.size() - 4));
    }
  }
  closedir(d);
  return names;
}

TEST(DueRule, StrictForPositiveIntervalsNeverForZeroFirstOnlyForNegative) {
  const std::time_t now = 1700000000;
  EXPECT_FALSE(isDue(static_cast<uint32_t>(now - 300), 5, now));
  EXPECT_TRUE(isDue(static_cast<uint32_t>(now - 301), 5, now));
  EXPECT_TRUE(isDue(0, 5, now));
  EXPECT_FALSE(isDue(0, 0, now));
  EXPECT_FALSE(isDue(1, 0, now));
  EXPECT_TRUE(isDue(0, -1, now));
  EXPECT_FALSE(isDue(1, -1, now));
}

TEST_F(CheckRunTest, OnlyUrlsOlderThanTheIntervalAreChecked) {
  makeGroup("shop", {290, 310, 0});
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  auto seen = requests();
  EXPECT_EQ(seen.count("/shop/0"), 0u);
  EXPECT_EQ(seen["/shop/1"], 1);
  EXPECT_EQ(seen["/shop/2"], 1);
  EXPECT_GT(readGroup("shop").urls.size(), 0u);
}

TEST_F(CheckRunTest, IntervalZeroIsNeverCheckedAndNegativeOnlyOnce) {
  makeGroup("manual", {0, 9999}, 0);
  makeGroup("once", {0, 9999}, -1);
  instance_.runWorker({"check"});
  auto seen = requests();
  EXPECT_EQ(seen.count("/manual/0") + seen.count("/manual/1"), 0u);
  EXPECT_EQ(seen["/once/0"], 1);
  EXPECT_EQ(seen.count("/once/1"), 0u);
}

TEST_F(CheckRunTest, MaximumCutsAcrossGroupsInListingOrderOldestFirst) {
  makeGroup("alpha", {1000, 2000});
  makeGroup("beta", {1000, 2000});
  std::vector<std::string> order = listedGroups(instance_.path("vydata/vydb"));
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(instance_.runWorker({"check", "3"}).exitCode, 0);
  auto seen = requests();
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen["/" + order[0] + "/0"], 1);
  EXPECT_EQ(seen["/" + order[0] + "/1"], 1);
  EXPECT_EQ(seen["/" + order[1] + "/1"], 1);  // the older of the second group
  EXPECT_EQ(instance_.read("vydata/vytime/check").substr(0, 10), order[0] + order[1]);
}

TEST_F(CheckRunTest, CheckGroupTakesItsOwnMaximumAndThreads) {
  makeGroup("shop", {100000, 700, 600, 500, 400, 350, 900});
  makeGroup("other", {1000});
  EXPECT_EQ(instance_.runWorker({"checkgroup", "shop", "5", "2"}).exitCode, 0);
  auto seen = requests();
  EXPECT_EQ(seen.size(), 5u);
  for (const char* path : {"/shop/0", "/shop/6", "/shop/1", "/shop/2", "/shop/3"}) {
    EXPECT_EQ(seen[path], 1) << path;
  }
  EXPECT_EQ(seen.count("/other/0"), 0u);
}

TEST_F(CheckRunTest, NoThreadsMeansNothingIsChecked) {
  makeGroup("shop", {0, 0});
  EXPECT_EQ(instance_.runWorker({"check", "0", "0"}).exitCode, 0);
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(readGroup("shop").urls[0].lastCheck, 0u);
}

TEST_F(CheckRunTest, SuspendedGroupIsLeftAlone) {
  makeGroup("paused", {0, 5000}, 5, kOptSuspend);
  std::string before = instance_.read("vydata/vydb/paused.dat");
  instance_.runWorker({"check"});
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(instance_.read("vydata/vydb/paused.dat"), before);
}

TEST_F(CheckRunTest, OneShotGroupGoesOnceEveryUrlWasChecked) {
  makeGroup("done", {0, 0}, 5, 0, kMoreDeleteAfterCheck);
  instance_.runWorker({"check"});
  EXPECT_FALSE(instance_.exists("vydata/vydb/done.dat"));

  makeGroup("cut", {0, 0, 0}, 5, 0, kMoreDeleteAfterCheck);
  instance_.runWorker({"check", "2"});
  EXPECT_TRUE(instance_.exists("vydata/vydb/cut.dat"));
}

TEST_F(CheckRunTest, MissingCheckTimeFileEndsTheRunWithOneLogLine) {
  makeGroup("shop", {0});
  std::remove(instance_.path("vydata/vytime/check").c_str());
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 1);
  EXPECT_EQ(instance_.errorLog().size(), 1u);
  EXPECT_TRUE(requests().empty());
}

TEST_F(CheckRunTest, InvalidGroupNameIsRefusedBeforeAnyFile) {
  test::RunResult result = instance_.runWorker({"checkgroup", "a/b"});
  EXPECT_EQ(result.exitCode, 3);
  ASSERT_EQ(instance_.errorLog().size(), 1u);
  EXPECT_EQ(test::splitLogLine(instance_.errorLog()[0]).at(4), "Invalid group name");
}

TEST_F(CheckRunTest, RunsStartedTogetherTakeTurns) {
  FakeServer slow(test::answerAfter(0.3, test::httpReplyText("200 OK", "")));
  GroupConfig group;
  group.checkInterval = 10;
  for (int i = 0; i < 4; ++i) group.addUrl(slow.url("/" + std::to_string(i)));
  storeGroup("shop", group);
  test::RunOptions options;
  options.args = {"check"};
  test::BackgroundProcess first = instance_.start("vyrunner.cgi", options);
  test::BackgroundProcess second = instance_.start("vyrunner.cgi", options);
  EXPECT_EQ(first.wait(30).exitCode, 0);
  EXPECT_EQ(second.wait(30).exitCode, 0);
  EXPECT_EQ(slow.connectionCount(), 4);  // the second run found nothing due
}

TEST_F(CheckRunTest, ThreadsShareTheWorkSoSlowSitesOverlap) {
  FakeServer slow(test::answerAfter(0.2, test::httpReplyText("200 OK", "")));
  for (int g = 0; g < 3; ++g) {
    GroupConfig group;
    group.checkInterval = 10;
    for (int i = 0; i < 20; ++i) group.addUrl(slow.url("/" + std::to_string(g) + "/" + std::to_string(i)));
    storeGroup("group" + std::to_string(g), group);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(instance_.runWorker({"check", "0", "10"}, {}, "", 60).exitCode, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(slow.connectionCount(), 60);
  std::map<std::string, int> paths;
  for (const auto& record : slow.records()) ++paths[record.received.substr(0, 20)];
  for (const auto& [path, count] : paths) EXPECT_EQ(count, 1) << path;
  EXPECT_LT(seconds, 6.0);
  for (int g = 0; g < 3; ++g) {
    for (const UrlStatus& url : readGroup("group" + std::to_string(g)).urls) {
      EXPECT_EQ(url.resultCode, 200);
    }
  }
}

}  // namespace
}  // namespace vy
