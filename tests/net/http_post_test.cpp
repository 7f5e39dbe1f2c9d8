// The notification POST against loopback fake services: the whole request, how replies of every
// framing are read, the time limit of the whole exchange, TLS verification, refused requests.
#include "net/http_post.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/fake_server.h"
#include "tests/support/test_ca.h"

namespace vy {
namespace {

using Clock = std::chrono::steady_clock;
using test::answerPostWith;
using test::FakeConnection;
using test::FakeServer;

const HostTable kNoHostNames;

PostRequest jsonPost(const std::string& url, const std::string& body) {
  return {url, "application/json", body, {{"X-Token", "abc"}}};
}

test::Session replying(std::string reply) {
  return answerPostWith([reply = std::move(reply)](const std::string&) { return reply; });
}

TEST(HttpPost, SendsTheWholeRequestAndReadsAContentLengthReply) {
  setRequestIdentity("VantryTest/1.0", "http://console.test/");
  FakeServer hook(replying("HTTP/1.1 201 Created\r\nContent-Length: 4\r\n\r\ndone"), 8080);
  const std::string body = R"({"text":"é"})";
  const PostReply reply = httpPost(jsonPost(hook.url("/hooks/T1/B2?x=1"), body), kNoHostNames);
  EXPECT_EQ(hook.received(0), "POST /hooks/T1/B2?x=1 HTTP/1.1\r\nHost: " + hook.address() +
                                  ":8080\r\nUser-Agent: VantryTest/1.0\r\n"
                                  "Content-Type: application/json\r\nContent-Length: " +
                                  std::to_string(body.size()) +
                                  "\r\nX-Token: abc\r\nConnection: close\r\n\r\n" + body);
  EXPECT_TRUE(reply.succeeded());
  EXPECT_EQ(std::tuple(reply.status, reply.reason, reply.body), std::tuple(201, "Created", "done"));
}

// A service that ignores "Connection: close" still ends the exchange once its reply is whole.
TEST(HttpPost, AChunkedReplyIsDecodedAndEndsTheExchangeWithoutTheClose) {
  FakeServer hook([](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n");
    connection.send("A\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n");
    connection.holdOpen(20);
  });
  const Clock::time_point start = Clock::now();
  const PostReply reply = httpPost(jsonPost(hook.url("/"), "{}"), kNoHostNames);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(reply.succeeded());
  EXPECT_EQ(reply.body, "abc0123456789");
}

TEST(HttpPost, StatusesOutsideTwoHundredsAndUnreadableRepliesAreNoSuccess) {
  const std::pair<std::string, std::pair<HttpError, int>> cases[] = {
      {"HTTP/1.1 500 Internal Server Error\r\n\r\n", {HttpError::kOk, 500}},
      {"HTTP/1.1 429 Too Many Requests\r\nContent-Length: 2\r\n\r\nno", {HttpError::kOk, 429}},
      {"HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n", {HttpError::kOk, 302}},
      {"SSH-2.0-x\r\n\r\n", {HttpError::kInvalidHeader, 0}},
      {"HTTP/1.1 2", {HttpError::kInvalidHeader, 0}},
  };
  for (const auto& [text, expected] : cases) {
    FakeServer hook(replying(text));
    const PostReply reply = httpPost(jsonPost(hook.url("/"), "{}"), kNoHostNames);
    EXPECT_EQ(std::pair(reply.code, reply.status), expected) << text;
    EXPECT_FALSE(reply.succeeded()) << text;
  }
}

// Bytes that trickle in keep every single wait short, but not the whole exchange.
TEST(HttpPost, TheTimeLimitCoversTheWholeExchange) {
  FakeServer silent([](FakeConnection& connection) { connection.holdOpen(20); });
  FakeServer trickling([](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    for (int i = 0; i < 100 && connection.send("x"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  for (const FakeServer* hook : {&silent, &trickling}) {
    const Clock::time_point start = Clock::now();
    const PostReply reply =
        httpPost(jsonPost(hook->url("/"), "{}"), kNoHostNames, std::chrono::milliseconds(600));
    EXPECT_EQ(reply.code, HttpError::kTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
  }
}

TEST(HttpPost, ARefusedConnectionOrAHeaderWithALineBreakSendsNothing) {
  FakeServer closed(nullptr);
  EXPECT_EQ(httpPost(jsonPost(closed.url("/"), "{}"), kNoHostNames).code, HttpError::kConnectError);
  FakeServer hook(replying("HTTP/1.1 200 OK\r\n\r\n"));
  PostRequest smuggling = jsonPost(hook.url("/"), "{}");
  smuggling.headers = {{"Title", "down\r\nX-Evil: 1"}};
  EXPECT_EQ(httpPost(smuggling, kNoHostNames).code, HttpError::kInvalidUrl);
  PostRequest badType = jsonPost(hook.url("/"), "{}");
  badType.contentType = "text/plain\n";
  EXPECT_EQ(httpPost(badType, kNoHostNames).code, HttpError::kInvalidUrl);
  EXPECT_EQ(hook.connectionCount(), 0);
}

TEST(HttpsPost, AVerifiedServiceGetsTheRequestAndAnUntrustedOneNone) {
  test::TestCa& ca = test::processTrustedCa();
  FakeServer hook(replying("HTTP/1.1 204 No Content\r\n\r\n"),
                  {443, false, ca.issuing(test::CertKind::kValid)});
  const PostReply reply = httpPost(jsonPost(hook.url("/secret/path"), "{\"a\":1}"), kNoHostNames);
  EXPECT_TRUE(reply.succeeded());
  EXPECT_EQ(
      hook.received(0).rfind("POST /secret/path HTTP/1.1\r\nHost: " + hook.address() + "\r\n", 0),
      0u);
  EXPECT_NE(hook.received(0).find("\r\n\r\n{\"a\":1}"), std::string::npos);
  FakeServer selfSigned(replying("HTTP/1.1 200 OK\r\n\r\n"),
                        {443, false, ca.issuing(test::CertKind::kSelfSigned)});
  EXPECT_EQ(httpPost(jsonPost(selfSigned.url("/"), "{}"), kNoHostNames).code,
            HttpError::kCertificate);
}

}  // namespace
}  // namespace vy
