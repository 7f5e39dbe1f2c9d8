// The content pattern language.
#include "runner/match_content.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

namespace vy {
namespace {

bool matches(std::string_view page, std::string_view pattern) {
  return matchContent(page, pattern) == ContentMatch::kMatched;
}

// Each pattern with the pages it matches and the pages it misses.
TEST(MatchContent, LiteralsAreFoundInOrderAndCommandsTestTheTextsOfTheirRegion) {
  using Pages = std::vector<const char*>;
  const std::tuple<const char*, Pages, Pages> cases[] = {
      {"a[b]c", {"a b c"}, {"c b a"}},
      {"x[x]", {}, {"x"}},  // the next search starts after the last match
      {"a[]c", {"abxcd"}, {}},
      {"ab]cd", {}, {"cd ab"}},  // unmatched brackets still split
      {"ab[cd", {"abxcd"}, {}},
      {"<table[~=('<tr','</tr')]</table",
       {"<table><tr>1</tr><tr>2</tr></table>", "<tr><table><tr></tr></table><tr>"},
       {"<table><tr>1</tr><tr>2</table>"}},
      {"[~>('a','b')]", {"a a a b"}, {}},
      {"[~<('a','b')]", {}, {"a a a b"}},
      {"[~%('a','b')]", {"a a a b"}, {}},
      {"[~?('a','b')]", {}, {"b b a"}},
      {"[~?('a')]", {"a"}, {}},
      {"<title>[~-'error']</title>", {"<title>x</title>error"}, {"<title>an error</title>"}},
      {"<title>[~+'ok']</title>", {}, {"<title>no</title> ok"}},
      {"[~+'head']body", {"header body"}, {"body header"}},  // before the first literal
      {"</body>[~!]", {"<body>x</body>\n", "</body>junk</body>"}, {"<body>x</body>\n\n"}},
      {"a[~#whatever]c", {"abc"}, {}},
      {"[~]", {"abc"}, {}},
      {"[~+", {"abc"}, {}}};
  for (const auto& [pattern, matched, missed] : cases) {
    for (bool expected : {true, false}) {
      for (const char* page : expected ? matched : missed) {
        EXPECT_EQ(matches(page, pattern), expected) << pattern << " on " << page;
      }
    }
  }
}

// The searches under the patterns against the plain definitions, on pages of
// a small alphabet where false starts abound (more than the fast search
// tolerates before it hands over to memmem).
TEST(MatchContent, SearchesAndCountsAgreeWithThePlainDefinitionsOnEveryKindOfPage) {
  std::srand(7);
  auto randomText = [](size_t size, const char* alphabet, size_t letters) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += alphabet[std::rand() % letters];
    return text;
  };
  auto count = [](const std::string& page, const std::string& needle) {
    long n = 0;
    for (size_t at = page.find(needle); at != std::string::npos;
         at = page.find(needle, at + needle.size())) {
      ++n;
    }
    return n;
  };
  for (int round = 0; round < 3000; ++round) {
    const size_t letters = 2 + round % 3;
    std::string page = randomText(static_cast<size_t>(std::rand() % 3000), "aab<zq", letters);
    if (round % 7 == 0) page.assign(5000, 'a').append("ab");  // false starts everywhere
    const std::string a = randomText(1 + std::rand() % 6, "aab<zq", letters);
    const std::string b = randomText(1 + std::rand() % 4, "aab<zq", letters);
    SCOPED_TRACE(page + " | " + a + " | " + b);
    ASSERT_EQ(matches(page, a), page.find(a) != std::string::npos);
    ASSERT_EQ(matches(page, "[~-'" + a + "']"), page.find(a) == std::string::npos);
    ASSERT_EQ(matches(page, "[~=('" + a + "','" + b + "')]"), count(page, a) == count(page, b));
  }
}

}  // namespace
}  // namespace vy
