// The check log and error log pages, and the commands that clear them.
#include "common/text.h"
#include "store/check_log.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;
using test::Values;
using LogsTest = test::WorkingConsoleTest;

std::string record(uint32_t time, int16_t status, uint8_t flags, const std::string& url) {
  return encodeCheckLogEntry({time, status, flags, url});
}

TEST_F(LogsTest, CheckLogRowsShowFlagsAndSignedStatusAndACutRecordEndsTheLog) {
  instance_.write("vydata/vychklog/general.log",
                  record(1700000000, -3, kStateUp | kStateBanFound | kStatePresOk, "http://a/<b>") +
                      record(1700000060, 404, 0, "http://b/") + "\x01\x02\x03\x04\x05\x06\x07");
  auto view = [&] { return ask({{"fnct", "view_checklog"}, {"group", "general"}}); };
  std::vector<Values> rows = view().section("temp_template");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(test::joined(rows[0], {"URL", "RETCODE", "UPTIME", "FNDBAN", "FNDPRES"}),
            "http://a/&lt;b&gt; -3 Yes Yes Yes");
  EXPECT_EQ(test::joined(rows[1], {"RETCODE", "UPTIME", "FNDBAN", "FNDPRES"}), "404 No No No");
  EXPECT_EQ(rows[0].at("TIMECHK").size(), 24u);

  instance_.write("vydata/vychklog/general.log", "");
  ProbePage page = view();
  EXPECT_TRUE(page.has("header_template") && page.has("footer_template"));
  EXPECT_FALSE(page.has("temp_template"));
}

TEST_F(LogsTest, TheErrorTableShowsEveryFieldOfALine) {
  instance_.write("vydata/error.log",
                  "1700000000|987|1|2|./vydata/vydb/<x>.dat|vyconsole|1\n"
                  "1700000001|5|125|0|a|vyrunner|0\n"
                  "1700000002|6|15|0|b|vyrunner|0\n"
                  "not a log line\n");
  const std::string page = body(submit({{"fnct", "view_error"}}));
  const std::string shown[] = {
      formatAlloc("%-24s   %-15s   %-20s   %-15s   %-9s %-6s %-5s", "Time", "Module", "Action",
                  "Where", "ErrNo", "Line", "Fatal"),
      "] [vyconsole      ] [Read file           ] [./vydata/vydb/&lt;x&gt;.dat] "
      "[No such file or directory] [ 987] [Yes]",
      "[Corrupted file (125)]", "[15                  ]",
      // A line that does not parse keeps the numbers of the line before, with empty texts.
      "] [               ] [15                  ] [               ] [Success] [   6] [No ]"};
  for (const std::string& text : shown) {
    EXPECT_NE(page.find(text), std::string::npos) << text << " in\n" << page;
  }
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
