// The 1696-byte settings record: golden bytes, load and save rules, defaults.
#include "store/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "common/files.h"
#include "tests/support/child.h"

namespace vy {
namespace {

Settings knownSettings() {
  Settings s;
  s.zoneOffset = -18000;
  s.zoneAbbrev = "EST";
  s.zoneName = "America/New_York";
  s.zoneMinutes = 30;
  s.flags = kFlagDaylightSaving | kFlagSchedulerOn;
  s.tzOption = 41;
  s.adminEmail = "root@example.org";
  s.mailTransport = "/usr/sbin/sendmail";
  s.userAgent = "UA";
  s.referer = "http://example.org";
  s.maxPageLength = 100000;
  s.restartSeconds = 25;
  s.checkSeconds = 60;
  s.maxCheckUrls = 0x01020304;
  s.maxCheckThreads = 3;
  s.recheckUpTimes = 2;
  s.consoleHost = "console.example.org";
  s.reserved[0] = 0x5A;
  s.reserved[1203] = 0xA5;
  return s;
}

std::string fileBytes(const std::string& path) {
  std::string out;
  readFileBytes(path, out);
  return out;
}

TEST(SettingsRecord, GoldenBytesAtTheDocumentedOffsets) {
  uint8_t out[kSettingsSize];
  encodeSettings(knownSettings(), out);
  const uint8_t offset[] = {0xB0, 0xB9, 0xFF, 0xFF};  // -18000
  EXPECT_EQ(std::memcmp(out + 0, offset, 4), 0);
  EXPECT_EQ(std::memcmp(out + 4, "EST\0\0\0\0\0\0\0", 10), 0);
  EXPECT_EQ(std::memcmp(out + 14, "America/New_York\0", 17), 0);
  EXPECT_EQ(out[94], 30);
  EXPECT_EQ(out[95], 9);
  EXPECT_EQ(out[96], 41);
  EXPECT_EQ(std::memcmp(out + 97, "root@example.org\0", 17), 0);
  EXPECT_EQ(std::memcmp(out + 147, "/usr/sbin/sendmail\0", 19), 0);
  EXPECT_EQ(std::memcmp(out + 197, "UA\0", 3), 0);
  EXPECT_EQ(std::memcmp(out + 248, "http://example.org\0", 19), 0);
  const uint8_t page[] = {0xA0, 0x86, 0x01, 0x00};  // 100000
  EXPECT_EQ(std::memcmp(out + 392, page, 4), 0);
  EXPECT_EQ(out[396], 25);
  EXPECT_EQ(out[400], 60);
  const uint8_t urls[] = {0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(std::memcmp(out + 404, urls, 4), 0);
  EXPECT_EQ(out[408], 3);
  EXPECT_EQ(out[412], 2);
  EXPECT_EQ(std::memcmp(out + 413, "console.example.org\0", 20), 0);
  EXPECT_EQ(out[492], 0x5A);
  EXPECT_EQ(out[1695], 0xA5);
}

TEST(SettingsRecord, DecodeInvertsEncodeAndCutsOverlongTexts) {
  Settings s = knownSettings();
  s.zoneAbbrev = "ABCDEFGHIJKLMNOP";
  uint8_t out[kSettingsSize];
  encodeSettings(s, out);
  Settings back = decodeSettings(out);
  EXPECT_EQ(back.zoneAbbrev, "ABCDEFGHI");
  EXPECT_EQ(back.zoneName, s.zoneName);
  EXPECT_EQ(back.maxCheckUrls, s.maxCheckUrls);
  EXPECT_EQ(back.consoleHost, s.consoleHost);
  EXPECT_EQ(back.reserved, s.reserved);
  EXPECT_TRUE(back.schedulerOn());
  EXPECT_FALSE(back.cronMode());
}

TEST(SettingsFile, ShortFileFailsAndLongFileLoadsAndKeepsItsTail) {
  test::TempDir dir;
  const std::string path = dir.file("vyvars.dat");
  Settings loaded;
  EXPECT_EQ(loadSettings(loaded, path), 1);
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  EXPECT_EQ(loadSettings(loaded, path), 12);

  uint8_t record[kSettingsSize];
  encodeSettings(knownSettings(), record);
  std::string tail(304, '\x7F');
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      << std::string(reinterpret_cast<char*>(record), sizeof record) << tail;
  ASSERT_EQ(loadSettings(loaded, path), 0);
  EXPECT_EQ(loaded.consoleHost, "console.example.org");
  loaded.checkSeconds = 5;
  ASSERT_EQ(saveSettings(loaded, path), 0);
  std::string bytes = fileBytes(path);
  ASSERT_EQ(bytes.size(), 2000u);
  EXPECT_EQ(bytes.substr(1696), tail);
  EXPECT_EQ(bytes[400], 5);
}

TEST(SettingsDefaults, HostRulesForAddressAndReferer) {
  Settings s = defaultSettings("www.example.org");
  EXPECT_EQ(s.adminEmail, "webmaster@example.org");
  EXPECT_EQ(s.referer, "http://www.example.org");
  EXPECT_EQ(s.tzOption, 41);
  EXPECT_TRUE(s.daylightSaving());
  EXPECT_EQ(s.maxPageLength, 100000);
  EXPECT_EQ(s.restartSeconds, 25);
  EXPECT_EQ(s.checkSeconds, 60);
  EXPECT_EQ(s.maxCheckUrls, 25);
  EXPECT_EQ(s.maxCheckThreads, 3);
  EXPECT_EQ(s.recheckUpTimes, 0);
  EXPECT_EQ(s.userAgent.rfind("Vantry(", 0), 0u);
  Settings empty = defaultSettings("");
  EXPECT_EQ(empty.adminEmail, "webmaster@");
  EXPECT_EQ(empty.referer, "http://");
}

}  // namespace
}  // namespace vy
