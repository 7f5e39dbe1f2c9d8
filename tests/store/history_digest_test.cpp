// The day digest: its bytes, damaged files refused, the fold of a history's summaries and checks
// into the days it covers, and the file written, read back and removed with its group.
#include "store/history_digest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "store/group_removal.h"
#include "store/group_store.h"
#include "store/history.h"
#include "tests/store/store_fixture.h"

namespace vy {
namespace digest_test {
namespace {

constexpr std::time_t kDay = kSecondsPerDay;
constexpr std::time_t kToday = 19700 * kDay + 10 * 3600;  // 10:00 UTC
constexpr std::string_view kShop = "https://shop.example/";
constexpr std::string_view kBlog = "https://blog.example/";
const std::vector<std::string_view> kBoth = {kShop, kBlog};

using HistoryDigestTest = test::DataDirTest;

void check(std::string_view url, std::time_t at, bool up, std::time_t now) {
  const HistoryCheck record{static_cast<uint32_t>(at), static_cast<uint8_t>(up ? kStateUp : 0), 200,
                            80};
  ASSERT_TRUE(appendHistory("g", kBoth, url, record, now).status.ok());
}

HistoryDigest twoDays() {
  HistoryDigest digest;
  digest.firstDay = 0x0102;
  digest.dayCount = 2;
  digest.keys = {0x0807060504030201};
  digest.days = {{0x01020304, 5}, {6, 7}};
  return digest;
}

TEST(HistoryDigestFormat, HeaderAndEntryHaveTheirGoldenBytesAndAViewReadsTheEntry) {
  const std::string bytes = encodeHistoryDigest(twoDays());
  const std::string total = test::bytesOf({10, 3, 2, 1, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(bytes, "VYDD" + test::bytesOf({1, 0, 2, 0, 2, 1, 0, 0, 1, 0, 0, 0}) +  // header
                       test::bytesOf({1, 2, 3, 4, 5, 6, 7, 8}) +                   // key
                       total + total +  // the last 30 and 90 days: both days
                       test::bytesOf({1, 0, 0, 0, 0, 0, 0, 0}) +  // day 0 not all up, day 1 all up
                       test::bytesOf({4, 3, 2, 1, 5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0}));  // days
  EXPECT_EQ(decodeHistoryDigest(bytes), twoDays());
  DigestView view;
  ASSERT_TRUE(view.open(bytes));
  const DigestEntry entry = view.entryAt(0);
  EXPECT_EQ(entry.otherBits(0, 2), 1u);
  EXPECT_EQ(entry.otherBits(1, 64), 0u);
  EXPECT_EQ(std::pair(entry.last30Checks, entry.last90Up),
            std::pair(uint64_t{0x0102030A}, uint64_t{12}));
}

// The keys are part of the stored format: a change of the hash would lose every digest.
TEST(HistoryDigestFormat, UrlKeysAreTheWordWiseFnvHashOfTheirText) {
  constexpr uint64_t kBasis = 0xcbf29ce484222325, kPrime = 0x100000001b3;
  const auto fold = [&](uint64_t h) { return (h ^ (h >> 29)) * kPrime; };
  const auto sized = [&](uint64_t size) { return (kBasis ^ size) * kPrime; };
  EXPECT_EQ(digestUrlKey(""), fold(sized(0)));
  EXPECT_EQ(digestUrlKey("a"), fold((sized(1) ^ 0x61) * kPrime));
  const uint64_t word = 0x6867666564636261;  // "abcdefgh", little-endian
  EXPECT_EQ(digestUrlKey("abcdefghi"), fold(((sized(9) ^ word) * kPrime ^ 0x69) * kPrime));
  EXPECT_NE(digestUrlKey(std::string_view("a\0", 2)), digestUrlKey("a"));
  EXPECT_NE(digestUrlKey("https://a.example/1"), digestUrlKey("https://a.example/2"));
}

// A page trusts an entry's totals and day bits without going through its days, so the full
// decoder refuses an entry whose totals or bits are not those of its days.
TEST(HistoryDigestFormat, CountsThatDoNotFitTheBytesKeysOutOfOrderOrWrongTotalsAreRefused) {
  const std::string bytes = encodeHistoryDigest(twoDays());
  for (const size_t at :
       {kDigestEntryLast30ChecksOffset, kDigestEntryLast90UpOffset, kDigestEntryOtherDaysOffset}) {
    std::string changed = bytes;
    changed[kDigestHeaderSize + at] ^= 2;
    EXPECT_FALSE(decodeHistoryDigest(changed)) << at;
  }
  EXPECT_FALSE(decodeHistoryDigest(bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(decodeHistoryDigest(bytes + '\0'));
  EXPECT_FALSE(decodeHistoryDigest(bytes.substr(0, kDigestHeaderSize - 1)));
  const auto changed = [&](size_t at, char value) {
    std::string copy = bytes;
    copy[at] = value;
    return decodeHistoryDigest(copy);
  };
  EXPECT_FALSE(changed(kDigestUrlCountOffset, 2));
  EXPECT_FALSE(changed(kDigestDayCountOffset, 0));
  EXPECT_FALSE(changed(kDigestVersionOffset, 2));
  EXPECT_FALSE(changed(0, 'X'));
  HistoryDigest twice = twoDays();
  twice.keys.push_back(twice.keys[0]);
  twice.days.insert(twice.days.end(), {{}, {}});
  EXPECT_FALSE(decodeHistoryDigest(encodeHistoryDigest(twice)));
  HistoryDigest none = twoDays();
  none.keys.clear();
  none.days.clear();
  EXPECT_EQ(decodeHistoryDigest(encodeHistoryDigest(none)), none);
}

// Summaries left by a compaction and the checks kept after them land in their days; days before
// the digest's first are left out, and a URL without records has its days at 0.
TEST_F(HistoryDigestTest, SummariesAndChecksFoldIntoTheDaysTheDigestCovers) {
  check(kShop, kToday - 95 * kDay, true, kToday - 95 * kDay);
  check(kShop, kToday - 40 * kDay, false, kToday - 40 * kDay);
  check(kShop, kToday - 40 * kDay + 60, true, kToday - 40 * kDay);
  ASSERT_TRUE(compactHistory("g", kBoth, kToday - kDay).status.ok());
  check(kShop, kToday - 3600, true, kToday);
  check(kShop, kToday - 60, false, kToday);
  HistoryDigest digest;
  const std::vector<std::string_view> urls = {kShop, kBlog, "https://new.example/"};
  ASSERT_TRUE(foldHistoryDigest("g", urls, kToday, kDigestDays, digest).ok());
  EXPECT_EQ(digest.firstDay, kToday / kDay - 90);
  ASSERT_EQ(digest.keys.size(), 3u);
  const std::span<const DigestDay> shop = digest.daysOf(kShop);
  ASSERT_EQ(shop.size(), kDigestDays);
  EXPECT_EQ(shop[50], (DigestDay{2, 1}));  // 40 days ago
  EXPECT_EQ(shop[90], (DigestDay{2, 1}));  // today
  uint32_t checks = 0;
  for (const DigestDay& day : shop) checks += day.checks;
  EXPECT_EQ(checks, 4u);  // not the one of 95 days ago
  for (const DigestDay& day : digest.daysOf(kBlog)) EXPECT_EQ(day, DigestDay{});
  EXPECT_TRUE(digest.daysOf("https://other.example/").empty());
}

TEST_F(HistoryDigestTest, TheWrittenDigestReadsBackAndGoesWithItsGroup) {
  HistoryDigest read;
  EXPECT_EQ(readHistoryDigest("g", read), StoreCode::kNotFound);
  check(kBlog, kToday - 60, true, kToday);
  ASSERT_TRUE(writeHistoryDigest("g", kBoth, kToday).ok());
  HistoryDigest folded;
  ASSERT_TRUE(foldHistoryDigest("g", kBoth, kToday, kDigestDays, folded).ok());
  ASSERT_TRUE(readHistoryDigest("g", read).ok());
  EXPECT_EQ(read, folded);
  EXPECT_EQ(read.daysOf(kBlog)[90], (DigestDay{1, 1}));

  std::ofstream(historyDigestPath("g"), std::ios::binary | std::ios::app) << "x";
  EXPECT_EQ(readHistoryDigest("g", read), StoreCode::kDamaged);
  EXPECT_EQ(readHistoryDigest("../g", read), StoreCode::kRefusedName);

  ASSERT_TRUE(writeGroup("g", newGroupDefaults()).ok());
  std::vector<SideFileFailure> failures;
  ASSERT_TRUE(removeGroupAndSideFiles("g", failures).ok());
  EXPECT_TRUE(failures.empty());
  EXPECT_FALSE(std::filesystem::exists(historyDigestPath("g")));
}

}  // namespace
}  // namespace digest_test
}  // namespace vy
