// The check history: its bytes, appends read back, damaged tails, compaction into daily summaries,
// the size bound over a long run, processes appending at once, and the uptime figures.
#include "store/history.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/files.h"
#include "tests/store/store_fixture.h"

namespace vy {
namespace {

constexpr std::time_t kDay = kSecondsPerDay;
constexpr std::time_t kHour = 3600;
constexpr std::time_t kStart = 19700 * kDay;  // midnight UTC
constexpr std::string_view kShopUrl = "https://shop.example/";
constexpr std::string_view kBlog = "https://blog.example/";
const std::vector<std::string_view> kBoth = {kShopUrl, kBlog};

HistoryCheck checkAt(std::time_t time, bool up = true, uint32_t ms = 100) {
  return {static_cast<uint32_t>(time), static_cast<uint8_t>(up ? kStateUp : 0),
          static_cast<int16_t>(up ? 200 : 503), ms};
}

void append(std::string_view url, const HistoryCheck& check, std::time_t now,
            const std::vector<std::string_view>& urls = kBoth) {
  const HistoryWrite write = appendHistory("g", urls, url, check, now);
  ASSERT_TRUE(write.status.ok()) << static_cast<int>(write.status.code);
  ASSERT_TRUE(write.damage.ok());
}

std::vector<UrlHistory> read(const std::vector<std::string_view>& urls = kBoth) {
  std::vector<UrlHistory> out;
  EXPECT_TRUE(readHistory("g", urls, out).ok());
  return out;
}

uint64_t fileSize() { return std::filesystem::file_size(historyPath("g")); }

void appendBytes(std::string_view bytes) {
  std::ofstream(historyPath("g"), std::ios::binary | std::ios::app) << bytes;
}

std::vector<uint32_t> timesOf(const UrlHistory& history) {
  std::vector<uint32_t> times;
  for (const HistoryCheck& check : history.checks) times.push_back(check.time);
  return times;
}

using HistoryTest = test::DataDirTest;

TEST(HistoryFormat, EachFieldHasItsGoldenBytesAndASlowResponseIsStoredAsTheMaximum) {
  HistoryHeader header{3, 0x01020304, 0x0102030405060708};
  uint8_t head[kHistoryHeaderSize];
  encodeHistoryHeader(header, head);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), sizeof head),
            "VYHI" + test::bytesOf({1, 0, 0, 0, 3, 0, 0, 0, 4, 3, 2, 1, 8, 7, 6, 5, 4, 3, 2, 1}));
  ASSERT_TRUE(decodeHistoryHeader(head));
  EXPECT_EQ(decodeHistoryHeader(head)->compactedSize, header.compactedSize);

  using Day = KeyedDay;
  test::expectGoldenFields<kHistoryDaySize, Day>(
      {
          {[](Day& d) { d.key = 0x060504030201; }, 0, test::bytesOf({1, 2, 3, 4, 5, 6})},
          {[](Day& d) { d.day.day = 0x0102; }, 6, test::bytesOf({2, 1})},
          {[](Day& d) { d.day.checks = 0x01020304; }, 8, test::bytesOf({4, 3, 2, 1})},
          {[](Day& d) { d.day.upChecks = 0x01020304; }, 12, test::bytesOf({4, 3, 2, 1})},
          {[](Day& d) { d.day.responseMsSum = 0x0102030405060708; }, 16,
           test::bytesOf({8, 7, 6, 5, 4, 3, 2, 1})},
          {[](Day& d) { d.day.responseMsMax = 0x01020304; }, 24, test::bytesOf({4, 3, 2, 1})},
      },
      encodeHistoryDay, decodeHistoryDay);

  KeyedCheck check{0x060504030201, {0x0A090807, 5, -2, 0x0D0C0B}};
  uint8_t record[kHistoryCheckSize];
  encodeHistoryCheck(check, record);
  std::string expected = test::bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0xFE, 0xFF});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), kHistoryCheckSize - 1), expected);
  EXPECT_EQ(record[15], 5 | historyCheckBits(record, 5));
  const std::optional<KeyedCheck> decoded = decodeHistoryCheck(record);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->key, check.key);
  EXPECT_EQ(decoded->check, check.check);
  // A response time beyond 24 bits is stored as the maximum.
  encodeHistoryCheck({1, checkAt(kStart, true, 0xFFFFFFFF)}, record);
  EXPECT_EQ(decodeHistoryCheck(record)->check.responseMs, kHistoryMaxResponseMs);
}

TEST(HistoryFormat, ZerosOrAnyChangedBitMakeACheckDamaged) {
  const uint8_t zeros[kHistoryCheckSize] = {};
  EXPECT_FALSE(decodeHistoryCheck(zeros));
  uint8_t record[kHistoryCheckSize];
  encodeHistoryCheck({historyUrlKey(kShopUrl), checkAt(kStart)}, record);
  for (size_t bit = 0; bit < kHistoryCheckSize * 8; ++bit) {
    uint8_t changed[kHistoryCheckSize];
    std::memcpy(changed, record, sizeof changed);
    changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(decodeHistoryCheck(changed)) << bit;
  }
}

TEST(HistoryFormat, SummariesThatDoNotFitTheBytesMakeTheFileUnreadable) {
  std::string bytes = encodeHistoryImage({{1, {}}, {2, {}}}, {}, kStart);
  EXPECT_TRUE(decodeHistoryImage(bytes));
  bytes.pop_back();
  EXPECT_FALSE(decodeHistoryImage(bytes));
  EXPECT_FALSE(decodeHistoryImage(bytes.substr(0, kHistoryHeaderSize - 1)));
}

TEST_F(HistoryTest, AppendedChecksReadBackPerUrlOldestFirst) {
  std::vector<UrlHistory> none = read();
  ASSERT_EQ(none.size(), 2u);
  EXPECT_TRUE(none[0].checks.empty());

  append(kShopUrl, checkAt(kStart + 60), kStart + 60);
  append(kBlog, checkAt(kStart + 30, false, 15000), kStart + 60);
  append(kShopUrl, checkAt(kStart), kStart + 60);  // a slower process finished later
  const std::vector<UrlHistory> both = read();
  EXPECT_EQ(both[0].url, kShopUrl);
  EXPECT_EQ(timesOf(both[0]), (std::vector<uint32_t>{kStart, kStart + 60}));
  ASSERT_EQ(both[1].checks.size(), 1u);
  EXPECT_EQ(both[1].checks[0], checkAt(kStart + 30, false, 15000));

  // Keyed by the text: the order asked for does not matter, an unknown URL has nothing.
  const std::vector<UrlHistory> one = read({kBlog, "https://new.example/"});
  EXPECT_EQ(one[0].checks.size(), 1u);
  EXPECT_TRUE(one[1].checks.empty());
  EXPECT_EQ(fileSize(), kHistoryHeaderSize + 3 * kHistoryCheckSize);
}

// What a writer killed in the middle of its record or a crash left at the end is skipped by a
// reader and dropped by the next append, which reports it; the append after that does not.
TEST_F(HistoryTest, DamageAtTheEndIsSkippedThenOverwrittenAndReportedOnce) {
  const std::pair<size_t, std::string> cases[] = {
      {1, "\x01\x02\x03\x04\x05"}, {2, std::string(3 * kHistoryCheckSize + 7, '\0')}};
  for (const auto& [kept, tail] : cases) {
    SCOPED_TRACE(kept);
    std::filesystem::remove(historyPath("g"));
    std::vector<uint32_t> times;
    for (uint32_t time = kStart; times.size() < kept; time += 60) {
      append(kShopUrl, checkAt(time), time);
      times.push_back(time);
    }
    appendBytes(tail);
    EXPECT_EQ(read()[0].checks.size(), kept);
    const std::time_t next = times.back() + 60;
    HistoryWrite write = appendHistory("g", kBoth, kShopUrl, checkAt(next), next);
    EXPECT_TRUE(write.status.ok());
    EXPECT_EQ(write.damage, StoreCode::kDamaged);
    EXPECT_EQ(fileSize(), kHistoryHeaderSize + (kept + 1) * kHistoryCheckSize);
    append(kShopUrl, checkAt(next + 60), next + 60);
    times.insert(times.end(), {static_cast<uint32_t>(next), static_cast<uint32_t>(next + 60)});
    EXPECT_EQ(timesOf(read()[0]), times);
  }
}

TEST_F(HistoryTest, AnUnreadableFileStartsAfreshAndIsReported) {
  std::filesystem::create_directories(kHistoryDir);
  appendBytes("not a history file at all");
  std::vector<UrlHistory> out;
  EXPECT_EQ(readHistory("g", kBoth, out), StoreCode::kDamaged);

  HistoryWrite write = appendHistory("g", kBoth, kShopUrl, checkAt(kStart), kStart);
  EXPECT_TRUE(write.status.ok());
  EXPECT_EQ(write.damage, StoreCode::kDamaged);
  EXPECT_EQ(read()[0].checks.size(), 1u);
}

TEST_F(HistoryTest, ChecksOlderThan48HoursBecomeOneSummaryPerUrlPerDay) {
  // Day 0: three shop checks (one down) and one blog check; day 2 one each.
  append(kShopUrl, checkAt(kStart + 1 * kHour, true, 100), kStart);
  append(kShopUrl, checkAt(kStart + 2 * kHour, false, 900), kStart);
  append(kBlog, checkAt(kStart + 3 * kHour, true, 50), kStart);
  append(kShopUrl, checkAt(kStart + 23 * kHour, true, 200), kStart);
  append(kShopUrl, checkAt(kStart + 2 * kDay + 1 * kHour), kStart);
  append(kBlog, checkAt(kStart + 2 * kDay + 2 * kHour), kStart);

  // At day 2, 22:30 the checks before day 0, 22:30 are older than 48 hours.
  const std::time_t now = kStart + 2 * kDay + 22 * kHour + 1800;
  HistoryWrite write = compactHistory("g", kBoth, now);
  ASSERT_TRUE(write.status.ok());
  EXPECT_TRUE(write.compacted);
  const std::vector<UrlHistory> after = read();
  ASSERT_EQ(after[0].days.size(), 1u);
  EXPECT_EQ(after[0].days[0], (HistoryDay{19700, 2, 1, 1000, 900}));
  EXPECT_EQ(timesOf(after[0]),
            (std::vector<uint32_t>{kStart + 23 * kHour, kStart + 2 * kDay + kHour}));
  ASSERT_EQ(after[1].days.size(), 1u);
  EXPECT_EQ(after[1].days[0], (HistoryDay{19700, 1, 1, 50, 50}));
  EXPECT_EQ(after[1].checks.size(), 1u);

  // A later compaction folds the rest of day 0 into the same summary.
  ASSERT_TRUE(compactHistory("g", kBoth, now + kDay).status.ok());
  const std::vector<UrlHistory> later = read();
  ASSERT_EQ(later[0].days.size(), 1u);
  EXPECT_EQ(later[0].days[0], (HistoryDay{19700, 3, 2, 1200, 900}));
  EXPECT_EQ(later[0].checks.size(), 1u);
}

TEST_F(HistoryTest, SummariesOlderThan400DaysGo) {
  append(kShopUrl, checkAt(kStart), kStart);
  append(kShopUrl, checkAt(kStart + kDay), kStart + kDay);
  ASSERT_TRUE(compactHistory("g", kBoth, kStart + 4 * kDay).status.ok());
  EXPECT_EQ(read()[0].days.size(), 2u);
  ASSERT_TRUE(compactHistory("g", kBoth, kStart + 400 * kDay).status.ok());
  EXPECT_EQ(read()[0].days.size(), 2u);
  ASSERT_TRUE(compactHistory("g", kBoth, kStart + 401 * kDay).status.ok());
  ASSERT_EQ(read()[0].days.size(), 1u);
  EXPECT_EQ(read()[0].days[0].day, 19701);
}

TEST_F(HistoryTest, ADeletedUrlLosesItsHistoryAtTheNextCompaction) {
  append(kShopUrl, checkAt(kStart), kStart);
  append(kBlog, checkAt(kStart), kStart);
  ASSERT_TRUE(compactHistory("g", {{kShopUrl}}, kStart + 1).status.ok());
  EXPECT_EQ(read()[0].checks.size(), 1u);
  EXPECT_TRUE(read()[1].checks.empty());  // re-added, it starts afresh
  EXPECT_EQ(fileSize(), kHistoryHeaderSize + kHistoryCheckSize);
}

TEST_F(HistoryTest, ARemovedGroupLosesItsFile) {
  append(kShopUrl, checkAt(kStart), kStart);
  ASSERT_TRUE(removeHistory("g").ok());
  EXPECT_FALSE(std::filesystem::exists(historyPath("g")));
  EXPECT_TRUE(removeHistory("g").ok());
  EXPECT_EQ(removeHistory("../g"), StoreCode::kRefusedName);
}

// The largest a file of urls URLs checked every `interval` seconds may become: 48 hours of checks
// and 400 summaries per URL after a compaction, and at most the compaction limit in between.
uint64_t boundFor(size_t urls, std::time_t interval) {
  const uint64_t checks = kHistoryCheckKeepSeconds / interval + 1;
  const uint64_t compacted =
      kHistoryHeaderSize + urls * (checks * kHistoryCheckSize + 400 * kHistoryDaySize);
  return historyCompactLimit(urls, compacted);
}

// Checks every URL each interval from `from` for `days`, asserting the bound after every run.
void runChecks(std::time_t from, int days, std::time_t interval, uint64_t bound) {
  for (std::time_t now = from; now < from + days * kDay; now += interval) {
    for (size_t i = 0; i < kBoth.size(); ++i) {
      const HistoryWrite write =
          appendHistory("g", kBoth, kBoth[i], checkAt(now, (now / kHour + i) % 5 != 0), now);
      ASSERT_TRUE(write.status.ok());
      ASSERT_TRUE(write.damage.ok());
    }
    ASSERT_LE(fileSize(), bound) << (now - kStart) / kDay;
  }
}

TEST_F(HistoryTest, FiveHundredDaysOfChecksStayWithinTheBoundAndKeep400Days) {
  runChecks(kStart, 500, 30 * 60, boundFor(kBoth.size(), 30 * 60));
  const std::time_t end = kStart + 500 * kDay;
  const std::vector<UrlHistory> histories = read();
  for (const UrlHistory& history : histories) {
    EXPECT_GE(history.days.size(), 397u);
    EXPECT_LE(history.days.size(), 400u);
    EXPECT_LE(history.checks.front().time, end - kHistoryCheckKeepSeconds);
    EXPECT_EQ(uptimeOver(history, 365, end).checks, 365u * 48);
  }
  // One check in five is down, the same share in every window.
  EXPECT_NEAR(*uptimeOver(histories[0], 30, end).ratio(), 0.8, 0.01);
}

TEST_F(HistoryTest, AFullYearOfSummariesThenChecksEveryMinuteStayWithin64KiBPerUrl) {
  runChecks(kStart, 420, 6 * kHour, 2 * kHistoryBytesPerUrl);
  runChecks(kStart + 420 * kDay, 3, 60, 2 * kHistoryBytesPerUrl);
  EXPECT_EQ(boundFor(2, 60), 2 * kHistoryBytesPerUrl);
}

TEST_F(HistoryTest, TwoProcessesAppendingAtOnceLoseNothing) {
  constexpr int kEach = 400;
  for (int code : test::exitCodesOf(2, [](int p) {
         for (int i = 0; i < kEach; ++i) {
           const std::time_t now = kStart + i;
           if (!appendHistory("g", kBoth, kBoth[p], checkAt(now), now).status.ok()) return 1;
         }
         return 0;
       })) {
    EXPECT_EQ(code, 0);
  }
  for (const UrlHistory& history : read()) EXPECT_EQ(history.checks.size(), size_t{kEach});
}

TEST(Uptime, WindowsCountKeptChecksAndTheSummariesOfDaysInside) {
  const std::time_t now = kStart + 10 * kDay + 12 * kHour;
  UrlHistory history;
  history.days = {{19700, 100, 50, 0, 0}, {19703, 10, 10, 0, 0}, {19709, 10, 0, 0, 0}};
  history.checks = {checkAt(now - 30 * kHour, true, 500), checkAt(now - 2 * kHour, false, 100),
                    checkAt(now - kHour, true, 201)};
  EXPECT_EQ(uptimeOver(history, 1, now).upChecks, 1u);
  EXPECT_EQ(uptimeOver(history, 1, now).checks, 2u);
  // 7 days back is day 19703, 12:00: that day began before the window.
  EXPECT_EQ(uptimeOver(history, 7, now).checks, 13u);
  EXPECT_EQ(uptimeOver(history, 30, now).checks, 123u);
  EXPECT_DOUBLE_EQ(*uptimeOver(history, 30, now).ratio(), 62.0 / 123);
  EXPECT_FALSE(uptimeOver(UrlHistory{}, 30, now).ratio());

  EXPECT_EQ(meanResponseMsOfLastDay(history, now), 151u);  // (100 + 201) / 2, rounded
  EXPECT_FALSE(meanResponseMsOfLastDay(history, now + 2 * kDay));
}

}  // namespace
}  // namespace vy
