// The content pattern language on lower-cased pages.
#include "runner/match_content.h"

#include <gtest/gtest.h>

namespace vy {
namespace {

TEST(MatchContent, PlainPatternsAreSubstringTests) {
  EXPECT_EQ(matchContent("<p>price: 10</p>", "price"), 1);
  EXPECT_EQ(matchContent("<p>price: 10</p>", "Price"), 0);  // the pattern is used as written
  EXPECT_EQ(matchContent("anything", ""), 1);
  EXPECT_EQ(matchContent("", "x"), 0);
}

TEST(MatchContent, LiteralsAreFoundInOrder) {
  EXPECT_EQ(matchContent("a b c", "a[b]c"), 1);
  EXPECT_EQ(matchContent("c b a", "a[b]c"), 0);
  EXPECT_EQ(matchContent("xx", "x[x]"), 1);
  EXPECT_EQ(matchContent("x", "x[x]"), 0);  // the second search starts after the first match
  EXPECT_EQ(matchContent("cd ab", "ab]cd"), 0);  // a lone bracket still splits
  EXPECT_EQ(matchContent("abxcd", "ab]cd"), 1);
  EXPECT_EQ(matchContent("abxcd", "ab[cd"), 1);
}

TEST(MatchContent, BalancedCountsInsideATable) {
  const char* pattern = "<table[~=('<tr','</tr')]</table";
  EXPECT_EQ(matchContent("<table><tr>1</tr><tr>2</tr></table>", pattern), 1);
  EXPECT_EQ(matchContent("<table><tr>1</tr><tr>2</table>", pattern), 0);
  // Only the region between the first <table and the next </table counts.
  EXPECT_EQ(matchContent("<tr><table><tr></tr></table><tr>", pattern), 1);
}

TEST(MatchContent, CountOperatorsCompareTheTwoTexts) {
  const std::string page = "a a a b";
  EXPECT_EQ(matchContent(page, "[~>('a','b')]"), 1);
  EXPECT_EQ(matchContent(page, "[~<('a','b')]"), 0);
  EXPECT_EQ(matchContent(page, "[~%('a','b')]"), 1);
  EXPECT_EQ(matchContent(page, "[~=('a','b')]"), 0);
  EXPECT_EQ(matchContent("b b a", "[~<('a','b')]"), 1);
  EXPECT_EQ(matchContent("b b a", "[~?('a','b')]"), 0);  // never below zero
  EXPECT_EQ(matchContent("b b a", "[~>('a','b')]"), 0);
  EXPECT_EQ(matchContent("a", "[~?('a')]"), 1);           // missing B counts nothing
  EXPECT_EQ(matchContent("aaaa", "[~=('aa','aa')]"), 1);  // non-overlapping
}

TEST(MatchContent, PresenceCommandsTestTheirRegion) {
  const char* banned = "<title>[~-'error']</title>";
  EXPECT_EQ(matchContent("<title>shop</title><p>error</p>", banned), 1);
  EXPECT_EQ(matchContent("<title>an error</title>", banned), 0);
  EXPECT_EQ(matchContent("<title>ok</title>", "<title>[~+'ok']</title>"), 1);
  EXPECT_EQ(matchContent("<title>no</title> ok", "<title>[~+'ok']</title>"), 0);
  // Commands before the first literal test the text before it.
  EXPECT_EQ(matchContent("header body", "[~+'head']body"), 1);
  EXPECT_EQ(matchContent("body header", "[~+'head']body"), 0);
}

TEST(MatchContent, EndingCommandAllowsOneTrailingCharacter) {
  const char* pattern = "</body>[~!]";
  EXPECT_EQ(matchContent("<body>x</body>", pattern), 1);
  EXPECT_EQ(matchContent("<body>x</body>\n", pattern), 1);
  EXPECT_EQ(matchContent("<body>x</body>\n\n", pattern), 0);
  EXPECT_EQ(matchContent("</body>junk</body>", pattern), 1);  // the last one counts
  EXPECT_EQ(matchContent("</body>junk</body>xy", pattern), 0);
  EXPECT_EQ(matchContent("abc", "[~!]"), 1);  // nothing before the command
}

TEST(MatchContent, UnknownOperatorsAndEmptySegmentsPass) {
  EXPECT_EQ(matchContent("abc", "a[~#whatever]c"), 1);
  EXPECT_EQ(matchContent("abc", "a[]c"), 1);
  EXPECT_EQ(matchContent("abc", "[~]"), 1);
  EXPECT_EQ(matchContent("abc", "[~+"), 1);  // a command without its closing bracket
}

}  // namespace
}  // namespace vy
