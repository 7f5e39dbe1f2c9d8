// Check runs over groups: due URLs, limits, one-shot groups, turns and threads.
#include "runner/check_run.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "tests/runner/check_run_fixture.h"

namespace vy {
namespace {

using test::LogLines;
using Paths = test::CheckRunTest::Paths;
using test::CheckRunTest;

// Older than a positive interval; never with 0; only when never checked below 0.
TEST(DueRule, TheIntervalsSignDecidesWhenAUrlIsDue) {
  const std::time_t now = 1700000000;
  EXPECT_FALSE(isDue(static_cast<uint32_t>(now - 300), 5, now));
  EXPECT_TRUE(isDue(static_cast<uint32_t>(now - 301), 5, now));
  EXPECT_FALSE(isDue(0, 0, now));
  EXPECT_TRUE(isDue(0, -1, now));
  EXPECT_FALSE(isDue(1, -1, now));
}

// The maximum of "check" cuts across the groups in listing order; "checkgroup" takes its own
// maximum and threads and checks its group alone. A URL checked 290 s ago is not due yet.
TEST_F(CheckRunTest, ARunTakesAtMostItsMaximumOfDueUrlsOldestFirst) {
  makeGroup("alpha", {1000, 2000, 290});
  makeGroup("beta", {1000, 2000, 290});
  auto listing = std::filesystem::directory_iterator(instance_.path("vydata/vydb"));
  const bool alphaFirst = listing->path().stem() == "alpha";
  EXPECT_EQ(instance_.runWorker({"check", "3"}).exitCode, 0);
  Paths expected = alphaFirst ? Paths{"/alpha/0", "/alpha/1", "/beta/1"}
                              : Paths{"/alpha/1", "/beta/0", "/beta/1"};
  EXPECT_EQ(requested(), expected);
  makeGroup("shop", {0, 700, 600, 500, 400, 350, 900});  // never checked: the oldest
  EXPECT_EQ(instance_.runWorker({"checkgroup", "shop", "5", "2"}).exitCode, 0);
  expected.insert(expected.end(), {"/shop/0", "/shop/1", "/shop/2", "/shop/3", "/shop/6"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(requested(), expected);
}

TEST_F(CheckRunTest, ASuspendedGroupIsLeftAsItIsAndARunWithoutThreadsChecksNothing) {
  makeGroup("paused", {0, 5000}, kOptSuspend);
  makeGroup("shop", {0, 5000});
  const std::string paused = groupBytes("paused");
  EXPECT_EQ(instance_.runWorker({"check", "0", "0"}).exitCode, 0);
  EXPECT_EQ(requested(), Paths{});
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(requested(), (Paths{"/shop/0", "/shop/1"}));
  EXPECT_EQ(groupBytes("paused"), paused);
}

TEST_F(CheckRunTest, AOneShotGroupGoesWithItsHistoryOnceEveryUrlWasChecked) {
  makeGroup("done", {0, 0}, 0, kMoreDeleteAfterCheck);
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vydb/done.dat"));
  EXPECT_FALSE(instance_.exists("vydata/vyhist/done.dat"));
  makeGroup("cut", {0, 0, 0}, 0, kMoreDeleteAfterCheck);
  EXPECT_EQ(instance_.runWorker({"check", "2"}).exitCode, 0);
  EXPECT_TRUE(instance_.exists("vydata/vydb/cut.dat"));
  EXPECT_TRUE(instance_.exists("vydata/vyhist/cut.dat"));
}

TEST_F(CheckRunTest, MissingCheckTimeFileEndsTheRunWithOneLogLine) {
  makeGroup("shop", {0});
  std::filesystem::remove(instance_.path("vydata/vytime/check"));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 1);
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"2", "./vydata/vytime/check"}}));
  EXPECT_EQ(requested(), Paths{});
}

TEST_F(CheckRunTest, RunsStartedTogetherTakeTurns) {
  makeGroup("shop", {0, 0, 0, 0});
  const test::RunOptions check{{"check"}, {}, "", 30};
  std::vector<test::BackgroundProcess> runs;
  for (int i = 0; i < 2; ++i) runs.push_back(instance_.start("vyrunner.cgi", check));
  for (test::BackgroundProcess& run : runs) EXPECT_EQ(run.wait(30).exitCode, 0);
  EXPECT_EQ(requested(), (Paths{"/shop/0", "/shop/1", "/shop/2", "/shop/3"}));
}

TEST_F(CheckRunTest, ThreadsShareTheWorkSoSlowSitesOverlap) {
  Paths expected;
  for (const std::string group : {"a", "b", "c"}) {
    makeGroup(group, std::vector<long>(20, 0));
    for (int i = 0; i < 20; ++i) expected.push_back("/" + group + "/" + std::to_string(i));
  }
  std::sort(expected.begin(), expected.end());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(instance_.runWorker({"check", "0", "10"}, {}, "", 60).exitCode, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  EXPECT_EQ(requested(), expected);
}

}  // namespace
}  // namespace vy
