// Sessions: a password login starts one, the pages carry it instead of the password, it ends by
// idling, by log out and by a password change, and it is the proof that a change comes from the
// console's own pages. Also what every answer tells the browser besides the page.
#include <ctime>
#include <filesystem>
#include <regex>

#include "common/files.h"
#include "store/sessions.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ConsoleTest;
using test::Fields;
using test::ProbePage;
using test::RealConsoleTest;
using test::WorkingConsoleTest;

class SessionTest : public WorkingConsoleTest {
 protected:
  ProbePage askWith(const std::string& session, Fields fields, const test::Env& extra = {}) {
    fields.insert(fields.begin(), {"apwd", session});
    return probe(post(test::formBody(fields), extra));
  }
  // True when the session opens the groups overview; false for the login page.
  bool admits(const std::string& session) {
    return askWith(session, {{"fnct", "view_groups"}}).has("header_template");
  }
  std::string sessionAt(std::time_t when) {
    std::string token;
    EXPECT_TRUE(createSession(kSessionsPath, when, token).ok());
    return token;
  }
};

TEST_F(SessionTest, APasswordLoginStartsASessionThatThePagesCarryInsteadOfThePassword) {
  const std::string session =
      probe(post(test::formBody({{"fnct", "view_groups"}, {"apwd", kPassword}})))
          .value("header_template", "APWD");
  ASSERT_TRUE(sessionHashOf(session)) << session;
  EXPECT_TRUE(admits(session));
  EXPECT_EQ(askWith(session, {{"fnct", "view_groups"}}).value("header_template", "APWD"), session);
}

// (Where a session ends in time is shown with the session file.)
TEST_F(SessionTest, ForgedExpiredAndLoggedOutSessionsGetTheLoginPage) {
  const std::string idle = sessionAt(std::time(nullptr) - kSessionIdleSeconds - 1);
  EXPECT_EQ(get("fnct=logout&apwd=" + session()).out.rfind("Status: 405", 0), 0u);
  EXPECT_EQ(ask({{"fnct", "logout"}}).value("page", "MSG"), "You have logged out.");
  for (const std::string& ended : {std::string(64, '7'), idle, session()}) {
    const ProbePage page = askWith(ended, {{"fnct", "view_groups"}});
    EXPECT_EQ(page.value("page", "MSG"), "Your session has ended. Please log in again.");
  }
}

TEST_F(SessionTest, APasswordChangeEndsEveryOtherSessionAndGivesTheChangerAFreshOne) {
  const std::string otherBrowser = sessionAt(std::time(nullptr));
  const std::string fresh =
      ask({{"fnct", "update_pass"}, {"un", "admin"}, {"pw", "n3wpass"}, {"pw2", "n3wpass"}})
          .value("header_template", "APWD");
  EXPECT_FALSE(admits(otherBrowser));
  EXPECT_FALSE(admits(session()));
  EXPECT_TRUE(admits(fresh));
}

// No other site can know the value, so a change that carries it is taken whatever the request
// says of where it comes from; on the web server's login alone the origin is still asked for.
TEST_F(SessionTest, ALiveSessionIsTheProofThatAChangeComesFromTheConsole) {
  const Fields deletion = {{"fnct", "view_groups"}, {"ACTION", "delete"}, {"group", "shop"}};
  const test::Env evil = {{"HTTP_ORIGIN", "http://evil.example"}, {"REMOTE_USER", "admin"}};
  storeGroup("shop", groupOf({"http://a/"}));
  const std::string forged = test::formBody(Fields{{"apwd", std::string(64, '7')}});
  EXPECT_EQ(post(forged + "&" + test::formBody(deletion), evil).out.rfind("Status: 403", 0), 0u);
  EXPECT_TRUE(instance_.exists("vydata/vydb/shop.dat"));
  askWith(session(), deletion, evil);
  EXPECT_FALSE(instance_.exists("vydata/vydb/shop.dat"));
}

// The pages link the style sheet, which the console answers itself: the content policy forbids
// every inline style and script.
TEST_F(ConsoleTest, TheStyleSheetIsAnAnswerOfItsOwnAndNoTemplateHoldsInlineStyleOrScript) {
  serveInProcess();
  EXPECT_EQ(get("style").out, "X-Content-Type-Options: nosniff\nCache-Control: max-age=600\n"
                              "Content-type: text/css\n\n" +
                                  instance_.read("vytpl/admin_style.css"));
  static const std::regex kInline("<style|<script|\\sstyle=|\\son[a-z]+=|javascript:",
                                  std::regex::icase);
  for (const auto& file : std::filesystem::directory_iterator(instance_.path("vytpl"))) {
    if (file.path().extension() != ".htm") continue;
    const std::string html = instance_.read("vytpl/" + file.path().filename().string());
    EXPECT_FALSE(std::regex_search(html, kInline)) << file.path();
    EXPECT_NE(html.find("<link rel=\"stylesheet\" href=\"[#FRMACT#]?style\">"), std::string::npos)
        << file.path();
  }
}

// Every page but the login has the button, which sends the page's session.
TEST_F(RealConsoleTest, EveryPageHasALogOutButtonThatSendsItsSession) {
  const Fields logOut = {{"apwd", session()}, {"fnct", "logout"}};
  for (const char* command : {"view_groups", "view_group", "edit_group", "setup", "display_chpass",
                              "view_checklog", "view_error", "help"}) {
    const std::string html =
        body(submit({{"fnct", command}, {"group", "general"}, {"page", "group"}}));
    EXPECT_EQ(test::hiddenFields(html, "Log out"), logOut) << command;
  }
}

}  // namespace
}  // namespace vy
