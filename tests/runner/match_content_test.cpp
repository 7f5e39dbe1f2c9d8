// The content pattern language on lower-cased pages.
#include "runner/match_content.h"

#include <gtest/gtest.h>

namespace vy {
namespace {

struct Case {
  const char* page;
  const char* pattern;
  int expected;
};

void expectMatches(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(matchContent(c.page, c.pattern), c.expected) << c.pattern << " on " << c.page;
  }
}

TEST(MatchContent, PlainPatternsAreSubstringsAndLiteralsAreFoundInOrder) {
  expectMatches({{"<p>price: 10</p>", "price", 1},
                 {"<p>price: 10</p>", "Price", 0},
                 {"anything", "", 1},
                 {"a b c", "a[b]c", 1},
                 {"c b a", "a[b]c", 0},
                 {"x", "x[x]", 0},  // the next search starts after the last match
                 {"abxcd", "a[]c", 1},
                 {"cd ab", "ab]cd", 0},  // unmatched brackets still split
                 {"abxcd", "ab[cd", 1}});
}

TEST(MatchContent, CountCommandsCompareTheTextsOfTheirRegion) {
  const char* table = "<table[~=('<tr','</tr')]</table";
  expectMatches({{"<table><tr>1</tr><tr>2</tr></table>", table, 1},
                 {"<table><tr>1</tr><tr>2</table>", table, 0},
                 {"<tr><table><tr></tr></table><tr>", table, 1},
                 {"a a a b", "[~>('a','b')]", 1},
                 {"a a a b", "[~<('a','b')]", 0},
                 {"a a a b", "[~%('a','b')]", 1},
                 {"b b a", "[~<('a','b')]", 1},
                 {"b b a", "[~?('a','b')]", 0},
                 {"a", "[~?('a')]", 1},
                 {"aaaa", "[~=('aa','aa')]", 1}});
}

TEST(MatchContent, PresenceAndEndingCommandsTestTheirRegion) {
  const char* banned = "<title>[~-'error']</title>";
  const char* ending = "</body>[~!]";
  expectMatches({{"<title>shop</title><p>error</p>", banned, 1},
                 {"<title>an error</title>", banned, 0},
                 {"<title>no</title> ok", "<title>[~+'ok']</title>", 0},
                 {"header body", "[~+'head']body", 1},  // before the first literal
                 {"body header", "[~+'head']body", 0},
                 {"<body>x</body>\n", ending, 1},
                 {"<body>x</body>\n\n", ending, 0},
                 {"</body>junk</body>", ending, 1},
                 {"abc", "a[~#whatever]c", 1},
                 {"abc", "[~]", 1},
                 {"abc", "[~+", 1}});
}

}  // namespace
}  // namespace vy
