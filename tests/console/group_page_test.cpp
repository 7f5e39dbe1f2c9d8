// A group's page: the rows of its URLs, their sort orders, and the actions on a URL.
#include <filesystem>
#include <iterator>

#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;
using test::Values;

class GroupPageTest : public test::WorkingConsoleTest {
 protected:
  ProbePage groupPage(test::Fields fields) {
    fields.insert(fields.begin(), {{"fnct", "view_group"}, {"group", "shop"}});
    return ask(fields);
  }
  // The URLs of the page's rows, in order, joined by blanks.
  static std::string rowUrls(const ProbePage& page) {
    std::string urls;
    for (const std::string& url : page.column("url_template", "URL")) urls += url + " ";
    return urls;
  }
};

// Addresses are escaped, and only http addresses become links.
TEST_F(GroupPageTest, RowsShowEachUrlsLastResult) {
  GroupConfig group;
  group.setOption(kOptSuspend, true);
  addUrl(group, "http://up/plain", kUrlUp | kUrlPresOk, 1700000000, 200, 1234);
  addUrl(group, "http://up/checked", kUrlUp | kUrlCheckBan | kUrlCheckPres | kUrlBanFound,
         1700000000, 200, 50);
  addUrl(group, "http://down/checked", kUrlCheckBan | kUrlCheckPres, 1700000000, -3, 15000);
  addUrl(group, "http://never/", kUrlCheckPres);
  group.addUrl("http://x/<script>alert(\"1\")</script>");
  group.addUrl("javascript:alert(1)");
  storeGroup("shop", std::move(group));
  test::RunResult shown =
      submit({{"fnct", "view_group"}, {"group", "shop"}, {"TSELURL", "http://down/checked"}});
  ProbePage page = probe(shown);
  EXPECT_EQ(page.value("header_template", "SUSPEND"), "Suspended");
  EXPECT_NE(shown.out.find("<option value=\"shop\" selected>shop</option>\n"), std::string::npos);
  EXPECT_NE(shown.out.find("<option value=\"general\">general</option>\n"), std::string::npos);
  std::vector<Values> rows = page.section("url_template");
  ASSERT_EQ(rows.size(), 6u);
  const char* columns[] = {"Yes y - z - z 200 1.23 ", "Yes y Yes y No n 200 0.05 ",
                           "No n N/A x N/A x -3 15.00 sel", "No n - z N/A x 0 - "};
  for (size_t i = 0; i < std::size(columns); ++i) {
    EXPECT_EQ(test::joined(rows[i], {"UPTIME", "CLS_UPTIME", "FNDBAN", "CLS_FNDBAN", "FNDPRES",
                                     "CLS_FNDPRES", "RETCODE", "TIMECHK", "CSSSEL"}),
              columns[i]);
  }
  EXPECT_EQ(rows[3].at("LASTCHK"), "N/A");
  EXPECT_EQ(rows[0].at("LASTCHK").size(), 24u);
  EXPECT_FALSE(page.has("taddedit_template"));
  const std::string escaped = "http://x/&lt;script&gt;alert(&quot;1&quot;)&lt;/script&gt;";
  EXPECT_EQ(rows[4].at("URL"), escaped);
  EXPECT_EQ(rows[4].at("URL_LINK"), "<a href=\"" + escaped +
                                        "\" rel=\"noopener noreferrer\" target=\"_blank\">" +
                                        escaped + "</a>");
  EXPECT_EQ(rows[5].at("URL_LINK"), "javascript:alert(1)");
}

TEST_F(GroupPageTest, EachSortKeyOrdersTheRows) {
  GroupConfig group;
  addUrl(group, "http://c/", kUrlUp | kUrlPresOk, 300, 404, 0);
  addUrl(group, "http://a/", 0, 0, 5, 900);
  addUrl(group, "http://d/", kUrlUp | kUrlBanFound, 100, 200, 20);
  addUrl(group, "http://b/", kUrlUp, 200, -1, 700);
  storeGroup("shop", std::move(group));
  const std::pair<const char*, const char*> orders[] = {
      {"", "http://c/ http://a/ http://d/ http://b/ "},
      {"s", "http://a/ http://b/ http://c/ http://d/ "},
      {"t", "http://d/ http://b/ http://a/ http://c/ "},
      {"u", "http://c/ http://d/ http://b/ http://a/ "},
      {"f", "http://d/ http://c/ http://b/ http://a/ "},
      {"r", "http://c/ http://d/ http://b/ http://a/ "},
      {"l", "http://a/ http://d/ http://b/ http://c/ "},
      {"c", "http://b/ http://a/ http://d/ http://c/ "},
      {"xyz", "http://c/ http://a/ http://d/ http://b/ "}};
  for (const auto& [key, expected] : orders) {
    ProbePage page = groupPage({{"urlsort", key}});
    EXPECT_EQ(rowUrls(page), expected) << key;
    EXPECT_EQ(page.value("header_template", "URLSORT"), std::string(key).substr(0, 1));
  }
}

// An update of the same text changes only the switches; a new text replaces the former URL and
// keeps nothing of it.
TEST_F(GroupPageTest, AnUpdateKeepsTheLastResultOfTheSameUrlOnly) {
  GroupConfig group;
  addUrl(group, "http://old/", kUrlCheckBan | kUrlUp, 1000, 200, 10);
  addUrl(group, "http://keep/", kUrlUp, 2000, 203, 20);
  storeGroup("shop", std::move(group));
  EXPECT_EQ(groupPage({{"ACTION", "update"},
                       {"URL", "http://keep/"},
                       {"TAEURL", "http://keep/"},
                       {"CHKPRES", "1"}})
                .message(),
            "URL Updated");
  groupPage(
      {{"ACTION", "update"}, {"URL", "http://new/"}, {"TAEURL", "http://old/"}, {"CHKBAN", "1"}});
  EXPECT_EQ(rowUrls(groupPage({})), "http://keep/ http://new/ ");
  GroupConfig stored = readGroup("shop");
  EXPECT_EQ(std::tuple(stored.urlCount(), stored.urls.at(0).flags, stored.urls.at(0).lastCheck),
            std::tuple(2, kUrlCheckPres | kUrlUp, 2000u));
  EXPECT_EQ(std::tuple(stored.urls[1].flags, stored.urls[1].lastCheck, stored.urls[1].resultCode),
            std::tuple(kUrlCheckBan, 0u, int16_t{0}));
}

// Only what the worker can check is stored: "http://" or "https://" in small letters and a host.
// An empty address does nothing.
TEST_F(GroupPageTest, UpdateRefusesAnythingButAnHttpAddress) {
  storeGroup("shop", groupOf({"http://a/"}));
  const std::string before = groupBytes("shop");
  const std::string refusal =
      "Invalid URL: an address begins with http:// or https://, for example "
      "http://www.example.org/";
  for (const char* url :
       {"example.com", "javascript:alert(1)", "HTTP://x", "Https://x/", "http://", "https://",
        "http:///path", "http://?q", "http://:80/", "ftp://x/", " http://x/", "http://a b/"}) {
    EXPECT_EQ(groupPage({{"ACTION", "update"}, {"URL", url}}).message(), refusal) << url;
  }
  EXPECT_EQ(groupPage({{"ACTION", "update"}, {"URL", ""}}).message(), "");
  EXPECT_NE(groupPage({{"ACTION", "update"}, {"URL", "http://x/\nchkban=1"}})
                .message()
                .find("Invalid URL"),
            std::string::npos);
  EXPECT_EQ(groupBytes("shop"), before);
  for (const char* url : {"https://x.test", "http://[::1]:8080/a?b", "http://h?q"}) {
    EXPECT_EQ(groupPage({{"ACTION", "update"}, {"URL", url}}).message(), "URL Updated") << url;
  }
  EXPECT_EQ(rowUrls(groupPage({})), "http://a/ https://x.test http://[::1]:8080/a?b http://h?q ");
}

// A URL whose text is "all" is one URL like the others: deleting or renaming it keeps the group.
// Deleting a URL the group does not hold is reported done as well.
TEST_F(GroupPageTest, DeletingOrRenamingAUrlActsOnThatUrlAlone) {
  storeGroup("shop", groupOf({"all", "http://a/", "http://b/"}));
  ProbePage page = groupPage({{"ACTION", "update"}, {"URL", "http://c/"}, {"TAEURL", "all"}});
  EXPECT_EQ(rowUrls(page), "http://a/ http://b/ http://c/ ");
  storeGroup("shop", groupOf({"all", "http://a/"}));
  page = groupPage({{"ACTION", "delete"}, {"TSELURL", "all"}});
  EXPECT_EQ(std::pair(page.message(), rowUrls(page)),
            std::pair(std::string("URL Deleted"), std::string("http://a/ ")));
  EXPECT_EQ(groupPage({{"ACTION", "delete"}, {"TSELURL", "http://zz/"}}).message(), "URL Deleted");
  EXPECT_EQ(rowUrls(groupPage({})), "http://a/ ");
}

TEST_F(GroupPageTest, UpdateCreatesAMissingGroupWithTheSettingsOfANewGroup) {
  ProbePage page = ask({{"fnct", "view_group"},
                        {"group", "fresh"},
                        {"ACTION", "update"},
                        {"URL", "http://a/"},
                        {"CHKPRES", "1"}});
  EXPECT_EQ(page.message(), "URL Updated");
  GroupConfig fresh = readGroup("fresh");
  EXPECT_EQ(std::tuple(fresh.checkInterval, fresh.options, fresh.moreOptions, fresh.urlCount(),
                       fresh.urls.at(0).flags),
            std::tuple(180, kOptWriteLog, kMoreQueryCutPlain, 1, kUrlCheckPres));
}

TEST_F(GroupPageTest, EditOrAddShowsTheUrlForm) {
  GroupConfig group;
  addUrl(group, "http://a/", kUrlCheckBan);
  addUrl(group, "http://b/", kUrlCheckPres);
  storeGroup("shop", std::move(group));
  ProbePage page = groupPage({{"ACTION", "edit"}, {"TSELURL", "http://b/"}});
  EXPECT_EQ(test::joined(page.line("taddedit_template"), {"URL", "CHKBAN", "CHKPRES"}, "|"),
            "http://b/|| checked");
  EXPECT_FALSE(groupPage({{"ACTION", "edit"}, {"TSELURL", "http://b/"}, {"CSEL", "1"}})
                   .has("taddedit_template"));
  page = groupPage({{"ACTION", "addurl"}});
  EXPECT_EQ(page.value("taddedit_template", "URL") + page.value("taddedit_template", "CHKBAN"), "");
}

TEST_F(GroupPageTest, CheckRunsTheWorkerForTheSelectedUrlAndWaitsForIt) {
  storeGroup("shop", groupOf({"http://a/"}, 0));
  // A stand-in worker recording its arguments and input, and printing what must not reach
  // the page.
  instance_.writeScript("vyrunner.cgi",
                        "printf '%s\\n' \"$0\" \"$@\" > worker-args.txt\n"
                        "cat > worker-stdin.txt\necho noise\n");
  test::RunResult result = submit(
      {{"fnct", "view_group"}, {"group", "shop"}, {"ACTION", "check"}, {"TSELURL", "http://a/"}});
  EXPECT_EQ(instance_.read("worker-args.txt"), "./vyrunner.cgi\ncheckurl\nshop\n");
  EXPECT_EQ(instance_.read("worker-stdin.txt"), "url=http://a/\n");
  EXPECT_EQ(result.out.find("noise"), std::string::npos);
  EXPECT_EQ(probe(result).message(), "");
}

// Names that are no group's: each action is refused with a message and nothing changes.
TEST_F(GroupPageTest, EveryActionRefusesANameNoGroupMayHave) {
  storeGroup("shop", groupOf({"http://a/"}, 0));
  instance_.writeScript("vyrunner.cgi", "touch worker-ran\n");
  const std::string shop = groupBytes("shop");
  const std::vector<test::Fields> actions = {
      {{"fnct", "view_group"}, {"ACTION", "update"}, {"URL", "http://n/"}},
      {{"fnct", "view_group"}, {"ACTION", "check"}, {"TSELURL", "http://a/"}},
      {{"fnct", "view_group"}, {"ACTION", "delete"}, {"TSELURL", "all"}},
      {{"fnct", "view_groups"}, {"ACTION", "update"}},
      {{"fnct", "view_groups"}, {"ACTION", "delete"}},
      {{"fnct", "view_groups"}, {"ACTION", "view"}},
      {{"fnct", "update_group"}, {"EVRCHK", "5"}},
      {{"fnct", "update_group_cont"}, {"TYPECONT", "b"}, {"CONT", "x"}},
      {{"fnct", "edit_group"}},
      {{"fnct", "view_checklog"}},
      {{"fnct", "clear_checklog"}}};
  for (const std::string name :
       {"../x", "a/b", ".x", "my.data", "a\"b", "$(id)", "`id`", "x\ny", "../vydb/shop"}) {
    for (test::Fields fields : actions) {
      fields.push_back({"group", name});
      const test::RunResult result = submit(fields);
      EXPECT_NE(result.out.find("Invalid group name"), std::string::npos)
          << name << " " << fields[0].second;
    }
  }
  EXPECT_EQ(groupBytes("shop"), shop);
  EXPECT_FALSE(instance_.exists("worker-ran"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(instance_.path("vydata/vydb")), {}),
            2);
}

}  // namespace
}  // namespace vy
