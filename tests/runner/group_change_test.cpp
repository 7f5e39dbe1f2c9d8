// Group files changed by two processes at once, and by a process whose write is refused or that
// is killed half-way.
#include <chrono>
#include <ctime>
#include <thread>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::LogLines;
using GroupChangeTest = test::ServiceTest;

// A site that answers after two seconds: time for another process to change the group while
// a check of X waits for its page. The group holds [E, X, Q], only X due; Q's URL ends with X's
// and E is as long as Q, so once E is deleted or moved to the end, X's former record position
// lies inside Q's URL exactly where "X" and its NUL stand.
class WriteBackRaceTest : public test::ServiceTest {
 protected:
  WriteBackRaceTest()
      : slow_(test::answerAfter(2.0, test::httpReplyText("200 OK", "ok"))),
        x_(slow_.url("/x")),
        q_(slow_.url("/" + std::string(30, 'p')) + x_),
        e_("http://e.test/" + std::string(q_.size() - 14, 'e')) {}

  // Checks X with `check` and runs `change` with `input` while the page is awaited: the group
  // afterwards.
  GroupConfig raceWith(const std::vector<std::string>& check, const std::string& change,
                       const std::string& input) {
    GroupConfig group = groupOf({});
    const auto recently = static_cast<uint32_t>(std::time(nullptr) - 60);
    addUrl(group, e_, 0, recently, 203);
    addUrl(group, x_, 0);
    addUrl(group, q_, 0, recently + 2, 203);
    storeGroup("shop", group);
    const int before = slow_.connectionCount();
    test::BackgroundProcess checking =
        instance_.start("vyrunner.cgi", {check, {}, "url=" + x_ + "\n", 30});
    EXPECT_TRUE(test::waitUntil([&] { return slow_.connectionCount() > before; }, 10));
    EXPECT_EQ(service({change, "shop"}, input).exitCode, 0);
    checking.wait(30);
    return readGroup("shop");
  }
  // The stored URLs as "<url>@<code>", in file order.
  static std::string codes(const GroupConfig& group) {
    std::string text;
    for (const UrlStatus& entry : group.urls) {
      text += std::string(entry.url) + "@" + std::to_string(entry.resultCode) + " ";
    }
    return text;
  }

  test::FakeServer slow_;
  const std::string x_, q_, e_;
};

// The check switches are the administrator's: a check that read them before they were changed
// writes back its results only.
TEST_F(WriteBackRaceTest, ACheckWritesOnlyItsResultsIntoItsOwnRecordWhateverChangedMeanwhile) {
  const std::string e = "url=" + e_ + "\n";
  EXPECT_EQ(codes(raceWith({"checkurl", "shop"}, "del", e)), x_ + "@200 " + q_ + "@203 ");
  EXPECT_EQ(codes(raceWith({"checkgroup", "shop"}, "del", e)), x_ + "@200 " + q_ + "@203 ");
  EXPECT_EQ(codes(raceWith({"checkurl", "shop"}, "add", e)),
            x_ + "@200 " + q_ + "@203 " + e_ + "@203 ");
  const GroupConfig switched =
      raceWith({"checkgroup", "shop"}, "add", "url=" + x_ + "\nchkban=1\nchkpres=1\n");
  EXPECT_EQ(codes(switched), e_ + "@203 " + q_ + "@203 " + x_ + "@200 ");  // added again: moved
  EXPECT_EQ(switched.urls.back().flags, kUrlCheckBan | kUrlCheckPres | kUrlUp | kUrlPresOk);
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// After the first write-back found the group replaced, the run's later checks write into the
// group it read again: they keep its switches too, not those the run read first.
TEST_F(WriteBackRaceTest, LaterChecksOfTheRunKeepTheSwitchesChangedMeanwhile) {
  const std::string y = slow_.url("/y");
  storeGroup("shop", groupOf({x_, y}));
  test::BackgroundProcess checking =
      instance_.start("vyrunner.cgi", {{"checkgroup", "shop", "10", "1"}, {}, "", 30});
  EXPECT_TRUE(test::waitUntil([&] { return slow_.connectionCount() > 0; }, 10));
  EXPECT_EQ(service({"add", "shop"}, "url=" + y + "\nchkban=1\n").exitCode, 0);
  checking.wait(30);
  EXPECT_EQ(codes(readGroup("shop")), x_ + "@200 " + y + "@200 ");
  EXPECT_EQ(readGroup("shop").urls.at(1).flags, kUrlCheckBan | kUrlUp | kUrlPresOk);
}

TEST_F(GroupChangeTest, AWriteRefusedHalfWayLeavesTheGroupAsItWasAndReportsIt) {
  storeGroup("shop", groupOf({"http://a.test/", "http://b.test/"}));
  const std::string before = groupBytes("shop");
  instance_.writeScript("limited.sh", "ulimit -f 8\nexec ./vyrunner.cgi \"$@\"\n");
  std::string urls;  // far more than the 4 or 8 KiB a file may grow to
  for (int i = 0; i < 400; ++i) urls += "url=http://many.test/" + std::to_string(i) + "\n";
  EXPECT_EQ(
      instance_.run("limited.sh", {{"add", "shop"}, {{"ADMIN_PWD", "secret"}}, urls, 30}).exitCode,
      0);
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"13", "Add"}}));
  EXPECT_EQ(groupBytes("shop"), before);
  EXPECT_EQ(hiddenGroupFiles(), std::vector<std::string>{});
}

TEST_F(GroupChangeTest, AWriterKilledHalfWayLeavesTheOldGroupAndTheNextWriteClearsUp) {
  storeGroup("big", groupOf({"http://old.test/"}));
  const std::string before = groupBytes("big");
  std::string text;
  for (int i = 0; i < 300000; ++i) text += "url=http://big.test/page/" + std::to_string(i) + "\n";
  test::BackgroundProcess writer =
      instance_.start("vyrunner.cgi", {{"writegroup", "big"}, {{"ADMIN_PWD", "secret"}}, text, 60});
  // Killed as soon as its new image is being written.
  bool writing = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!writing && !writer.ended() && std::chrono::steady_clock::now() < deadline) {
    writing = !hiddenGroupFiles().empty();
    if (!writing) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  writer.kill();
  ASSERT_TRUE(writing);
  GroupConfig group = readGroup("big");
  const bool old = groupBytes("big") == before;
  EXPECT_TRUE(old || group.urlCount() == 300000) << group.urlCount();
  EXPECT_TRUE(!old || !hiddenGroupFiles().empty());  // what the killed writer left
  EXPECT_EQ(service({"add", "big"}, "url=http://new.test/\n").exitCode, 0);
  EXPECT_EQ(hiddenGroupFiles(), std::vector<std::string>{});
  EXPECT_EQ(readGroup("big").urls.back().url, "http://new.test/");
}

}  // namespace
}  // namespace vy
