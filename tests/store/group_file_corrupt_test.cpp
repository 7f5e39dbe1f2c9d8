// Damaged group files: every mode that reads one answers 12, writes nothing
// and never reads behind the image (these run under AddressSanitizer too).
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/le.h"
#include "store/group_file.h"
#include "tests/store/data_dir.h"

namespace vy {
namespace {

using test::groupWithUrls;
using test::readBytes;
using test::writeBytes;

class CorruptGroupFileTest : public test::DataDirTest {};

const std::string kShop = "./vydata/vydb/shop.dat";

// A sound file: one banned content, one presence content, two URLs.
std::string soundFile() {
  GroupConfig config = groupWithUrls({"http://a/", "http://bb/"});
  config.addBanContent("ban");
  config.addPresContent("pres");
  EXPECT_EQ(accessGroupFile("shop", config, 'm'), 0);
  return readBytes(kShop);
}

std::string withI32(std::string bytes, size_t offset, int32_t value) {
  le::putI32(reinterpret_cast<uint8_t*>(bytes.data()) + offset, value);
  return bytes;
}

// Every mode that reads the file refuses it with 12 and leaves it as it was.
void expectRefused(const std::string& bytes) {
  writeBytes(kShop, bytes);
  for (char mode : {'r', 'g', 'a', 'w', 'f', 'd', 's'}) {
    SCOPED_TRACE(mode);
    GroupConfig config = groupWithUrls({"http://a/"});
    config.checkInterval = 99;
    std::string listing;
    EXPECT_EQ(accessGroupFile("shop", config, mode, &listing), 12);
    EXPECT_EQ(listing, "");
    EXPECT_EQ(readBytes(kShop), bytes);
    if (mode == 'r') {
      EXPECT_EQ(config.checkInterval, 99);  // no partial record
    }
  }
}

TEST_F(CorruptGroupFileTest, EveryTruncationIsRefused) {
  std::string bytes = soundFile();
  for (size_t size = 1; size < bytes.size(); ++size) {
    SCOPED_TRACE(size);
    expectRefused(bytes.substr(0, size));
  }
}

TEST_F(CorruptGroupFileTest, NegativeCountsAreRefused) {
  std::string bytes = soundFile();
  for (size_t offset : {kGroupUrlCountOffset, kGroupBanCountOffset, kGroupPresCountOffset,
                        kGroupBanBytesOffset, kGroupPresBytesOffset}) {
    SCOPED_TRACE(offset);
    expectRefused(withI32(bytes, offset, -1));
    expectRefused(withI32(bytes, offset, INT32_MIN));
  }
}

TEST_F(CorruptGroupFileTest, CountsLargerThanTheFileAreRefused) {
  std::string bytes = soundFile();
  for (size_t offset : {kGroupUrlCountOffset, kGroupBanCountOffset, kGroupPresCountOffset,
                        kGroupBanBytesOffset, kGroupPresBytesOffset}) {
    SCOPED_TRACE(offset);
    expectRefused(withI32(bytes, offset, INT32_MAX));
    expectRefused(withI32(bytes, offset, 1 << 20));
  }
  expectRefused(withI32(bytes, kGroupUrlCountOffset, 3));
  // Two areas that each fit but together run past the end.
  std::string both = withI32(bytes, kGroupBanBytesOffset, static_cast<int32_t>(bytes.size()));
  expectRefused(withI32(both, kGroupPresBytesOffset, static_cast<int32_t>(bytes.size())));
}

TEST_F(CorruptGroupFileTest, ContentAreaWithoutItsNulIsRefused) {
  std::string bytes = soundFile();  // areas "ban\0" and "pres\0"
  std::string noBanNul = bytes;
  noBanNul[288 + 3] = 'x';
  expectRefused(noBanNul);
  expectRefused(withI32(bytes, kGroupBanCountOffset, 2));  // the second text would be "pres"
  std::string noPresNul = bytes;
  noPresNul[288 + 4 + 4] = 'x';
  expectRefused(noPresNul);
}

TEST_F(CorruptGroupFileTest, LastUrlWithoutItsNulIsRefused) {
  std::string bytes = soundFile();
  bytes.back() = '/';
  expectRefused(bytes);
}

TEST_F(CorruptGroupFileTest, StatusUpdateOnADamagedFileAnswers12) {
  std::string bytes = soundFile();
  GroupConfig worker = groupWithUrls({"http://bb/"});
  worker.groupName = "shop";
  worker.urls[0].fileOffset = kUnknownFileOffset;
  std::string damaged = withI32(bytes, kGroupUrlCountOffset, 1 << 30);
  writeBytes(kShop, damaged);
  EXPECT_EQ(updateUrlStatus(worker, 0), 12);
  EXPECT_EQ(readBytes(kShop), damaged);
}

TEST_F(CorruptGroupFileTest, EmptyFileIsRefusedByReadingModesAndRebuiltByStoringOnes) {
  writeBytes(kShop, "");
  GroupConfig config;
  EXPECT_EQ(accessGroupFile("shop", config, 'r'), 12);
  GroupConfig add = groupWithUrls({"http://a/"});
  EXPECT_EQ(accessGroupFile("shop", add, 'a'), 0);
  EXPECT_EQ(accessGroupFile("shop", config, 'r'), 0);
  EXPECT_EQ(config.urlCount(), 1);
}

}  // namespace
}  // namespace vy
