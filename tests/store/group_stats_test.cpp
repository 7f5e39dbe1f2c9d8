// Group summaries and the option list of groups.
#include "store/group_stats.h"

#include <gtest/gtest.h>

#include <string>

#include "store/group_file.h"
#include "tests/store/data_dir.h"

namespace vy {
namespace {

using test::groupWithUrls;

class GroupStatsTest : public test::DataDirTest {};

constexpr std::time_t kNow = 1700000000;

TEST(GroupSummary, NeverCheckedGroupHasNoAge) {
  GroupConfig config = groupWithUrls({"http://a/", "http://b/"}, kUrlCheckBan);
  config.checkInterval = 10;
  GroupSummary summary = summarizeGroup(config, kNow);
  EXPECT_EQ(summary.urlCount, 2);
  EXPECT_EQ(summary.checkBanCount, 2);
  EXPECT_EQ(summary.checkInterval, 10);
  EXPECT_EQ(summary.averageAge, -1);
}

TEST(GroupSummary, AverageAgeCountsOnlyOverdueUrls) {
  GroupConfig config = groupWithUrls({"http://a/", "http://b/", "http://c/"});
  config.checkInterval = 10;
  config.urls[0].lastCheck = kNow - 25 * 60;
  config.urls[0].flags = kUrlUp | kUrlPresOk;
  config.urls[1].lastCheck = kNow - 60;  // checked, not overdue
  config.urls[1].flags = kUrlBanFound | kUrlCheckPres;
  GroupSummary summary = summarizeGroup(config, kNow);
  EXPECT_FLOAT_EQ(summary.averageAge, 25);
  EXPECT_EQ(summary.upCount, 1);
  EXPECT_EQ(summary.presOkCount, 1);
  EXPECT_EQ(summary.banFoundCount, 1);
  EXPECT_EQ(summary.checkPresCount, 1);

  config.urls[0].lastCheck = kNow - 60;
  EXPECT_FLOAT_EQ(summarizeGroup(config, kNow).averageAge, 10);
}

TEST_F(GroupStatsTest, OptionListMarksExactlyTheSelectedGroup) {
  for (const char* name : {"shop", "blog", "shopping"}) {
    GroupConfig config;
    ASSERT_EQ(accessGroupFile(name, config, 's'), 0);
  }
  test::writeBytes("./vydata/vydb/notes.dat.bak", "");
  test::writeBytes("./vydata/vydb/.hidden.dat", "");
  test::writeBytes("./vydata/vydb/x\"><b>.dat", "");
  test::writeBytes("./vydata/vydb/readme.txt", "");
  std::string list = groupOptionList("shop");
  EXPECT_NE(list.find("<option value=\"shop\" selected>shop</option>\n"), std::string::npos);
  EXPECT_NE(list.find("<option value=\"blog\">blog</option>\n"), std::string::npos);
  EXPECT_NE(list.find("<option value=\"shopping\">shopping</option>\n"), std::string::npos);
  EXPECT_NE(list.find("<option value=\"notes\">notes</option>\n"), std::string::npos);
  EXPECT_EQ(list.find("hidden"), std::string::npos);
  EXPECT_EQ(list.find("<b>"), std::string::npos);
  EXPECT_EQ(list.find("readme"), std::string::npos);
  size_t selected = list.find("selected");
  EXPECT_EQ(list.find("selected", selected + 1), std::string::npos);
}

TEST_F(GroupStatsTest, UnreadableGroupDirectoryGivesNone) {
  ASSERT_EQ(::rmdir("./vydata/vydb"), 0);
  EXPECT_EQ(groupOptionList("shop"), "<option>none</option>");
}

}  // namespace
}  // namespace vy
