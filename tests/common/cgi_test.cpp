// Request parsing, form variable lookups and the text encodings.
#include "common/cgi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/child.h"

namespace vy {
namespace {

TEST(FormVars, EmptyAndMissingValuesDecodingAndDuplicateNames) {
  parseFormVars("a=1&b=&c&name=Jane+Doe%21&pct=100%&a=2");
  EXPECT_EQ(formVar("a"), "1");
  EXPECT_EQ(formVar("b"), "");
  EXPECT_EQ(formVarFind("b"), std::optional<std::string_view>(""));
  EXPECT_EQ(formVarFind("c"), std::optional<std::string_view>(""));
  EXPECT_EQ(formVarFind("missing"), std::nullopt);
  EXPECT_EQ(formVar("name"), "Jane Doe!");
  EXPECT_EQ(formVar("pct"), "100%");
}

TEST(FormVars, SelectFollowsTheButtonPrefixTheIndirectionOrTakesThePlainValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"fnct=%3Afnct&other=1&fnct%3Aview_group=Go", "view_group"},
      {"fnct=%3Abtn&btnx%3Ano=1&btn%3Ayes=1", "yes"},
      {"fnct=*cmd&cmd=help", "help"},
      {"fnct=*nothing", ""},
      {"fnct=view_group", "view_group"},
      {"other=1", ""},
  };
  for (auto [request, command] : cases) {
    parseFormVars(request);
    EXPECT_EQ(formVarSelect("fnct", ':'), command) << request;
  }
}

// readRequest in a child with body on standard input: the request text,
// the variable "a", and whatever the request left unread, separated by "|".
std::string readRequestInChild(const char* method, const char* length, const std::string& body) {
  auto child = [&] {
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], body.data(), body.size()) < 0) _exit(9);
    close(fds[1]);
    dup2(fds[0], 0);
    setenv("REQUEST_METHOD", method, 1);
    setenv("QUERY_STRING", "a=query", 1);
    setenv("CONTENT_LENGTH", length, 1);
    std::string text = readRequest();
    char rest[256] = {};
    ssize_t n = read(0, rest, sizeof rest - 1);
    std::printf("%s|%s|%s", text.c_str(), formVar("a").c_str(), n > 0 ? rest : "");
  };
  return test::runInChild(child).out;
}

TEST(ReadRequest, GetTakesTheQueryAndPostAtMostTheAnnouncedBody) {
  EXPECT_EQ(readRequestInChild("GET", "5", "a=body"), "a=query|query|a=body");
  EXPECT_EQ(readRequestInChild("POST", "10", "a=12"), "a=12|12|");
  EXPECT_EQ(readRequestInChild("POST", "3", "a=1&b=2"), "a=1|1|&b=2");
  EXPECT_EQ(readRequestInChild("POST", "-5", "a=1"), "||a=1");
}

TEST(Encodings, UrlEncodingAndHtmlEscaping) {
  EXPECT_EQ(urlEncode("a b/c.d-e"), "a%20b%2fc.d-e");
  EXPECT_EQ(urlEncode("x_y\n\xc3"), "x%5fy%0a%c3");
  EXPECT_EQ(htmlEscape("<a href=\"x\">&</a> it's"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt; it's");
  std::string text = "x%4";
  EXPECT_EQ(urlDecode(text), "x%4");
}

}  // namespace
}  // namespace vy
