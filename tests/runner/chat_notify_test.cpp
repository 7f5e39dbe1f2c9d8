// Chat and push messages: what each service receives from a check run (plain and TLS hooks),
// one message per group run, failures that keep a one-shot group and keep the address's secret
// out of the log, and the message texts themselves.
#include <gtest/gtest.h>

#include <algorithm>

#include "runner/chat_message.h"
#include "tests/runner/check_run_fixture.h"
#include "tests/support/test_ca.h"
#include "tests/support/webhook.h"

namespace vy {
namespace {

using test::answerPostWith;
using test::CheckRunTest;
using test::FakeConnection;
using test::FakeServer;
using test::JsonValue;
using test::parseJson;
using test::parseReceivedRequest;
using test::ReceivedRequest;

test::Session acceptingHook(const std::string& status = "200 OK") {
  return answerPostWith([status](const std::string&) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  });
}

class ChatNotifyTest : public CheckRunTest {
 protected:
  ChatNotifyTest() : down_(test::answerWith(test::httpReplyText("503 Service Unavailable", ""))) {}

  // A group of one URL that was up and now answers 503, telling changes of availability.
  void storeDownGroup(const std::string& name, const std::string& inform, bool oneShot = false) {
    GroupConfig group = notifying(5, inform, {down_.url("/" + name)}, oneShot);
    group.setOption(kOptInfUpTime, true);
    wasUp(group.urls[0]);
    storeGroup(name, group);
  }
  std::string downLine(const std::string& name) {
    return "DOWN " + down_.url("/" + name) + " (503 Service Unavailable)";
  }
  test::RunResult checkAll(const std::string& threads = "4") {
    return instance_.runWorker({"check", "0", threads}, {{"SSL_CERT_FILE", ca_.caFile()}}, "", 60);
  }
  static ReceivedRequest only(FakeServer& hook) {
    EXPECT_EQ(hook.connectionCount(), 1);
    return parseReceivedRequest(hook.received(0));
  }
  static JsonValue body(const ReceivedRequest& request) {
    std::optional<JsonValue> json = parseJson(request.body);
    EXPECT_TRUE(json) << request.body;
    return json.value_or(JsonValue());
  }

  test::TestCa ca_;
  FakeServer down_;
};

TEST_F(ChatNotifyTest, EachServiceReceivesItsOwnRequestShape) {
  FakeServer slack(acceptingHook()), mattermost(acceptingHook()), discord(acceptingHook()),
      googlechat(acceptingHook()), ntfy(acceptingHook()), gotify(acceptingHook()),
      telegram(acceptingHook()), json(acceptingHook());
  FakeServer teams(acceptingHook("202 Accepted"),
                   {443, false, ca_.issuing(test::CertKind::kValid)});
  storeDownGroup("slack", "slack:" + slack.url("/services/T1/B2/XYZ"));
  storeDownGroup("mattermost", " Mattermost: " + mattermost.url("/hooks/abc") + " ");
  storeDownGroup("discord", "discord:" + discord.url("/api/webhooks/1/tok"));
  storeDownGroup("teams", "teams:" + teams.url("/workflows/run?sig=s"));
  storeDownGroup("googlechat", "googlechat:" + googlechat.url("/v1/spaces/S/messages?key=k"));
  storeDownGroup("ntfy", "ntfy:" + ntfy.url("/alerts"));
  storeDownGroup("gotify", "gotify:" + gotify.url("/message?token=AppTok"));
  storeDownGroup("telegram", "telegram:" + telegram.url("/bot123:ABC/-100200"));
  storeDownGroup("json", "json:" + json.url("/in"));
  test::RunResult run = checkAll();
  EXPECT_EQ(run.exitCode, 0) << run.err;

  for (auto [hook, name, path] : {std::tuple(&slack, "slack", "/services/T1/B2/XYZ"),
                                  std::tuple(&mattermost, "mattermost", "/hooks/abc")}) {
    const ReceivedRequest request = only(*hook);
    EXPECT_EQ(request.line, std::string("POST ") + path + " HTTP/1.1");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    EXPECT_EQ(request.headers.at("content-length"), std::to_string(request.body.size()));
    EXPECT_EQ(request.headers.at("user-agent"), "VantryTest/1.0");
    EXPECT_EQ(request.headers.at("connection"), "close");
    EXPECT_EQ(request.headers.at("host"), hook->address());
    EXPECT_EQ(body(request)["text"].text, std::string("*Vantry: 1 change in ") + name +
                                              "*\nDOWN <" + down_.url("/") + name +
                                              "> (503 Service Unavailable)");
  }
  const JsonValue discordBody = body(only(discord));
  EXPECT_EQ(discordBody["content"].text, "**Vantry: 1 change in discord**\n" + downLine("discord"));
  EXPECT_EQ(discordBody["allowed_mentions"]["parse"].kind, JsonValue::Kind::kArray);

  const ReceivedRequest teamsRequest = only(teams);
  EXPECT_EQ(teamsRequest.line, "POST /workflows/run?sig=s HTTP/1.1");
  const JsonValue card = body(teamsRequest)["attachments"][0];
  EXPECT_EQ(card["contentType"].text, "application/vnd.microsoft.card.adaptive");
  EXPECT_EQ(card["content"]["type"].text, "AdaptiveCard");
  EXPECT_EQ(card["content"]["body"][0]["text"].text, "Vantry: 1 change in teams");
  EXPECT_EQ(card["content"]["body"][1]["text"].text, downLine("teams"));

  EXPECT_EQ(body(only(googlechat))["text"].text,
            "*Vantry: 1 change in googlechat*\n" + downLine("googlechat"));

  const ReceivedRequest push = only(ntfy);
  EXPECT_EQ(push.line, "POST /alerts HTTP/1.1");
  EXPECT_EQ(push.headers.at("content-type"), "text/plain; charset=utf-8");
  EXPECT_EQ(push.headers.at("title"), "Vantry: 1 change in ntfy");
  EXPECT_EQ(push.headers.at("priority"), "high");
  EXPECT_EQ(push.headers.at("tags"), "warning");
  EXPECT_EQ(push.body, downLine("ntfy"));

  const ReceivedRequest gotifyRequest = only(gotify);
  EXPECT_EQ(gotifyRequest.line, "POST /message?token=AppTok HTTP/1.1");
  const JsonValue gotifyBody = body(gotifyRequest);
  EXPECT_EQ(gotifyBody["title"].text, "Vantry: 1 change in gotify");
  EXPECT_EQ(gotifyBody["message"].text, downLine("gotify"));
  EXPECT_EQ(gotifyBody["priority"].number, 8);

  const ReceivedRequest telegramRequest = only(telegram);
  EXPECT_EQ(telegramRequest.line, "POST /bot123:ABC/sendMessage HTTP/1.1");
  EXPECT_EQ(body(telegramRequest)["chat_id"].text, "-100200");
  EXPECT_EQ(body(telegramRequest)["text"].text,
            "Vantry: 1 change in telegram\n" + downLine("telegram"));

  const JsonValue report = body(only(json));
  EXPECT_EQ(report["group"].text, "json");
  EXPECT_EQ(report["test"].boolean, false);
  EXPECT_GT(report["time"].number, 0);
  const JsonValue change = report["changes"][0];
  EXPECT_EQ(change["url"].text, down_.url("/json"));
  EXPECT_EQ(change["text"].text, downLine("json"));
  EXPECT_EQ(std::tuple(change["up"].boolean, change["status_code"].number, change["state"].number),
            std::tuple(false, 503, 0));
  EXPECT_EQ(std::tuple(change["previous"]["up"].boolean, change["previous"]["status_code"].number,
                       change["previous"]["present"].boolean),
            std::tuple(true, 200, true));
  EXPECT_TRUE(change.has("response_ms") && change.has("banned_found") && change.has("present"));
  EXPECT_EQ(test::loggedActions(instance_), test::LogLines{});
}

// Run with threads: under ThreadSanitizer the marks and the message race-free.
TEST_F(ChatNotifyTest, ThreeChangesOfARunMakeOneMessageAndARunWithoutChangeNone) {
  FakeServer hook(acceptingHook()), quiet(acceptingHook());
  const std::vector<std::string> urls = {site_.url("/a"), site_.url("/b"), site_.url("/c")};
  storeGroup("shop", notifying(5, "discord:" + hook.url("/api/webhooks/1/t"), urls));
  GroupConfig steady = notifying(5, "discord:" + quiet.url("/api/webhooks/2/t"), urls);
  steady.setOption(kOptInfUpTime, true);
  for (UrlStatus& entry : steady.urls) wasUp(entry);
  storeGroup("steady", steady);
  test::RunResult run = checkAll("6");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  std::string expected = "**Vantry: 3 changes in shop**";
  for (const std::string& url : urls) expected += "\nUP " + url + " (200 OK)";
  EXPECT_EQ(body(only(hook))["content"].text, expected);
  EXPECT_EQ(quiet.connectionCount(), 0);
}

// The server that never answers holds its message for the whole 15 s limit.
TEST_F(ChatNotifyTest, EachFailedMessageIsLoggedOnceWithoutTheSecretAndKeepsItsOneShotGroup) {
  FakeServer failing(acceptingHook("500 Internal Server Error")),
      throttled(acceptingHook("429 Too Many Requests")), refusing(nullptr),
      silent([](FakeConnection&connection) { connection.holdOpen(30); });
  storeDownGroup("failing", "slack:" + failing.url("/services/SECRET1"), true);
  storeDownGroup("throttled", "ntfy:" + throttled.url("/SECRET2"), true);
  storeDownGroup("refusing", "gotify:" + refusing.url("/message?token=SECRET3"), true);
  storeDownGroup("silent", "telegram:" + silent.url("/botSECRET4/99"), true);
  storeDownGroup("unknown", "pager:http://127.0.0.1/SECRET5", true);
  EXPECT_EQ(checkAll("5").exitCode, 0);
  for (const char* name : {"failing", "throttled", "refusing", "silent", "unknown"}) {
    EXPECT_TRUE(instance_.exists(std::string("vydata/vydb/") + name + ".dat")) << name;
  }
  test::LogLines logged = test::loggedActions(instance_);
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged,
            (test::LogLines{
                {"0", "Chat message gotify " + refusing.address() + ": Connection error"},
                {"0", "Chat message ntfy " + throttled.address() + ": 429 Too Many Requests"},
                {"0", "Chat message slack " + failing.address() + ": 500 Internal Server Error"},
                {"0", "Chat message telegram " + silent.address() + ": Connection timeout"},
                {"0", "Chat message: unknown service or address \"pager\""},
            }));
  EXPECT_EQ(instance_.read("vydata/error.log").find("SECRET"), std::string::npos);
}

TEST_F(ChatNotifyTest, AUrlWithQuotesBackslashesALineFeedAndNonAsciiArrivesIntact) {
  FakeServer hook(acceptingHook());
  const std::string odd = down_.url("/say \"hi\"\\there\nZürich-€");
  GroupConfig group = notifying(5, "json:" + hook.url("/in"), {odd});
  storeGroup("odd", group);
  EXPECT_EQ(checkAll().exitCode, 0);
  const JsonValue change = body(only(hook))["changes"][0];
  EXPECT_EQ(change["url"].text, odd);
  EXPECT_EQ(change["text"].text.rfind("DOWN " + odd + " (", 0), 0u);
}

class NotifyTestCommand : public test::ServiceTest {
 protected:
  static GroupConfig notifyingGroup(int type, const std::string& inform) {
    GroupConfig group = CheckRunTest::notifying(type, inform, {"http://127.0.0.1/shop"});
    CheckRunTest::wasUp(group.urls[0]);
    return group;
  }
};

// The console runs it as checkurl, without the request's variables (the password among them):
// on the command line it needs none, over the web it is refused.
TEST_F(NotifyTestCommand, SendsOneTestMessageFromTheCommandLineAndSaysWhatBecameOfIt) {
  FakeServer hook(acceptingHook()), failing(acceptingHook("403 Forbidden"));
  storeGroup("chat", notifyingGroup(5, "gotify:" + hook.url("/message?token=t")));
  test::RunResult sent = service({"notifytest", "chat"});
  EXPECT_EQ(std::tuple(sent.exitCode, sent.out),
            std::tuple(0, "Test message sent to gotify (200 OK).\n"));
  const JsonValue message = parseJson(parseReceivedRequest(hook.received(0)).body).value();
  EXPECT_EQ(message["title"].text, "Vantry: test message for chat");
  EXPECT_EQ(message["message"].text,
            "Test message: notifications of the group chat reach this place.");
  EXPECT_EQ(instance_.runWorker({"notifytest", "chat"}).exitCode, 0);
  EXPECT_EQ(hook.connectionCount(), 2);
  test::CgiRequest cgi = test::apacheRequest("GET", "/vantry/vyrunner.cgi", "notifytest+chat", 0);
  cgi.env["REMOTE_USER"] = "admin";
  EXPECT_EQ(instance_.run("vyrunner.cgi", {cgi.args, cgi.env, "", 60}).exitCode, 2);
  EXPECT_EQ(hook.connectionCount(), 2);
  EXPECT_EQ(instance_.runWorker({"notifytest", "../x"}).exitCode, kExitInvalidGroupName);

  storeGroup("refused", notifyingGroup(5, "slack:" + failing.url("/services/KEY")));
  test::RunResult refused = service({"notifytest", "refused"});
  EXPECT_EQ(std::tuple(refused.exitCode, refused.out),
            std::tuple(1, "Test message failed: 403 Forbidden.\n"));

  storeGroup("command", notifyingGroup(1, "cat > told.txt"));
  EXPECT_EQ(service({"notifytest", "command"}).out, "Test message sent.\n");
  EXPECT_EQ(instance_.read("told.txt"), "http://127.0.0.1/shop 5 c=200");

  storeGroup("silent", notifyingGroup(0, "cat > never.txt"));
  EXPECT_EQ(service({"notifytest", "silent"}).exitCode, 1);
  EXPECT_FALSE(instance_.exists("never.txt"));
  EXPECT_EQ(test::loggedActions(instance_),
            (test::LogLines{{"0", "Chat message slack " + failing.address() + ": 403 Forbidden"},
                            {"0", "Invalid group name"},
                            {"0", "Refused over the web: notifytest"}}));
}

ChatChange changeOf(std::string_view url, bool prevUp, bool up, int code) {
  ChatChange change;
  change.entry.url = url;
  change.entry.resultCode = static_cast<int16_t>(code);
  change.check.prevUp = change.check.prevPresOk = prevUp;
  change.check.curUp = change.check.curPresOk = up;
  change.check.previousCode = 200;
  return change;
}

TEST(ChatMessageText, LinesSayWhatChangedWithTheStatusAndTheContent) {
  EXPECT_EQ(changeLine(changeOf("http://x/", false, true, 200), plainLink),
            "UP again http://x/ (200 OK)");
  EXPECT_EQ(changeLine(changeOf("http://x/", true, false, 5), plainLink),
            "DOWN http://x/ (Connection error)");
  ChatChange banned = changeOf("http://x/", true, true, 200);
  banned.check.curBanFound = true;
  banned.bannedText = "casino";
  EXPECT_EQ(changeLine(banned, plainLink), "banned text found http://x/ (200 OK): \"casino\"");
  ChatChange missing = changeOf("http://x/", false, true, 200);
  missing.check.curPresOk = false;
  missing.missingText = "welcome";
  EXPECT_EQ(changeLine(missing, plainLink),
            "UP again http://x/ (200 OK), required text missing: \"welcome\"");
  ChatChange expiring = changeOf("https://x/", true, true, 200);
  expiring.check.certDaysLeft = 6;
  EXPECT_EQ(changeLine(expiring, plainLink), "certificate expires in 6 days https://x/ (200 OK)");
  missing.check.certDaysLeft = 1;
  EXPECT_EQ(changeLine(missing, plainLink),
            "UP again http://x/ (200 OK), required text missing: \"welcome\", certificate expires "
            "in 1 day");
}

TEST(ChatMessageText, DiscordCutsLongListsWithAndNMoreWithinItsLimit) {
  ChatMessage message{"shop", 0, {}, ""};
  const std::string path(90, 'p');
  std::vector<std::string> urls;
  for (int i = 0; i < 40; ++i) urls.push_back("http://x/" + std::to_string(i) + path + "é");
  for (const std::string& url : urls) message.changes.push_back(changeOf(url, true, false, 503));
  const PostRequest request = chatRequest({ChatService::kDiscord, "http://h/", ""}, message);
  const std::string content = parseJson(request.body)->operator[]("content").text;
  const size_t characters = static_cast<size_t>(
      std::count_if(content.begin(), content.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  EXPECT_LE(characters, kDiscordLimit);
  EXPECT_GT(characters, kDiscordLimit - 130);  // as many whole lines as fit
  const size_t shown = static_cast<size_t>(std::count(content.begin(), content.end(), '\n')) - 1;
  EXPECT_EQ(content.substr(content.rfind('\n')), "\nand " + std::to_string(40 - shown) + " more");
}

TEST(ChatMessageText, SlackLinksEscapeWhatMrkdwnReads) {
  ChatMessage message{"shop", 0, {changeOf("http://x/?a=1&b=<2>|3", true, false, 503)}, ""};
  const PostRequest request = chatRequest({ChatService::kSlack, "http://h/", ""}, message);
  EXPECT_EQ(parseJson(request.body)->operator[]("text").text,
            "*Vantry: 1 change in shop*\nDOWN <http://x/?a=1&amp;b=&lt;2&gt;%7C3> (503 Service "
            "Unavailable)");
}

TEST(ChatAddress, ServicesAndTelegramFormsAreReadAndOthersRefused) {
  const std::optional<ChatTarget> bot = parseChatAddress("telegram:123:ABC/-100200");
  ASSERT_TRUE(bot);
  EXPECT_EQ(std::tuple(bot->url, bot->chatId),
            std::tuple("https://api.telegram.org/bot123:ABC/sendMessage", "-100200"));
  EXPECT_EQ(parseChatAddress("GOTIFY:https://g.test/message?token=t")->service,
            ChatService::kGotify);
  for (const char* refused : {"slack", "pager:https://p.test/", "slack:ftp://s.test/x",
                              "telegram:123:ABC", "telegram:123/", "telegram:a/b/c", "discord:"}) {
    EXPECT_FALSE(parseChatAddress(refused)) << refused;
  }
  EXPECT_EQ(chatServiceOf(" Pager:https://secret"), "pager");
}

}  // namespace
}  // namespace vy
