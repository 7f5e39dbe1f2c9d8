// The main view and the groups overview: which page shows, the counters and grades of a group,
// creating and deleting groups.
#include <ctime>
#include <filesystem>

#include "console/console.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;

// The boundaries between grades (the overview test shows a case of each kind).
TEST(Grades, StatusAndCheckGradesFollowTheirThresholds) {
  EXPECT_EQ((std::vector<int>{statusGrade(19, 20, false), statusGrade(6, 10, false),
                              statusGrade(5, 10, false), statusGrade(0, 0, false),
                              statusGrade(0, 4, true), statusGrade(4, 4, true)}),
            (std::vector<int>{2, 4, 5, 1, 1, 6}));
  EXPECT_EQ((std::vector<int>{checkGrade(10.4f, 10), checkGrade(11.0f, 10), checkGrade(12.0f, 10),
                              checkGrade(14.0f, 10), checkGrade(19.0f, 10)}),
            (std::vector<int>{1, 2, 3, 4, 5}));
}

class GroupsTest : public test::WorkingConsoleTest {
 protected:
  // A group checked every 10 minutes whose i-th URL has the flags urls[i].second and was last
  // checked urls[i].first seconds ago (0: never).
  static GroupConfig group(const std::vector<std::pair<long, uint8_t>>& urls) {
    GroupConfig config = groupOf({});
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    for (size_t i = 0; i < urls.size(); ++i) {
      const auto age = static_cast<uint32_t>(urls[i].first);
      addUrl(config, "http://site.test/" + std::to_string(i), urls[i].second, age ? now - age : 0);
    }
    return config;
  }
};

TEST_F(GroupsTest, TheMainViewIsTheOnlyGroupsPageOrTheOverview) {
  std::filesystem::remove(instance_.path("vydata/vydb/general.dat"));
  ProbePage page = probe(submit({}));
  EXPECT_TRUE(page.has("header_template") && page.has("footer_template"));
  EXPECT_FALSE(page.has("grp_template"));
  storeGroup("shop", groupOf({}));
  EXPECT_EQ(probe(submit({})).value("header_template", "GROUP"), "shop");
  storeGroup("blog", groupOf({}));
  EXPECT_EQ(probe(submit({})).section("grp_template").size(), 2u);
}

TEST_F(GroupsTest, CountersAndGradesOfAGroup) {
  constexpr uint8_t kUp = kUrlUp | kUrlPresOk;
  std::vector<std::pair<long, uint8_t>> nineOfTenUp(9, {60, kUp});
  nineOfTenUp.push_back({60, 0});
  storeGroup("a-up", group(nineOfTenUp));
  storeGroup("b-banned", group({{60, kUp | kUrlCheckBan | kUrlBanFound},
                                {60, kUp | kUrlCheckBan},
                                {60, kUp | kUrlCheckBan},
                                {60, kUp | kUrlCheckBan | kUrlCheckPres}}));
  storeGroup("c-late", group({{15 * 60, kUp}, {25 * 60, kUp}}));
  storeGroup("d-never", group({{0, 0}, {0, 0}}));
  std::map<std::string, test::Values> rows;
  for (const test::Values& row : probe(submit({{"fnct", "view_groups"}})).section("grp_template"))
    rows[row.at("GRP")] = row;
  ASSERT_EQ(rows.size(), 5u);  // with "general"

  const test::Values& up = rows["a-up"];
  EXPECT_EQ(up.at("NURL") + " " + up.at("NUPTIME") + " " + up.at("UPTSEL") + " " + up.at("UPTTXT"),
            "10 9 3 fair");
  EXPECT_EQ(up.at("REALEVERCHK") + " " + up.at("CHKSEL"), "10.0 1");
  const test::Values& banned = rows["b-banned"];
  EXPECT_EQ(banned.at("NBAN") + " " + banned.at("NFNDBAN") + " " + banned.at("BANSEL"), "4 1 3");
  EXPECT_EQ(banned.at("NPRES") + " " + banned.at("NFNDPRES") + " " + banned.at("PRESSEL"),
            "1 4 0");  // 4 of 1: more present than checked, no grade
  const test::Values& late = rows["c-late"];
  EXPECT_EQ(late.at("REALEVERCHK") + " " + late.at("CHKSEL") + " " + late.at("CHKTXT"),
            "20.0 6 critical");
  const test::Values& never = rows["d-never"];
  EXPECT_EQ(never.at("REALEVERCHK") + " " + never.at("UPTSEL") + never.at("BANSEL") +
                never.at("PRESSEL") + never.at("CHKSEL"),
            "N/A 0000");
  EXPECT_EQ(rows["general"].at("EVERCHK"), "180");
}

TEST_F(GroupsTest, GroupsAreCreatedWithTheDefaultsAndDeleted) {
  ProbePage page = probe(submit({{"fnct", "add_group"}}));
  EXPECT_EQ(page.value("newgrp_template", "ACTION_UPDATE"), " selected");
  page = probe(submit({{"fnct", "view_groups"}, {"ACTION", "update"}, {"group", "shop"}}));
  EXPECT_EQ(page.value("header_template", "MSG"), "Group Updated");  // the new group's editor
  EXPECT_EQ(page.value("header_template", "EVRCHK"), "180");
  GroupConfig shop = readGroup("shop");
  EXPECT_EQ(std::tuple(shop.options, shop.moreOptions),
            std::tuple(kOptWriteLog, kMoreQueryCutPlain));
  // Creating it again changes nothing and shows the list.
  const std::string stored = groupBytes("shop");
  page = probe(submit({{"fnct", "view_groups"}, {"ACTION", "update"}, {"group", "shop"}}));
  EXPECT_EQ(page.section("grp_template").size(), 2u);
  EXPECT_EQ(page.value("header_template", "MSG"), "");
  EXPECT_EQ(groupBytes("shop"), stored);

  page = probe(submit({{"fnct", "view_groups"}, {"ACTION", "delete"}, {"group", "shop"}}));
  EXPECT_EQ(page.value("header_template", "MSG"), "Group deleted");
  EXPECT_EQ(page.section("grp_template").size(), 1u);
  EXPECT_FALSE(instance_.exists("vydata/vydb/shop.dat"));
  page = probe(submit({{"fnct", "view_groups"}, {"ACTION", "delete"}, {"group", "nosuch"}}));
  EXPECT_EQ(page.value("header_template", "MSG"), "Group deleted");
}

}  // namespace
}  // namespace vy
