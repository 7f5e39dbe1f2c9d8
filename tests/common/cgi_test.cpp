// Request parsing, form variable lookups and the text encodings.
#include "common/cgi.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/child.h"

namespace vy {
namespace {

TEST(FormVars, PairsWithEmptyAndMissingValues) {
  parseFormVars("a=1&b=&c&d=x=y");
  EXPECT_EQ(formVar("a"), "1");
  EXPECT_EQ(formVar("b"), "");
  EXPECT_EQ(formVar("c"), "");
  EXPECT_EQ(formVar("d"), "x=y");
  EXPECT_EQ(formVar("missing"), "");
  EXPECT_EQ(formVar("A"), "");  // names are case-sensitive

  EXPECT_EQ(formVarFind("b"), std::optional<std::string_view>(""));
  EXPECT_EQ(formVarFind("c"), std::optional<std::string_view>(""));
  EXPECT_EQ(formVarFind("missing"), std::nullopt);
}

TEST(FormVars, EmptyRequestGivesOnePairWithEmptyNameAndValue) {
  parseFormVars("");
  ASSERT_EQ(formVars().size(), 1u);
  EXPECT_EQ(formVars()[0].name, "");
  EXPECT_EQ(formVars()[0].value, "");
}

TEST(FormVars, NamesAndValuesAreDecoded) {
  parseFormVars("name=Jane+Doe%21&first%20name=x%26y&pct=100%");
  EXPECT_EQ(formVar("name"), "Jane Doe!");
  EXPECT_EQ(formVar("first name"), "x&y");
  EXPECT_EQ(formVar("pct"), "100%");
}

TEST(FormVars, FirstOfDuplicateNamesWinsAndIterationKeepsRequestOrder) {
  parseFormVars("x=1&y=0&x=2");
  EXPECT_EQ(formVar("x"), "1");
  EXPECT_EQ(formVarFirst(), "");
  EXPECT_EQ(formVarNext(), "x");
  EXPECT_EQ(formVarNext(), "y");
  EXPECT_EQ(formVarNext(), "x");
  EXPECT_EQ(formVarNext(), "");
  EXPECT_EQ(formVarNext(), "");
  EXPECT_EQ(formVarFirst(), "");
  EXPECT_EQ(formVarNext(), "x");
}

TEST(FormVars, SelectFollowsButtonPrefixAndIndirection) {
  parseFormVars("fnct=%3Afnct&other=1&fnct%3Aview_group=Go");
  EXPECT_EQ(formVarSelect("fnct", ':'), "view_group");
  parseFormVars("fnct=%3A&fnct%3Aview_group=Go");
  EXPECT_EQ(formVarSelect("fnct", ':'), "");
  parseFormVars("fnct=%3Abtn&btnx%3Ano=1&btn%3Ayes=1");
  EXPECT_EQ(formVarSelect("fnct", ':'), "yes");
  parseFormVars("fnct=view_group");
  EXPECT_EQ(formVarSelect("fnct", ':'), "view_group");
  parseFormVars("fnct=*cmd&cmd=help");
  EXPECT_EQ(formVarSelect("fnct", ':'), "help");
  parseFormVars("fnct=*nothing");
  EXPECT_EQ(formVarSelect("fnct", ':'), "");
  parseFormVars("other=1");
  EXPECT_EQ(formVarSelect("fnct", ':'), "");
}

// Runs readRequest in a child whose standard input holds stdinText; prints
// the request text, a separator, and whatever the request left unread.
test::ChildOutcome readRequestInChild(const char* method, const char* length,
                                      const std::string& stdinText) {
  return test::runInChild([&] {
    int fds[2];
    if (::pipe(fds) != 0) _exit(9);
    if (::write(fds[1], stdinText.data(), stdinText.size()) < 0) _exit(9);
    ::close(fds[1]);
    ::dup2(fds[0], 0);
    ::setenv("REQUEST_METHOD", method, 1);
    ::setenv("QUERY_STRING", "q=query", 1);
    if (length)
      ::setenv("CONTENT_LENGTH", length, 1);
    else
      ::unsetenv("CONTENT_LENGTH");
    std::string text = readRequest();
    char rest[256] = {};
    ssize_t n = ::read(0, rest, sizeof rest - 1);
    std::printf("%s|%s|%s|%s", text.c_str(), formVar("a").c_str(), formVar("q").c_str(),
                n > 0 ? rest : "");
  });
}

TEST(ReadRequest, GetTakesTheQueryString) {
  test::ChildOutcome outcome = readRequestInChild("GET", "5", "a=body");
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out, "q=query||query|a=body");
}

TEST(ReadRequest, ShortPostBodyIsAccepted) {
  test::ChildOutcome outcome = readRequestInChild("POST", "10", "a=12");
  EXPECT_EQ(outcome.out, "a=12|12||");
}

TEST(ReadRequest, PostNeverReadsBeyondTheAnnouncedLength) {
  test::ChildOutcome outcome = readRequestInChild("POST", "3", "a=1&b=2");
  EXPECT_EQ(outcome.out, "a=1|1||&b=2");
}

TEST(ReadRequest, MissingOrNegativeLengthReadsNothing) {
  EXPECT_EQ(readRequestInChild("POST", nullptr, "a=1").out, "|||a=1");
  EXPECT_EQ(readRequestInChild("POST", "-5", "a=1").out, "|||a=1");
}

TEST(Encodings, UrlDecodeTakesEscapesWithoutValidation) {
  std::string text = "a+b%41%6a";
  EXPECT_EQ(urlDecode(text), "a bAj");
  text = "%zz";  // 'Z' - 55 = 35, and 35 * 16 + 35 = 595, modulo 256 is 83
  EXPECT_EQ(urlDecode(text), "S");
  text = "x%4";
  EXPECT_EQ(urlDecode(text), "x%4");
  text = "%";
  EXPECT_EQ(urlDecode(text), "%");
}

TEST(Encodings, UrlEncodeKeepsOnlyLettersDigitsDotAndDash) {
  EXPECT_EQ(urlEncode("a b/c.d-e"), "a%20b%2fc.d-e");
  EXPECT_EQ(urlEncode("x_y~z?q=1&r\n"), "x%5fy%7ez%3fq%3d1%26r%0a");
  EXPECT_EQ(urlEncode("\xc3\xa9"), "%c3%a9");
  EXPECT_EQ(urlEncode(""), "");
}

TEST(Encodings, HtmlEscapeReplacesTheFourSpecials) {
  EXPECT_EQ(htmlEscape("<a href=\"x.html\">&</a> it's"),
            "&lt;a href=&quot;x.html&quot;&gt;&amp;&lt;/a&gt; it's");
  EXPECT_EQ(htmlEscape(""), "");
}

TEST(Encodings, ShortTextHelpers) {
  std::string text = "a,b,,c,";
  EXPECT_EQ(removeChar(text, ','), "abc");
  EXPECT_EQ(countFields("", ','), 0);
  EXPECT_EQ(countFields("word", ','), 1);
  EXPECT_EQ(countFields("a,b,c", ','), 3);
  EXPECT_EQ(countFields(",", ','), 2);
  EXPECT_EQ(safeRunLength("www.ex-ample.com/path"), 16u);
  EXPECT_EQ(safeRunLength("_x"), 0u);
  EXPECT_EQ(safeRunLength(""), 0u);
}

int g_runs = 0;
void countRun() { ++g_runs; }
void failRun() { ADD_FAILURE() << "wrong handler"; }

TEST(DispatchCommand, RunsTheFirstMatchAndNothingForAnUnknownCommand) {
  constexpr CommandEntry kTable[] = {
      {"view", countRun}, {"view", failRun}, {"edit", failRun}, {nullptr, nullptr}};
  g_runs = 0;
  EXPECT_EQ(dispatchCommand("view", kTable), 0);
  EXPECT_EQ(g_runs, 1);
  EXPECT_EQ(dispatchCommand("nope", kTable), 1);
  EXPECT_EQ(dispatchCommand("", kTable), 1);
  EXPECT_EQ(g_runs, 1);
}

}  // namespace
}  // namespace vy
