// The group text form: parsing rules and the format/parse round trip.
#include "store/group_config.h"

#include <gtest/gtest.h>

#include <string>

namespace vy {
namespace {

GroupConfig parsed(std::string text) {
  GroupConfig config;
  EXPECT_EQ(parseGroupConfig(config, std::move(text)), 0);
  return config;
}

TEST(GroupConfigText, EmptyTextGivesAnEmptyGroup) {
  GroupConfig config = parsed("");
  EXPECT_EQ(config.checkInterval, 0);
  EXPECT_EQ(config.inform, "");
  EXPECT_EQ(config.options, 0);
  EXPECT_EQ(config.moreOptions, 0);
  EXPECT_EQ(config.banCount() + config.presCount() + config.urlCount(), 0);
}

TEST(GroupConfigText, FormatWritesTheDocumentedLines) {
  GroupConfig config;
  config.checkInterval = 180;
  config.inform = "ops@example.org";
  config.options = kOptWriteLog | kOptInfFndBan | (3 << kOptInfTypeShift) | kOptSuspend;
  config.moreOptions = kMoreQueryCutPlain | kMoreQueryCutChecked;
  config.addBanContent("bad\nword");
  config.addUrl("http://a/").flags = kUrlCheckPres;
  EXPECT_EQ(formatGroupConfig(config),
            "checktime=180\nwritelog=1\ninftype=3\ninform=ops@example.org\ninfuptime=0\n"
            "inffndban=1\ninffndpres=0\nsuspend=1\nqstrunc=uc\ndelete_after_check=0\n"
            "bancontent=8\nbad\nword\n"
            "url=http://a/\nchkban=0\nchkpres=1\n");
}

TEST(GroupConfigText, FormatThenParseGivesTheSameGroup) {
  GroupConfig original;
  original.checkInterval = -7;
  original.inform = "a@b.c, d@e.f";
  original.options = 0xFF;
  original.moreOptions = kMoreQueryCutChecked | kMoreDeleteAfterCheck;
  original.addBanContent("twelve\nbytes");  // 12 bytes with a newline
  original.addBanContent("");
  original.addBanContent("url=http://x/\nchkban=1");  // keys inside a content stay content
  original.addPresContent("a=b\n\n");
  original.addUrl("http://a/").flags = kUrlCheckBan;
  original.addUrl("http://b/?q=1").flags = kUrlCheckBan | kUrlCheckPres;
  original.addUrl("http://c/").flags = 0;

  GroupConfig copy = parsed(formatGroupConfig(original));
  EXPECT_EQ(copy.checkInterval, -7);
  EXPECT_EQ(copy.inform, original.inform);
  EXPECT_EQ(copy.options, 0xFF);
  EXPECT_EQ(copy.moreOptions, original.moreOptions);
  EXPECT_EQ(copy.banContents, original.banContents);
  EXPECT_EQ(copy.presContents, original.presContents);
  ASSERT_EQ(copy.urlCount(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(copy.urls[i].url, original.urls[i].url);
    EXPECT_EQ(copy.urls[i].flags, original.urls[i].flags);
  }
}

TEST(GroupConfigText, QueryCutLettersOnlyAddBits) {
  EXPECT_EQ(parsed("qstrunc=cu\n").moreOptions, kMoreQueryCutPlain | kMoreQueryCutChecked);
  EXPECT_EQ(parsed("qstrunc=c\nqstrunc=\n").moreOptions, kMoreQueryCutChecked);
  EXPECT_EQ(parsed("qstrunc=x\n").moreOptions, 0);
  GroupConfig both = parsed("qstrunc=cu");
  EXPECT_NE(formatGroupConfig(both).find("\nqstrunc=uc\n"), std::string::npos);
}

TEST(GroupConfigText, NumbersFollowTheirBitRules) {
  EXPECT_EQ(parsed("inftype=9\n").infType(), 1);
  EXPECT_EQ(parsed("inftype=15\n").infType(), 7);
  EXPECT_TRUE(parsed("writelog=3\n").writeLog());
  EXPECT_FALSE(parsed("writelog=2\n").writeLog());
  EXPECT_EQ(parsed("checktime=12abc\n").checkInterval, 12);
  EXPECT_EQ(parsed("checktime=abc\n").checkInterval, 0);
  EXPECT_TRUE(parsed("delete_after_check=1").deleteAfterCheck());
}

TEST(GroupConfigText, InformIsCutTo249Bytes) {
  GroupConfig config = parsed("inform=" + std::string(300, 'x') + "\n");
  EXPECT_EQ(config.inform, std::string(249, 'x'));
}

TEST(GroupConfigText, UrlSwitchBeforeAnyUrlIsIgnored) {
  GroupConfig config = parsed("chkpres=1\nchkban=1\nurl=http://a/\nchkban=1\n");
  ASSERT_EQ(config.urlCount(), 1);
  EXPECT_EQ(config.urls[0].flags, kUrlCheckBan);
}

TEST(GroupConfigText, KeysAreFoundAnywhereInALine) {
  GroupConfig config = parsed("url=http://a/?chkban=1\n# checktime=5\n");
  ASSERT_EQ(config.urlCount(), 1);
  EXPECT_EQ(config.urls[0].url, "http://a/?chkban=1");
  EXPECT_TRUE(config.urls[0].checkBan());
  EXPECT_EQ(config.checkInterval, 5);
}

TEST(GroupConfigText, ContentLongerThanTheTextTakesTheRestAndEndsParsing) {
  GroupConfig config = parsed("prescontent=100\nabc\nurl=http://a/\n");
  ASSERT_EQ(config.presCount(), 1);
  EXPECT_EQ(config.presContents[0], "abc\nurl=http://a/\n");
  EXPECT_EQ(config.urlCount(), 0);
}

TEST(GroupConfigText, ShortContentLengthSwallowsTheFollowingByte) {
  GroupConfig config = parsed("bancontent=2\nabc\nurl=http://a/\n");
  ASSERT_EQ(config.banCount(), 1);
  EXPECT_EQ(config.banContents[0], "ab");
  ASSERT_EQ(config.urlCount(), 1);  // "c" became the terminator, the rest parses on
  EXPECT_EQ(config.urls[0].url, "http://a/");
}

TEST(GroupConfigText, NegativeContentLengthTakesNothing) {
  GroupConfig config = parsed("bancontent=-5\n\nurl=http://a/");
  ASSERT_EQ(config.banCount(), 1);
  EXPECT_EQ(config.banContents[0], "");
  EXPECT_EQ(config.urlCount(), 1);
}

TEST(GroupConfigText, ViewsStayValidWhenTheRecordMoves) {
  GroupConfig first = parsed("url=http://short/\nbancontent=1\nx\n");
  GroupConfig moved = std::move(first);
  GroupConfig assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.urls[0].url, "http://short/");
  EXPECT_EQ(assigned.banContents[0], "x");
  freeGroupConfig(assigned);
  EXPECT_EQ(assigned.urlCount(), 0);
  EXPECT_EQ(assigned.sourceText, nullptr);
}

}  // namespace
}  // namespace vy
