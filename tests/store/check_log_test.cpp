// Check log records: exact bytes, appends from a group and the reader.
#include "store/check_log.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/store/data_dir.h"

namespace vy {
namespace {

using test::groupWithUrls;
using test::readBytes;

class CheckLogTest : public test::DataDirTest {};

const std::string kShopLog = "./vydata/vychklog/shop.log";

TEST_F(CheckLogTest, AppendWritesTheDocumentedRecord) {
  GroupConfig config = groupWithUrls({"http://a/"}, kUrlCheckBan | kUrlUp | kUrlPresOk);
  config.groupName = "shop";
  config.urls[0].lastCheck = 0x01020304;
  config.urls[0].resultCode = 200;
  ASSERT_EQ(appendCheckLog(config, 0), 0);
  EXPECT_EQ(readBytes(kShopLog), std::string("\x04\x03\x02\x01\xc8\x00\x05\x00http://a/\0", 18));

  config.urls[0].resultCode = 1;  // a failed request: down
  config.urls[0].flags = kUrlBanFound;
  ASSERT_EQ(appendCheckLog(config, 0), 0);
  std::vector<CheckLogEntry> entries;
  ASSERT_EQ(readCheckLog("shop", entries), 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].status, 1);
  EXPECT_FALSE(entries[1].up());
  EXPECT_TRUE(entries[1].banFound());
  EXPECT_EQ(entries[1].url, "http://a/");
}

TEST_F(CheckLogTest, MissingLogDirectoryFailsTheAppend) {
  ASSERT_EQ(::rmdir("./vydata/vychklog"), 0);
  GroupConfig config = groupWithUrls({"http://a/"});
  config.groupName = "shop";
  EXPECT_EQ(appendCheckLog(config, 0), 6);
  EXPECT_EQ(appendCheckLog(config, 1), 6);
}

TEST(CheckLogReader, ReadsStatusesAsSignedNumbers) {
  CheckLogEntry entry;
  entry.time = 7;
  entry.status = -3;
  entry.flags = kLogPresOk;
  entry.url = "http://x/";
  std::string bytes = encodeCheckLogEntry(entry) + encodeCheckLogEntry(CheckLogEntry{});
  std::vector<CheckLogEntry> entries = parseCheckLog(bytes);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].time, 7u);
  EXPECT_EQ(entries[0].status, -3);
  EXPECT_TRUE(entries[0].presOk());
  EXPECT_EQ(entries[0].url, "http://x/");
  EXPECT_EQ(entries[1].url, "");
}

TEST(CheckLogReader, TruncatedLastRecordEndsTheLog) {
  CheckLogEntry entry;
  entry.url = "http://a/";
  std::string one = encodeCheckLogEntry(entry);
  std::string two = one + one;
  for (size_t size = one.size(); size < two.size(); ++size) {
    SCOPED_TRACE(size);
    EXPECT_EQ(parseCheckLog(two.substr(0, size)).size(), 1u);
  }
  EXPECT_EQ(parseCheckLog(two).size(), 2u);
  EXPECT_TRUE(parseCheckLog(std::string(8, '\0')).empty());
}

TEST_F(CheckLogTest, MissingLogReadsAsNone) {
  std::vector<CheckLogEntry> entries;
  EXPECT_EQ(readCheckLog("shop", entries), 1);
  EXPECT_EQ(readCheckLog("../shop", entries), 1);
  EXPECT_TRUE(entries.empty());
}

}  // namespace
}  // namespace vy
