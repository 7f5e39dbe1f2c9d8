// Request parsing, form variable lookups, the text encodings and the page templates.
#include "common/cgi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/templates.h"
#include "tests/support/child.h"

namespace vy {
namespace {

TEST(FormVars, EmptyAndMissingValuesDecodingAndDuplicateNames) {
  Form form;
  ASSERT_EQ(parseForm("a=1&b=&c&name=Jane+Doe%21&pct=100%&cut=x%4&a=2", form), RequestRead::kOk);
  const std::pair<const char*, const char*> values[] = {
      {"a", "1"}, {"b", ""}, {"c", ""}, {"name", "Jane Doe!"}, {"pct", "100%"}, {"cut", "x%4"}};
  for (auto [name, value] : values) EXPECT_EQ(form.find(name), value) << name;
  EXPECT_EQ(form.find("missing"), std::nullopt);
}

TEST(FormVars, SelectFollowsTheButtonPrefixTheIndirectionOrTakesThePlainValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"fnct=%3Afnct&other=1&fnct%3Aview_group=Go", "view_group"},
      {"fnct=%3Abtn&btnx%3Ano=1&btn%3Ayes=1", "yes"},
      {"fnct=*cmd&cmd=help", "help"},
      {"fnct=*nothing", ""},
      {"fnct=view_group", "view_group"}};
  for (auto [request, command] : cases) {
    Form form;
    ASSERT_EQ(parseForm(request, form), RequestRead::kOk);
    EXPECT_EQ(form.select("fnct", ':'), command) << request;
  }
}

// readRequest in a child reading body on stdin: "request text|variable a|what stayed unread".
std::string readRequestInChild(const char* method, const char* length, const std::string& body) {
  return test::runInChild([&] {
           char path[] = "/tmp/vy-body-XXXXXX";  // a file: a body may be larger than a pipe holds
           const int fd = mkstemp(path);
           if (fd < 0 || write(fd, body.data(), body.size()) < 0) _exit(9);
           unlink(path);
           lseek(fd, 0, SEEK_SET);
           dup2(fd, 0);
           setenv("REQUEST_METHOD", method, 1);
           setenv("QUERY_STRING", "a=query", 1);
           setenv("CONTENT_LENGTH", length, 1);
           std::string text;
           Form form;
           if (readRequest(form, &text) != RequestRead::kOk) text = "(too large)";
           char rest[256] = {};
           std::printf("%s|%s|%s", text.c_str(), form.value("a").c_str(),
                       read(0, rest, sizeof rest - 1) >= 0 ? rest : "");
         })
      .out;
}

TEST(ReadRequest, GetTakesTheQueryAndPostAtMostTheAnnouncedBody) {
  EXPECT_EQ(readRequestInChild("GET", "5", "a=body"), "a=query|query|a=body");
  EXPECT_EQ(readRequestInChild("POST", "10", "a=12"), "a=12|12|");
  EXPECT_EQ(readRequestInChild("POST", "3", "a=1&b=2"), "a=1|1|&b=2");
  EXPECT_EQ(readRequestInChild("POST", "-5", "a=1"), "||a=1");
}

// A request of bounded size holds at most 10,000 variables; a larger one is refused before the
// rest of its body is read, and an announced length past the limit reads nothing at all.
TEST(ReadRequest, TooManyVariablesOrTooLongABodyIsRefusedWithoutReadingTheRest) {
  const std::string most = "a=1" + std::string(kMaxFormVars - 1, '&');
  EXPECT_EQ(readRequestInChild("POST", std::to_string(most.size()).c_str(), most), most + "|1|");
  std::string tooMany(200000, '&');
  tooMany += "tail";
  const std::string refused =
      readRequestInChild("POST", std::to_string(tooMany.size()).c_str(), tooMany);
  EXPECT_EQ(refused.substr(0, 13), "(too large)||");
  EXPECT_GT(refused.size(), 13u) << "the rest of the body was read";
  EXPECT_EQ(readRequestInChild("POST", std::to_string(kMaxRequestBytes + 1).c_str(), "a=1"),
            "(too large)||a=1");
  Form form;
  EXPECT_EQ(parseForm(std::string(kMaxFormVars, '&'), form), RequestRead::kTooLarge);
  EXPECT_EQ(form.vars().size(), 0u);
}

TEST(Encodings, UrlEncodingAndHtmlEscaping) {
  EXPECT_EQ(urlEncode("a b/c.d-e"), "a%20b%2fc.d-e");
  EXPECT_EQ(urlEncode("x_y\n\xc3"), "x%5fy%0a%c3");
  EXPECT_EQ(htmlEscape("<a href=\"x\">&</a> it's"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt; it's");
}

// A page section and a lone text render alike: a set value replaces, an added one keeps the
// first, an unset or lone marker vanishes and a value is never scanned again.
TEST(Substitution, MarkersBecomeTheirValuesInTextsAndPageSections) {
  TemplateVars vars;
  vars.set("NAME", "3 items");
  vars.set("NAME", "Jane");
  vars.add("A", "first");
  vars.add("A", "second");
  vars.set("V", "[#NAME#] and [#");
  vars.set("", "empty name");
  EXPECT_EQ(vars.size(), 5u);
  const std::pair<std::string, std::string> cases[] = {
      {"Hi [#NAME#] [#A#], [#UNSET#]bye", "Hi Jane first, bye"},
      {"a [# b", "a  b"},
      {"end [#", "end "},
      {"<[#V#]>", "<[#NAME#] and [#>"},
      {"a [# b [#NAME#]", "a "},
      {"[##] and [#NAME", "empty name and NAME"},
      {"", ""},
      {"#][#NAME#]#]", "#]Jane#]"}};
  std::vector<std::string> texts;
  for (const auto& [text, expected] : cases) texts.push_back(text);
  const PageTemplate page(texts);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(substituteSection(texts[i], vars), cases[i].second) << texts[i];
    char* rendered = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&rendered, &size);
    page.render(i, vars, out);
    std::fclose(out);
    EXPECT_EQ(std::string(rendered, size), cases[i].second) << texts[i];
    std::free(rendered);
  }
}

TEST(Substitution, BracketMarkersBecomeTheirValuesAndHtmlValuesAreEscaped) {
  TemplateVars vars;
  vars.add("A", "first");
  vars.set("URL", "http%3a%2f%2fx");
  EXPECT_EQ(substituteBrackets("http://h/n?u=[URL]&s=[A]&z=[nothing]", vars),
            "http://h/n?u=http%3a%2f%2fx&s=first&z=");
  EXPECT_EQ(substituteBrackets("open [ only", vars), "open  only");
  EXPECT_EQ(htmlValue("<a href=\"x\" title='y'>&</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;&lt;/a&gt;");
}

// The header, row and footer sections cut from text, joined by "|".
std::string sectionsOf(std::string text) {
  constexpr SectionMarkers kTable[] = {{"<header_template>", "</header_template>"},
                                       {"<row_template>", "</row_template>"},
                                       {"<footer_template>", "</footer_template>"}};
  PageTemplate page = cutSections(std::move(text), kTable);
  return page.section(0) + "|" + page.section(1) + "|" + page.section(2);
}

TEST(Sections, ReverseOrderMissingEndMarkersAndTheNewlineAfterTheStart) {
  EXPECT_EQ(sectionsOf("junk<footer_template>\nF\n</footer_template> x "
                       "<header_template>\n\nH</header_template>"),
            "\nH||F\n");
  EXPECT_EQ(sectionsOf("<footer_template>F tail<header_template>H<row_template>R1 R2"),
            "H|R1 R2|F tail");
}

}  // namespace
}  // namespace vy
