// The check history the worker writes after each check and reads out with "history" and
// "uptime".
#include "runner/history_report.h"

#include <algorithm>
#include <ctime>
#include <regex>
#include <sstream>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::answerWith;
using test::FakeServer;
using test::httpReplyText;
using test::LogLines;
using test::ServiceTest;

// The lines of "history" as "<url> <state> <code>", their times checked to lie in [from, to]
// and to run oldest first.
std::vector<std::string> historyLines(const std::string& out, long from, long to) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  long time = 0, previous = from, ms = 0;
  std::string url, state, code;
  while (in >> time >> url >> state >> code >> ms) {
    EXPECT_TRUE(time >= previous && time <= to) << time;
    previous = time;
    lines.push_back(url + " " + state + " " + code);
  }
  return lines;
}

// An up and a down page, checked by a check run and by checkurl, then read out; removing the
// group removes its history.
TEST_F(ServiceTest, ChecksOfRunsAndCheckurlAreReadOutAsHistoryAndUptime) {
  FakeServer site(answerWith([](const std::string& request) {
    return request.rfind("GET /down ", 0) == 0 ? httpReplyText("500 Internal Server Error", "")
                                               : httpReplyText("200 OK", "");
  }));
  const std::string up = site.url("/up"), down = site.url("/down");
  storeGroup("shop", groupOf({up, down}, -1));  // a negative interval: due once, never checked
  const long start = std::time(nullptr);
  ASSERT_EQ(instance_.runWorker({"checkgroup", "shop"}, {}, "", 60).exitCode, 0);
  checkurl("shop", up);
  checkurl("shop", up);
  checkurl("shop", down);
  const long end = std::time(nullptr);

  using Lines = std::vector<std::string>;
  const std::string upLine = up + " 5 200", downLine = down + " 0 500";
  Lines lines = historyLines(service({"history", "shop"}).out, start, end);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (Lines{downLine, downLine, upLine, upLine, upLine}));  // "/d" before "/u"
  EXPECT_EQ(historyLines(service({"history", "shop", down}).out, start, end),
            (Lines{downLine, downLine}));

  const std::string uptime = service({"uptime", "shop"}).out;
  const std::regex expected(std::regex_replace(up, std::regex("[.]"), "\\.") +
                            " 1d=1\\.0000 7d=1\\.0000 30d=1\\.0000 365d=1\\.0000 avg1d=\\d+\n" +
                            std::regex_replace(down, std::regex("[.]"), "\\.") +
                            " 1d=0\\.0000 7d=0\\.0000 30d=0\\.0000 365d=0\\.0000 avg1d=\\d+\n");
  EXPECT_TRUE(std::regex_match(uptime, expected)) << uptime;
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});

  ASSERT_TRUE(instance_.exists("vydata/vyhist/shop.dat"));
  EXPECT_EQ(service({"delgroup", "shop"}).exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vyhist/shop.dat"));
}

// Without a group argument checkurl checks with the text's own settings: only a URL the stored
// group holds goes into that group's history.
TEST_F(ServiceTest, CheckurlOfATextKeepsHistoryOnlyForUrlsOfTheStoredGroup) {
  FakeServer site(answerWith(httpReplyText("200 OK", "")));
  storeGroup("general", groupOf({site.url("/a")}));
  EXPECT_EQ(instance_.runWorker({"checkurl"}, {}, "url=" + site.url("/other") + "\n").exitCode, 5);
  EXPECT_FALSE(instance_.exists("vydata/vyhist/general.dat"));
  EXPECT_EQ(instance_.runWorker({"checkurl"}, {}, "url=" + site.url("/a") + "\n").exitCode, 5);
  EXPECT_EQ(historyLines(service({"history"}).out, 0, std::time(nullptr)).size(), 1u);
}

TEST(UptimeLinesTest, AUrlWithoutChecksShowsDashes) {
  std::vector<UrlHistory> histories(1);
  histories[0].url = "http://a.test/";
  EXPECT_EQ(formatUptimeLines(histories, 1'700'000'000),
            "http://a.test/ 1d=- 7d=- 30d=- 365d=- avg1d=-\n");
}

TEST(HistoryLinesTest, ChecksOfAllUrlsAreMergedOldestFirst) {
  std::vector<UrlHistory> histories(2);
  histories[0].url = "http://a.test/";
  histories[0].checks = {{.time = 100, .state = 5, .statusCode = 200, .responseMs = 7},
                         {.time = 300, .state = 0, .statusCode = 500, .responseMs = 9}};
  histories[1].url = "http://b.test/";
  histories[1].checks = {{.time = 100, .state = 0, .statusCode = -3, .responseMs = 0},
                         {.time = 200, .state = 5, .statusCode = 200, .responseMs = 12}};
  EXPECT_EQ(formatHistoryLines(histories),
            "100 http://a.test/ 5 200 7\n100 http://b.test/ 0 -3 0\n"
            "200 http://b.test/ 5 200 12\n300 http://a.test/ 0 500 9\n");
}

}  // namespace
}  // namespace vy
