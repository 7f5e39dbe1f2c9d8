// The store: settings, group text form, group files on a real ./vydata, check log, summaries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "common/fd.h"
#include "common/files.h"
#include "common/le.h"
#include "store/check_log.h"
#include "store/group_file.h"
#include "store/group_name.h"
#include "store/group_stats.h"
#include "store/settings.h"
#include "tests/support/child.h"
#include "tests/support/instance.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

using namespace std::string_literals;
using Texts = std::vector<std::string_view>;
namespace fs = std::filesystem;

std::string encoded(const Settings& settings) {
  uint8_t out[kSettingsSize];
  encodeSettings(settings, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string bytesOf(std::initializer_list<int> values) { return {values.begin(), values.end()}; }

TEST(SettingsRecord, EachFieldHasItsGoldenBytesAndDecodesBack) {
  const std::tuple<void (*)(Settings&), size_t, std::string> fields[] = {
      {[](Settings& s) { s.zoneOffset = -18000; }, 0, bytesOf({0xB0, 0xB9, 0xFF, 0xFF})},
      {[](Settings& s) { s.zoneAbbrev = "ABCDEFGHIJK"; }, 4, "ABCDEFGHI"s},
      {[](Settings& s) { s.zoneName = "America/New_York"; }, 14, "America/New_York"s},
      {[](Settings& s) { s.zoneMinutes = 30; }, 94, bytesOf({30})},
      {[](Settings& s) { s.flags = kFlagDaylightSaving | kFlagSchedulerOn; }, 95, bytesOf({9})},
      {[](Settings& s) { s.tzOption = 41; }, 96, bytesOf({41})},
      {[](Settings& s) { s.adminEmail = "root@x.org"; }, 97, "root@x.org"s},
      {[](Settings& s) { s.mailTransport = "/usr/sbin/sendmail"; }, 147, "/usr/sbin/sendmail"s},
      {[](Settings& s) { s.userAgent = "UA"; }, 197, "UA"s},
      {[](Settings& s) { s.referer = "http://x.org"; }, 248, "http://x.org"s},
      {[](Settings& s) { s.maxPageLength = 100000; }, 392, bytesOf({0xA0, 0x86, 1})},
      {[](Settings& s) { s.restartSeconds = 25; }, 396, bytesOf({25})},
      {[](Settings& s) { s.checkSeconds = 60; }, 400, bytesOf({60})},
      {[](Settings& s) { s.maxCheckUrls = 0x01020304; }, 404, bytesOf({4, 3, 2, 1})},
      {[](Settings& s) { s.maxCheckThreads = 3; }, 408, bytesOf({3})},
      {[](Settings& s) { s.recheckUpTimes = 2; }, 412, bytesOf({2})},
      {[](Settings& s) { s.consoleHost = "console.x.org"; }, 413, "console.x.org"s},
      {[](Settings& s) { s.reserved[1203] = 0xA5; }, 1695, bytesOf({0xA5})}};
  for (const auto& [set, offset, golden] : fields) {
    Settings settings;
    set(settings);
    std::string expected(kSettingsSize, '\0');
    EXPECT_EQ(encoded(settings), expected.replace(offset, golden.size(), golden)) << offset;
    EXPECT_EQ(encoded(decodeSettings(reinterpret_cast<const uint8_t*>(expected.data()))), expected);
  }
}

TEST(SettingsFile, ShortFileFailsAndLongFileLoadsAndKeepsItsTail) {
  test::TempDir dir;
  const std::string path = dir.file("vyvars.dat");
  Settings loaded;
  EXPECT_EQ(loadSettings(loaded, path), ErrAction::kReadFile);
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  EXPECT_EQ(loadSettings(loaded, path), ErrAction::kShortRead);

  const std::string tail(304, '\x7F');
  std::ofstream(path, std::ios::binary) << encoded(defaultSettings("www.x.org")) + tail;
  ASSERT_EQ(loadSettings(loaded, path), ErrAction::kOk);
  EXPECT_EQ(encoded(loaded), encoded(defaultSettings("www.x.org")));
  loaded.checkSeconds = 5;
  ASSERT_EQ(saveSettings(loaded, path), ErrAction::kOk);
  EXPECT_EQ(readWholeFile(path), encoded(loaded) + tail);
}

// With daylight saving off the minutes of a zone go to the side of its hours.
TEST(SettingsRecord, TheDisplayZoneAddsTheZoneMinutesWithTheSignOfItsHours) {
  const std::tuple<int32_t, uint8_t, long> zones[] = {
      {5 * 3600, 30, 19800},   {5 * 3600, 45, 20700},  {-3 * 3600, 30, -12600},
      {-9 * 3600, 30, -34200}, {-5 * 3600, 0, -18000}, {0, 0, 0}};
  for (const auto& [hours, minutes, offset] : zones) {
    Settings settings;
    std::tie(settings.zoneOffset, settings.zoneMinutes) = std::tuple(hours, minutes);
    EXPECT_EQ(displayZoneFor(settings).offset, offset) << hours << ":" << int{minutes};
  }
  Settings named = defaultSettings("x.org");
  named.zoneName = "Asia/Kolkata";
  const DisplayZone zone = displayZoneFor(named);
  EXPECT_EQ(std::tuple(zone.useZone, zone.name), std::tuple(true, "Asia/Kolkata"));
}

GroupConfig parsed(std::string text) {
  GroupConfig config;
  parseGroupConfig(config, std::move(text));
  return config;
}

TEST(GroupText, ParsesTheKnownLinesAndFormatsThemBackUnchanged) {
  const std::string text =
      "checktime=180\nwritelog=1\ninftype=3\ninform=ops@example.org\ninfuptime=0\ninffndban=1\n"
      "inffndpres=0\nsuspend=1\nqstrunc=uc\ndelete_after_check=0\nbancontent=8\nbad\nword\n"
      "bancontent=0\n\nprescontent=22\nurl=http://x/\nchkban=1\nurl=http://a/\nchkban=0\n"
      "chkpres=1\nurl=http://b/?q=1\nchkban=1\nchkpres=1\n";
  GroupConfig config;
  config = parsed(text);  // the contents must survive the move
  EXPECT_EQ(std::tuple(config.checkInterval, config.options, config.moreOptions),
            std::tuple(180, kOptWriteLog | kOptInfFndBan | (3 << kOptInfTypeShift) | kOptSuspend,
                       kMoreQueryCutPlain | kMoreQueryCutChecked));
  EXPECT_EQ(config.banContents, (Texts{"bad\nword", ""}));
  EXPECT_EQ(config.presContents, Texts{"url=http://x/\nchkban=1"});  // keys inside stay content
  EXPECT_EQ(formatGroupConfig(config), text);
}

TEST(GroupText, LinesFollowTheirRulesAndContentLengthsStayInsideTheText) {
  EXPECT_EQ(parsed("qstrunc=c\nqstrunc=\n").moreOptions, kMoreQueryCutChecked);
  EXPECT_EQ(parsed("qstrunc=x\n").moreOptions, 0);
  EXPECT_EQ(parsed("inftype=9\n").infType(), 1);
  EXPECT_EQ(parsed("inform=" + std::string(300, 'x') + "\n").inform, std::string(249, 'x'));
  EXPECT_EQ(parsed("checktime=12abc\n").checkInterval, 12);
  GroupConfig config = parsed("chkpres=1\nchkban=1\nurl=http://a/\nchkban=1\n");
  EXPECT_EQ(config.urls.at(0).flags, kUrlCheckBan);          // switches before any URL are ignored
  config = parsed("prescontent=100\nabc\nurl=http://a/\n");  // takes the rest
  EXPECT_EQ(std::pair(config.presContents, config.urlCount()),
            std::pair(Texts{"abc\nurl=http://a/\n"}, 0));
  config = parsed("bancontent=-5\n\nurl=http://a/");
  EXPECT_EQ(std::pair(config.banContents, config.urlCount()), std::pair(Texts{""}, 1));
}

// Each test runs in a fresh ./vydata with its vydb and vychklog directories.
struct GroupFileTest : ::testing::Test {
  GroupFileTest() {
    fs::current_path(dir.path());
    for (const char* sub : {"vydata/vydb", "vydata/vychklog"}) fs::create_directories(sub);
  }
  ~GroupFileTest() override { fs::current_path(previous); }
  fs::path previous = fs::current_path();
  test::TempDir dir;
};

const std::string kShop = "./vydata/vydb/shop.dat";
const char *const kA = "http://a/", *const kB = "http://b/", *const kC = "http://c/";
constexpr size_t kRecordABC = kUrlStatusSize + 10;  // status, "http://a/", NUL

GroupConfig groupWithUrls(std::initializer_list<const char*> urls, uint8_t flags = 0) {
  GroupConfig config;
  for (const char* url : urls) config.addUrl(url).flags = flags;
  return config;
}

GroupConfig readShop() {
  GroupConfig config;
  EXPECT_EQ(accessGroupFile("shop", config, GroupMode::kRead), ErrAction::kOk);
  return config;
}

// The stored URLs of the shop group with their last check times: "http://a/@1000 ...".
std::string stored() {
  std::string text;
  for (auto& e : readShop().urls)
    text += std::string(e.url) + '@' + std::to_string(e.lastCheck) + ' ';
  return text;
}

// Stores the URLs whole with 'm', the i-th checked at 1000 + i with code 200 in 321 ms.
void storeShop(std::initializer_list<const char*> urls) {
  GroupConfig config = groupWithUrls(urls, kUrlCheckBan | kUrlUp);
  uint32_t time = 1000;
  for (UrlStatus& url : config.urls)
    std::tie(url.lastCheck, url.resultCode, url.responseMs) = std::tuple(time++, 200, 321);
  ASSERT_EQ(accessGroupFile("shop", config, GroupMode::kStoreGroup), ErrAction::kOk);
}

// Applies a mode to the shop group with the given URLs; stored() after.
std::string apply(GroupMode mode, std::initializer_list<const char*> urls, uint8_t flags = 0) {
  GroupConfig config = groupWithUrls(urls, flags);
  EXPECT_EQ(accessGroupFile("shop", config, mode), ErrAction::kOk);
  return stored();
}

TEST_F(GroupFileTest, AddingKeepsStoredResultsTakesNewSwitchesAndMovesUrlsToTheEnd) {
  EXPECT_EQ(apply(GroupMode::kAddUrls, {kA, kB, kA}), "http://b/@0 http://a/@0 ");
  storeShop({kA, kB});
  EXPECT_EQ(apply(GroupMode::kAddUrls, {kB, kC}, kUrlCheckPres),
            "http://a/@1000 http://b/@1001 http://c/@0 ");
  GroupConfig read = readShop();
  EXPECT_EQ(std::pair(read.urls[1].responseMs, read.urls[1].flags),
            std::pair(321u, uint8_t{kUrlCheckPres | kUrlUp}));
  storeShop({kA, kB});
  EXPECT_EQ(apply(GroupMode::kAddUrls, {kA}), "http://b/@1001 http://a/@1000 ");
  std::string listing;
  GroupConfig unfiltered;
  ASSERT_EQ(accessGroupFile("shop", unfiltered, GroupMode::kListUrls, &listing), ErrAction::kOk);
  EXPECT_EQ(listing, "http://b/ 0 p=0 c=200http://a/ 0 p=0 c=200");
}

TEST_F(GroupFileTest, WriteTakesTheGivenStatusesAndRewriteKeepsStoredResults) {
  for (GroupMode mode : {GroupMode::kWriteUrls, GroupMode::kRewriteUrls}) {
    storeShop({kA, kB, kC});
    GroupConfig given = groupWithUrls({kB, "http://new/"});
    given.urls[0].lastCheck = 7;
    ASSERT_EQ(accessGroupFile("shop", given, mode), ErrAction::kOk);
    EXPECT_EQ(stored(), mode == GroupMode::kWriteUrls ? "http://b/@7 http://new/@0 "
                                                      : "http://b/@1001 http://new/@0 ");
    EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC + 2);
  }
}

TEST_F(GroupFileTest, DeletingRemovesUrlsAndAllRemovesTheGroup) {
  storeShop({kA, kB, kC});
  EXPECT_EQ(apply(GroupMode::kDeleteUrls, {kB, "http://gone/"}), "http://a/@1000 http://c/@1002 ");
  EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC);
  GroupConfig all = groupWithUrls({"all", kA});
  ASSERT_EQ(accessGroupFile("shop", all, GroupMode::kDeleteUrls), ErrAction::kOk);
  EXPECT_FALSE(fs::exists(kShop));
}

// The console's deletion: a URL whose text is "all" is just a URL.
TEST_F(GroupFileTest, DeletingExactUrlsNeverRemovesTheGroup) {
  storeShop({kA, "all", kC});
  ASSERT_EQ(deleteUrls("shop", {"all", "http://gone/"}), ErrAction::kOk);
  EXPECT_EQ(stored(), "http://a/@1000 http://c/@1002 ");
  ASSERT_EQ(deleteUrls("shop", {kA, kC}), ErrAction::kOk);
  EXPECT_EQ(std::pair(fs::exists(kShop), stored()), std::pair(true, std::string()));
  EXPECT_EQ(deleteUrls("nosuch", {"all"}), ErrAction::kReadFile);
  EXPECT_EQ(deleteUrls("../x", {kA}), ErrAction::kReadFile);
}

TEST_F(GroupFileTest, StoringSettingsLowersContentsAndMovesUrlRecordsByteForByte) {
  storeShop({kA, kB});
  std::string before = readWholeFile(kShop);
  before[kGroupHeaderSize + 20] = '\x5a';  // a reserved byte of a record survives too
  std::ofstream(kShop) << before;
  const std::string records = before.substr(kGroupHeaderSize);
  GroupConfig settings = parsed(
      "checktime=30\ninform=ops@example.org\nwritelog=1\nsuspend=1\n"
      "bancontent=8\nSold OUT\nprescontent=11\nAdd To Cart\n");
  settings.moreOptions = 0xFF;  // run-time bits must not reach the file
  ASSERT_EQ(accessGroupFile("shop", settings, GroupMode::kStoreSettings), ErrAction::kOk);
  // interval 30, inform, options, moreOptions, URL/ban/pres counts 2 1 1, area sizes 9 12
  const std::string header = "\x1e\0\0\0ops@example.org"s + std::string(235, '\0') +
                             "\x81\x07\2\0\0\0\1\0\0\0\1\0\0\0\11\0\0\0\14\0\0\0"s +
                             std::string(12, '\0');
  EXPECT_EQ(readWholeFile(kShop), header + "sold out\0add to cart\0"s + records);
  GroupConfig none;  // the content areas shrink: the records move back
  ASSERT_EQ(accessGroupFile("shop", none, GroupMode::kStoreSettings), ErrAction::kOk);
  EXPECT_EQ(readWholeFile(kShop).substr(kGroupHeaderSize), records);
}

// An empty text would be found in every page: both storing modes leave out every content that
// is empty once cut at its first NUL, also one parsed from a service command's text.
TEST_F(GroupFileTest, StoringLeavesOutContentsEmptyAfterTheirNul) {
  for (GroupMode mode : {GroupMode::kStoreSettings, GroupMode::kStoreGroup}) {
    GroupConfig config = parsed("bancontent=0\n\nbancontent=3\nOne\nurl=http://a/\n");
    config.addBanContent("\0two"s);
    config.addBanContent("Three\0x"s);
    config.addPresContent("\0"s);
    ASSERT_EQ(accessGroupFile("shop", config, mode), ErrAction::kOk);
    const std::string bytes = readWholeFile(kShop);
    EXPECT_EQ(bytes.substr(kGroupBanCountOffset, 16), "\2\0\0\0\0\0\0\0\12\0\0\0\0\0\0\0"s);
    EXPECT_EQ(bytes.substr(kGroupHeaderSize, 10), "one\0three\0"s);
    EXPECT_EQ(std::pair(readShop().banContents, readShop().presCount()),
              std::pair(Texts{"one", "three"}, 0));
  }
}

TEST_F(GroupFileTest, StatusUpdateFollowsItsUrlAfterAnotherProcessDeletedSome) {
  storeShop({"http://aa/", kB, "http://cc/", "http://d/"});
  GroupConfig worker = readShop();
  worker.groupName = "shop";
  apply(GroupMode::kDeleteUrls, {"http://aa/"});  // cc's old offset now holds d
  worker.urls[2].lastCheck = 9;
  ASSERT_EQ(updateUrlStatus(worker, 2), ErrAction::kOk);
  EXPECT_EQ(stored(), "http://b/@1001 http://cc/@9 http://d/@1003 ");
  apply(GroupMode::kDeleteUrls, {kB, "http://cc/"});  // d's old offset is now past the end
  worker.urls[3].lastCheck = 42;
  ASSERT_EQ(updateUrlStatus(worker, 3), ErrAction::kOk);
  EXPECT_EQ(stored(), "http://d/@42 ");
  const std::string before = readWholeFile(kShop);  // aa itself is gone: nothing is written
  worker.urls[0].lastCheck = 5;
  EXPECT_EQ(updateUrlStatus(worker, 0), ErrAction::kOk);
  EXPECT_EQ(readWholeFile(kShop), before);
}

TEST_F(GroupFileTest, EveryModeRefusesADamagedFileWith12AndLeavesItAsItWas) {
  GroupConfig sound =
      parsed("bancontent=3\nban\nprescontent=4\npres\nurl=http://a/\nurl=http://bb/\n");
  ASSERT_EQ(accessGroupFile("shop", sound, GroupMode::kStoreGroup), ErrAction::kOk);
  const std::string good = readWholeFile(kShop);
  const auto rest = static_cast<int32_t>(good.size() - kGroupHeaderSize);
  std::vector<std::string> damaged;  // truncated, bad counts and area sizes, missing NULs
  for (size_t size = 1; size < good.size(); ++size) damaged.push_back(good.substr(0, size));
  for (size_t offset : {256, 260, 264, 268, 272}) {
    for (int32_t value : {-1, INT32_MIN, INT32_MAX, 3, rest}) {
      le::putI32(reinterpret_cast<uint8_t*>(damaged.emplace_back(good).data()) + offset, value);
    }
  }
  for (size_t nul : {kGroupHeaderSize + 3, kGroupHeaderSize + 8, good.size() - 1}) {
    damaged.emplace_back(good)[nul] = 'x';
  }
  for (const std::string& bytes : damaged) {
    std::ofstream(kShop) << bytes;
    for (char mode : {'r', 'g', 'a', 'w', 'f', 'd', 's', 'u'}) {
      GroupConfig config = groupWithUrls({"http://bb/"});
      config.groupName = "shop";
      std::string listing;
      ErrAction code = mode == 'u' ? updateUrlStatus(config, 0)
                                   : accessGroupFile("shop", config, GroupMode(mode), &listing);
      EXPECT_EQ(code, ErrAction::kShortRead) << mode << " " << bytes.size();
      EXPECT_TRUE(listing.empty() && readWholeFile(kShop) == bytes) << mode;
    }
  }
}

TEST_F(GroupFileTest, TwoProcessesAddingToOneGroupLoseNoUrl) {
  // Both children are forked from this single thread: forking beside other
  // threads may leave a child stuck on a lock one of them held.
  auto adder = [](const std::string& prefix) {  // a child adding 150 URLs one by one
    pid_t pid = fork();
    if (pid != 0) return pid;
    for (int i = 0; i < 150; ++i) {
      GroupConfig config;
      config.addUrl(prefix + std::to_string(i));
      if (accessGroupFile("shop", config, GroupMode::kAddUrls) != ErrAction::kOk) _exit(1);
    }
    _exit(0);
  };
  for (pid_t pid : {adder("http://first/"), adder("http://second/")}) {
    int status = -1;
    EXPECT_TRUE(test::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(readShop().urlCount(), 300);
}

// A read shares the group's lock: another reader's lock does not hold it up, but a change waits.
TEST_F(GroupFileTest, ReadersShareTheLockAndAChangeWaitsForThem) {
  storeShop({kA});
  UniqueFd reader = openFd(kShop.c_str(), O_RDONLY);
  ASSERT_TRUE(lockFileShared(reader.get()));
  auto finishes = [](GroupMode mode, double seconds) {
    return test::runInChild(
               [mode] {
                 GroupConfig config = groupWithUrls({kB});
                 std::string listing;
                 _exit(accessGroupFile("shop", config, mode, &listing) == ErrAction::kOk ? 0 : 1);
               },
               seconds)
               .exitCode == 0;
  };
  for (GroupMode mode : {GroupMode::kRead, GroupMode::kListUrls}) EXPECT_TRUE(finishes(mode, 20));
  EXPECT_FALSE(finishes(GroupMode::kAddUrls, 1));  // still waiting when its time is up
  reader.reset();
  EXPECT_EQ(stored(), "http://a/@1000 ");
}

// Bad names are refused without touching files; a directory or a pipe at a group's path reads as
// no group.
TEST_F(GroupFileTest, OnlyARegularFileOfAValidNameIsAGroup) {
  EXPECT_TRUE(isValidGroupName("Shop-2.eu_x") && isValidGroupName(std::string(64, 'z')));
  for (const std::string& name :
       {"../x"s, "a/b"s, ".hidden"s, ".."s, "a b"s, "x\"<"s, "caf\xc3\xa9"s, std::string(65, 'a'),
        "a\0b"s, ""s, "my.data"s, "x.dat"s}) {
    GroupConfig config = groupWithUrls({kA});
    config.groupName = name;
    EXPECT_EQ(updateUrlStatus(config, 0), ErrAction::kWriteFile) << name;
    EXPECT_EQ(appendCheckLog(config, 0), ErrAction::kAppendFile) << name;
    if (name.empty()) continue;  // the general group for accessGroupFile
    for (char mode : {'s', 'm', 'a', 'w', 'f'}) {
      EXPECT_EQ(accessGroupFile(name, config, GroupMode(mode)), ErrAction::kWriteFile) << name;
    }
    for (char mode : {'r', 'd', 'g'}) {
      EXPECT_EQ(accessGroupFile(name, config, GroupMode(mode)), ErrAction::kReadFile) << name;
    }
  }
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator("."), {}), 3);
  fs::create_directory(groupFilePath("dir"));
  ASSERT_EQ(::mkfifo(groupFilePath("pipe").c_str(), 0666), 0);  // reading it would block
  for (const char* name : {"dir", "pipe", "missing"}) {
    for (GroupMode mode : {GroupMode::kRead, GroupMode::kDeleteUrls, GroupMode::kListUrls}) {
      GroupConfig config = groupWithUrls({"all"});  // deleting all of no group removes nothing
      std::string listing;
      EXPECT_EQ(accessGroupFile(name, config, mode, &listing), ErrAction::kReadFile) << name;
    }
  }
  GroupConfig config = groupWithUrls({kA});
  EXPECT_EQ(accessGroupFile("pipe", config, GroupMode::kAddUrls), ErrAction::kWriteFile);
  EXPECT_TRUE(fs::is_fifo(groupFilePath("pipe")) && fs::is_directory(groupFilePath("dir")));
}

TEST_F(GroupFileTest, CheckLogAppendWritesTheExactRecordAndACutRecordEndsTheLog) {
  GroupConfig config = groupWithUrls({kA}, kUrlCheckBan | kUrlUp | kUrlPresOk);
  config.groupName = "shop";
  std::tie(config.urls[0].lastCheck, config.urls[0].resultCode) = std::tuple(0x01020304, -3);
  ASSERT_EQ(appendCheckLog(config, 0), ErrAction::kOk);
  const std::string record = "\x04\x03\x02\x01\xfd\xff\x05\x00http://a/\0"s;
  EXPECT_EQ(readWholeFile("./vydata/vychklog/shop.log"), record);
  std::vector<CheckLogEntry> entries;
  ASSERT_EQ(readCheckLog("shop", entries), ErrAction::kOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(std::tuple(entries[0].status, entries[0].flags, entries[0].url),
            std::tuple(-3, kStateUp | kStatePresOk, kA));
  for (size_t size = record.size(); size < 2 * record.size(); ++size) {
    EXPECT_EQ(parseCheckLog((record + record).substr(0, size)).size(), 1u) << size;
  }
}

TEST_F(GroupFileTest, OptionListMarksExactlyTheSelectedGroupAndSkipsOtherFiles) {
  for (const char* name : {"shop", "shopping"}) {
    GroupConfig config;
    ASSERT_EQ(accessGroupFile(name, config, GroupMode::kStoreSettings), ErrAction::kOk);
  }
  std::ofstream("./vydata/vydb/.hidden.dat");  // neither a hidden nor a badly named group shows
  std::ofstream("./vydata/vydb/x\"><b>.dat");
  std::ofstream("./vydata/vydb/shop.dat.bak");  // a copy stands for its group, which shows once
  std::ofstream("./vydata/vydb/readme");
  const std::string list = groupOptionList("shop");
  EXPECT_NE(list.find("<option value=\"shop\" selected>shop</option>\n"), std::string::npos);
  EXPECT_NE(list.find("<option value=\"shopping\">shopping</option>\n"), std::string::npos);
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2) << list;
}

}  // namespace
}  // namespace vy
