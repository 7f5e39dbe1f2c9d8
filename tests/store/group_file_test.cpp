// The group database on real files: every access mode, the status writer and
// the name rule.
#include "store/group_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/le.h"
#include "store/check_log.h"
#include "store/group_name.h"
#include "tests/store/data_dir.h"

namespace vy {
namespace {

using test::fileExists;
using test::groupWithUrls;
using test::readBytes;

class GroupFileTest : public test::DataDirTest {};

const std::string kShop = "./vydata/vydb/shop.dat";

GroupConfig readGroup(const std::string& name) {
  GroupConfig config;
  EXPECT_EQ(accessGroupFile(name, config, 'r'), 0);
  return config;
}

std::vector<std::string> urlsOf(const GroupConfig& config) {
  std::vector<std::string> urls;
  for (const UrlStatus& entry : config.urls) urls.emplace_back(entry.url);
  return urls;
}

int32_t storedUrlCount(const std::string& path) {
  std::string bytes = readBytes(path);
  return le::getI32(reinterpret_cast<const uint8_t*>(bytes.data()) + kGroupUrlCountOffset);
}

size_t recordSize(const std::string& url) { return kUrlStatusSize + url.size() + 1; }

// Stores [A, B, ...] whole, B (when there) checked at 1000 and up.
void storeShop(std::initializer_list<const char*> urls) {
  GroupConfig config = groupWithUrls(urls, kUrlCheckBan);
  if (config.urlCount() > 1) {
    config.urls[1].lastCheck = 1000;
    config.urls[1].resultCode = 200;
    config.urls[1].setFlag(kUrlUp, true);
    config.urls[1].responseMs = 321;
  }
  ASSERT_EQ(accessGroupFile("shop", config, 'm'), 0);
}

TEST_F(GroupFileTest, MissingGroupIsReportedByTheReadingModes) {
  GroupConfig config = groupWithUrls({"http://a/"});
  EXPECT_EQ(accessGroupFile("shop", config, 'r'), 1);
  EXPECT_EQ(accessGroupFile("shop", config, 'g'), 1);
  EXPECT_EQ(accessGroupFile("shop", config, 'd'), 1);
  GroupConfig all = groupWithUrls({"all"});
  EXPECT_EQ(accessGroupFile("shop", all, 'd'), 1);
  EXPECT_FALSE(fileExists(kShop));
}

TEST_F(GroupFileTest, StoringSettingsCreatesHeaderAndLowerCaseContents) {
  GroupConfig config;
  config.checkInterval = 180;
  config.inform = "ops@example.org";
  config.options = kOptWriteLog | kOptSuspend;
  config.moreOptions = 0xFF;  // run-time bits must not reach the file
  config.pendingCount = 5;
  config.addBanContent("AbC");
  config.addPresContent("Hi");
  ASSERT_EQ(accessGroupFile("shop", config, 's'), 0);

  std::string bytes = readBytes(kShop);
  ASSERT_EQ(bytes.size(), 288u + 4 + 3);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(le::getI32(p + kGroupCheckIntervalOffset), 180);
  EXPECT_EQ(le::getText(p + kGroupInformOffset, kGroupInformSize), "ops@example.org");
  EXPECT_EQ(p[kGroupOptionsOffset], kOptWriteLog | kOptSuspend);
  EXPECT_EQ(p[kGroupMoreOptionsOffset], 0x07);
  EXPECT_EQ(le::getI32(p + kGroupUrlCountOffset), 0);
  EXPECT_EQ(le::getI32(p + kGroupBanCountOffset), 1);
  EXPECT_EQ(le::getI32(p + kGroupPresCountOffset), 1);
  EXPECT_EQ(le::getI32(p + kGroupBanBytesOffset), 4);
  EXPECT_EQ(le::getI32(p + kGroupPresBytesOffset), 3);
  EXPECT_EQ(bytes.substr(kGroupReservedOffset, kGroupReservedSize), std::string(12, '\0'));
  EXPECT_EQ(bytes.substr(288), std::string("abc\0hi\0", 7));

  GroupConfig read = readGroup("shop");
  EXPECT_EQ(read.inform, "ops@example.org");
  EXPECT_EQ(read.banContents, std::vector<std::string_view>{"abc"});
  EXPECT_EQ(read.presContents, std::vector<std::string_view>{"hi"});
  EXPECT_EQ(read.pendingCount, 0);
  EXPECT_FALSE(read.notified);
}

TEST_F(GroupFileTest, AddingNothingCreatesAnEmptyGroup) {
  GroupConfig config;
  ASSERT_EQ(accessGroupFile("shop", config, 'a'), 0);
  EXPECT_EQ(readBytes(kShop), std::string(288, '\0'));
}

TEST_F(GroupFileTest, AddingKeepsTheLastOfRepeatedUrls) {
  GroupConfig config = groupWithUrls({"http://a/", "http://b/", "http://a/"});
  ASSERT_EQ(accessGroupFile("shop", config, 'a'), 0);
  EXPECT_EQ(urlsOf(config), (std::vector<std::string>{"http://b/", "http://a/"}));
  EXPECT_EQ(urlsOf(readGroup("shop")), (std::vector<std::string>{"http://b/", "http://a/"}));
  EXPECT_EQ(storedUrlCount(kShop), 2);
}

TEST_F(GroupFileTest, AddingKeepsStoredResultsAndTakesTheNewSwitches) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig config = groupWithUrls({"http://b/", "http://c/"}, kUrlCheckPres);
  ASSERT_EQ(accessGroupFile("shop", config, 'a'), 0);
  EXPECT_EQ(config.urls[0].lastCheck, 1000u);  // the caller's entry took the results too

  GroupConfig read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), (std::vector<std::string>{"http://a/", "http://b/", "http://c/"}));
  EXPECT_EQ(storedUrlCount(kShop), 3);
  const UrlStatus& b = read.urls[1];
  EXPECT_EQ(b.lastCheck, 1000u);
  EXPECT_EQ(b.resultCode, 200);
  EXPECT_EQ(b.responseMs, 321u);
  EXPECT_EQ(b.flags, kUrlCheckPres | kUrlUp);
  EXPECT_EQ(read.urls[2].lastCheck, 0u);
}

TEST_F(GroupFileTest, ReAddedUrlMovesToTheEndWithItsResults) {
  GroupConfig first = groupWithUrls({"http://a/", "http://b/"});
  first.urls[0].lastCheck = 500;
  ASSERT_EQ(accessGroupFile("shop", first, 'm'), 0);
  size_t before = readBytes(kShop).size();

  GroupConfig again = groupWithUrls({"http://a/"});
  ASSERT_EQ(accessGroupFile("shop", again, 'a'), 0);
  GroupConfig read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), (std::vector<std::string>{"http://b/", "http://a/"}));
  EXPECT_EQ(read.urls[1].lastCheck, 500u);
  EXPECT_EQ(readBytes(kShop).size(), before);
}

TEST_F(GroupFileTest, AddingGrowsTheFileByExactlyTheNewRecords) {
  storeShop({"http://a/", "http://b/"});
  std::string before = readBytes(kShop);
  GroupConfig config = groupWithUrls({"http://new/"});
  ASSERT_EQ(accessGroupFile("shop", config, 'a'), 0);
  std::string after = readBytes(kShop);
  ASSERT_EQ(after.size(), before.size() + recordSize("http://new/"));
  EXPECT_EQ(after.substr(288, before.size() - 288), before.substr(288));
}

TEST_F(GroupFileTest, WriteTakesTheGivenStatusesAndRewriteKeepsStoredOnes) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig write = groupWithUrls({"http://c/"});
  write.urls[0].lastCheck = 7;
  ASSERT_EQ(accessGroupFile("shop", write, 'w'), 0);
  GroupConfig read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), std::vector<std::string>{"http://c/"});
  EXPECT_EQ(read.urls[0].lastCheck, 7u);
  EXPECT_EQ(readBytes(kShop).size(), 288 + recordSize("http://c/"));

  storeShop({"http://a/", "http://b/"});
  GroupConfig rewrite = groupWithUrls({"http://b/"});
  ASSERT_EQ(accessGroupFile("shop", rewrite, 'f'), 0);
  read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), std::vector<std::string>{"http://b/"});
  EXPECT_EQ(read.urls[0].lastCheck, 1000u);
  EXPECT_EQ(readBytes(kShop).size(), 288 + recordSize("http://b/"));

  GroupConfig plain = groupWithUrls({"http://b/"});
  ASSERT_EQ(accessGroupFile("shop", plain, 'w'), 0);
  EXPECT_EQ(readGroup("shop").urls[0].lastCheck, 0u);
}

TEST_F(GroupFileTest, DeletingRemovesTheUrlsAndShortensTheFile) {
  storeShop({"http://a/", "http://b/", "http://c/"});
  GroupConfig config = groupWithUrls({"http://b/", "http://gone/"});
  ASSERT_EQ(accessGroupFile("shop", config, 'd'), 0);
  GroupConfig read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), (std::vector<std::string>{"http://a/", "http://c/"}));
  EXPECT_EQ(storedUrlCount(kShop), 2);
  EXPECT_EQ(readBytes(kShop).size(), 288 + recordSize("http://a/") + recordSize("http://c/"));
}

TEST_F(GroupFileTest, DeletingAllRemovesTheGroupFile) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig config = groupWithUrls({"all", "http://a/"});
  ASSERT_EQ(accessGroupFile("shop", config, 'd'), 0);
  EXPECT_FALSE(fileExists(kShop));
}

TEST_F(GroupFileTest, StoringSettingsMovesUrlRecordsByteForByte) {
  storeShop({"http://a/", "http://b/"});
  std::string before = readBytes(kShop);
  before[288 + 20] = '\x5a';  // a reserved byte of the first record survives too
  test::writeBytes(kShop, before);
  std::string records = before.substr(288);

  GroupConfig settings;
  settings.checkInterval = 30;
  settings.addBanContent("Sold OUT");
  settings.addPresContent("Add To Cart");
  ASSERT_EQ(accessGroupFile("shop", settings, 's'), 0);
  std::string after = readBytes(kShop);
  std::string contents("sold out\0add to cart\0", 21);
  ASSERT_EQ(after.size(), 288 + contents.size() + records.size());
  EXPECT_EQ(after.substr(288, contents.size()), contents);
  EXPECT_EQ(after.substr(288 + contents.size()), records);
  EXPECT_EQ(storedUrlCount(kShop), 2);

  GroupConfig fewer;  // the content areas shrink: records move back
  ASSERT_EQ(accessGroupFile("shop", fewer, 's'), 0);
  after = readBytes(kShop);
  EXPECT_EQ(after.substr(288), records);
  EXPECT_EQ(readGroup("shop").urls[1].lastCheck, 1000u);
}

TEST_F(GroupFileTest, StoringTheWholeGroupDiscardsTheOldContent) {
  storeShop({"http://a/", "http://b/", "http://c/"});
  GroupConfig config = groupWithUrls({"http://x/", "http://x/"});
  config.addBanContent("X");
  ASSERT_EQ(accessGroupFile("shop", config, 'm'), 0);
  GroupConfig read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), std::vector<std::string>{"http://x/"});
  EXPECT_EQ(read.banContents, std::vector<std::string_view>{"x"});
  EXPECT_EQ(readBytes(kShop).size(), 288 + 2 + recordSize("http://x/"));
}

TEST_F(GroupFileTest, ReadGroupOwnsItsImageAndRemembersOffsets) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig read = readGroup("shop");
  EXPECT_EQ(read.urls[0].fileOffset, 288u);
  EXPECT_EQ(read.urls[1].fileOffset, 288 + recordSize("http://a/"));
  EXPECT_TRUE(read.groupName.empty());
  EXPECT_FALSE(read.urlFilter.has_value());
  ASSERT_EQ(::unlink(kShop.c_str()), 0);
  GroupConfig moved = std::move(read);
  EXPECT_EQ(moved.urls[1].url, "http://b/");
}

TEST_F(GroupFileTest, EmptyNameMeansTheGeneralGroup) {
  GroupConfig config = groupWithUrls({"http://a/"});
  ASSERT_EQ(accessGroupFile("", config, 'a'), 0);
  EXPECT_TRUE(fileExists("./vydata/vydb/general.dat"));
  EXPECT_EQ(urlsOf(readGroup("general")), std::vector<std::string>{"http://a/"});
}

TEST_F(GroupFileTest, ListingWritesOneLinePerRecordOrTheFilteredOne) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig config;
  std::string listing;
  ASSERT_EQ(accessGroupFile("shop", config, 'g', &listing), 0);
  EXPECT_EQ(listing, "http://a/ 0 c=0http://b/ 0 p=0 c=200");

  config.urlFilter = "http://b/";
  listing.clear();
  ASSERT_EQ(accessGroupFile("shop", config, 'g', &listing), 0);
  EXPECT_EQ(listing, "http://b/ 0 p=0 c=200");
}

TEST(UrlListingLine, ShowsIndexesOnlyWhenTheyMean) {
  UrlStatus status;
  status.url = "http://a/";
  status.resultBits = 3;
  status.resultCode = 200;
  status.banIndex = 2;
  status.presIndex = 4;
  status.flags = kUrlUp | kUrlBanFound | kUrlPresOk;
  EXPECT_EQ(urlListingLine(status), "http://a/ 3 f=2 c=200");
  status.flags = kUrlUp;
  EXPECT_EQ(urlListingLine(status), "http://a/ 3 p=4 c=200");
  status.flags = 0;
  status.resultCode = 1;
  EXPECT_EQ(urlListingLine(status), "http://a/ 3 c=1");
}

TEST_F(GroupFileTest, StatusUpdateWritesAtTheRememberedRecord) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig read = readGroup("shop");
  read.groupName = "shop";
  read.urls[0].lastCheck = 77;
  read.urls[0].resultCode = 503;
  ASSERT_EQ(updateUrlStatus(read, 0), 0);
  GroupConfig again = readGroup("shop");
  EXPECT_EQ(again.urls[0].lastCheck, 77u);
  EXPECT_EQ(again.urls[0].resultCode, 503);
  EXPECT_EQ(again.urls[1].lastCheck, 1000u);
}

TEST_F(GroupFileTest, StatusUpdateFindsItsUrlAfterEarlierOnesWereDeleted) {
  storeShop({"http://a/", "http://b/", "http://c/"});
  GroupConfig worker = readGroup("shop");
  worker.groupName = "shop";
  GroupConfig console = groupWithUrls({"http://a/", "http://b/"});
  ASSERT_EQ(accessGroupFile("shop", console, 'd'), 0);  // c's old offset is now past the end

  worker.urls[2].lastCheck = 42;
  ASSERT_EQ(updateUrlStatus(worker, 2), 0);
  GroupConfig read = readGroup("shop");
  ASSERT_EQ(urlsOf(read), std::vector<std::string>{"http://c/"});
  EXPECT_EQ(read.urls[0].lastCheck, 42u);
  EXPECT_EQ(worker.urls[2].fileOffset, 288u);  // found again, remembered for next time
}

TEST_F(GroupFileTest, StatusUpdateSkipsARecordThatIsNoLongerItsUrl) {
  storeShop({"http://aa/", "http://b/", "http://cc/", "http://d/"});
  GroupConfig worker = readGroup("shop");
  worker.groupName = "shop";
  GroupConfig console = groupWithUrls({"http://aa/"});
  ASSERT_EQ(accessGroupFile("shop", console, 'd'), 0);  // c's old offset now holds d

  worker.urls[2].lastCheck = 9;
  ASSERT_EQ(updateUrlStatus(worker, 2), 0);
  GroupConfig read = readGroup("shop");
  EXPECT_EQ(urlsOf(read), (std::vector<std::string>{"http://b/", "http://cc/", "http://d/"}));
  EXPECT_EQ(read.urls[1].lastCheck, 9u);
  EXPECT_EQ(read.urls[2].lastCheck, 0u);
}

TEST_F(GroupFileTest, StatusUpdateOfADeletedUrlWritesNothing) {
  storeShop({"http://a/", "http://b/"});
  GroupConfig worker = readGroup("shop");
  worker.groupName = "shop";
  GroupConfig console = groupWithUrls({"http://b/"});
  ASSERT_EQ(accessGroupFile("shop", console, 'd'), 0);
  std::string before = readBytes(kShop);

  worker.urls[1].lastCheck = 5;
  EXPECT_EQ(updateUrlStatus(worker, 1), 0);
  EXPECT_EQ(readBytes(kShop), before);
}

TEST_F(GroupFileTest, StatusUpdateWithUnknownOffsetLooksTheUrlUp) {
  GroupConfig stored = groupWithUrls({"http://a/", "http://b/"});
  ASSERT_EQ(accessGroupFile("", stored, 'm'), 0);
  GroupConfig given = groupWithUrls({"http://b/"});
  given.groupName = "general";
  given.urls[0].fileOffset = kUnknownFileOffset;
  given.urls[0].lastCheck = 1234;
  ASSERT_EQ(updateUrlStatus(given, 0), 0);
  EXPECT_EQ(readGroup("general").urls[1].lastCheck, 1234u);
}

TEST_F(GroupFileTest, BadGroupNamesAreRefusedWithoutTouchingFiles) {
  for (const std::string& name : std::vector<std::string>{
           "../x", "a/b", ".hidden", "a b", "x\"<", std::string(65, 'a'), std::string("a\0b", 3)}) {
    SCOPED_TRACE(name);
    GroupConfig config = groupWithUrls({"http://a/"});
    for (char mode : {'s', 'm', 'a', 'w', 'f'}) EXPECT_EQ(accessGroupFile(name, config, mode), 2);
    for (char mode : {'r', 'd', 'g'}) EXPECT_EQ(accessGroupFile(name, config, mode), 1);
    config.groupName = name;
    EXPECT_EQ(updateUrlStatus(config, 0), 2);
    EXPECT_EQ(appendCheckLog(config, 0), 6);
  }
  GroupConfig unnamed = groupWithUrls({"http://a/"});
  EXPECT_EQ(updateUrlStatus(unnamed, 0), 2);
  EXPECT_EQ(appendCheckLog(unnamed, 0), 6);
  EXPECT_EQ(test::entriesOf("./vydata"), (std::vector<std::string>{"vychklog", "vydb"}));
  EXPECT_TRUE(test::entriesOf("./vydata/vydb").empty());
  EXPECT_TRUE(test::entriesOf("./vydata/vychklog").empty());
}

TEST(GroupName, AcceptsOnlyTheSafeAlphabet) {
  EXPECT_TRUE(isValidGroupName("general"));
  EXPECT_TRUE(isValidGroupName("Shop-2.eu_x"));
  EXPECT_TRUE(isValidGroupName(std::string(64, 'z')));
  EXPECT_FALSE(isValidGroupName(""));
  EXPECT_FALSE(isValidGroupName(std::string(65, 'z')));
  EXPECT_FALSE(isValidGroupName(".."));
  EXPECT_FALSE(isValidGroupName("a;rm"));
  EXPECT_FALSE(isValidGroupName("caf\xc3\xa9"));
  EXPECT_EQ(groupFilePath("shop"), "./vydata/vydb/shop.dat");
  EXPECT_EQ(checkLogPath("shop"), "./vydata/vychklog/shop.log");
}

}  // namespace
}  // namespace vy
