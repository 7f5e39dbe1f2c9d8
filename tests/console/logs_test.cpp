// The check log and error log pages, and the commands that clear them.
#include <regex>

#include "common/text.h"
#include "store/check_log.h"
#include "store/settings.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;
using test::Values;

class LogsTest : public test::WorkingConsoleTest {
 protected:
  ProbePage checkLog(const std::string& group) {
    return ask({{"fnct", "view_checklog"}, {"group", group}});
  }
};

std::string record(uint32_t time, int16_t status, uint8_t flags, const std::string& url) {
  return encodeCheckLogEntry({time, status, flags, url});
}

// A missing or empty log shows no rows.
TEST_F(LogsTest, CheckLogRowsShowTheRecordsBeforeACutOne) {
  for (const std::string log : {"missing", "empty"}) {
    if (log == "empty") instance_.write("vydata/vychklog/general.log", "");
    ProbePage page = checkLog("general");
    EXPECT_TRUE(page.has("header_template") && page.has("footer_template")) << log;
    EXPECT_FALSE(page.has("temp_template")) << log;
  }
  instance_.write("vydata/vychklog/general.log",
                  record(1700000000, -3, kStateUp | kStateBanFound | kStatePresOk, "http://a/<b>") +
                      record(1700000060, 404, 0, "http://b/") + "\x01\x02\x03\x04\x05\x06\x07");
  std::vector<Values> rows = checkLog("general").section("temp_template");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(test::joined(rows[0], {"URL", "RETCODE", "UPTIME", "FNDBAN", "FNDPRES"}),
            "http://a/&lt;b&gt; -3 Yes Yes Yes");
  EXPECT_EQ(test::joined(rows[1], {"RETCODE", "UPTIME", "FNDBAN", "FNDPRES"}), "404 No No No");
  EXPECT_EQ(rows[0].at("TIMECHK").size(), 24u);
}

// The content columns follow the URL's current switches; a URL the group no longer holds shows
// what was recorded.
TEST_F(LogsTest, CheckLogShowsADashForTextsTheUrlDoesNotTest) {
  GroupConfig shop;
  addUrl(shop, "http://plain/", 0);
  addUrl(shop, "http://ban/", kUrlCheckBan);
  addUrl(shop, "http://pres/", kUrlCheckPres);
  storeGroup("shop", std::move(shop));
  constexpr uint8_t kUpAndPresent = kStateUp | kStatePresOk;
  instance_.write("vydata/vychklog/shop.log",
                  record(1, 200, kUpAndPresent, "http://plain/") +
                      record(2, 200, kUpAndPresent | kStateBanFound, "http://ban/") +
                      record(3, 200, kStateUp, "http://pres/") +
                      record(4, 200, kUpAndPresent, "http://gone/"));
  std::string shown;
  for (const Values& row : checkLog("shop").section("temp_template")) {
    shown += test::joined(row, {"UPTIME", "FNDBAN", "FNDPRES"}) + "|";
  }
  EXPECT_EQ(shown, "Yes - -|Yes Yes -|Yes - No|Yes No Yes|");
}

TEST_F(LogsTest, AnUnreadableCheckLogIsAFatalReport) {
  std::filesystem::create_directory(instance_.path("vydata/vychklog/general.log"));
  serveByProgram();
  const test::RunResult result = submit({{"fnct", "view_checklog"}, {"group", "general"}});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(body(result).find("Software error"), std::string::npos);
  EXPECT_EQ(body(result).find("@header_template"), std::string::npos);
  EXPECT_TRUE(std::regex_search(instance_.read("vydata/error.log"),
                                std::regex("\\|1\\|[0-9]+\\|\\./vydata/vychklog/general\\.log\\|"
                                           "vyconsole\\|1\n")))
      << instance_.read("vydata/error.log");
}

// With daylight saving off the zone is its hours and minutes (the zones are tested with the
// settings record; this is what a page makes of one).
TEST_F(LogsTest, CheckTimesAreShownInAZoneOfHalfAnHour) {
  instance_.write("vydata/vychklog/general.log", record(1700049600, 200, kStateUp, "http://a/"));
  Settings settings = defaultSettings("console.test");
  settings.setFlag(kFlagDaylightSaving, false);
  settings.zoneOffset = -3 * 3600;
  settings.zoneMinutes = 30;
  storeSettings(settings);
  EXPECT_EQ(checkLog("general").value("temp_template", "TIMECHK"), "Wed Nov 15 08:30:00 2023");
}

TEST_F(LogsTest, TheErrorTableShowsEveryFieldOfALine) {
  instance_.write("vydata/error.log",
                  "1700000000|987|1|2|./vydata/vydb/<x>.dat|vyconsole|1\n"
                  "1700000001|5|125|0|a|vyrunner|0\n"
                  "1700000002|6|15|0|b|vyrunner|0\n"
                  "not a log line\n"
                  "1700000003|7|1|0|" +
                      std::string(400, 'p') + "|vyrunner|1\n" +
                      "1700000004|8|2|0|a|b|vyconsole|0\n");  // a "|" of a hand-written detail
  const std::string page = body(submit({{"fnct", "view_error"}}));
  const std::string shown[] = {
      formatAlloc("%-24s   %-15s   %-20s   %-15s   %-9s %-6s %-5s", "Time", "Module", "Action",
                  "Where", "ErrNo", "Line", "Fatal"),
      "] [vyconsole      ] [Read file           ] [./vydata/vydb/&lt;x&gt;.dat] "
      "[No such file or directory] [ 987] [Yes]",
      "[Corrupted file (125)]", "[15                  ]",
      // A line that does not parse keeps the numbers of the line before, with empty texts.
      "] [               ] [15                  ] [               ] [Success] [   6] [No ]",
      // A line of any length is one row, its detail shown to 63 characters.
      "] [vyrunner       ] [Read file           ] [" + std::string(63, 'p') +
          "] [Success] [   7] [Yes]",
      "] [vyconsole      ] [Write file          ] [a|b            ] [Success] [   8] [No ]"};
  for (const std::string& text : shown) {
    EXPECT_NE(page.find(text), std::string::npos) << text << " in\n" << page;
  }
  size_t rows = 0;
  for (size_t at = page.find("\n["); at != std::string::npos; at = page.find("\n[", at + 1)) ++rows;
  EXPECT_EQ(rows, 6u);
}

// The check log leads to its group's page, the error log to the main view; with no log left
// clearing does the same again.
TEST_F(LogsTest, ClearingALogRemovesItAndLeadsBackToThePageItBelongsTo) {
  instance_.write("vydata/vychklog/general.log", record(1, 200, kStateUp, "http://a/"));
  for (int round = 0; round < 2; ++round) {
    ProbePage page = ask({{"fnct", "clear_checklog"}, {"group", "general"}});
    EXPECT_FALSE(instance_.exists("vydata/vychklog/general.log"));
    EXPECT_EQ(page.value("header_template", "GROUP"), "general");
    EXPECT_EQ(page.message(), "Check Log Has Been Cleared");
  }
  instance_.write("vydata/error.log", "1|1|1|1|x|y|0\n");
  ProbePage page = ask({{"fnct", "clear_error"}});
  EXPECT_FALSE(instance_.exists("vydata/error.log"));
  EXPECT_EQ(test::joined(page.line("header_template"), {"GROUP", "MSG", "NOERR"}, "|"),
            "general|Error Log Has Been Cleared|disabled");  // the only group's page
  storeGroup("shop", GroupConfig());
  page = ask({{"fnct", "clear_error"}});
  EXPECT_EQ(page.section("grp_template").size(), 2u);
  EXPECT_EQ(page.message(), "Error Log Has Been Cleared");
}

}  // namespace
}  // namespace vy
