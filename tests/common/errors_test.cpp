// Error reporting: the log line, the "Software error" output and the exits.
#include "common/errors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "common/files.h"
#include "tests/support/child.h"
#include "tests/support/instance.h"

namespace vy {
namespace {

// Runs body in a child working in a fresh directory (vydata/ holds the log
// when logWritable) whose environment holds only env; log receives the log.
test::ChildOutcome reportIn(bool logWritable, std::vector<std::pair<const char*, const char*>> env,
                            const std::function<void()>& body, std::string* log = nullptr) {
  test::TempDir dir;
  if (logWritable) std::filesystem::create_directory(dir.file("vydata"));
  test::ChildOutcome outcome = test::runInChild([&] {
    clearenv();
    for (auto& [name, value] : env) setenv(name, value, 1);
    if (chdir(dir.path().c_str()) != 0) _exit(99);
    body();
  });
  if (log) *log = readWholeFile(dir.file("vydata/error.log"));
  return outcome;
}

TEST(ErrorLine, SevenFieldsOnOneLineWhateverTheDetailAndSourceHold) {
  EXPECT_EQ(formatErrorLine(1700000000, 42, 2, 13, "a|b\r\nc", "s|u\n", 0),
            "1700000000|42|2|13|a!b  c|s!u |0\n");
  EXPECT_EQ(formatErrorLine(5, 1, 0, 0, "", "x", 1), "5|1|0|0|-|x|1\n");
}

TEST(ReportError, NonFatalWebReportWritesExactlyOneLineAndPrintsNothing) {
  std::string log;
  test::ChildOutcome outcome = reportIn(
      true, {{"HTTP_HOST", "example.org"}},
      [] {
        errno = 2;
        reportError(kErrReadFile, "./vydata/x|y\n.dat", false);
      },
      &log);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out, "");
  ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  auto fields = test::splitLogLine(log.substr(0, log.size() - 1));
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 2, fields.end()),
            (std::vector<std::string>{"1", "2", "./vydata/x!y .dat", "vyrunner", "0"}));
}

TEST(ReportError, FatalOutsideAWebRequestPrintsPlainTextAndExitsOne) {
  auto outcome = reportIn(true, {}, [] { reportError(kErrLockFile, "./vydata/a", true); });
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.out, "Software error");
}

TEST(ReportError, FatalAfterThePageBeganAddsNoSecondContentType) {
  auto outcome = reportIn(true, {{"REMOTE_ADDR", "127.0.0.1"}}, [] {
    printContentType();
    std::fputs("<p>partial", stdout);
    reportError(kErrReadFile, "x", true);
  });
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.out,
            "Content-type: text/html\n\n<p>partial<H1>Software error.</H1>\nFor help, please send "
            "mail to this site's webmaster <a href=\"mailto:\"></a><br>\n<br>If you are webmaster "
            "of this site, more information you can see in error log.\n");
}

TEST(ReportError, LostLogLineShowsTheDetailBlock) {
  auto outcome = reportIn(false, {{"HTTP_HOST", "h"}, {"SERVER_ADMIN", "root@h"}}, [] {
    errno = 0;
    reportError(15, "Malloc URLs", 77, 1, "vyconsole", kShowIfFatal, 1, kErrorLogPath);
  });
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(
      outcome.out,
      "Content-type: text/html\n\n<H1>Software error.</H1>\nFor help, please send mail to "
      "this site's webmaster <a href=\"mailto:root@h\">root@h</a><br>\n<br>If you are "
      "webmaster of this site, more information you can see in error log.\n<pre>\n"
      "Error Action      :  15 - Unknown\nError Number      :  0 - Success\n"
      "File/Variable/More:  Malloc URLs\nLine              :  77\n"
      "Source            :  vyconsole\nUnit              :  vyrunner\nIs Fatal Error    :  yes\n");
}

}  // namespace
}  // namespace vy
