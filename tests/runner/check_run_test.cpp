// Check runs over groups ("check", "checkgroup") against loopback sites.
#include "runner/check_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;
using Paths = std::vector<std::string>;

// The paths requested from a site, sorted, each as often as it was requested.
Paths requested(FakeServer& site) {
  site.connectionCount();  // lets every connection land first
  Paths paths;
  for (const auto& record : site.records()) {
    std::istringstream request(record.received);
    paths.emplace_back();
    request >> paths.back() >> paths.back();
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

class CheckRunTest : public test::WorkerTest {
 protected:
  CheckRunTest() : site_(test::answerWith(test::httpReplyText("200 OK", "ok"))) {}

  // A group of URLs /<name>/<i> checked every 5 minutes, last checked
  // ages[i] seconds ago (0: never).
  void makeGroup(const std::string& name, std::vector<long> ages, uint8_t options = 0,
                 uint8_t moreOptions = 0) {
    GroupConfig group = groupOf({}, 5);
    group.options = options;
    group.moreOptions = moreOptions;
    for (size_t i = 0; i < ages.size(); ++i) {
      group.addUrl(site_.url("/" + name + "/" + std::to_string(i))).lastCheck =
          ages[i] == 0 ? 0 : static_cast<uint32_t>(std::time(nullptr) - ages[i]);
    }
    storeGroup(name, group);
  }

  FakeServer site_;
};

TEST(DueRule, StrictForPositiveIntervalsNeverForZeroFirstOnlyForNegative) {
  const std::time_t now = 1700000000;
  EXPECT_FALSE(isDue(static_cast<uint32_t>(now - 300), 5, now));
  EXPECT_TRUE(isDue(static_cast<uint32_t>(now - 301), 5, now));
  EXPECT_FALSE(isDue(0, 0, now));
  EXPECT_TRUE(isDue(0, -1, now));
  EXPECT_FALSE(isDue(1, -1, now));
}

TEST_F(CheckRunTest, OnlyUrlsOlderThanTheIntervalAreChecked) {
  makeGroup("shop", {290, 310, 0});
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(requested(site_), (Paths{"/shop/1", "/shop/2"}));
}

TEST_F(CheckRunTest, MaximumCutsAcrossGroupsInListingOrderOldestFirst) {
  makeGroup("alpha", {1000, 2000});
  makeGroup("beta", {1000, 2000});
  auto listing = std::filesystem::directory_iterator(instance_.path("vydata/vydb"));
  const bool alphaFirst = listing->path().stem() == "alpha";
  EXPECT_EQ(instance_.runWorker({"check", "3"}).exitCode, 0);
  EXPECT_EQ(requested(site_), (alphaFirst ? Paths{"/alpha/0", "/alpha/1", "/beta/1"}
                                          : Paths{"/alpha/1", "/beta/0", "/beta/1"}));
}

TEST_F(CheckRunTest, CheckGroupTakesItsOwnMaximumAndThreads) {
  makeGroup("shop", {100000, 700, 600, 500, 400, 350, 900});
  makeGroup("other", {1000});
  EXPECT_EQ(instance_.runWorker({"checkgroup", "shop", "5", "2"}).exitCode, 0);
  EXPECT_EQ(requested(site_), (Paths{"/shop/0", "/shop/1", "/shop/2", "/shop/3", "/shop/6"}));
}

TEST_F(CheckRunTest, NoThreadsOrASuspendedGroupChecksNothing) {
  makeGroup("paused", {0, 5000}, kOptSuspend);
  const std::string paused = groupBytes("paused");
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(groupBytes("paused"), paused);

  makeGroup("shop", {0, 0});
  EXPECT_EQ(instance_.runWorker({"check", "0", "0"}).exitCode, 0);
  EXPECT_EQ(requested(site_), Paths{});
}

TEST_F(CheckRunTest, OneShotGroupGoesOnceEveryUrlWasChecked) {
  makeGroup("done", {0, 0}, 0, kMoreDeleteAfterCheck);
  instance_.runWorker({"check"});
  EXPECT_FALSE(instance_.exists("vydata/vydb/done.dat"));

  makeGroup("cut", {0, 0, 0}, 0, kMoreDeleteAfterCheck);
  instance_.runWorker({"check", "2"});
  EXPECT_TRUE(instance_.exists("vydata/vydb/cut.dat"));
}

TEST_F(CheckRunTest, MissingCheckTimeFileEndsTheRunWithOneLogLine) {
  makeGroup("shop", {0});
  std::filesystem::remove(instance_.path("vydata/vytime/check"));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 1);
  EXPECT_EQ(test::loggedActions(instance_), (test::LogLines{{"2", "./vydata/vytime/check"}}));
  EXPECT_EQ(requested(site_), Paths{});
}

TEST_F(CheckRunTest, RunsStartedTogetherTakeTurns) {
  FakeServer slow(test::answerAfter(0.3, test::httpReplyText("200 OK", "")));
  storeGroup("shop", groupOf({slow.url("/0"), slow.url("/1"), slow.url("/2"), slow.url("/3")}));
  test::RunOptions options;
  options.args = {"check"};
  test::BackgroundProcess first = instance_.start("vyrunner.cgi", options);
  test::BackgroundProcess second = instance_.start("vyrunner.cgi", options);
  EXPECT_EQ(first.wait(30).exitCode, 0);
  EXPECT_EQ(second.wait(30).exitCode, 0);
  EXPECT_EQ(requested(slow), (Paths{"/0", "/1", "/2", "/3"}));  // the second found nothing due
}

TEST_F(CheckRunTest, ThreadsShareTheWorkSoSlowSitesOverlap) {
  FakeServer slow(test::answerAfter(0.2, test::httpReplyText("200 OK", "")));
  Paths expected;
  for (int g = 0; g < 3; ++g) {
    GroupConfig group = groupOf({});
    for (int i = 0; i < 20; ++i) {
      expected.push_back("/" + std::to_string(g) + "/" + std::to_string(i));
      group.addUrl(slow.url(expected.back()));
    }
    storeGroup("group" + std::to_string(g), group);
  }
  std::sort(expected.begin(), expected.end());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(instance_.runWorker({"check", "0", "10"}, {}, "", 60).exitCode, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  EXPECT_EQ(requested(slow), expected);
}

}  // namespace
}  // namespace vy
