// Error reporting: the log line, the "Software error" output and the exits.
#include "common/errors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <filesystem>

#include "tests/support/child.h"
#include "tests/support/instance.h"

namespace vy {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Runs body in a child whose working directory is dir and whose environment
// holds only the given CGI variables.
test::ChildOutcome reportIn(const std::string& dir, std::vector<std::pair<const char*, const char*>> env,
                            const std::function<void()>& body) {
  return test::runInChild([&] {
    clearenv();
    for (auto& [name, value] : env) setenv(name, value, 1);
    if (chdir(dir.c_str()) != 0) _exit(99);
    body();
  });
}

TEST(ErrorLine, HasSevenFieldsAndKeepsTheRecordOnOneLine) {
  std::string line = formatErrorLine(1700000000, 42, 2, 13, "a|b\r\nc", "vyrunner", 0);
  EXPECT_EQ(line, "1700000000|42|2|13|a!b  c|vyrunner|0\n");
  EXPECT_EQ(formatErrorLine(5, 1, 0, 0, "", "x", 1), "5|1|0|0|-|x|1\n");
}

TEST(ErrorLine, ActionTextsCoverTheTableAndUnknownCodes) {
  EXPECT_STREQ(errActionText(0), "OK");
  EXPECT_STREQ(errActionText(12), "Read from the streem");
  EXPECT_STREQ(errActionText(13), "Write to the streem");
  EXPECT_STREQ(errActionText(-1), "Unknown");
  EXPECT_STREQ(errActionText(15), "Unknown");
}

TEST(ReportError, NonFatalWebReportWritesOneLineAndPrintsNothing) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("vydata"));
  auto outcome = reportIn(dir.path(), {{"HTTP_HOST", "example.org"}}, [] {
    errno = 2;
    reportError(kErrReadFile, "./vydata/x.dat", false);
  });
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out, "");
  std::string log = slurp(dir.file("vydata/error.log"));
  ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
  auto fields = test::splitLogLine(log.substr(0, log.size() - 1));
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "1");
  EXPECT_EQ(fields[3], "2");
  EXPECT_EQ(fields[4], "./vydata/x.dat");
  EXPECT_EQ(fields[5], "vyrunner");
  EXPECT_EQ(fields[6], "0");
}

TEST(ReportError, FatalFromCronPrintsPlainTextWithoutNewlineAndExitsOne) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("vydata"));
  auto outcome = reportIn(dir.path(), {}, [] { reportError(kErrLockFile, "./vydata/a", true); });
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.out, "Software error");
}

TEST(ReportError, FatalAfterPageHeaderAddsNoSecondHeaderAndEmptyAdminLink) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("vydata"));
  auto outcome = reportIn(dir.path(), {{"REMOTE_ADDR", "127.0.0.1"}}, [] {
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
  test::TempDir dir;  // no vydata: the log cannot be opened
  auto outcome = reportIn(dir.path(), {{"HTTP_HOST", "h"}, {"SERVER_ADMIN", "root@h"}}, [] {
    errno = 0;
    reportError(15, "Malloc URLs", true);
  });
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.out.find("mailto:root@h\">root@h</a>"), std::string::npos);
  EXPECT_NE(outcome.out.find("<pre>\nError Action      :  15 - Unknown\n"
                             "Error Number      :  0 - Success\n"
                             "File/Variable/More:  Malloc URLs\n"),
            std::string::npos);
  EXPECT_NE(outcome.out.find("Unit              :  vyrunner\nIs Fatal Error    :  yes\n"),
            std::string::npos);
}

TEST(ReportError, ContentTypeIsPrintedOncePerProcess) {
  auto outcome = test::runInChild([] {
    printContentType();
    printContentType();
  });
  EXPECT_EQ(outcome.out, "Content-type: text/html\n\n");
}

}  // namespace
}  // namespace vy
