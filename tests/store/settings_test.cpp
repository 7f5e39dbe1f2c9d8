// The 1696-byte settings record: golden bytes and the load and save rules.
#include "store/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

#include "common/files.h"
#include "tests/support/child.h"

namespace vy {
namespace {

using namespace std::string_literals;

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
      {[](Settings& s) { s.reserved = {0x5A}; }, 492, bytesOf({0x5A})},
      {[](Settings& s) { s.reserved[1203] = 0xA5; }, 1695, bytesOf({0xA5})}};
  for (const auto& [set, offset, golden] : fields) {
    Settings settings;
    set(settings);
    const std::string bytes = encoded(settings);
    std::string expected(kSettingsSize, '\0');
    expected.replace(offset, golden.size(), golden);
    EXPECT_EQ(bytes, expected) << "field at " << offset;
    EXPECT_EQ(encoded(decodeSettings(reinterpret_cast<const uint8_t*>(bytes.data()))), bytes);
  }
}

TEST(SettingsFile, ShortFileFailsAndLongFileLoadsAndKeepsItsTail) {
  test::TempDir dir;
  const std::string path = dir.file("vyvars.dat");
  Settings loaded;
  EXPECT_EQ(loadSettings(loaded, path), 1);
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  EXPECT_EQ(loadSettings(loaded, path), 12);

  const std::string tail(304, '\x7F');
  std::ofstream(path, std::ios::binary) << encoded(defaultSettings("www.x.org")) + tail;
  ASSERT_EQ(loadSettings(loaded, path), 0);
  EXPECT_EQ(loaded.adminEmail, "webmaster@x.org");
  EXPECT_EQ(loaded.referer, "http://www.x.org");
  loaded.checkSeconds = 5;
  ASSERT_EQ(saveSettings(loaded, path), 0);
  EXPECT_EQ(readWholeFile(path), encoded(loaded) + tail);
}

}  // namespace
}  // namespace vy
