// The console's entry: first run, login, the installation states and the command choice.
#include <gtest/gtest.h>

#include <filesystem>

#include "store/group_config.h"
#include "store/group_file.h"
#include "tests/console/console_fixture.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

using test::ConsoleTest;
using test::Env;
namespace fs = std::filesystem;

TEST_F(ConsoleTest, FirstRequestInstallsTheDataDirectoryAndAsksForTheAdministrator) {
  installProbeTemplates();
  test::ProbePage page = probe(get(""));
  for (const char* dir : {"vydata/vydb", "vydata/vychklog", "vydata/vytime"}) {
    EXPECT_EQ(fs::status(instance_.path(dir)).permissions(), fs::perms(0777)) << dir;
  }
  EXPECT_TRUE(fs::is_regular_file(instance_.path("vydata/vytime/check")));
  GroupConfig general = readGroup("general");
  EXPECT_EQ(general.checkInterval, 180);
  EXPECT_EQ(general.options, kOptWriteLog);
  EXPECT_EQ(general.moreOptions, kMoreQueryCutPlain);
  EXPECT_TRUE(general.urls.empty());
  // The password page, without the part for a stored user and without the way back.
  EXPECT_TRUE(page.has("header_template") && page.has("footer_template"));
  EXPECT_FALSE(page.has("center_template"));
  EXPECT_EQ(page.value("footer_template", "USER"), "admin");
  EXPECT_EQ(page.value("header_template", "BACK"), "");
  EXPECT_EQ(page.value("footer_template", "FRMACT"), kScriptName);
  EXPECT_EQ(page.value("header_template", "VER"), "2.00072");
}

TEST_F(ConsoleTest, TheFirstPasswordLeadsToTheSettingsPageUntilTheyAreSaved) {
  installProbeTemplates();
  get("");
  test::ProbePage page = probe(post(
      test::formBody({{"fnct", "update_pass"}, {"un", "boss"}, {"pw", "pw1"}, {"pw2", "pw1"}})));
  EXPECT_EQ(page.value("page", "APWD"), "pw1");  // the settings page, carrying the new password
  EXPECT_EQ(page.value("page", "TZ_41"), " selected");
  EXPECT_EQ(page.value("page", "AEMAIL"), "webmaster@console.test");
  for (const char* command : {"", "view_groups", "view_group", "help", "edit_group"}) {
    page = probe(post(test::formBody({{"apwd", "pw1"}, {"fnct", command}})));
    EXPECT_EQ(page.value("page", "TZ_41"), " selected") << command;
  }
  EXPECT_FALSE(instance_.exists("vydata/vyvars.dat"));
  page = probe(post(test::formBody(
      {{"apwd", "pw1"}, {"fnct", "setup_save"}, {"TZ", "41;UTC;0;UTC;UTC"}, {"MAXCHKURL", "30"}})));
  EXPECT_EQ(page.value("page", "MSG"), "Settings Updated");
  EXPECT_EQ(page.value("page", "MAXCHKURL"), "30");
  // Working now: the main view, which with the one group "general" is its page.
  page = probe(post(test::formBody({{"apwd", "pw1"}})));
  EXPECT_EQ(page.value("header_template", "GROUP"), "general");
}

TEST_F(ConsoleTest, AWrongPasswordShowsTheLoginAndComplainsOnlyWhenACommandWasAsked) {
  installProbeTemplates();
  makeWorking();
  EXPECT_EQ(probe(post(test::formBody({{"apwd", "nope"}}))).value("page", "MSG"), "");
  EXPECT_EQ(
      probe(post(test::formBody({{"apwd", "nope"}, {"fnct", "view_groups"}}))).value("page", "MSG"),
      "Invalid Password");
  EXPECT_EQ(probe(get("fnct=view_groups")).value("page", "MSG"), "Invalid Password");
}

TEST_F(ConsoleTest, AWebServerUserIsAcceptedExceptForAPostWithoutThePassword) {
  installProbeTemplates();
  makeWorking();
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
  // The password sent goes back into the page's forms, escaped.
  EXPECT_EQ(probe(get("fnct=view_group&apwd=%3C%22x", admin)).value("header_template", "APWD"),
            "&lt;&quot;x");
}

TEST_F(ConsoleTest, TheCommandComesFromAButtonOrAnotherVariableAndAnUnknownOneIsAnError) {
  installProbeTemplates();
  makeWorking();
  test::ProbePage page =
      probe(submit({{"fnct", ":go"}, {"group", "general"}, {"go:view_group", "Open"}}));
  EXPECT_EQ(page.value("header_template", "GROUP"), "general");
  page = probe(submit({{"fnct", "*next"}, {"next", "add_group"}}));
  EXPECT_EQ(page.value("newgrp_template", "ACTION_UPDATE"), " selected");
  EXPECT_EQ(page.value("header_template", "BACK"),
            "<input type=\"submit\" name=\"submit\" value=\"  Main Page  \">");

  test::RunResult unknown = submit({{"fnct", "format_disk"}});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.out.find("<H1>Software error.</H1>"), std::string::npos);
  std::vector<std::string> log = instance_.errorLog();
  ASSERT_EQ(log.size(), 1u);
  std::vector<std::string> fields = test::splitLogLine(log[0]);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "5");
  EXPECT_EQ(fields[4], "format_disk");
  EXPECT_EQ(fields[5], "vyconsole");
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
