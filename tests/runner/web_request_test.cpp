// The worker under a web server, with requests shaped as Apache passes them (a query without "="
// also as arguments, the body on standard input): nothing a request sends is stored or run, and
// checks need the administrator. And what a request to a checked site carries.
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::LogLines;

class WebRequestTest : public test::ServiceTest {
 protected:
  // POST /vantry/vyrunner.cgi?<query> with the body, as Apache runs the worker.
  test::RunResult overTheWeb(const std::string& query, const std::string& body,
                             const std::string& remoteUser = "") {
    test::CgiRequest cgi = test::apacheRequest("POST", "/vantry/vyrunner.cgi", query, body.size());
    if (!remoteUser.empty()) cgi.env["REMOTE_USER"] = remoteUser;
    return instance_.run("vyrunner.cgi", {cgi.args, cgi.env, body, 60});
  }
  // A group text that would run `touch <marker>` on any change of its URL.
  std::string commandingText(const std::string& url) const {
    return "inftype=1\ninform=touch " + instance_.path("owned") +
           "\ninfuptime=1\nurl=" + url + "\n";
  }
  test::FakeServer site_{test::answerWith(test::httpReplyText("200 OK", "<html>ok</html>"))};
};

TEST_F(WebRequestTest, AStrangersCheckurlRunsNothingAndTheAdministratorsChecksOnlyStoredUrls) {
  ASSERT_TRUE(site_.ok());
  storeGroup("general", groupOf({site_.url()}));
  test::FakeServer elsewhere(test::answerWith(test::httpReplyText("200 OK", "x")));
  ASSERT_TRUE(elsewhere.ok());

  const test::RunResult stranger = overTheWeb("checkurl", commandingText(site_.url()));
  EXPECT_EQ(stranger.exitCode, 2);
  EXPECT_EQ(readGroup("general").urls[0].lastCheck, 0u);
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"1", "Invalid Admin Password"}}));

  // The administrator's check takes the URL from the text and everything else from the stored
  // group, which notifies nobody; a URL the group does not hold is never fetched.
  EXPECT_EQ(overTheWeb("checkurl", commandingText(site_.url()), "admin").exitCode,
            kStateUp | kStatePresOk);
  EXPECT_NE(readGroup("general").urls[0].lastCheck, 0u);
  EXPECT_EQ(overTheWeb("checkurl", commandingText(elsewhere.url()), "admin").exitCode,
            kStateUp | kStatePresOk);
  EXPECT_EQ(std::pair(site_.connectionCount(), elsewhere.connectionCount()), std::pair(2, 0));
  EXPECT_FALSE(instance_.exists("owned"));

  // From a shell the text's own settings still count: that is the administrator's own command.
  EXPECT_EQ(instance_.runWorker({"checkurl"}, {}, commandingText(elsewhere.url())).exitCode,
            kStateUp | kStatePresOk);
  EXPECT_TRUE(instance_.exists("owned"));
}

TEST_F(WebRequestTest, OverTheWebGroupChangesAreRefusedAndCheckRunsNeedTheAdministrator) {
  ASSERT_TRUE(site_.ok());
  storeGroup("general", groupOf({site_.url()}));
  const std::string stored = groupBytes("general");
  const std::string text = commandingText("http://127.0.0.1/") + "checktime=1\n";
  for (const char* query : {"set", "add+general", "writegroup+shop", "del+general", "write",
                            "rewrite+general", "delgroup+general"}) {
    EXPECT_EQ(overTheWeb(query, text, "admin").exitCode, 2) << query;
  }
  EXPECT_EQ(groupBytes("general"), stored);
  EXPECT_FALSE(instance_.exists("vydata/vydb/shop.dat"));
  LogLines refusals;
  for (const char* word : {"add", "del", "delgroup", "rewrite", "set", "write", "writegroup"}) {
    refusals.emplace_back("0", std::string("Refused over the web: ") + word);
  }
  EXPECT_EQ(test::loggedActions(instance_), refusals);

  for (const char* query : {"check", "checkgroup+general"}) {
    EXPECT_EQ(overTheWeb(query, "").exitCode, 2) << query;
  }
  EXPECT_EQ(site_.connectionCount(), 0);
  EXPECT_EQ(overTheWeb("checkgroup+general", "", "admin").exitCode, 0);
  EXPECT_EQ(site_.connectionCount(), 1);
  // Reading stays open to the administrator.
  EXPECT_EQ(overTheWeb("get+general", "", "admin").out.rfind(site_.url() + " 0 c=200", 0), 0u);
}

// A settings file written by hand, or by an older version, may hold a line break in the identity
// texts: the worker never sends such a value, so no header line and no request is smuggled in.
TEST_F(WebRequestTest, AnIdentityWithALineBreakIsNotSentWithTheCheck) {
  ASSERT_TRUE(site_.ok());
  settings_.userAgent = "Agent\r\nX-Injected: 1";
  settings_.referer = "http://r/\r\n\r\nGET /smuggled HTTP/1.0";
  saveSettings();
  storeGroup("general", groupOf({site_.url("/page")}));
  EXPECT_EQ(instance_.runWorker({"check"}).exitCode, 0);
  EXPECT_EQ(site_.received(0), "GET /page HTTP/1.0\r\nUser-Agent: \r\nReferer: \r\nAccept: */*\r\n"
                               "Host: " + site_.address() + "\r\n\r\n");
}

}  // namespace
}  // namespace vy
