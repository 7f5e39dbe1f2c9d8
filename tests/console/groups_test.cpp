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
  using enum Grade;
  EXPECT_EQ((std::vector<Grade>{statusGrade(19, 20, false), statusGrade(6, 10, false),
                                statusGrade(5, 10, false), statusGrade(0, 0, false),
                                statusGrade(0, 4, true), statusGrade(4, 4, true)}),
            (std::vector<Grade>{kGood, kPoor, kBad, kAllGood, kAllGood, kCritical}));
  EXPECT_EQ((std::vector<Grade>{checkGrade(10.4f, 10), checkGrade(11.0f, 10), checkGrade(12.0f, 10),
                                checkGrade(14.0f, 10), checkGrade(19.0f, 10)}),
            (std::vector<Grade>{kAllGood, kGood, kFair, kPoor, kBad}));
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
  // The overview after an action on a group.
  ProbePage onGroup(const char* action, const char* name) {
    return ask({{"fnct", "view_groups"}, {"ACTION", action}, {"group", name}});
  }
};

TEST_F(GroupsTest, TheMainViewIsTheOnlyGroupsPageOrTheOverview) {
  std::filesystem::remove(instance_.path("vydata/vydb/general.dat"));
  ProbePage page = ask({});
  EXPECT_TRUE(page.has("header_template") && page.has("footer_template"));
  EXPECT_FALSE(page.has("grp_template"));
  storeGroup("shop", groupOf({}));
  EXPECT_EQ(ask({}).value("header_template", "GROUP"), "shop");
  storeGroup("blog", groupOf({}));
  EXPECT_EQ(ask({}).section("grp_template").size(), 2u);
}

TEST_F(GroupsTest, EachRowShowsItsGroupsCountersAndGrades) {
  constexpr uint8_t kUp = kUrlUp | kUrlPresOk;
  std::vector<std::pair<long, uint8_t>> nineOfTenUp(9, {60, kUp});
  nineOfTenUp.push_back({60, 0});
  storeGroup("a-up", group(nineOfTenUp));
  storeGroup("b-banned", group({{60, kUp | kUrlCheckBan | kUrlBanFound},
                                {60, kUp | kUrlCheckBan},
                                {60, kUp | kUrlCheckBan},
                                {60, kUp | kUrlCheckBan | kUrlCheckPres},
                                {60, kUp | kUrlBanFound}}));
  storeGroup("c-late", group({{15 * 60, kUp}, {25 * 60, kUp}}));
  storeGroup("d-never", group({{0, 0}, {0, 0}}));
  std::map<std::string, test::Values> rows;
  for (const test::Values& row : ask({{"fnct", "view_groups"}}).section("grp_template"))
    rows[row.at("GRP")] = row;
  ASSERT_EQ(rows.size(), 5u);  // with "general"

  using test::joined;
  EXPECT_EQ(joined(rows["a-up"], {"NURL", "NUPTIME", "UPTSEL", "UPTTXT", "REALEVERCHK", "CHKSEL"}),
            "10 9 3 fair 10.0 1");
  // Only the URLs that test the texts count: a text found (or all present) on a URL that does
  // not test them is no finding.
  EXPECT_EQ(joined(rows["b-banned"], {"NBAN", "NFNDBAN", "BANSEL", "NPRES", "NFNDPRES", "PRESSEL"}),
            "4 1 3 1 1 1");
  EXPECT_EQ(joined(rows["c-late"], {"REALEVERCHK", "CHKSEL", "CHKTXT"}), "20.0 6 critical");
  EXPECT_EQ(joined(rows["d-never"], {"REALEVERCHK", "UPTSEL", "BANSEL", "PRESSEL", "CHKSEL"}),
            "N/A 0 0 0 0");
  EXPECT_EQ(rows["general"].at("EVERCHK"), "180");
}

// Creating an existing group changes nothing and shows the list instead. The group's "Settings"
// button opens the editor where texts are added, not the one that edits a selected text.
TEST_F(GroupsTest, ANewGroupGetsTheDefaultsAndItsEditorShows) {
  ProbePage page = onGroup("update", "shop");
  EXPECT_EQ(page.message(), "Group Updated");  // the new group's editor
  EXPECT_EQ(page.value("header_template", "EVRCHK"), "180");
  GroupConfig shop = readGroup("shop");
  EXPECT_EQ(std::tuple(shop.options, shop.moreOptions),
            std::tuple(kOptWriteLog, kMoreQueryCutPlain));
  const std::string stored = groupBytes("shop");
  page = onGroup("update", "shop");
  EXPECT_EQ(std::pair(page.section("grp_template").size(), page.message()),
            std::pair(size_t{2}, std::string()));
  EXPECT_EQ(groupBytes("shop"), stored);
  page = onGroup("setup", "shop");
  EXPECT_EQ(test::joined(page.line("footer_template"), {"NONEWCONT_START", "NOEDITONT_START"}, "|"),
            "|<!--");
  EXPECT_EQ(page.value("header_template", "GROUP"), "shop");
}

// A missing group is reported deleted as well. The files kept beside the
// group go with it, so a group made again under the name starts afresh.
TEST_F(GroupsTest, DeletingAGroupRemovesItsFileAndItsSideFiles) {
  onGroup("update", "shop");
  const std::vector<std::string> sideFiles = {"vydata/vyhist/shop.dat", "vydata/vydays/shop.dat",
                                              "vydata/vycert/shop.dat", "vydata/vypublic/shop.dat"};
  for (const std::string& file : sideFiles) {
    std::filesystem::create_directories(std::filesystem::path(instance_.path(file)).parent_path());
    instance_.write(file, "bytes");
  }
  ProbePage page = onGroup("delete", "shop");
  EXPECT_EQ(std::pair(page.section("grp_template").size(), page.message()),
            std::pair(size_t{1}, std::string("Group deleted")));
  EXPECT_FALSE(instance_.exists("vydata/vydb/shop.dat"));
  for (const std::string& file : sideFiles) EXPECT_FALSE(instance_.exists(file)) << file;
  EXPECT_EQ(onGroup("delete", "nosuch").message(), "Group deleted");
}

}  // namespace
}  // namespace vy
