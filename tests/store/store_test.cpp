// The store: settings, group text form, check log, option lists, and the numbers its codes log.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "common/files.h"
#include "store/check_log.h"
#include "store/group_stats.h"
#include "store/group_store.h"
#include "store/settings.h"
#include "tests/store/store_fixture.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

using namespace std::string_literals;
using test::bytesOf;
using test::parsed;
using test::Texts;

std::string encoded(const Settings& settings) {
  return test::encodedBy<kSettingsSize>(encodeSettings, settings);
}

TEST(SettingsRecord, EachFieldHasItsGoldenBytesAndDecodesBack) {
  test::expectGoldenFields<kSettingsSize, Settings>(
      {{[](Settings& s) { s.zoneOffset = -18000; }, 0, bytesOf({0xB0, 0xB9, 0xFF, 0xFF})},
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
       {[](Settings& s) {
          s.setCertificateWarnDays({7, 30, 14});
        },
        492, bytesOf({1, 3, 30, 0, 14, 0, 7, 0})},
       {[](Settings& s) { s.setCertificateWarnDays({3650}); }, 492, bytesOf({1, 1, 0x42, 0x0E})},
       {[](Settings& s) { s.setCertificateWarnDays({}); }, 492, bytesOf({1})},
       {[](Settings& s) { s.reserved[kSettingsReservedSize - 1] = 0xA5; }, 1695, bytesOf({0xA5})}},
      encodeSettings, decodeSettings);
}

// A record from before the setting holds zeros there, which mean the default list; a damaged
// list is read as far as it makes sense.
TEST(SettingsRecord, CertificateWarningsDefaultOnAZeroAreaAndReadBackSetOrOff) {
  const auto decodedWith = [](const std::string& area) {
    std::string record(kSettingsSize, '\0');
    record.replace(492, area.size(), area);
    return decodeSettings(reinterpret_cast<const uint8_t*>(record.data())).certificateWarnDays();
  };
  EXPECT_EQ(decodedWith(""), (std::vector<int>{21, 14, 7}));
  EXPECT_EQ(decodedWith(bytesOf({1, 0, 21, 0})), std::vector<int>{});  // off
  EXPECT_EQ(decodedWith(bytesOf({1, 9, 7, 0, 0, 0, 0x43, 0x0E, 30, 0, 1, 0})),
            (std::vector<int>{30, 7}));
  EXPECT_EQ(decodedWith(bytesOf({2, 1, 5, 0})), (std::vector<int>{21, 14, 7}));

  Settings settings;
  settings.setCertificateWarnDays({1, 5000, 14, 3, 14, 0, 9, 60});
  EXPECT_EQ(settings.certificateWarnDays(), (std::vector<int>{60, 14, 9, 3}));
  const std::string bytes = encoded(settings);
  EXPECT_EQ(decodeSettings(reinterpret_cast<const uint8_t*>(bytes.data())).certificateWarnDays(),
            (std::vector<int>{60, 14, 9, 3}));
}

TEST(SettingsRecord, TheWarnDaysFieldTakesUpToFourCountsAndRefusesAnythingElse) {
  const std::pair<const char*, std::vector<int>> accepted[] = {{"21,14,7", {21, 14, 7}},
                                                               {" 7 , 21,14 ", {21, 14, 7}},
                                                               {"30,30,1", {30, 1}},
                                                               {"3650", {3650}},
                                                               {"", {}},
                                                               {"  ", {}},
                                                               {"0", {}},
                                                               {"1,2,3,4", {4, 3, 2, 1}}};
  for (const auto& [text, days] : accepted) {
    const ParsedWarnDays parsed = parseWarnDays(text);
    EXPECT_EQ(parsed.error, WarnDaysError::kOk) << text;
    EXPECT_EQ(parsed.days, days) << text;
  }
  const std::pair<const char*, WarnDaysError> refused[] = {
      {"21,,7", WarnDaysError::kNotANumber},
      {"21,", WarnDaysError::kNotANumber},
      {"-7", WarnDaysError::kNotANumber},
      {"7d", WarnDaysError::kNotANumber},
      {"1 4", WarnDaysError::kNotANumber},
      {"21;14", WarnDaysError::kNotANumber},
      {"21,0", WarnDaysError::kOutOfRange},
      {"3651", WarnDaysError::kOutOfRange},
      {"99999999999999999999", WarnDaysError::kOutOfRange},
      {"1,2,3,4,5", WarnDaysError::kTooMany}};
  for (const auto& [text, error] : refused) {
    const ParsedWarnDays parsed = parseWarnDays(text);
    EXPECT_EQ(parsed.error, error) << text;
    EXPECT_TRUE(parsed.days.empty()) << text;
  }
  EXPECT_EQ(formatWarnDays({21, 14, 7}), "21,14,7");
  EXPECT_EQ(parseWarnDays(formatWarnDays({})).days, std::vector<int>{});
}

TEST(SettingsFile, ShortFileFailsAndLongFileLoadsAndKeepsItsTail) {
  test::TempDir dir;
  const std::string path = dir.file("vyvars.dat");
  Settings loaded;
  EXPECT_EQ(loadSettings(loaded, path), StoreCode::kCannotRead);
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  EXPECT_EQ(loadSettings(loaded, path), StoreCode::kDamaged);

  const std::string tail(304, '\x7F');
  std::ofstream(path, std::ios::binary) << encoded(defaultSettings("www.x.org")) + tail;
  ASSERT_EQ(loadSettings(loaded, path), StoreCode::kOk);
  EXPECT_EQ(encoded(loaded), encoded(defaultSettings("www.x.org")));
  loaded.checkSeconds = 5;
  ASSERT_EQ(saveSettings(loaded, path), StoreCode::kOk);
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

using GroupFileTest = test::DataDirTest;

TEST(StoreCodes, EachCodeLogsTheNumberTheLogHasAlwaysCarried) {
  const std::pair<StoreCode, int> store[] = {
      {StoreCode::kNotFound, 1},     {StoreCode::kRefusedName, 1},
      {StoreCode::kCannotRead, 1},   {StoreCode::kRefusedNameToStore, 2},
      {StoreCode::kCannotOpen, 2},   {StoreCode::kNoSuchEntry, 2},
      {StoreCode::kCannotAppend, 6}, {StoreCode::kCannotRemove, 7},
      {StoreCode::kLockRefused, 8},  {StoreCode::kDamaged, 12},
      {StoreCode::kShortWrite, 13}};
  for (const auto& [code, number] : store) EXPECT_EQ(actionNumber(logAction(code)), number) << code;
  const std::pair<FileCode, int> file[] = {
      {FileCode::kCannotRead, 1},  {FileCode::kNotFound, 1},
      {FileCode::kCannotWrite, 2}, {FileCode::kCannotCreateDirectory, 3},
      {FileCode::kLockRefused, 8}, {FileCode::kShortRead, 12},
      {FileCode::kShortWrite, 13}};
  for (const auto& [code, number] : file) EXPECT_EQ(actionNumber(logAction(code)), number) << code;
}

TEST_F(GroupFileTest, CheckLogAppendWritesTheExactRecordAndACutRecordEndsTheLog) {
  UrlStatus entry;
  entry.url = "http://a/";
  entry.flags = kUrlCheckBan | kUrlUp | kUrlPresOk;
  std::tie(entry.lastCheck, entry.resultCode) = std::tuple(0x01020304, -3);
  ASSERT_EQ(appendCheckLog("shop", entry), StoreCode::kOk);
  const std::string record = "\x04\x03\x02\x01\xfd\xff\x05\x00http://a/\0"s;
  EXPECT_EQ(readWholeFile("./vydata/vychklog/shop.log"), record);
  std::vector<CheckLogEntry> entries;
  ASSERT_EQ(readCheckLog("shop", entries), StoreCode::kOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(std::tuple(entries[0].status, entries[0].flags, entries[0].url),
            std::tuple(-3, kStateUp | kStatePresOk, "http://a/"));
  for (size_t size = record.size(); size < 2 * record.size(); ++size) {
    EXPECT_EQ(parseCheckLog((record + record).substr(0, size)).size(), 1u) << size;
  }
}

TEST_F(GroupFileTest, OptionListMarksExactlyTheSelectedGroupAndSkipsOtherFiles) {
  for (const char* name : {"shop", "shopping"}) {
    ASSERT_EQ(storeSettings(name, GroupConfig()), StoreCode::kOk);
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
