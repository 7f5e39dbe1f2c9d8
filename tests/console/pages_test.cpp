// Every page of the console, rendered from the installed templates, is valid HTML.
#include "store/check_log.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ConsoleTest;
using test::Fields;

class PagesTest : public ConsoleTest {
 protected:
  // A working console with a group of every kind of URL and text, a check log and an error log.
  void SetUp() override {
    ConsoleTest::SetUp();
    serveInProcess();
    makeWorking();
    GroupConfig group;
    group.addBanContent("<b>sold out</b>");
    group.addPresContent("price & \"cart\"");
    addUrl(group, "http://shop.test/?q=<x>&y=\"1\"",
           kUrlUp | kUrlCheckBan | kUrlCheckPres | kUrlPresOk, 1700000000, 200, 1234);
    addUrl(group, "http://down.test/", kUrlCheckBan, 1700000000, 5);
    group.addUrl("javascript:alert(1)");
    storeGroup("shop", std::move(group));
    instance_.write("vydata/vychklog/shop.log",
                    encodeCheckLogEntry({1700000000, 200, kStateUp, "http://shop.test/<x>"}));
    instance_.write("vydata/error.log", "1700000000|987|1|2|./vydata/<x>.dat|vyconsole|1\n");
  }
};

TEST_F(PagesTest, TheGroupPagesAreValidInEveryState) {
  expectValid("login", post("apwd=wrong&fnct=view_groups"));
  expectValid("overview", {{"fnct", "view_groups"}});
  expectValid("overview, add", {{"fnct", "add_group"}});
  expectValid("overview, refused name",
              {{"fnct", "view_groups"}, {"ACTION", "delete"}, {"group", "<x>"}});
  const Fields group = {{"fnct", "view_group"}, {"group", "shop"}};
  auto with = [](Fields fields, const Fields& more) {
    fields.insert(fields.end(), more.begin(), more.end());
    return fields;
  };
  expectValid("group", group);
  expectValid("group, sorted and selected",
              with(group, {{"urlsort", "t"}, {"TSELURL", "http://down.test/"}}));
  expectValid("group, edit", with(group, {{"ACTION", "edit"}, {"TSELURL", "http://down.test/"}}));
  expectValid("group, add", with(group, {{"ACTION", "addurl"}}));
  expectValid("group, empty", {{"fnct", "view_group"}, {"group", "general"}});
  const Fields editor = {{"fnct", "edit_group"}, {"group", "shop"}};
  expectValid("editor", editor);
  expectValid("editor, content edit",
              {{"fnct", "update_group_edit"}, {"group", "shop"}, {"BCSEL", "0"}});
  expectValid("editor, empty", {{"fnct", "edit_group"}, {"group", "general"}});
}

TEST_F(PagesTest, TheSettingsPasswordLogAndHelpPagesAreValid) {
  expectValid("settings", {{"fnct", "setup"}});
  expectValid("settings, refused zone", {{"fnct", "setup_save"}, {"TZ", "1;x"}});
  expectValid("password", {{"fnct", "display_chpass"}});
  expectValid("password, refused", {{"fnct", "update_pass"}, {"un", ""}});
  expectValid("check log", {{"fnct", "view_checklog"}, {"group", "shop"}});
  expectValid("check log, empty", {{"fnct", "view_checklog"}, {"group", "general"}});
  expectValid("error log", {{"fnct", "view_error"}});
  expectValid("error log, cleared", {{"fnct", "clear_error"}});
  expectValid("error log, empty", {{"fnct", "view_error"}});
  for (const char* topic :
       {"groups", "group", "edtgrp", "setup", "chpass", "checklog", "error", "login", "nosuch"}) {
    expectValid(std::string("help ") + topic, get(std::string("fnct=help&page=") + topic));
  }
}

TEST_F(ConsoleTest, TheFirstRunPagesAreValid) {
  serveInProcess();
  std::string report;
  EXPECT_TRUE(test::tidyAccepts(body(get("")), &report)) << report;
  post(test::formBody({{"fnct", "update_pass"}, {"un", "admin"}, {"pw", "pw"}}));
  EXPECT_TRUE(test::tidyAccepts(body(post("apwd=pw")), &report)) << report;
}

}  // namespace
}  // namespace vy
