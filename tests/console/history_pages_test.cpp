// The check history in the console: the uptime column and chart of the group page, the groups
// overview's uptime, and the URL page with its ratios, charts, last checks, check-log rows and
// failed content texts.
#include "store/check_log.h"
#include "store/history.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;

// 2024-06-01 12:00:00 UTC.
constexpr std::time_t kNow = 1717243200;
constexpr std::time_t kHour = 3600;
constexpr std::time_t kDay = 86400;

constexpr const char* kShop = "http://shop.test/";
constexpr const char* kOdd = "http://odd.test/?q=<b>&x=\"1\"";

// A working console serving at kNow, with histories written at fixed times.
class HistoryPageTest : public test::WorkingConsoleTest {
 protected:
  void SetUp() override {
    WorkingConsoleTest::SetUp();
    serveAt(kNow);
  }
  // One check of url in group, appended at its own time.
  void check(const std::string& group, const std::string& url, std::time_t when, bool up,
             uint32_t ms = 100, int16_t code = 200) {
    const std::vector<std::string_view> urls = {url};
    const HistoryCheck record{static_cast<uint32_t>(when),
                              static_cast<uint8_t>(up ? kStateUp | kStatePresOk : 0),
                              up ? code : int16_t{5}, ms};
    ASSERT_TRUE(appendHistory(group, urls, url, record, when).status.ok());
  }
  void compact(const std::string& group, const std::vector<std::string_view>& urls) {
    ASSERT_TRUE(compactHistory(group, urls, kNow).status.ok());
  }
  ProbePage urlPage(const std::string& group, const std::string& url) {
    return ask({{"fnct", "view_url"}, {"group", group}, {"url", url}});
  }
};

TEST_F(HistoryPageTest, GroupPageAndOverviewShowTheThirtyDayUptime) {
  storeGroup("shop", groupOf({kShop, "http://never.test/", kOdd}));
  storeGroup("blog", groupOf({"http://blog.test/"}));
  check("shop", kShop, kNow - 40 * kDay, false);  // outside the 30 days
  check("shop", kShop, kNow - 10 * kDay, true);
  check("shop", kShop, kNow - 5 * kHour, false);
  check("shop", kShop, kNow - 2 * kHour, true);
  check("shop", kShop, kNow - kHour, true);
  check("shop", kOdd, kNow - kHour, true);
  const ProbePage group = ask({{"fnct", "view_group"}, {"group", "shop"}});
  EXPECT_EQ(group.column("url_template", "UPTIME30"),
            (std::vector<std::string>{"75.00 %", "-", "100.00 %"}));
  const std::vector<std::string> charts = group.column("url_template", "SPARK");
  ASSERT_EQ(charts.size(), 3u);
  EXPECT_EQ(charts[0].rfind("<svg class=\"spark\"", 0), 0u);
  EXPECT_NE(charts[0].find("fill=\"#d93025\""), std::string::npos) << "the failed check is marked";
  EXPECT_EQ(charts[1], "-") << "no check in the last 24 hours, no chart";
  EXPECT_EQ(charts[2].rfind("<svg class=\"spark\"", 0), 0u);
  EXPECT_EQ(charts[2].find("fill=\"#d93025\""), std::string::npos);

  const ProbePage overview = ask({{"fnct", "view_groups"}});
  std::map<std::string, std::string> uptimes;
  for (const test::Values& row : overview.section("grp_template")) {
    uptimes[row.at("GRP")] = row.at("GUPTIME30");
  }
  EXPECT_EQ(uptimes["shop"], "80.00 %");  // 4 of the 5 checks of all its URLs
  EXPECT_EQ(uptimes["blog"], "-");
}

TEST_F(HistoryPageTest, UrlPageShowsRatiosDaysAndTheNewestFiftyChecks) {
  storeGroup("shop", groupOf({kShop}));
  check("shop", kShop, kNow - 200 * kDay, true);
  check("shop", kShop, kNow - 20 * kDay, false, 900);
  check("shop", kShop, kNow - 3 * kDay, true);
  compact("shop", {kShop});  // the three become daily summaries
  for (int i = 0; i < 60; ++i) check("shop", kShop, kNow - 12 * kHour + i * 60, i % 2 == 0, i);
  const ProbePage page = urlPage("shop", kShop);
  const test::Values header = page.line("header_template");
  // 1 d: 30 of the 60 checks up; 7 d adds the day of kNow - 3 d; 30 d the down day of kNow - 20 d.
  EXPECT_EQ(test::joined(header, {"UPTIME_1D", "UPTIME_7D", "UPTIME_30D", "UPTIME_365D"}, "|"),
            "50.00 %|50.82 %|50.00 %|50.79 %");
  EXPECT_EQ(header.at("AVG1D"), "30 ms");  // (0 + ... + 59) / 60, rounded

  const std::vector<std::string> times = page.column("check_template", "RESPMS");
  ASSERT_EQ(times.size(), 50u);
  EXPECT_EQ(times.front(), "59");
  EXPECT_EQ(times.back(), "10");
  EXPECT_EQ(page.section("check_template").front().at("STATE"), "Down");
  EXPECT_EQ(page.section("check_template")[1].at("STATE"), "Up");

  const std::string& bar = header.at("BAR_DAYS");
  size_t bars = 0;
  for (size_t at = bar.find("<rect"); at != std::string::npos; at = bar.find("<rect", at + 1))
    ++bars;
  EXPECT_EQ(bars, 90u);
  EXPECT_NE(bar.find("fill=\"#d93025\"><title>2024-05-12: 0.00 %</title>"), std::string::npos);
  EXPECT_NE(bar.find("fill=\"#2e9d4f\"><title>2024-05-29: 100.00 %</title>"), std::string::npos);
  EXPECT_NE(bar.find("fill=\"#b0b7c3\"><title>2024-05-30: no checks</title>"), std::string::npos);
  EXPECT_NE(bar.find("<title>2024-06-01: 50.00 %</title>"), std::string::npos);
  // The 30-day chart scales to the slowest check of those days.
  EXPECT_NE(header.at("CHART_DAYS").find(">900 ms</text>"), std::string::npos);
}

TEST_F(HistoryPageTest, UrlPageShowsOnlyItsOwnCheckLogRowsNewestFirst) {
  storeGroup("shop", groupOf({kShop, "http://other.test/"}));
  instance_.write("vydata/vychklog/shop.log",
                  encodeCheckLogEntry({1700000000, 200, kStateUp, kShop}) +
                      encodeCheckLogEntry({1700000100, 404, 0, "http://other.test/"}) +
                      encodeCheckLogEntry({1700000200, 503, 0, kShop}));
  const ProbePage page = urlPage("shop", kShop);
  EXPECT_EQ(page.column("logrow_template", "RETCODE"), (std::vector<std::string>{"503", "200"}));
  EXPECT_EQ(page.column("logrow_template", "FNDBAN"), (std::vector<std::string>{"-", "-"}));
  EXPECT_TRUE(page.section("check_template").empty());
  EXPECT_EQ(page.value("header_template", "UPTIME_30D"), "-");
}

TEST_F(HistoryPageTest, UrlPageNamesTheContentTextThatFailed) {
  GroupConfig group;
  group.addBanContent("<b>sold out</b>");
  group.addBanContent("gone");
  group.addPresContent("price & \"cart\"");
  UrlStatus& failed = addUrl(group, kShop, kUrlUp | kUrlCheckBan | kUrlCheckPres | kUrlBanFound);
  failed.banIndex = 1;
  failed.presIndex = 0;
  addUrl(group, "http://stale.test/", kUrlUp | kUrlCheckBan | kUrlBanFound).banIndex = 4;
  addUrl(group, "http://down.test/", kUrlCheckBan | kUrlCheckPres | kUrlBanFound);
  storeGroup("shop", std::move(group));

  const ProbePage page = urlPage("shop", kShop);
  const std::vector<test::Values> texts = page.section("content_template");
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(test::joined(texts[0], {"CONTENT_KIND", "CONTENT_TEXT"}, "|"),
            "Banned text found|gone");
  EXPECT_EQ(test::joined(texts[1], {"CONTENT_KIND", "CONTENT_TEXT"}, "|"),
            "Required text missing|price &amp; &quot;cart&quot;");
  EXPECT_EQ(urlPage("shop", "http://stale.test/").value("content_template", "CONTENT_TEXT"),
            "text number 5, no longer in the group&#39;s list");
  EXPECT_FALSE(urlPage("shop", "http://down.test/").has("content_template"))
      << "a page that was down had no text to test";
}

TEST_F(HistoryPageTest, UrlOutsideTheGroupIsRefused) {
  storeGroup("shop", groupOf({kShop}));
  storeGroup("blog", groupOf({"http://blog.test/"}));
  const ProbePage refused = urlPage("shop", "http://blog.test/");
  EXPECT_FALSE(refused.has("check_template"));
  EXPECT_EQ(refused.column("url_template", "URL"), (std::vector<std::string>{kShop}));
  EXPECT_EQ(refused.message(), "Group shop has no URL &quot;http://blog.test/&quot;");
  EXPECT_EQ(urlPage("../x", kShop).message(), "Invalid group name");
  EXPECT_EQ(urlPage("nosuch", kShop).message(),
            "Group nosuch has no URL &quot;" + std::string(kShop) + "&quot;");
}

TEST_F(HistoryPageTest, UrlTextIsEscapedInThePageAndItsCharts) {
  storeGroup("shop", groupOf({kOdd}));
  check("shop", kOdd, kNow - kHour, false);
  const test::RunResult shown = submit({{"fnct", "view_url"}, {"group", "shop"}, {"url", kOdd}});
  const std::string page = body(shown);
  const std::string escaped = "http://odd.test/?q=&lt;b&gt;&amp;x=&quot;1&quot;";
  const test::Values header = test::parseProbePage(page).line("header_template");
  EXPECT_EQ(header.at("URL"), escaped);
  for (const char* chart : {"CHART_DAY", "CHART_DAYS", "BAR_DAYS"}) {
    EXPECT_NE(header.at(chart).find(escaped + "</title>"), std::string::npos) << chart;
  }
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_EQ(page.find("\"1\""), std::string::npos);
}

}  // namespace
}  // namespace vy
