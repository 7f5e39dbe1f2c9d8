// The group settings editor: the settings fields, and the banned and required texts.
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;

class EditorTest : public test::WorkingConsoleTest {
 protected:
  void SetUp() override {
    WorkingConsoleTest::SetUp();
    GroupConfig group = groupOf({}, 30);
    group.inform = "ops@example.test";
    group.options = kOptWriteLog | kOptInfUpTime | (2 << kOptInfTypeShift);
    group.moreOptions = kMoreQueryCutChecked | kMoreDeleteAfterCheck;
    for (const char* text : {"alpha", "beta", "gamma"}) group.addBanContent(text);
    group.addPresContent("<b>price</b>");
    group.addPresContent("cart");
    addUrl(group, "http://shop.test/", kUrlUp, 1234, 200);
    storeGroup("shop", std::move(group));
  }
  // The form as the editor page sends it back unchanged, with the given fields on top.
  ProbePage send(const char* command, test::Fields changes) {
    test::Fields fields = {{"fnct", command}, {"group", "shop"}};
    fields.insert(fields.end(), changes.begin(), changes.end());
    return ask(fields);
  }
  using Texts = std::vector<std::string>;
};

TEST_F(EditorTest, ThePageShowsTheStoredSettingsAndTexts) {
  ProbePage page = send("edit_group", {});
  EXPECT_EQ(test::joined(page.line("header_template"),
                         {"EVRCHK", "WRTLOG", "INFUPTIME", "INFFNDBAN", "TYPE_2", "TYPE_0", "SUSP0",
                          "SUSP1", "VYTRCQSUTM", "VYTRCQSBCT", "UPDCMD"},
                         "|"),
            "30| checked| checked|| selected|| selected||| checked|ops@example.test");
  EXPECT_EQ(page.column("bancont_template", "BANCONT"), (Texts{"alpha", "beta", "gamma"}));
  EXPECT_EQ(page.column("prescont_template", "PRESCONT"),
            (Texts{"&lt;b&gt;price&lt;/b&gt;", "cart"}));
  EXPECT_TRUE(page.has("actcont_template"));
  EXPECT_EQ(test::joined(page.line("footer_template"), {"NONEWCONT_START", "NOEDITONT_START"}, "|"),
            "|<!--");
}

// It would break the group's text form.
TEST_F(EditorTest, ANotificationTargetOrPublicTitleHoldingALineBreakIsRefused) {
  const std::string before = groupBytes("shop");
  for (const test::Fields& fields : {test::Fields{{"UPDCMD", "mail\nurl=http://x/"}},
                                     test::Fields{{"PUBLIC", "1"}, {"PUBTITLE", "a\nb"}}}) {
    test::Fields changes = {{"EVRCHK", "5"}};
    changes.insert(changes.end(), fields.begin(), fields.end());
    EXPECT_NE(send("update_group", changes).message().find("control characters"), std::string::npos)
        << fields.back().first;
  }
  EXPECT_EQ(groupBytes("shop"), before);
}

// A public group without a title keeps no side file.
TEST_F(EditorTest, StoringTakesEveryFieldAndKeepsTheUrlRecordsByteForByte) {
  const std::string before = groupBytes("shop");
  const std::string records = before.substr(before.size() - (kUrlStatusSize + 18));
  ProbePage page = send("update_group", {{"EVRCHK", "45"},
                                         {"TYPEINF", "9"},
                                         {"SUSP", "2"},
                                         {"UPDCMD", "notify-me"},
                                         {"INFFNDPRES", "1"},
                                         {"VYTRCQSUTM", "1"},
                                         {"PUBLIC", "1"},
                                         {"PUBADDR", "1"},
                                         {"PUBTITLE", "Shop <front>"}});
  EXPECT_EQ(page.message(), "Group Settings Updated");
  EXPECT_EQ(test::joined(page.line("header_template"), {"PUBLIC", "PUBADDR", "PUBTITLE"}, "|"),
            " checked| checked|Shop &lt;front&gt;");
  GroupConfig stored = readGroup("shop");
  // Only the type's low three bits and the suspension's lowest bit count; unticked boxes are off.
  EXPECT_EQ(std::tuple(stored.checkInterval, stored.infType(), stored.suspended(),
                       stored.writeLog(), stored.infUpTime(), stored.infFndPres()),
            std::tuple(45, 1, false, false, false, true));
  EXPECT_EQ(stored.moreOptions, kMoreQueryCutPlain | kMoreDeleteAfterCheck);
  EXPECT_EQ(stored.inform, "notify-me");
  EXPECT_EQ(stored.publicFlags, kPublicShown | kPublicAddresses);
  const std::string after = groupBytes("shop");
  EXPECT_EQ(after.substr(after.size() - records.size()), records);

  page = send("update_group", {{"EVRCHK", "30"}, {"PUBLIC", "1"}});
  EXPECT_EQ(readGroup("shop").publicFlags, kPublicShown);
  EXPECT_EQ(page.value("header_template", "PUBTITLE"), "");
  EXPECT_FALSE(instance_.exists("vydata/vypublic/shop.dat"));
}

TEST_F(EditorTest, TextsAreAddedOnceInLowerCaseWithoutCarriageReturns) {
  ProbePage page = send("update_group_cont", {{"TYPECONT", "b"}, {"CONT", "Sold\r\nOUT"}});
  EXPECT_EQ(readGroup("shop").banContents,
            (std::vector<std::string_view>{"alpha", "beta", "gamma", "sold\nout"}));
  page = send("update_group_cont", {{"TYPECONT", "b"}, {"CONT", "beta"}});
  EXPECT_EQ(page.column("bancont_template", "BANCONT").size(), 4u);
  page = send("update_group_cont", {{"TYPECONT", "p"}, {"CONT", "beta"}});  // the other list
  EXPECT_EQ(page.column("prescont_template", "PRESCONT").back(), "beta");
  page = send("update_group_cont", {{"TYPECONT", "b"}, {"CONT", ""}});
  EXPECT_EQ(page.column("bancont_template", "BANCONT").size(), 4u);
}

TEST_F(EditorTest, DeletingMovesTheLastTextIntoTheGap) {
  ProbePage page = send("update_group_delete", {{"BCSEL", "0"}, {"PCSEL", "7"}});
  EXPECT_EQ(page.column("bancont_template", "BANCONT"), (Texts{"gamma", "beta"}));
  EXPECT_EQ(page.column("prescont_template", "PRESCONT").size(), 2u);  // outside: unchanged
}

TEST_F(EditorTest, EditingShowsAndReplacesTheSelectedTextInItsListAlone) {
  ProbePage page = send("update_group_edit", {{"PCSEL", "1"}});
  EXPECT_EQ(test::joined(
                page.line("footer_template"),
                {"SELPRES", "SELBAN", "CONT", "SELNUM", "NOEDITONT_START", "NONEWCONT_START"}, "|"),
            " selected||cart|1||<!--");
  EXPECT_EQ(page.column("prescont_template", "CSEL"), (Texts{"", "sel"}));
  EXPECT_EQ(page.column("bancont_template", "CSEL"), (Texts{"", "", ""}));
  page = send("update_group_edit", {{"PCSEL", "0"}});
  EXPECT_EQ(page.value("footer_template", "CONT"), "&lt;b&gt;price&lt;/b&gt;");
  page = send("update_group_edit", {{"BCSEL", "1"}});
  EXPECT_EQ(
      test::joined(page.line("footer_template"), {"SELBAN", "SELPRES", "CONT", "SELNUM"}, "|"),
      " selected||beta|1");

  page = send("update_group_cont", {{"SELNUM", "1"}, {"SELPRES", " selected"}, {"CONT", "Basket"}});
  const Texts required = {"&lt;b&gt;price&lt;/b&gt;", "basket"};
  EXPECT_EQ(page.column("prescont_template", "PRESCONT"), required);
  EXPECT_EQ(page.column("bancont_template", "BANCONT"), (Texts{"alpha", "beta", "gamma"}));
  page = send("update_group_cont", {{"SELNUM", "1"}, {"SELBAN", " selected"}, {"CONT", "Delta"}});
  EXPECT_EQ(page.column("bancont_template", "BANCONT"), (Texts{"alpha", "delta", "gamma"}));
  EXPECT_EQ(page.column("prescont_template", "PRESCONT"), required);
}

// One list at a time: an edit never takes a text of one list into the other.
TEST_F(EditorTest, AnEditOfATextOfEachListIsRefused) {
  const std::string before = groupBytes("shop");
  const std::string refusal =
      "Select one text to edit: a banned text or a required text, not one of each";
  ProbePage page = send("update_group_edit", {{"BCSEL", "0"}, {"PCSEL", "1"}});
  EXPECT_EQ(page.message(), refusal);
  EXPECT_EQ(page.value("footer_template", "NOEDITONT_START"), "<!--");
  page = send("update_group_cont",
              {{"SELNUM", "0"}, {"SELBAN", " selected"}, {"SELPRES", " selected"}, {"CONT", "x"}});
  EXPECT_EQ(page.message(), refusal);
  EXPECT_EQ(groupBytes("shop"), before);
}

// A text is cut at its first NUL byte; one that is empty then (an empty banned text would be
// found in every page) is refused, added or as the replacement of a text.
TEST_F(EditorTest, ATextEmptyBeforeItsFirstNulIsRefused) {
  using namespace std::string_literals;
  const std::string before = groupBytes("shop");
  const std::string refusal =
      "A text may not be empty (nor begin with a NUL byte); nothing was stored";
  const std::vector<test::Fields> empties = {
      {{"TYPECONT", "b"}, {"CONT", "\0"s}},
      {{"TYPECONT", "p"}, {"CONT", "\0after"s}},
      {{"TYPECONT", "b"}, {"CONT", "\r"}},
      {{"SELNUM", "0"}, {"SELBAN", " selected"}, {"CONT", ""}},
      {{"SELNUM", "1"}, {"SELPRES", " selected"}, {"CONT", "\0"s}}};
  for (const test::Fields& fields : empties) {
    EXPECT_EQ(send("update_group_cont", fields).message(), refusal) << fields.back().second.size();
  }
  EXPECT_EQ(groupBytes("shop"), before);
  ProbePage page = send("update_group_cont", {{"TYPECONT", "b"}, {"CONT", "Kept\0dropped"s}});
  EXPECT_EQ(page.column("bancont_template", "BANCONT").back(), "kept");
}

// The worker sends it through what was just stored; its one line is the page's message.
TEST_F(EditorTest, ATestMessageStoresTheFormFirstAndShowsWhatTheWorkerSaid) {
  instance_.writeScript("vyrunner.cgi",
                        "printf '%s\\n' \"$0\" \"$@\" > worker-args.txt\n"
                        "grep -c 'ntfy:http://push.test/t' vydata/vydb/shop.dat > stored.txt\n"
                        "echo 'Test message sent to ntfy (200 OK).'\necho more\n");
  ProbePage page =
      send("update_group_test",
           {{"EVRCHK", "30"}, {"TYPEINF", "5"}, {"UPDCMD", "ntfy:http://push.test/t"}});
  EXPECT_EQ(instance_.read("worker-args.txt"), "./vyrunner.cgi\nnotifytest\nshop\n");
  EXPECT_EQ(instance_.read("stored.txt"), "1\n");
  EXPECT_EQ(page.message(), "Test message sent to ntfy (200 OK).");
  EXPECT_EQ(readGroup("shop").infType(), 5);
}

}  // namespace
}  // namespace vy
