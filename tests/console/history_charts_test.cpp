// The uptime texts, the folding of checks into slots and days, and the charts drawn from them,
// whatever the checks: none, one, all answered in 0 ms, the slowest time kept, many in one second.
#include "console/history_charts.h"

#include <regex>
#include <tuple>

namespace vy {
namespace {

constexpr std::time_t kChartsNow = 1717243200;  // 2024-06-01 12:00:00 UTC

HistoryCheck checkAt(std::time_t when, bool up, uint32_t ms) {
  return {static_cast<uint32_t>(when), static_cast<uint8_t>(up ? kStateUp : 0), 200, ms};
}

// Every coordinate and size of a chart lies on it: no NaN, nothing negative or outside its box.
void expectInsideItsBox(const std::string& svg) {
  std::smatch box;
  ASSERT_TRUE(std::regex_search(svg, box, std::regex("viewBox=\"0 0 ([0-9]+) ([0-9]+)\""))) << svg;
  const double width = std::stod(box[1]), height = std::stod(box[2]);
  static const std::regex kNumber("(cx|cy|x|y|x1|x2|y1|y2|width|height|points)=\"([^\"]*)\"");
  for (std::sregex_iterator it(svg.begin(), svg.end(), kNumber), end; it != end; ++it) {
    const std::string name = (*it)[1], value = (*it)[2];
    static const std::regex kPart("[^ ,]+");
    for (std::sregex_iterator part(value.begin(), value.end(), kPart); part != end; ++part) {
      const std::string text = part->str();
      ASSERT_TRUE(std::regex_match(text, std::regex("[0-9]+(\\.[0-9]+)?"))) << name << "=" << value;
      const double number = std::stod(text);
      const bool vertical = name[0] == 'y' || name == "cy" || name == "height";
      EXPECT_LE(number, vertical ? height : width) << name << "=" << value;
    }
  }
}

TEST(UptimeTextTest, PercentShowsTwoDecimalsAndNeverRoundsToAllOrNothing) {
  const std::pair<UptimeCount, const char*> cases[] = {
      {{0, 0}, "-"},
      {{5, 5}, "100.00 %"},
      {{0, 5}, "0.00 %"},
      {{2, 3}, "66.67 %"},
      {{1, 3}, "33.33 %"},
      {{9993, 10000}, "99.93 %"},
      {{99999, 100000}, "99.99 %"},
      {{1, 100000}, "0.01 %"},
  };
  for (const auto& [count, text] : cases) {
    EXPECT_EQ(uptimePercentText(count), text) << count.upChecks << "/" << count.checks;
  }
}

TEST(HistorySlotsTest, LastDayTakesChecksAfterItsStartUpToNow) {
  UrlHistory history;
  history.checks = {checkAt(kChartsNow - 86400, false, 1), checkAt(kChartsNow - 86399, true, 10),
                    checkAt(kChartsNow - 1, false, 30), checkAt(kChartsNow, true, 50),
                    checkAt(kChartsNow + 5, false, 70)};
  const std::vector<CheckSlot> slots = slotsOfLastDay(history, kChartsNow, 24);
  ASSERT_EQ(slots.size(), 24u);
  EXPECT_EQ(std::pair(slots.front().checks, slots.front().failed), std::pair(1u, 0u));
  EXPECT_EQ(std::tuple(slots.back().checks, slots.back().failed, slots.back().responseMsSum,
                       slots.back().responseMsMax),
            std::tuple(2u, 1u, 80u, 50u));
}

TEST(HistorySlotsTest, DaysAddTheirSummaryAndTheirKeptChecks) {
  const uint16_t today = static_cast<uint16_t>(kChartsNow / 86400);
  UrlHistory history;
  history.days = {{static_cast<uint16_t>(today - 2), 10, 9, 1000, 400},
                  {static_cast<uint16_t>(today - 1), 4, 4, 40, 10},
                  {static_cast<uint16_t>(today - 40), 1, 1, 1, 1}};
  history.checks = {checkAt(kChartsNow - 86400, false, 700), checkAt(kChartsNow, true, 5)};
  const std::vector<HistoryDay> days = lastDays(history, kChartsNow, 30);
  ASSERT_EQ(days.size(), 30u);
  EXPECT_EQ(days.back(), (HistoryDay{today, 1, 1, 5, 5}));
  EXPECT_EQ(days[28], (HistoryDay{static_cast<uint16_t>(today - 1), 5, 4, 740, 700}));
  EXPECT_EQ(days[27], (HistoryDay{static_cast<uint16_t>(today - 2), 10, 9, 1000, 400}));
  EXPECT_EQ(days.front(), (HistoryDay{static_cast<uint16_t>(today - 29), 0, 0, 0, 0}));
  EXPECT_EQ(dayText(today), "2024-06-01");
}

TEST(HistoryChartTest, ChartsStayInsideTheirBoxForAnyChecks) {
  const std::vector<std::vector<HistoryCheck>> cases = {
      {},
      {checkAt(kChartsNow - 60, true, 120)},
      {checkAt(kChartsNow - 600, true, 0), checkAt(kChartsNow - 300, false, 0),
       checkAt(kChartsNow - 60, true, 0)},
      {checkAt(kChartsNow - 7200, true, 1), checkAt(kChartsNow - 60, false, kHistoryMaxResponseMs)},
      {checkAt(kChartsNow - 60, true, 5), checkAt(kChartsNow - 60, false, 9),
       checkAt(kChartsNow - 60, true, 7)},
  };
  for (const std::vector<HistoryCheck>& checks : cases) {
    UrlHistory history{"http://x/", checks, {}};
    const std::vector<CheckSlot> slots = slotsOfLastDay(history, kChartsNow, 48);
    const std::vector<HistoryDay> days = lastDays(history, kChartsNow, 30);
    for (const Markup& chart : {sparkChart(slots, "x"), dayChart(slots, "x"), daysChart(days, "x"),
                                uptimeBar(days, "x")}) {
      SCOPED_TRACE(chart.html());
      expectInsideItsBox(chart.html());
      EXPECT_EQ(chart.html().find("nan"), std::string::npos);
      EXPECT_EQ(chart.html().find("inf"), std::string::npos);
    }
  }
}

TEST(HistoryChartTest, ChartsShowLoneChecksAndScaleToTheSlowest) {
  UrlHistory one{"http://x/", {checkAt(kChartsNow - 60, true, 120)}, {}};
  const std::string lone = dayChart(slotsOfLastDay(one, kChartsNow, 288), "x").html();
  EXPECT_NE(lone.find("<circle"), std::string::npos) << "a lone check is a dot";
  EXPECT_NE(lone.find(">120 ms</text>"), std::string::npos);
  EXPECT_NE(lone.find("cy=\"14\""), std::string::npos) << "the slowest is at the top";

  UrlHistory zeros{
      "http://x/", {checkAt(kChartsNow - 900, true, 0), checkAt(kChartsNow - 600, true, 0)}, {}};
  const std::string flat = dayChart(slotsOfLastDay(zeros, kChartsNow, 288), "x").html();
  EXPECT_NE(flat.find("<polyline"), std::string::npos);
  EXPECT_NE(flat.find(",118"), std::string::npos) << "0 ms lies on the baseline";

  UrlHistory none{"http://x/", {}, {}};
  EXPECT_NE(dayChart(slotsOfLastDay(none, kChartsNow, 288), "x").html().find(">no checks</text>"),
            std::string::npos);
}

TEST(HistoryChartTest, LabelsAreEscaped) {
  UrlHistory history{"x", {checkAt(kChartsNow - 60, false, 1)}, {}};
  const std::vector<HistoryDay> days = lastDays(history, kChartsNow, 2);
  const std::string svg = uptimeBar(days, "a<b>&\"c\"").html() +
                          sparkChart(slotsOfLastDay(history, kChartsNow, 4), "<script>").html();
  EXPECT_NE(svg.find("<title>a&lt;b&gt;&amp;&quot;c&quot;</title>"), std::string::npos);
  EXPECT_NE(svg.find("<title>&lt;script&gt;</title>"), std::string::npos);
  EXPECT_EQ(svg.find("<script"), std::string::npos);
}

}  // namespace
}  // namespace vy
