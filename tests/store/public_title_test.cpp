// What the public status page reads of a group besides its URLs: the public switches in the
// group file and its text form, and the title file.
#include "store/public_title.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "store/group_name.h"
#include "store/group_removal.h"
#include "store/group_store.h"
#include "tests/store/store_fixture.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

using namespace std::string_literals;
using test::parsed;
using PublicTitleTest = test::DataDirTest;

TEST(PublicTitleCodec, TheTitleFileHasItsGoldenBytesAndAnythingElseIsDamaged) {
  const std::string bytes = encodePublicTitle("Shop \xc3\xa9");
  EXPECT_EQ(bytes, "VYPT\x01\x00\x07\x00Shop \xc3\xa9"s);
  EXPECT_EQ(decodePublicTitle(bytes), std::optional<std::string>("Shop \xc3\xa9"));
  EXPECT_EQ(decodePublicTitle(encodePublicTitle("")), std::optional<std::string>(""));
  // another magic or version, a length beyond the bytes
  for (const std::string& bad :
       {"VYPX"s + bytes.substr(4), bytes.substr(0, 4) + "\x02"s + bytes.substr(5),
        bytes.substr(0, bytes.size() - 1), bytes.substr(0, 7),
        "VYPT\x01\x00\xff\x00"s + std::string(255, 'a')}) {
    EXPECT_EQ(decodePublicTitle(bad), std::nullopt) << bad;
  }
}

TEST(PublicTitleCodec, ALongTitleIsCutBeforeTheCharacterThatWouldCrossTheLimit) {
  const std::string title = std::string(kMaxPublicTitleLength - 1, 'a') + "\xc3\xa9 more";
  EXPECT_EQ(storablePublicTitle(title), std::string(kMaxPublicTitleLength - 1, 'a'));
  EXPECT_EQ(storablePublicTitle("short"), "short");
}

TEST(GroupText, PublicSwitchesTravelOnlyAtTheStartOfALineAndOnlyWhenSet) {
  GroupConfig group = parsed("checktime=5\npublicpage=1\npublicaddr=1\nurl=http://a.example/\n");
  EXPECT_EQ(group.publicFlags, kPublicShown | kPublicAddresses);
  const std::string text = formatGroupConfig(group);
  EXPECT_NE(text.find("\npublicpage=1\npublicaddr=1\n"), std::string::npos) << text;
  EXPECT_EQ(parsed(text).publicFlags, group.publicFlags);

  // A URL or a content holding the key is not the switch; a private group's text never names it.
  GroupConfig sneaky = parsed("url=http://a.example/?publicpage=1\nbancontent=12\npublicpage=1\n");
  EXPECT_EQ(sneaky.publicFlags, 0);
  EXPECT_EQ(parsed(formatGroupConfig(sneaky)).publicFlags, 0);
  EXPECT_EQ(formatGroupConfig(parsed("checktime=5\nurl=http://a.example/\n")).find("public"),
            std::string::npos);
}

TEST_F(PublicTitleTest, SwitchesSurviveEveryStoringOperationThatKeepsTheSettings) {
  GroupConfig group = parsed("checktime=5\npublicpage=1\nurl=http://a.example/\n");
  ASSERT_EQ(writeGroup("shop", group), StoreCode::kOk);
  ASSERT_EQ(addUrls("shop", parsed("url=http://b.example/\n").urls), StoreCode::kOk);
  ASSERT_EQ(deleteUrls("shop", {"http://a.example/"}), StoreCode::kOk);
  GroupRead read = readGroup("shop");
  ASSERT_EQ(read.status, StoreCode::kOk);
  EXPECT_TRUE(read.group.isPublic());
  EXPECT_FALSE(read.group.showsAddresses());

  // Settings without the switch make the group private again.
  ASSERT_EQ(storeSettings("shop", parsed("checktime=5\n")), StoreCode::kOk);
  EXPECT_FALSE(readGroup("shop").group.isPublic());
}

TEST_F(PublicTitleTest, AStoredTitleReadsBackAndAnEmptyOneOrTheGroupsRemovalDeletesIt) {
  std::string title = "stale";
  ASSERT_EQ(readPublicTitle("shop", title), StoreCode::kOk);
  EXPECT_EQ(title, "");
  ASSERT_EQ(storePublicTitle("shop", "Our <shop>"), StoreCode::kOk);
  ASSERT_EQ(readPublicTitle("shop", title), StoreCode::kOk);
  EXPECT_EQ(title, "Our <shop>");
  ASSERT_EQ(storePublicTitle("shop", ""), StoreCode::kOk);
  EXPECT_FALSE(std::filesystem::exists(publicTitlePath("shop")));

  ASSERT_EQ(writeGroup("shop", parsed("url=http://a.example/\n")), StoreCode::kOk);
  ASSERT_EQ(storePublicTitle("shop", "Shop"), StoreCode::kOk);
  std::vector<SideFileFailure> stayed;
  ASSERT_EQ(removeGroupAndSideFiles("shop", stayed), StoreCode::kOk);
  EXPECT_TRUE(stayed.empty());
  EXPECT_FALSE(std::filesystem::exists(publicTitlePath("shop")));
  EXPECT_EQ(storePublicTitle("../x", "t"), StoreCode::kRefusedNameToStore);
}

TEST_F(PublicTitleTest, TheNoticeIsTrimmedAndCutAtItsLimit) {
  EXPECT_EQ(readPublicNotice(), "");
  std::filesystem::create_directories(kPublicDir);
  std::ofstream(kPublicNoticePath) << "\n  Maintenance tonight  \n";
  EXPECT_EQ(readPublicNotice(), "Maintenance tonight");
  std::ofstream(kPublicNoticePath) << std::string(kMaxPublicNoticeLength + 50, 'n');
  EXPECT_EQ(readPublicNotice().size(), kMaxPublicNoticeLength);
}

}  // namespace
}  // namespace vy
