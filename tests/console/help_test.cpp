// The help page: which head, text and foot a topic, code and presentation letter select.
#include <gtest/gtest.h>

#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ConsoleTest;

class HelpTest : public ConsoleTest {
 protected:
  void SetUp() override {
    makeWorking();
    instance_.write("vytpl/admin_help.htm",
                    "<tpl_head>H|</tpl_head><tpl_foot>|F</tpl_foot>"
                    "<tpl_head.enp>Henp[#TOPIC#]|</tpl_head.enp><tpl_foot.enp>|Fenp</tpl_foot.enp>"
                    "<tpl_head.de>Hde|</tpl_head.de><tpl_foot.de>|Fde</tpl_foot.de>"
                    "<help_group>group</help_group><help_group.enp>group.enp</help_group.enp>"
                    "<help_abcdefghijklmno>cut</help_abcdefghijklmno>"
                    "<help_NOTOPIC>none</help_NOTOPIC><help_NOTOPIC.de>none.de</help_NOTOPIC.de>"
                    "[#P_REM_START#][#S_REM_END#]");
  }
  // The help page without any password.
  std::string help(const std::string& query) { return body(get("fnct=help&" + query)); }
};

TEST_F(HelpTest, CodeAndLetterSelectHeadTextAndFoot) {
  EXPECT_EQ(help("page=group"), "H|group|F");
  EXPECT_EQ(help("page=group&PS=p"), "H|group|F");  // no code: the letter is not used
  EXPECT_EQ(help("page=group.en&PS=p"), "Henpgroup|group.enp|Fenp");
  EXPECT_EQ(help("page=group.enp&PS=x"), "Henpgroup|group.enp|Fenp");  // ends in p: PS ignored
  EXPECT_EQ(help("page=abcdefghijklmnopq"), "H|cut|F");
}

TEST_F(HelpTest, AMissingTopicFallsBackToNoTopicOfTheSameCode) {
  EXPECT_EQ(help("page=nosuch"), "H|none|F");
  EXPECT_EQ(help("page=nosuch.de"), "Hde|none.de|Fde");
  EXPECT_EQ(help("page=nosuch.fr"), "");  // no head, text or foot of that code
}

}  // namespace
}  // namespace vy
