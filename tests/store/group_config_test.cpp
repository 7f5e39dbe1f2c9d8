// The group text form: the format/parse round trip and the parsing rules.
#include "store/group_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vy {
namespace {

using Texts = std::vector<std::string_view>;

GroupConfig parsed(std::string text) {
  GroupConfig config;
  EXPECT_EQ(parseGroupConfig(config, std::move(text)), 0);
  return config;
}

TEST(GroupConfigText, FormatWritesTheKnownLinesAndParsesBackUnchanged) {
  GroupConfig original;
  original.checkInterval = 180;
  original.inform = "ops@example.org";
  original.options = kOptWriteLog | kOptInfFndBan | (3 << kOptInfTypeShift) | kOptSuspend;
  original.moreOptions = kMoreQueryCutPlain | kMoreQueryCutChecked;
  original.addBanContent("bad\nword");
  original.addBanContent("");
  original.addPresContent("url=http://x/\nchkban=1");  // keys inside a content stay content
  original.addUrl("http://a/").flags = kUrlCheckPres;
  original.addUrl("http://b/?q=1").flags = kUrlCheckBan | kUrlCheckPres;
  const std::string text = formatGroupConfig(original);
  EXPECT_EQ(text,
            "checktime=180\nwritelog=1\ninftype=3\ninform=ops@example.org\ninfuptime=0\n"
            "inffndban=1\ninffndpres=0\nsuspend=1\nqstrunc=uc\ndelete_after_check=0\n"
            "bancontent=8\nbad\nword\nbancontent=0\n\nprescontent=22\nurl=http://x/\nchkban=1\n"
            "url=http://a/\nchkban=0\nchkpres=1\nurl=http://b/?q=1\nchkban=1\nchkpres=1\n");
  GroupConfig copy;
  copy = parsed(text);  // the views must survive the move
  EXPECT_EQ(copy.banContents, original.banContents);
  EXPECT_EQ(copy.presContents, original.presContents);
  EXPECT_EQ(formatGroupConfig(copy), text);
}

TEST(GroupConfigText, LinesFollowTheirRules) {
  EXPECT_EQ(parsed("qstrunc=cu\n").moreOptions, kMoreQueryCutPlain | kMoreQueryCutChecked);
  EXPECT_EQ(parsed("qstrunc=c\nqstrunc=\n").moreOptions, kMoreQueryCutChecked);
  EXPECT_EQ(parsed("qstrunc=x\n").moreOptions, 0);
  EXPECT_EQ(parsed("inftype=9\n").infType(), 1);
  EXPECT_EQ(parsed("inftype=15\n").infType(), 7);
  EXPECT_EQ(parsed("inform=" + std::string(300, 'x') + "\n").inform, std::string(249, 'x'));
  EXPECT_EQ(parsed("checktime=12abc\n").checkInterval, 12);
  GroupConfig config = parsed("chkpres=1\nchkban=1\nurl=http://a/\nchkban=1\n");
  ASSERT_EQ(config.urlCount(), 1);
  EXPECT_EQ(config.urls[0].flags, kUrlCheckBan);  // switches before any URL are ignored
}

TEST(GroupConfigText, ContentLengthsNeverReachOutsideTheText) {
  GroupConfig longer = parsed("prescontent=100\nabc\nurl=http://a/\n");  // takes the rest
  EXPECT_EQ(longer.presContents, Texts{"abc\nurl=http://a/\n"});
  EXPECT_EQ(longer.urlCount(), 0);
  GroupConfig negative = parsed("bancontent=-5\n\nurl=http://a/");
  EXPECT_EQ(negative.banContents, Texts{""});
  EXPECT_EQ(negative.urlCount(), 1);
}

}  // namespace
}  // namespace vy
