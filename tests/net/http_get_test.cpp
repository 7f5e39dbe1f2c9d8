// httpGet against loopback fake sites: the exact request text, the URL
// rules, the size limits and the transfer failures.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/http.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using test::FakeServer;

std::string expectedRequest(const std::string& path, const std::string& host,
                            const std::string& agent = "VantryTest/1.0 (checker)",
                            const std::string& referer = "http://console.test/") {
  return "GET " + path + " HTTP/1.0\r\nUser-Agent: " + agent + "\r\nReferer: " + referer +
         "\r\nAccept: */*\r\nHost: " + host + "\r\n\r\n";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A page of `size` bytes whose every byte depends on its position.
std::string patternPage(size_t size) {
  std::string page = test::httpReplyText("200 OK", std::string(size, 'x'));
  for (size_t i = 0; i < page.size(); ++i) {
    if (page[i] == 'x') page[i] = static_cast<char>('a' + i % 26);
  }
  return page;
}

class HttpGetTest : public ::testing::Test {
 protected:
  void SetUp() override { setRequestIdentity("VantryTest/1.0 (checker)", "http://console.test/"); }
  void TearDown() override { setRequestIdentity("", ""); }
};

TEST_F(HttpGetTest, RequestTextCarriesPathIdentityAndHost) {
  const std::string reply = test::httpReplyText("200 OK", "<html>hello</html>");
  FakeServer site(test::answerWith(reply));
  ASSERT_TRUE(site.ok());
  const std::string host = site.address();

  HttpReply bare = httpGet("http://" + host, -1, 15);
  HttpReply query = httpGet("http://" + host + "?a=1", -1, 15);
  HttpReply deep = httpGet("http://" + host + "/x?y=/z", -1, 15);

  EXPECT_EQ(site.received(0), expectedRequest("/", host));
  EXPECT_EQ(site.received(1), expectedRequest("/?a=1", host));
  EXPECT_EQ(site.received(2), expectedRequest("/x?y=/z", host));
  for (const HttpReply* got : {&bare, &query, &deep}) {
    EXPECT_EQ(got->code, kHttpOk);
    ASSERT_TRUE(got->data.has_value());
    EXPECT_EQ(*got->data, reply);
    EXPECT_EQ(got->length, reply.size());
  }
}

TEST_F(HttpGetTest, EmptyIdentityStillSendsBothHeaderLines) {
  setRequestIdentity("", "");
  FakeServer site(test::answerWith(test::httpReplyText("204 No Content", "")));
  ASSERT_TRUE(site.ok());

  HttpReply got = httpGet(site.url("/status"), 25, 15);

  EXPECT_EQ(got.code, kHttpOk);
  EXPECT_EQ(site.received(0), expectedRequest("/status", site.address(), "", ""));
}

TEST_F(HttpGetTest, OnlyLowerCaseHttpSchemeIsAccepted) {
  FakeServer site(test::answerWith(test::httpReplyText("200 OK", "")));
  ASSERT_TRUE(site.ok());

  for (const std::string& url :
       {"https://" + site.address() + "/", "HTTP://" + site.address() + "/",
        "Http://" + site.address(), "ftp://" + site.address(), std::string()}) {
    HttpReply got = httpGet(url, -1, 15);
    EXPECT_EQ(got.code, kHttpInvalidUrl) << url;
    EXPECT_FALSE(got.data.has_value()) << url;
  }
  EXPECT_EQ(site.connectionCount(), 0);
}

TEST_F(HttpGetTest, PortInUrlIsPartOfTheNameAndFailsLookup) {
  FakeServer site(test::answerWith(test::httpReplyText("200 OK", "")));
  ASSERT_TRUE(site.ok());
  FakeServer alternate(test::closeAtOnce(), 8080, site.address());
  ASSERT_TRUE(alternate.ok());

  auto start = std::chrono::steady_clock::now();
  HttpReply numeric = httpGet("http://" + site.address() + ":8080/", -1, 15);
  HttpReply named = httpGet("http://host:8080/", -1, 15);

  EXPECT_EQ(numeric.code, kHttpLookupFailed);
  EXPECT_EQ(named.code, kHttpLookupFailed);
  EXPECT_LT(secondsSince(start), 10.0);
  EXPECT_EQ(site.connectionCount(), 0);
  EXPECT_EQ(alternate.connectionCount(), 0);
}

TEST_F(HttpGetTest, SizeLimitStopsAfterTheChunkThatReachesIt) {
  const std::string page = patternPage(300000);
  FakeServer site(test::answerWith(page));
  ASSERT_TRUE(site.ok());

  HttpReply small = httpGet(site.url(), 25, 15);
  ASSERT_EQ(small.code, kHttpOk);
  ASSERT_TRUE(small.data.has_value());
  EXPECT_GE(small.data->size(), 25u);
  EXPECT_LE(small.data->size(), 512u);  // one chunk
  EXPECT_EQ(*small.data, page.substr(0, small.data->size()));

  HttpReply large = httpGet(site.url(), 100000, 15);
  ASSERT_EQ(large.code, kHttpOk);
  ASSERT_TRUE(large.data.has_value());
  EXPECT_GE(large.data->size(), 100000u);
  EXPECT_LE(large.data->size(), 100000u + 511);
  EXPECT_LE(large.data->capacity(), 100000u + 511);
  EXPECT_EQ(large.length, large.data->size());
  EXPECT_EQ(*large.data, page.substr(0, large.data->size()));

  HttpReply whole = httpGet(site.url(), -1, 15);
  ASSERT_EQ(whole.code, kHttpOk);
  EXPECT_EQ(whole.data, page);
}

TEST_F(HttpGetTest, LimitZeroSendsTheRequestAndReadsNothing) {
  FakeServer site(test::answerWith(test::httpReplyText("200 OK", "body")));
  ASSERT_TRUE(site.ok());

  HttpReply got = httpGet(site.url("/ping"), 0, 15);

  EXPECT_EQ(got.code, kHttpOk);
  EXPECT_FALSE(got.data.has_value());
  EXPECT_EQ(got.length, 0u);
  EXPECT_EQ(site.connectionCount(), 1);
  EXPECT_EQ(site.received(0).substr(0, 15), "GET /ping HTTP/");
}

TEST_F(HttpGetTest, ServerThatNeverAnswersTimesOut) {
  FakeServer site(test::neverAnswer());
  ASSERT_TRUE(site.ok());

  auto start = std::chrono::steady_clock::now();
  HttpReply got = httpGet(site.url(), 25, 15);
  double waited = secondsSince(start);

  EXPECT_EQ(got.code, kHttpTimeout);
  EXPECT_GE(waited, 14.5);
  EXPECT_LT(waited, 25.0);
  ReplyStatus status = replyStatus(got);
  EXPECT_EQ(status.code, 1);
  EXPECT_STREQ(status.text, "Connection timeout");
}

TEST_F(HttpGetTest, RefusedConnectionIsConnectionError) {
  test::RefusingAddress closed;
  ASSERT_TRUE(closed.ok());

  HttpReply got = httpGet(closed.url(), 25, 15);

  EXPECT_EQ(got.code, kHttpConnectError);
  EXPECT_FALSE(got.data.has_value());
}

TEST_F(HttpGetTest, ServerClosingWithoutAnswerGivesEmptyDataAndInvalidHeader) {
  FakeServer site(test::closeWithoutAnswer());
  ASSERT_TRUE(site.ok());

  HttpReply got = httpGet(site.url(), 25, 15);

  EXPECT_EQ(got.code, kHttpOk);
  EXPECT_EQ(got.data, std::string());
  EXPECT_EQ(replyStatus(got).code, kHttpInvalidHeader);
}

TEST_F(HttpGetTest, SlowAnswerWithinTheWaitArrivesWhole) {
  const std::string reply = test::httpReplyText("404 Not Found", "gone");
  FakeServer site(test::answerAfter(1.0, reply));
  ASSERT_TRUE(site.ok());

  HttpReply got = httpGet(site.url(), 25, 15);

  EXPECT_EQ(got.code, kHttpOk);
  EXPECT_EQ(got.data, reply.substr(0, got.length));
  ReplyStatus status = replyStatus(got);
  EXPECT_EQ(status.code, 404);
  EXPECT_STREQ(status.text, "Not Found");
}

TEST(BuildGetRequest, HostEndsAtFirstSlashOrQuestionMark) {
  std::string host;
  std::optional<std::string> request = buildGetRequest("http://Site.Example?next=/home", host);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(host, "Site.Example");  // letter case as written
  EXPECT_EQ(request->substr(0, request->find("\r\n")), "GET /?next=/home HTTP/1.0");

  request = buildGetRequest("http://site/a b#frag", host);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(host, "site");
  EXPECT_EQ(request->substr(0, request->find("\r\n")), "GET /a b#frag HTTP/1.0");
}

TEST(BuildGetRequest, LongHostIsCutTo254Characters) {
  std::string host;
  std::string name(300, 'h');
  std::optional<std::string> request = buildGetRequest("http://" + name + "/page", host);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(host, name.substr(0, 254));
  EXPECT_NE(request->find("\r\nHost: " + name.substr(0, 254) + "\r\n\r\n"), std::string::npos);
  EXPECT_EQ(request->substr(0, 20), "GET /page HTTP/1.0\r\n");
}

}  // namespace
}  // namespace vy
