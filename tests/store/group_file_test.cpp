// The per-group files on a real ./vydata: every mode of the group database,
// the in-place status writer, damaged files, concurrent writers, bad group
// names, the check log and the group summaries.
#include "store/group_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/files.h"
#include "common/le.h"
#include "store/check_log.h"
#include "store/group_name.h"
#include "store/group_stats.h"
#include "tests/support/child.h"

namespace vy {
namespace {

using namespace std::string_literals;
using Urls = std::vector<std::string>;

// Each test runs in a fresh ./vydata with its vydb and vychklog directories.
class GroupFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::current_path(dir_.path());
    std::filesystem::create_directories("vydata/vydb");
    std::filesystem::create_directories("vydata/vychklog");
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_ = std::filesystem::current_path();
  test::TempDir dir_;
};

const std::string kShop = "./vydata/vydb/shop.dat";
const char *const kA = "http://a/", *const kB = "http://b/", *const kC = "http://c/";
constexpr size_t kRecordABC = kUrlStatusSize + 10;  // status, "http://a/", NUL

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

GroupConfig groupWithUrls(std::initializer_list<const char*> urls, uint8_t flags = 0) {
  GroupConfig config;
  for (const char* url : urls) config.addUrl(url).flags = flags;
  return config;
}

GroupConfig readShop() {
  GroupConfig config;
  EXPECT_EQ(accessGroupFile("shop", config, 'r'), 0);
  return config;
}

Urls urlsOf(const GroupConfig& config) {
  Urls urls;
  for (const UrlStatus& entry : config.urls) urls.emplace_back(entry.url);
  return urls;
}

// Stores the URLs whole with 'm', the i-th checked at 1000 + i and up.
void storeShop(std::initializer_list<const char*> urls) {
  GroupConfig config = groupWithUrls(urls, kUrlCheckBan | kUrlUp);
  for (int i = 0; i < config.urlCount(); ++i) {
    config.urls[i].lastCheck = 1000 + i;
    config.urls[i].resultCode = 200;
    config.urls[i].responseMs = 321;
  }
  ASSERT_EQ(accessGroupFile("shop", config, 'm'), 0);
}

// Applies a mode to the shop group with the given URLs; the stored URLs after.
Urls apply(char mode, std::initializer_list<const char*> urls, uint8_t flags = 0) {
  GroupConfig config = groupWithUrls(urls, flags);
  EXPECT_EQ(accessGroupFile("shop", config, mode), 0);
  return urlsOf(readShop());
}

TEST_F(GroupFileTest, AddingKeepsStoredResultsTakesNewSwitchesAndMovesUrlsToTheEnd) {
  EXPECT_EQ(apply('a', {kA, kB, kA}), (Urls{kB, kA}));
  storeShop({kA, kB});
  EXPECT_EQ(apply('a', {kB, kC}, kUrlCheckPres), (Urls{kA, kB, kC}));
  GroupConfig read = readShop();
  const UrlStatus& b = read.urls[1];
  EXPECT_EQ(std::tuple(b.lastCheck, b.responseMs, b.flags),
            std::tuple(1001u, 321u, kUrlCheckPres | kUrlUp));
  EXPECT_EQ(read.urls[2].lastCheck, 0u);
  storeShop({kA, kB});
  EXPECT_EQ(apply('a', {kA}), (Urls{kB, kA}));
  EXPECT_EQ(readShop().urls[1].lastCheck, 1000u);
  EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC);
}

TEST_F(GroupFileTest, WriteTakesTheGivenStatusesAndRewriteKeepsStoredResults) {
  for (char mode : {'w', 'f'}) {
    storeShop({kA, kB, kC});
    GroupConfig given = groupWithUrls({kB, "http://new/"});
    given.urls[0].lastCheck = 7;
    ASSERT_EQ(accessGroupFile("shop", given, mode), 0);
    GroupConfig read = readShop();
    EXPECT_EQ(urlsOf(read), (Urls{kB, "http://new/"}));
    EXPECT_EQ(read.urls[0].lastCheck, mode == 'w' ? 7u : 1001u);
    EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC + 2);
  }
}

TEST_F(GroupFileTest, DeletingRemovesUrlsAndAllRemovesTheGroup) {
  storeShop({kA, kB, kC});
  EXPECT_EQ(apply('d', {kB, "http://gone/"}), (Urls{kA, kC}));
  EXPECT_EQ(readShop().urls[1].lastCheck, 1002u);
  EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC);
  GroupConfig all = groupWithUrls({"all", kA});
  ASSERT_EQ(accessGroupFile("shop", all, 'd'), 0);
  EXPECT_FALSE(std::filesystem::exists(kShop));
  for (char mode : {'r', 'd', 'g'}) EXPECT_EQ(accessGroupFile("shop", all, mode), 1) << mode;
  EXPECT_FALSE(std::filesystem::exists(kShop));
}

TEST_F(GroupFileTest, StoringSettingsLowersContentsAndMovesUrlRecordsByteForByte) {
  storeShop({kA, kB});
  std::string before = readWholeFile(kShop);
  before[kGroupHeaderSize + 20] = '\x5a';  // a reserved byte of a record survives too
  writeBytes(kShop, before);
  const std::string records = before.substr(kGroupHeaderSize);
  GroupConfig settings;
  settings.checkInterval = 30;
  settings.inform = "ops@example.org";
  settings.options = kOptWriteLog | kOptSuspend;
  settings.moreOptions = 0xFF;  // run-time bits must not reach the file
  settings.addBanContent("Sold OUT");
  settings.addPresContent("Add To Cart");
  ASSERT_EQ(accessGroupFile("shop", settings, 's'), 0);
  // interval 30, inform, options, moreOptions, URL/ban/pres counts 2 1 1, area sizes 9 12
  const std::string header = "\x1e\0\0\0ops@example.org"s + std::string(235, '\0') +
                             "\x81\x07\2\0\0\0\1\0\0\0\1\0\0\0\11\0\0\0\14\0\0\0"s +
                             std::string(12, '\0');
  EXPECT_EQ(readWholeFile(kShop), header + "sold out\0add to cart\0"s + records);
  GroupConfig none;  // the content areas shrink: the records move back
  ASSERT_EQ(accessGroupFile("shop", none, 's'), 0);
  EXPECT_EQ(readWholeFile(kShop).substr(kGroupHeaderSize), records);
}

TEST_F(GroupFileTest, ListingWritesOneLinePerUrl) {
  storeShop({kA, kB});
  GroupConfig config;
  std::string listing;
  ASSERT_EQ(accessGroupFile("shop", config, 'g', &listing), 0);
  EXPECT_EQ(listing, "http://a/ 0 p=0 c=200http://b/ 0 p=0 c=200");
}

TEST_F(GroupFileTest, StatusUpdateFollowsItsUrlAfterAnotherProcessDeletedSome) {
  storeShop({"http://aa/", kB, "http://cc/", "http://d/"});
  GroupConfig worker = readShop();
  worker.groupName = "shop";
  worker.urls[1].lastCheck = 77;
  ASSERT_EQ(updateUrlStatus(worker, 1), 0);
  EXPECT_EQ(readShop().urls[1].lastCheck, 77u);
  apply('d', {"http://aa/"});  // cc's old offset now holds d
  worker.urls[2].lastCheck = 9;
  ASSERT_EQ(updateUrlStatus(worker, 2), 0);
  GroupConfig read = readShop();
  EXPECT_EQ(read.urls[1].lastCheck, 9u);
  EXPECT_EQ(read.urls[2].lastCheck, 1003u);
  apply('d', {kB, "http://cc/"});  // d's old offset is now past the end
  worker.urls[3].lastCheck = 42;
  ASSERT_EQ(updateUrlStatus(worker, 3), 0);
  EXPECT_EQ(readShop().urls[0].lastCheck, 42u);
  const std::string before = readWholeFile(kShop);  // aa itself is gone: nothing is written
  worker.urls[0].lastCheck = 5;
  EXPECT_EQ(updateUrlStatus(worker, 0), 0);
  EXPECT_EQ(readWholeFile(kShop), before);
}

// Truncations, negative and huge counts, areas too long together, missing NULs.
std::vector<std::string> damagedVersionsOf(const std::string& sound) {
  std::vector<std::string> damaged;
  for (size_t size = 1; size < sound.size(); ++size) damaged.push_back(sound.substr(0, size));
  auto withI32 = [](std::string bytes, size_t offset, int32_t value) {
    le::putI32(reinterpret_cast<uint8_t*>(bytes.data()) + offset, value);
    return bytes;
  };
  for (size_t offset : {256, 260, 264, 268, 272}) {
    for (int32_t value : {-1, INT32_MIN, INT32_MAX, 3}) {
      damaged.push_back(withI32(sound, offset, value));
    }
  }
  const auto rest = static_cast<int32_t>(sound.size() - kGroupHeaderSize);
  damaged.push_back(withI32(withI32(sound, 268, rest), 272, rest));
  for (size_t nul : {kGroupHeaderSize + 3, kGroupHeaderSize + 8, sound.size() - 1}) {
    damaged.push_back(sound);
    damaged.back()[nul] = 'x';
  }
  return damaged;
}

TEST_F(GroupFileTest, EveryModeRefusesADamagedFileWith12AndLeavesItAsItWas) {
  GroupConfig sound = groupWithUrls({kA, "http://bb/"});
  sound.addBanContent("ban");
  sound.addPresContent("pres");
  ASSERT_EQ(accessGroupFile("shop", sound, 'm'), 0);
  for (const std::string& damaged : damagedVersionsOf(readWholeFile(kShop))) {
    writeBytes(kShop, damaged);
    for (char mode : {'r', 'g', 'a', 'w', 'f', 'd', 's', 'u'}) {
      GroupConfig config = groupWithUrls({"http://bb/"});
      config.groupName = "shop";
      config.urls[0].fileOffset = kUnknownFileOffset;
      std::string listing;
      int code = mode == 'u' ? updateUrlStatus(config, 0)
                             : accessGroupFile("shop", config, mode, &listing);
      EXPECT_EQ(code, 12) << "mode " << mode << ", size " << damaged.size();
      EXPECT_EQ(listing, "");
      EXPECT_EQ(readWholeFile(kShop), damaged);
    }
  }
}

TEST_F(GroupFileTest, TwoProcessesAddingToOneGroupLoseNoUrl) {
  constexpr int kEach = 150;
  auto adder = [](std::string prefix) {
    auto body = [&] {
      for (int i = 0; i < kEach; ++i) {
        GroupConfig config;
        config.addUrl(prefix + std::to_string(i));
        if (accessGroupFile("shop", config, 'a') != 0) _exit(1);
      }
    };
    return test::runInChild(body, 60).exitCode;
  };
  std::future<int> first = std::async(std::launch::async, adder, "http://first/");
  EXPECT_EQ(adder("http://second/"), 0);
  EXPECT_EQ(first.get(), 0);
  Urls urls = urlsOf(readShop());
  EXPECT_EQ(std::set<std::string>(urls.begin(), urls.end()).size(), size_t{2 * kEach});
  EXPECT_EQ(urls.size(), size_t{2 * kEach});
}

TEST_F(GroupFileTest, BadGroupNamesAreRefusedWithoutTouchingFiles) {
  EXPECT_TRUE(isValidGroupName("Shop-2.eu_x"));
  EXPECT_TRUE(isValidGroupName(std::string(64, 'z')));
  for (const std::string& name : {"../x"s, "a/b"s, ".hidden"s, ".."s, "a b"s, "x\"<"s,
                                  "caf\xc3\xa9"s, std::string(65, 'a'), "a\0b"s, ""s}) {
    GroupConfig config = groupWithUrls({kA});
    config.groupName = name;
    EXPECT_EQ(updateUrlStatus(config, 0), 2) << name;
    EXPECT_EQ(appendCheckLog(config, 0), 6) << name;
    if (name.empty()) continue;  // the general group for accessGroupFile
    for (char mode : {'s', 'm', 'a', 'w', 'f'}) EXPECT_EQ(accessGroupFile(name, config, mode), 2);
    for (char mode : {'r', 'd', 'g'}) EXPECT_EQ(accessGroupFile(name, config, mode), 1);
  }
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator("."), {}), 3);
}

TEST_F(GroupFileTest, CheckLogAppendWritesTheExactRecordAndReadsItBack) {
  std::vector<CheckLogEntry> entries;
  EXPECT_EQ(readCheckLog("shop", entries), 1);
  GroupConfig config = groupWithUrls({kA}, kUrlCheckBan | kUrlUp | kUrlPresOk);
  config.groupName = "shop";
  config.urls[0].lastCheck = 0x01020304;
  config.urls[0].resultCode = 200;
  ASSERT_EQ(appendCheckLog(config, 0), 0);
  EXPECT_EQ(readWholeFile("./vydata/vychklog/shop.log"),
            std::string("\x04\x03\x02\x01\xc8\x00\x05\x00http://a/", 18));
  config.urls[0].resultCode = -3;
  config.urls[0].flags = kUrlBanFound;
  ASSERT_EQ(appendCheckLog(config, 0), 0);
  ASSERT_EQ(readCheckLog("shop", entries), 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(std::tuple(entries[1].status, entries[1].flags, entries[1].url),
            std::tuple(-3, kLogBanFound, kA));
}

TEST(CheckLogReader, TruncatedLastRecordEndsTheLog) {
  CheckLogEntry entry;
  entry.url = kA;
  const std::string two = encodeCheckLogEntry(entry) + encodeCheckLogEntry(entry);
  for (size_t size = two.size() / 2; size < two.size(); ++size) {
    EXPECT_EQ(parseCheckLog(two.substr(0, size)).size(), 1u) << size;
  }
  EXPECT_EQ(parseCheckLog(two).size(), 2u);
  EXPECT_TRUE(parseCheckLog(std::string(8, '\0')).empty());
}

TEST(GroupSummary, AverageAgeCountsOnlyOverdueUrls) {
  constexpr std::time_t kNow = 1700000000;
  GroupConfig config = groupWithUrls({kA, kB, kC}, kUrlCheckBan);
  config.checkInterval = 10;
  EXPECT_EQ(summarizeGroup(config, kNow).averageAge, -1);  // never checked
  config.urls[0].lastCheck = kNow - 25 * 60;
  config.urls[0].flags |= kUrlUp | kUrlPresOk;
  config.urls[1].lastCheck = kNow - 60;  // checked, not overdue
  config.urls[1].flags |= kUrlBanFound;
  GroupSummary s = summarizeGroup(config, kNow);
  EXPECT_FLOAT_EQ(s.averageAge, 25);
  EXPECT_EQ(std::tuple(s.urlCount, s.checkBanCount, s.upCount, s.presOkCount, s.banFoundCount),
            std::tuple(3, 3, 1, 1, 1));
}

TEST_F(GroupFileTest, OptionListMarksExactlyTheSelectedGroup) {
  for (const char* name : {"shop", "blog", "shopping"}) {
    GroupConfig config;
    ASSERT_EQ(accessGroupFile(name, config, 's'), 0);
  }
  for (const char* junk : {".hidden.dat", "x\"><b>.dat", "readme.txt"}) {
    writeBytes("./vydata/vydb/"s + junk, "");
  }
  const std::string list = groupOptionList("shop");
  for (const char* option :
       {"<option value=\"shop\" selected>shop</option>\n", "<option value=\"blog\">blog</option>\n",
        "<option value=\"shopping\">shopping</option>\n"}) {
    EXPECT_NE(list.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(list.find("selected"), list.rfind("selected"));
  for (const char* hidden : {"hidden", "<b>", "readme"}) {
    EXPECT_EQ(list.find(hidden), std::string::npos) << hidden;
  }
}

}  // namespace
}  // namespace vy
