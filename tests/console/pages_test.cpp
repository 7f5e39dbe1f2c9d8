// Every page of the console, rendered from the installed templates, is valid HTML: in each of its
// states, and with every kind of text, history and certificate it shows.
#include "store/certificates.h"
#include "store/check_log.h"
#include "store/history.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ConsoleTest;
using test::Fields;

constexpr std::time_t kPagesNow = 1717243200;  // 2024-06-01 12:00:00 UTC
constexpr uint32_t kPagesToday = static_cast<uint32_t>(kPagesNow);
constexpr const char* kPagesOdd = "http://shop.test/?q=<x>&y=\"1\"";
constexpr const char* kPagesTls = "https://tls.test/?a=<b>";

class PagesTest : public test::RealConsoleTest {
 protected:
  // A group of every kind of URL and text, a history, certificates, a check log and an error log.
  void SetUp() override {
    RealConsoleTest::SetUp();
    serveAt(kPagesNow);
    GroupConfig group;
    group.addBanContent("<b>sold out</b>");
    group.addPresContent("price & \"cart\"");
    addUrl(group, kPagesOdd, kUrlUp | kUrlCheckBan | kUrlCheckPres | kUrlPresOk, 1700000000, 200,
           1234);
    addUrl(group, "http://down.test/", kUrlCheckBan, 1700000000, 5);
    group.addUrl("javascript:alert(1)");
    addUrl(group, kPagesTls, kUrlUp | kUrlCheckBan | kUrlBanFound, kPagesToday - 3600, 200, 50)
        .certExpiry = kPagesToday + 3 * 86400;
    addUrl(group, "https://b.test/", kUrlUp).certExpiry = kPagesToday + 15 * 86400;
    storeGroup("shop", std::move(group));
    const std::string_view urls[] = {kPagesTls};
    auto check = [&](std::time_t ago, bool up, uint32_t ms) {
      const HistoryCheck record{static_cast<uint32_t>(kPagesNow - ago),
                                static_cast<uint8_t>(up ? kStateUp : 0), 200, ms};
      ASSERT_TRUE(appendHistory("shop", urls, kPagesTls, record, kPagesNow - ago).status.ok());
    };
    check(3 * 86400, true, 40);
    ASSERT_TRUE(compactHistory("shop", urls, kPagesNow).status.ok());
    check(7200, false, 16777215);
    check(3600, true, 50);
    ASSERT_TRUE(storeCertificate("shop", urls, kPagesTls,
                                 {kPagesNow + 3 * 86400, "CN=<CA> & Co", "CN=\"shop\""})
                    .status.ok());
    instance_.write("vydata/vychklog/shop.log",
                    encodeCheckLogEntry({1700000000, 200, kStateUp, "http://shop.test/<x>"}) +
                        encodeCheckLogEntry({1700000100, 500, 0, kPagesTls}));
    instance_.write("vydata/error.log", "1700000000|987|1|2|./vydata/<x>.dat|vyconsole|1\n");
  }
};

TEST_F(PagesTest, EveryPageIsValidInEveryState) {
  expectValid("login", post("apwd=wrong&fnct=view_groups"));
  const std::pair<const char*, Fields> pages[] = {
      {"overview", {{"fnct", "view_groups"}}},
      {"overview, add", {{"fnct", "add_group"}}},
      {"overview, refused name", {{"fnct", "view_groups"}, {"ACTION", "delete"}, {"group", "<x>"}}},
      {"group", {{"fnct", "view_group"}, {"group", "shop"}}},
      {"group, sorted and selected",
       {{"fnct", "view_group"}, {"group", "shop"}, {"urlsort", "t"}, {"TSELURL", kPagesTls}}},
      {"group, edit",
       {{"fnct", "view_group"}, {"group", "shop"}, {"ACTION", "edit"}, {"TSELURL", kPagesTls}}},
      {"group, add", {{"fnct", "view_group"}, {"group", "shop"}, {"ACTION", "addurl"}}},
      {"group, empty", {{"fnct", "view_group"}, {"group", "general"}}},
      {"url with history", {{"fnct", "view_url"}, {"group", "shop"}, {"url", kPagesTls}}},
      {"url without history", {{"fnct", "view_url"}, {"group", "shop"}, {"url", kPagesOdd}}},
      {"url refused", {{"fnct", "view_url"}, {"group", "shop"}, {"url", "x"}}},
      {"editor", {{"fnct", "edit_group"}, {"group", "shop"}}},
      {"editor, content edit", {{"fnct", "update_group_edit"}, {"group", "shop"}, {"BCSEL", "0"}}},
      {"editor, empty", {{"fnct", "edit_group"}, {"group", "general"}}},
      {"settings", {{"fnct", "setup"}}},
      {"settings, refused zone", {{"fnct", "setup_save"}, {"TZ", "1;x"}}},
      {"settings, refused days", settingsForm({{"CERTWARN", "a\"<"}})},
      {"password", {{"fnct", "display_chpass"}}},
      {"password, refused", {{"fnct", "update_pass"}, {"un", ""}}},
      {"check log", {{"fnct", "view_checklog"}, {"group", "shop"}}},
      {"check log, empty", {{"fnct", "view_checklog"}, {"group", "general"}}},
      {"error log", {{"fnct", "view_error"}}},
      {"error log, cleared", {{"fnct", "clear_error"}}},
      {"error log, empty", {{"fnct", "view_error"}}}};
  for (const auto& [name, fields] : pages) expectValid(name, fields);
  for (const char* topic : {"groups", "group", "url", "edtgrp", "setup", "chpass", "checklog",
                            "error", "login", "nosuch"}) {
    expectValid(std::string("help ") + topic, get(std::string("fnct=help&page=") + topic));
  }
}

TEST_F(ConsoleTest, TheFirstRunPagesAreValid) {
  serveInProcess();
  expectValid("first visit", get(""));
  post(test::formBody({{"fnct", "update_pass"}, {"un", "admin"}, {"pw", "pw"}}));
  expectValid("settings of a new installation", post("apwd=pw"));
}

}  // namespace
}  // namespace vy
