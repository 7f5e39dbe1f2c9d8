// The help page: which head, text and foot a topic, code and presentation letter select, and
// the session it carries.
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

class HelpTest : public test::RealConsoleTest {
 protected:
  void SetUp() override {
    RealConsoleTest::SetUp();
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

// A missing topic falls back to NOTOPIC of the same code.
TEST_F(HelpTest, TheRequestSelectsTheHelpSections) {
  const std::pair<const char*, const char*> pages[] = {
      {"page=group", "H|group|F"},
      {"page=group&PS=p", "H|group|F"},  // no code: the letter is not used
      {"page=group.en&PS=p", "Henpgroup|group.enp|Fenp"},
      {"page=group.enp&PS=x", "Henpgroup|group.enp|Fenp"},  // ends in p: PS ignored
      {"page=abcdefghijklmnopq", "H|cut|F"},
      {"page=nosuch", "H|none|F"},
      {"page=nosuch.de", "Hde|none.de|Fde"},
      {"page=nosuch.fr", ""}};  // no head, text or foot of that code
  for (auto [query, shown] : pages) EXPECT_EQ(help(query), shown) << query;
}

// Help is open to everyone. Opened from a page it carries the page's session on, so its way back
// and its links to other topics keep the administrator logged in; it never carries what else apwd
// held (the password never goes into an address).
using test::Fields;
using test::RealConsoleTest;

TEST_F(RealConsoleTest, HelpCarriesOnlyALiveSessionOnAndBack) {
  const std::string open = body(post(test::formBody({{"apwd", kPassword}, {"fnct", "help"}})));
  EXPECT_EQ(open.find(kPassword), std::string::npos);
  EXPECT_EQ(test::hiddenFields(open, "All help topics"),
            (Fields{{"apwd", ""}, {"fnct", "help"}, {"page", "NOTOPIC"}}));
  const std::string groupPage = body(submit({{"fnct", "view_group"}, {"group", "general"}}));
  const Fields help = test::hiddenFields(groupPage, "Help");
  EXPECT_EQ(help, (Fields{{"apwd", session()}, {"fnct", "help"}, {"page", "group"}}));
  const std::string helpPage = body(post(test::formBody(help)));
  EXPECT_EQ(test::hiddenFields(helpPage, "All help topics"),
            (Fields{{"apwd", session()}, {"fnct", "help"}, {"page", "NOTOPIC"}}));
  const std::string back = body(post(test::formBody(test::hiddenFields(helpPage, "Main Page"))));
  EXPECT_NE(back.find("<h1>Group general</h1>"), std::string::npos) << back.substr(0, 600);
  EXPECT_EQ(back.find("type=\"password\""), std::string::npos);
}

}  // namespace
}  // namespace vy
