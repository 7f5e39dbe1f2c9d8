// The console's entry: first run, login, the installation states, the command choice and the
// error page.
#include <filesystem>
#include <tuple>

#include "common/cgi.h"
#include "store/sessions.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ConsoleTest;
using test::Env;
using test::RealConsoleTest;
using test::WorkingConsoleTest;
namespace fs = std::filesystem;

TEST_F(ConsoleTest, ANewInstallationAsksForTheAdministratorThenForTheSettingsUntilSaved) {
  installProbeTemplates();
  test::ProbePage page = probe(get(""));  // the first request installs the data directory
  for (const char* dir : {"vydata/vydb", "vydata/vychklog", "vydata/vytime"}) {
    EXPECT_EQ(fs::status(instance_.path(dir)).permissions(), fs::perms(0770)) << dir;
  }
  EXPECT_TRUE(fs::is_regular_file(instance_.path("vydata/vytime/check")));
  GroupConfig general = readGroup("general");
  EXPECT_EQ(
      std::tuple(general.checkInterval, general.options, general.moreOptions, general.urls.size()),
      std::tuple(180, kOptWriteLog, kMoreQueryCutPlain, 0u));
  // The password page, without the part for a stored user that holds the way back.
  EXPECT_FALSE(page.has("center_template"));
  EXPECT_EQ(test::joined(page.line("footer_template"), {"USER", "FRMACT"}),
            std::string("admin ") + kScriptName);

  page = probe(post(
      test::formBody({{"fnct", "update_pass"}, {"un", "boss"}, {"pw", "pw1"}, {"pw2", "pw1"}})));
  // The settings page, carrying a session of the new login.
  EXPECT_EQ(test::joined(page.line("page"), {"TZ_41", "AEMAIL"}, "|"),
            " selected|webmaster@console.test");
  EXPECT_TRUE(useSession("vydata/sessions", page.value("page", "APWD"), std::time(nullptr)).ok());
  auto send = [&](test::Fields fields) {
    fields.insert(fields.begin(), {"apwd", "pw1"});
    return probe(post(test::formBody(fields)));
  };
  for (const char* command : {"", "view_groups", "view_group", "help", "edit_group"}) {
    EXPECT_EQ(send({{"fnct", command}}).value("page", "TZ_41"), " selected") << command;
  }
  EXPECT_FALSE(instance_.exists("vydata/vyvars.dat"));
  page = send({{"fnct", "setup_save"}, {"TZ", "41;UTC;0;UTC;UTC"}, {"MAXCHKURL", "30"}});
  EXPECT_EQ(test::joined(page.line("page"), {"MSG", "MAXCHKURL"}, "|"), "Settings Updated|30");
  // Working now: the main view, which with the one group "general" is its page.
  EXPECT_EQ(send({}).value("header_template", "GROUP"), "general");
}

// Also what the real login page's form sends with a mistyped password: the complaint, not the
// bare form again.
TEST_F(RealConsoleTest, AWrongPasswordComplainsOnlyWhenACommandWasAsked) {
  test::Fields login = test::hiddenFields(body(get("")), "Log in");
  login.emplace_back("apwd", "mistyped");
  EXPECT_NE(body(post(test::formBody(login))).find("Invalid Password"), std::string::npos);
  EXPECT_EQ(body(get("")).find("Invalid Password"), std::string::npos);  // a first visit
  installProbeTemplates();
  EXPECT_EQ(probe(post("apwd=nope")).value("page", "MSG"), "");
  EXPECT_EQ(probe(post("apwd=nope&fnct=view_groups")).value("page", "MSG"), "Invalid Password");
  EXPECT_EQ(probe(get("fnct=view_groups")).value("page", "MSG"), "Invalid Password");
}

// A deletion of "shop" on the web server's login is refused with 403 unless it comes from the
// console's own scheme, host and port (in any spelling, as an Origin or a Referer) or carries the
// password, which is not the browser's to send. Refused too: the "null" origin, a referer that
// only begins like this host, an origin that wins over a matching referer, and a request that
// names no source (a page can keep its Referer to itself).
TEST_F(WorkingConsoleTest, ChangesOnTheWebServersCredentialsMustComeFromTheConsolesOwnHost) {
  const std::string evil = "http://evil.example";
  const std::tuple<Env, std::string, bool> cases[] = {
      {{{"HTTP_ORIGIN", evil}}, "", true},
      {{{"HTTP_ORIGIN", "null"}}, "", true},
      {{{"HTTP_REFERER", evil + "/vyconsole.cgi"}}, "", true},
      {{{"HTTP_REFERER", "http://console.test.evil.example/"}}, "", true},
      {{{"HTTP_ORIGIN", evil}, {"HTTP_REFERER", "http://console.test/"}}, "", true},
      {{}, "", true},
      {{{"HTTP_ORIGIN", "https://console.test"}}, "", true},
      {{{"HTTP_ORIGIN", "http://console.test:8080"}}, "", true},
      {{{"HTTP_REFERER", "ftp://console.test/"}}, "", true},
      {{{"HTTP_ORIGIN", evil}}, kPassword, false},
      {{{"HTTP_ORIGIN", "http://Console.Test"}}, "", false},
      {{{"HTTP_ORIGIN", "http://console.test:80"}}, "", false},
      {{{"HTTP_REFERER", "http://console.test/vy/vyconsole.cgi?x"}}, "", false},
      {{{"HTTP_ORIGIN", "https://console.test"}, {"HTTPS", "on"}}, "", false}};
  for (auto [from, password, refused] : cases) {
    SCOPED_TRACE(::testing::PrintToString(from) + " " + password);
    storeGroup("shop", groupOf({"http://a/"}));
    from["REMOTE_USER"] = "admin";
    const std::string out =
        post("apwd=" + password + "&fnct=view_groups&ACTION=delete&group=shop", from).out;
    EXPECT_EQ(out.rfind("Status: 403", 0) == 0, refused);
    EXPECT_EQ(instance_.exists("vydata/vydb/shop.dat"), refused);
  }
  // Pages that only show stay open.
  EXPECT_EQ(
      probe(get("fnct=view_group&group=shop", {{"HTTP_ORIGIN", evil}, {"REMOTE_USER", "admin"}}))
          .value("header_template", "GROUP"),
      "shop");
}

// A link or another site's page can make a browser send a GET, with the web server's
// credentials and without Origin or Referer: no GET changes anything, whatever it carries.
TEST_F(WorkingConsoleTest, AChangeAskedForByGetIsRefusedWith405) {
  storeGroup("shop", groupOf({"http://a/"}));
  const std::string password = instance_.read("vydata/admin.pwd");
  const Env admin = {{"REMOTE_USER", "admin"}};
  for (const char* query :
       {"fnct=update_pass&un=admin&pw=owned123", "fnct=view_groups&ACTION=delete&group=shop",
        "fnct=view_group&group=shop&ACTION=delete&TSELURL=http://a/", "ACTION=delete&group=shop",
        "fnct=clear_checklog&group=shop", "fnct=setup_save&TZ=1;a;0;UTC;UTC",
        "fnct=setup_sched&SHED_STATUS=ACTIVE", "fnct=clear_error",
        "fnct=update_group&group=shop&EVRCHK=1", "fnct=update_group_edit&group=shop",
        "fnct=update_group_delete&group=shop&BCSEL=0",
        "fnct=update_group_cont&group=shop&TYPECONT=b&CONT=x"}) {
    const test::RunResult result = get(std::string(query) + "&apwd=" + kPassword, admin);
    EXPECT_EQ(result.out.rfind("Status: 405 Method Not Allowed\nAllow: POST\n", 0), 0u) << query;
    EXPECT_NE(result.out.find("never from a link"), std::string::npos) << query;
  }
  EXPECT_EQ(instance_.read("vydata/admin.pwd"), password);
  EXPECT_FALSE(instance_.exists(".htpasswd"));
  EXPECT_EQ(readGroup("shop").urls.size(), 1u);
  EXPECT_EQ(readGroup("shop").checkInterval, 10);
}

// The whole request is refused before it is taken apart or read further: a body of one field
// too many, or one announced larger than the console takes.
TEST_F(WorkingConsoleTest, ARequestTooLargeToTakeIsAnswered413) {
  serveByProgram();
  storeGroup("shop", groupOf({"http://a/"}));
  const std::string deletion =
      test::formBody({{"apwd", kPassword}, {"fnct", "view_groups"}, {"ACTION", "delete"},
                      {"group", "shop"}});
  const test::RunResult crowded = post(deletion + std::string(kMaxFormVars, '&'));
  const test::RunResult huge = request(
      {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", std::to_string(kMaxRequestBytes + 1)}}, {},
      deletion);
  for (const test::RunResult& result : {crowded, huge}) {
    EXPECT_EQ(result.out.rfind("Status: 413 Request Entity Too Large\n", 0), 0u) << result.out;
    EXPECT_EQ(result.exitCode, 0);
  }
  EXPECT_TRUE(instance_.exists("vydata/vydb/shop.dat"));
  EXPECT_EQ(post(deletion + std::string(kMaxFormVars - 5, '&')).out.find("Status: 413"),
            std::string::npos);
}

TEST_F(WorkingConsoleTest, AWebServerUserIsAcceptedExceptForAPostWithoutThePassword) {
  const Env admin = {{"REMOTE_USER", "admin"}};
  test::ProbePage page = probe(get("fnct=view_group&group=general", admin));
  EXPECT_EQ(page.value("header_template", "GROUP"), "general");
  EXPECT_EQ(page.value("header_template", "BACK"),
            "<font face=\"Verdana\" size=\"2\"><b><a href=\"/vy/vyconsole.cgi\"> Main Page "
            "</a></b></font>");
  EXPECT_EQ(probe(post("fnct=view_group&group=general", admin)).value("page", "MSG"),
            "Invalid Password");
  EXPECT_EQ(
      probe(post("apwd=&fnct=view_group&group=general", admin)).value("header_template", "GROUP"),
      "general");
  EXPECT_EQ(probe(get("fnct=view_group", {{"REMOTE_USER", "intruder"}})).value("page", "MSG"),
            "Invalid Password");
  // What apwd held never goes back into the page's forms.
  EXPECT_EQ(probe(get("fnct=view_group&apwd=%3C%22x", admin)).value("header_template", "APWD"), "");
}

TEST_F(WorkingConsoleTest, TheCommandComesFromAButtonOrAnotherVariable) {
  EXPECT_EQ(ask({{"fnct", ":go"}, {"group", "general"}, {"go:view_group", "Open"}})
                .value("header_template", "GROUP"),
            "general");
  test::ProbePage page = ask({{"fnct", "*next"}, {"next", "add_group"}});
  EXPECT_EQ(page.value("newgrp_template", "ACTION_UPDATE"), " selected");
  EXPECT_EQ(page.value("header_template", "BACK"),
            "<input type=\"submit\" name=\"submit\" value=\"  Main Page  \">");
}

// The error page is logged; when the error log cannot be written, the details it shows instead
// are a stranger's texts, escaped.
TEST_F(WorkingConsoleTest, AnUnknownCommandIsAFatalReportShowingItsDetailsEscaped) {
  serveByProgram();
  test::RunResult unknown = submit({{"fnct", "format_disk"}});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.out.find("<H1>Software error.</H1>"), std::string::npos);
  EXPECT_EQ(test::loggedActions(instance_), (test::LogLines{{"5", "format_disk"}}));
  EXPECT_NE(instance_.read("vydata/error.log").find("|format_disk|vyconsole|"), std::string::npos);

  std::filesystem::remove(instance_.path("vydata/error.log"));
  std::filesystem::create_directory(instance_.path("vydata/error.log"));
  const test::RunResult result = submit({{"fnct", "<script>alert(1)</script>"}},
                                        {{"SERVER_ADMIN", "\"><script>alert(2)</script>"}});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out.find("<script"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("File/Variable/More:  &lt;script&gt;alert(1)&lt;/script&gt;\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("mailto:&quot;&gt;&lt;script&gt;alert(2)&lt;/script&gt;\">"),
            std::string::npos)
      << result.out;
}

TEST_F(ConsoleTest, TheAboutPageNeedsNoPasswordButOnlyTheExactQuery) {
  test::RunResult about = get("about");
  EXPECT_EQ(about.exitCode, 0);
  EXPECT_NE(about.out.find("Unit         : vyconsole\n<br>"), std::string::npos);
  EXPECT_NE(about.out.find("UnitVer      : 2.00.044\n<br>"), std::string::npos);
  EXPECT_EQ(get("about=1").out.find("vyconsole\n<br>"), std::string::npos);
}

}  // namespace
}  // namespace vy
