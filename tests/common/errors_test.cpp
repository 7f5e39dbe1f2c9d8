// Error reporting: the log line, the "Software error" output and the exits.
#include "common/errors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/files.h"
#include "tests/support/child.h"

namespace vy {
namespace {

using Env = std::vector<std::pair<const char*, const char*>>;

// Runs report in a child in a fresh directory (with vydata/ for the log only when logWritable),
// with errno 2 and nothing but env in the environment: "<exit status>:<printed text>".
std::string reportIn(bool logWritable, const Env& env, const std::function<void()>& report,
                     std::string* log = nullptr) {
  test::TempDir dir;
  if (logWritable) std::filesystem::create_directory(dir.file("vydata"));
  test::RunResult outcome = test::runInChild([&] {
    clearenv();
    for (auto& [name, value] : env) setenv(name, value, 1);
    if (chdir(dir.path().c_str()) != 0) _exit(99);
    errno = 2;
    report();
  });
  if (log) *log = readWholeFile(dir.file("vydata/error.log"));
  return std::to_string(outcome.exitCode) + ":" + outcome.out;
}

std::string softwareErrorPage(const std::string& admin, const std::string& pageSoFar = "") {
  return "Content-type: text/html\n\n" + pageSoFar +
         "<H1>Software error.</H1>\nFor help, please send mail to this "
         "site's webmaster <a href=\"mailto:" +
         admin + "\">" + admin +
         "</a><br>\n<br>If you are webmaster of this site, more information you can see in error "
         "log.\n";
}

TEST(ErrorLog, SevenSanitisedFieldsOnOneLineAndANonFatalReportWritesOneAndPrintsNothing) {
  EXPECT_EQ(formatErrorLine(1700000000, 42, ErrAction::kWriteFile, 13, "a|b\r\nc", "s|u\n", false),
            "1700000000|42|2|13|a!b  c|s!u |0\n");
  EXPECT_EQ(formatErrorLine(5, 1, ErrAction::kOk, 0, "", "x", true), "5|1|0|0|-|x|1\n");
  EXPECT_EQ(formatErrorLine(5, 1, ErrAction::kOk, 0, std::string(5000, 'd'), "x", false),
            "5|1|0|0|" + std::string(kMaxLogFieldBytes, 'd') + "|x|0\n");
  std::string log;
  auto report = [] { reportError(ErrAction::kReadFile, "./vydata/x|y\n.dat"); };
  EXPECT_EQ(reportIn(true, {{"HTTP_HOST", "example.org"}}, report, &log), "0:");
  // The time and the line first, then the fixed fields.
  const size_t fixed = log.find('|', log.find('|') + 1);
  ASSERT_NE(fixed, std::string::npos) << log;
  EXPECT_EQ(log.substr(0, fixed).find_first_not_of("0123456789|"), std::string::npos) << log;
  EXPECT_EQ(log.substr(fixed), "|1|2|./vydata/x!y .dat|vyrunner|0\n");
}

TEST(ReportError, FatalExitsOneWithPlainTextOrOnePageAndTheDetailWhenTheLogIsLost) {
  EXPECT_EQ(reportIn(true, {}, [] { reportFatal(ErrAction::kLockFile, "./vydata/a"); }),
            "1:Software error");
  auto afterPageBegan = [] {
    printContentType();
    std::fputs("<p>partial", stdout);
    reportFatal(ErrAction::kReadFile, "x");
  };
  EXPECT_EQ(reportIn(true, {{"REMOTE_ADDR", "127.0.0.1"}}, afterPageBegan),
            "1:" + softwareErrorPage("", "<p>partial"));
  auto lostLine = [] {
    reportError(static_cast<ErrAction>(15), "Malloc URLs",
                {.fatal = true, .source = "vyconsole", .line = 77});
  };
  EXPECT_EQ(reportIn(false, {{"HTTP_HOST", "h"}, {"SERVER_ADMIN", "root@h"}}, lostLine),
            "1:" + softwareErrorPage("root@h") +
                "<pre>\nError Action      :  15 - Unknown\nError Number      :  2 - No such file "
                "or directory\nFile/Variable/More:  Malloc URLs\nLine              :  77\nSource   "
                "         :  vyconsole\nUnit              :  vyrunner\nIs Fatal Error    :  yes\n");
}

// The detail may be a stranger's text (the console's unknown command): with the log lost it is
// shown, and on a web page it and every other text of the page are escaped.
TEST(ReportError, EveryTextOfTheWebPageIsEscapedAndThePlainTextKeepsItsBytes) {
  const std::string markup = "<script>alert('1')</script>&\"";
  const std::string escaped = "&lt;script&gt;alert(&#39;1&#39;)&lt;/script&gt;&amp;&quot;";
  auto lostLine = [&] {
    reportError(ErrAction::kExecution, markup, {.fatal = true, .source = markup});
  };
  const std::string page =
      reportIn(false, {{"HTTP_HOST", "h"}, {"SERVER_ADMIN", markup.c_str()}}, lostLine);
  // The mailto link and the detail are also checked through the console's unknown command.
  EXPECT_EQ(page.find("<script"), std::string::npos) << page;
  EXPECT_NE(page.find("Source            :  " + escaped + "\n"), std::string::npos) << page;

  const std::string text = reportIn(false, {{"SERVER_ADMIN", markup.c_str()}}, lostLine);
  EXPECT_EQ(text.rfind("1:Software error\nError Action      :  5 - Execution file\n", 0), 0u)
      << text;
  EXPECT_NE(text.find("File/Variable/More:  " + markup + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Source            :  " + markup + "\n"), std::string::npos) << text;

  // In the signal handler's fixed buffer an entity is written whole or not at all.
  char buffer[10];
  ReportText fixed(buffer, sizeof buffer);
  fixed.add("abcdefg");
  fixed.addHtml("x<y");
  EXPECT_EQ(fixed.view(), "abcdefgx");
}

}  // namespace
}  // namespace vy
