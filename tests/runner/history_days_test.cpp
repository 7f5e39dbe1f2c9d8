// The check history over simulated days: the installed worker runs with its clock set by
// libfaketime (Debian's faketime package) against a loopback site, and the history in between is
// written in place at simulated times where only the amount of it matters. Also a writer killed
// while appending, and check processes appending to one group at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "common/fd.h"
#include "store/history.h"
#include "store/history_digest.h"
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

namespace fs = std::filesystem;
using test::answerWith;
using test::FakeServer;
using test::httpReplyText;
using test::LogLines;
using test::RunResult;

constexpr std::time_t kDay = kSecondsPerDay;
constexpr std::time_t kHour = 3600;
constexpr std::time_t kMarch2026 = 1772323200;  // 2026-03-01 00:00:00 UTC
// The state word of a page that answered 200 in a group without content checks: up, and the
// (no) required texts present.
constexpr int kUpState = kStateUp | kStatePresOk;

HistoryCheck checkAt(std::time_t time, bool up) {
  return {static_cast<uint32_t>(time), static_cast<uint8_t>(up ? kStateUp : 0),
          static_cast<int16_t>(up ? 200 : 500), 20};
}

// The "history" lines: their times, and their "<url> <state> <code>".
struct HistoryLines {
  std::vector<long> times;
  std::vector<std::string> checks;
};

HistoryLines parseHistory(const std::string& out) {
  HistoryLines lines;
  std::istringstream in(out);
  long time = 0, ms = 0;
  std::string url, state, code;
  while (in >> time >> url >> state >> code >> ms) {
    lines.times.push_back(time);
    lines.checks.push_back(url + " " + state + " " + code);
  }
  return lines;
}

std::string ratioText(uint64_t up, uint64_t checks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", static_cast<double>(up) / static_cast<double>(checks));
  return text;
}

// The worker's process tests, with an instance to write the history into in place.
class HistoryProcessTest : public test::ServiceTest {
 protected:
  void append(const std::vector<std::string_view>& urls, std::string_view url,
              const HistoryCheck& check) {
    const HistoryWrite write =
        inInstance([&] { return appendHistory("shop", urls, url, check, check.time); });
    ASSERT_TRUE(write.status.ok());
    ASSERT_TRUE(write.damage.ok());
  }
  std::vector<UrlHistory> readBack(const std::vector<std::string_view>& urls) {
    std::vector<UrlHistory> out;
    EXPECT_TRUE(inInstance([&] { return readHistory("shop", urls, out); }).ok());
    return out;
  }
  uint64_t historySize() const { return fs::file_size(instance_.path("vydata/vyhist/shop.dat")); }
  // Whether the next append of a group of urlCount URLs compacts the file.
  bool nextAppendCompacts(size_t urlCount) const {
    const std::string head = instance_.read("vydata/vyhist/shop.dat").substr(0, kHistoryHeaderSize);
    const std::optional<HistoryHeader> header =
        decodeHistoryHeader(reinterpret_cast<const uint8_t*>(head.data()));
    return header &&
           historySize() + kHistoryCheckSize > historyCompactLimit(urlCount, header->compactedSize);
  }
};

// The worker with its clock started at a simulated time.
class SimulatedDaysTest : public HistoryProcessTest {
 protected:
  void SetUp() override {
    HistoryProcessTest::SetUp();
    if (library_.empty()) GTEST_SKIP() << "faketime is not installed (Debian package faketime)";
  }
  // The environment that starts the worker's clock at `time`, with the password of the
  // service commands.
  std::map<std::string, std::string> clockAt(std::time_t time) const {
    std::map<std::string, std::string> env = test::fakeClockAt(time, library_);
    env["ADMIN_PWD"] = "secret";
    return env;
  }
  RunResult workerAt(std::time_t time, const std::vector<std::string>& args,
                     const std::string& input = "") {
    return instance_.runWorker(args, clockAt(time), input, 60);
  }
  RunResult checkurlAt(std::time_t time, const std::string& url) {
    return workerAt(time, {"checkurl", "shop"}, "url=" + url + "\n");
  }
  // The line of `uptime` for url at `time`.
  std::string uptimeAt(std::time_t time, const std::string& url) {
    std::istringstream in(workerAt(time, {"uptime", "shop"}).out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(url + " ", 0) == 0) return line.substr(url.size() + 1);
    }
    return "";
  }

  const std::string library_ = test::fakeTimeLibrary();
  std::atomic<bool> siteUp_{true};
  FakeServer site_{answerWith([this](const std::string&) {
    return siteUp_ ? httpReplyText("200 OK", "") : httpReplyText("503 Service Unavailable", "");
  })};
};

// "a" down 100 days back, up three times 20 days back, down 3 days back, then up, up, down in
// the last hour; "b" down 3 days back only. (The metrics' windows are the metrics test's.)
TEST_F(SimulatedDaysTest, UptimeCountsTheUpAndDownChecksOfEachWindow) {
  const std::string a = site_.url("/a"), b = site_.url("/b");
  storeGroup("shop", groupOf({a, b}));
  const std::time_t now = kMarch2026 + 12 * kHour;
  const std::vector<std::tuple<std::time_t, bool, std::string>> checks = {
      {now - 100 * kDay, false, a},     {now - 20 * kDay, true, a}, {now - 20 * kDay + 60, true, a},
      {now - 20 * kDay + 120, true, a}, {now - 3 * kDay, false, a}, {now - 3 * kDay, false, b},
      {now - kHour, true, a},           {now - 1800, true, a},      {now - 600, false, a}};
  for (const auto& [time, up, url] : checks) {
    siteUp_ = up;
    EXPECT_EQ(checkurlAt(time, url).exitCode, up ? kUpState : 0) << time;
  }
  const HistoryLines history = parseHistory(workerAt(now, {"history", "shop", a}).out);
  ASSERT_EQ(history.times.size(), 8u);
  for (size_t i = 0, line = 0; i < checks.size(); ++i) {
    if (std::get<2>(checks[i]) != a) continue;
    EXPECT_GE(history.times[line], std::get<0>(checks[i]));
    EXPECT_LE(history.times[line++], std::get<0>(checks[i]) + 30);  // the simulated clock
  }

  EXPECT_TRUE(uptimeAt(now, a).starts_with("1d=0.6667 7d=0.5000 30d=0.7143 365d=0.6250 avg1d="))
      << uptimeAt(now, a);
  EXPECT_EQ(uptimeAt(now, b), "1d=- 7d=0.0000 30d=0.0000 365d=0.0000 avg1d=-");

  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// Checks every minute up to the size bound, one in four down; the worker's own check then
// compacts the file.
TEST_F(SimulatedDaysTest, AfterACompactionOnlyTheLast48HoursStayChecksAndTheRestDailySummaries) {
  const std::string url = site_.url("/");
  const std::vector<std::string_view> urls = {url};
  storeGroup("shop", groupOf({url}));
  const std::time_t now = kMarch2026 + 12 * kHour;
  std::vector<HistoryCheck> written;
  for (std::time_t time = now - 3 * kDay; time < now; time += 60) {
    if (!written.empty() && nextAppendCompacts(1)) break;
    written.push_back(checkAt(time, written.size() % 4 != 0));
    ASSERT_NO_FATAL_FAILURE(append(urls, url, written.back()));
  }
  ASSERT_LT(written.back().time, now - 1000);  // the bound came first
  ASSERT_GT(written.back().time - written.front().time, kHistoryCheckKeepSeconds + kHour);
  // Half a minute after the last: the windows' edges fall between two checks, whatever the
  // worker's clock has run on since its start.
  const std::time_t end = written.back().time + 30;
  ASSERT_EQ(checkurlAt(end, url).exitCode, kUpState);

  const HistoryLines history = parseHistory(workerAt(end, {"history", "shop"}).out);
  ASSERT_FALSE(history.times.empty());
  EXPECT_GE(history.times.front(), end - kHistoryCheckKeepSeconds);
  EXPECT_LE(history.times.front(), end - kHistoryCheckKeepSeconds + 30);
  const UrlHistory stored = readBack(urls)[0];
  // The last day's checks are all kept ones: exactly those after end - 24 h count.
  uint64_t folded = 0, foldedUp = 0, dayChecks = 1, up = 1, weekUp = 1;
  for (const HistoryCheck& check : written) {
    const bool kept = check.time >= end - kHistoryCheckKeepSeconds,
               today = check.time >= end - kDay;
    weekUp += check.up();
    folded += !kept;
    foldedUp += !kept && check.up();
    dayChecks += today;
    up += today && check.up();
  }
  uint64_t summed = 0, summedUp = 0;
  for (const HistoryDay& day : stored.days) {
    summed += day.checks;
    summedUp += day.upChecks;
  }
  EXPECT_EQ(history.times.size(), written.size() - folded + 1);
  EXPECT_EQ(summed, folded);
  EXPECT_EQ(summedUp, foldedUp);

  EXPECT_TRUE(uptimeAt(end, url).starts_with("1d=" + ratioText(up, dayChecks) +
                                             " 7d=" + ratioText(weekUp, written.size() + 1) + " "))
      << uptimeAt(end, url);
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// Two URLs checked every hour for 500 days, one check in five down, and by the worker on every
// 25th day; the size bound holds throughout and `uptime` still counts the last year in full.
TEST_F(SimulatedDaysTest, FiveHundredDaysStayWithinTheSizeBoundAndKeepTheYear) {
  const std::string a = site_.url("/a"), b = site_.url("/b");
  const std::vector<std::string_view> urls = {a, b};
  storeGroup("shop", groupOf({a, b}));
  const std::time_t start = kMarch2026;
  const std::time_t end = start + 500 * kDay;
  const uint64_t bound = 2 * kHistoryBytesPerUrl;
  uint64_t yearChecks = 0, yearUp = 0;
  for (int day = 0; day < 500; ++day) {
    for (std::time_t hour = 0; hour < 24; ++hour) {
      const std::time_t time = start + day * kDay + hour * kHour + 1800;
      const bool up = (day * 24 + hour) % 5 != 0;
      ASSERT_NO_FATAL_FAILURE(append(urls, a, checkAt(time, up)));
      ASSERT_NO_FATAL_FAILURE(append(urls, b, checkAt(time, up)));
      if (time < end - 365 * kDay) continue;
      ++yearChecks;
      yearUp += up;
    }
    if (day % 25 == 0) {
      ASSERT_EQ(workerAt(start + day * kDay + 12 * kHour + 900, {"checkgroup", "shop"}).exitCode,
                0);
      yearChecks += day >= 135;
      yearUp += day >= 135;
    }
    ASSERT_LE(historySize(), bound) << day;
  }
  const std::string expected = " 365d=" + ratioText(yearUp, yearChecks) + " ";
  EXPECT_NE(uptimeAt(end, a).find(expected), std::string::npos) << uptimeAt(end, a) << expected;
  EXPECT_NE(uptimeAt(end, b).find(expected), std::string::npos) << uptimeAt(end, b) << expected;
  for (const UrlHistory& history : readBack(urls)) {
    ASSERT_FALSE(history.days.empty());
    EXPECT_GT(history.days.front().day, start / kDay + 50);  // the oldest days are gone
    EXPECT_EQ(uptimeOver(history, 365, end).checks, yearChecks);
  }
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// A URL removed from the group keeps its records only until the next compaction, and comes back
// without them.
TEST_F(SimulatedDaysTest, ARemovedUrlsHistoryIsGoneAfterTheNextCompaction) {
  const std::string a = site_.url("/a"), b = site_.url("/b");
  const std::vector<std::string_view> both = {a, b};
  storeGroup("shop", groupOf({a, b}));
  std::time_t time = kMarch2026;
  do {  // past one URL's bound, not two URLs'
    ASSERT_NO_FATAL_FAILURE(append(both, a, checkAt(time, true)));
    ASSERT_NO_FATAL_FAILURE(append(both, b, checkAt(time, false)));
    time += 60;
  } while (historySize() <= kHistoryBytesPerUrl);
  const size_t aChecks = readBack(both)[0].checks.size();
  ASSERT_EQ(service({"del", "shop"}, "url=" + b + "\n").exitCode, 0);
  EXPECT_EQ(readBack({b})[0].checks.size(), aChecks);  // still there: no compaction yet

  ASSERT_EQ(checkurlAt(time, a).exitCode, kUpState);
  EXPECT_TRUE(readBack({b})[0].checks.empty());
  EXPECT_TRUE(readBack({b})[0].days.empty());
  EXPECT_EQ(readBack({a})[0].checks.size(), aChecks + 1);  // all within 48 hours

  ASSERT_EQ(service({"add", "shop"}, "url=" + b + "\n").exitCode, 0);
  siteUp_ = false;
  ASSERT_EQ(checkurlAt(time + 60, b).exitCode, 0);
  EXPECT_EQ(parseHistory(workerAt(time + 60, {"history", "shop", b}).out).checks,
            std::vector<std::string>{b + " 0 503"});
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// A check run of many URLs on three threads and checkurl processes started beside it, all on one
// group at the same simulated moment: every check is in the history, at the simulated time.
TEST_F(SimulatedDaysTest, ChecksOfARunAndOfCheckurlProcessesAtOnceAreAllKept) {
  constexpr int kRunUrls = 30, kSingles = 8;
  std::vector<std::string> urls;
  for (int i = 0; i < kRunUrls + kSingles; ++i) urls.push_back(site_.url("/" + std::to_string(i)));
  GroupConfig group = groupOf({urls.begin(), urls.begin() + kRunUrls}, -1);
  for (int i = kRunUrls; i < kRunUrls + kSingles; ++i) addUrl(group, urls[i], 0, 1, 200, 1);
  storeGroup("shop", group);  // the last ones checked before, so that the run leaves them
  const std::time_t now = kMarch2026 + 12 * kHour;
  std::vector<test::BackgroundProcess> processes;
  processes.push_back(
      instance_.start("vyrunner.cgi", {{"checkgroup", "shop", "30", "3"}, clockAt(now), ""}));
  for (int i = kRunUrls; i < kRunUrls + kSingles; ++i) {
    processes.push_back(instance_.start(
        "vyrunner.cgi", {{"checkurl", "shop"}, clockAt(now), "url=" + urls[i] + "\n"}));
  }
  for (test::BackgroundProcess& process : processes) EXPECT_NE(process.wait(60).exitCode, -1);

  const HistoryLines history = parseHistory(workerAt(now, {"history", "shop"}).out);
  std::vector<std::string> checked = history.checks, expected;
  for (const std::string& url : urls) expected.push_back(url + " 5 200");
  std::sort(checked.begin(), checked.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(checked, expected);
  for (long time : history.times) EXPECT_TRUE(time >= now && time <= now + 30) << time;
  // Each process folds the day digest after its own checks, so the last one holds them all.
  HistoryDigest digest;
  ASSERT_EQ(inInstance([&] { return readHistoryDigest("shop", digest); }), StoreCode::kOk);
  for (const std::string& url : urls) {
    const std::span<const DigestDay> days = digest.daysOf(url);
    ASSERT_EQ(days.size(), kDigestDays);
    EXPECT_EQ(days.back(), (DigestDay{1, 1})) << url;
  }
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// A child appends to a group's history in a loop, through compactions, and is killed at once
// after its 9000th append; the file stays readable, the other URL's records are all there and
// the child's own form an unbroken run from its first.
TEST_F(HistoryProcessTest, AWriterKilledWhileAppendingLeavesTheOtherRecordsIntact) {
  const std::vector<std::string_view> urls = {"http://a.test/", "http://b.test/"};
  storeGroup("shop", groupOf({urls.begin(), urls.end()}));
  const std::time_t start = kMarch2026;
  for (int i = 0; i < 100; ++i) {
    ASSERT_NO_FATAL_FAILURE(append(urls, urls[1], checkAt(start + i * 60, i % 2 == 0)));
  }
  int progress[2];
  ASSERT_EQ(::pipe2(progress, O_CLOEXEC), 0);
  UniqueFd readEnd(progress[0]), writeEnd(progress[1]);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::chdir(instance_.dir().c_str()) != 0) _exit(1);
    for (std::time_t i = 0; i < 1'000'000; ++i) {
      // Five seconds apart: many appends within the 48 hours, so compactions keep them.
      (void)appendHistory("shop", urls, urls[0], checkAt(start + 6000 + i * 5, true),
                          start + 6000 + i * 5);
      if (i == 9000 && ::write(writeEnd.get(), "x", 1) != 1) _exit(1);
    }
    _exit(0);
  }
  writeEnd.reset();
  pollfd ready{readEnd.get(), POLLIN, 0};
  const bool reached = ::poll(&ready, 1, 30'000) == 1;
  ::kill(child, SIGKILL);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  ASSERT_TRUE(reached);

  std::vector<UrlHistory> histories;
  ASSERT_TRUE(inInstance([&] { return readHistory("shop", urls, histories); }).ok());
  ASSERT_EQ(histories[1].checks.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(histories[1].checks[i], checkAt(start + i * 60, i % 2 == 0));
  ASSERT_GT(histories[0].checks.size(), 9000u);
  for (size_t i = 0; i < histories[0].checks.size(); ++i) {
    ASSERT_EQ(histories[0].checks[i].time, start + 6000 + i * 5) << i;
  }
  // The next writer goes on from the last whole record.
  const std::time_t next = start + 6000 + histories[0].checks.size() * 5;
  const HistoryWrite write =
      inInstance([&] { return appendHistory("shop", urls, urls[1], checkAt(next, true), next); });
  EXPECT_TRUE(write.status.ok());
  EXPECT_EQ(readBack(urls)[1].checks.size(), 101u);
}

}  // namespace
}  // namespace vy
