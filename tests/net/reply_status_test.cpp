// replyStatus, httpStatusText and httpErrorText: how a raw reply becomes the
// one status code the URL check stores.
#include <gtest/gtest.h>

#include <string>

#include "net/http.h"

namespace vy {
namespace {

ReplyStatus statusOf(const std::string& data) { return replyStatus(std::optional(data), kHttpOk); }

TEST(ReplyStatus, StatusLineGivesNumberAndReasonPhrase) {
  ReplyStatus status = statusOf("HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\nbody");
  EXPECT_EQ(status.code, 404);
  EXPECT_STREQ(status.text, "Not Found");

  status = statusOf("HTTP/1.0 301 Moved Permanently\r\nLocation: http://a/\r\n\r\n");
  EXPECT_EQ(status.code, 301);
  EXPECT_STREQ(status.text, "Moved Permanently");
}

TEST(ReplyStatus, StatusLineMustBeLongerThanThirteenCharacters) {
  EXPECT_EQ(statusOf("HTTP/1.0 200").code, kHttpInvalidHeader);   // 12
  EXPECT_EQ(statusOf("HTTP/1.0 200 ").code, kHttpInvalidHeader);  // 13
  EXPECT_EQ(statusOf("HTTP/1.0 200 O").code, 200);                // 14
  // The reply is read as a text, so a zero byte ends it.
  EXPECT_EQ(statusOf(std::string("HTTP/1.0 200\0 OK\r\n\r\n", 20)).code, kHttpInvalidHeader);
}

TEST(ReplyStatus, MissingOrForeignStatusLineIsInvalidHeader) {
  EXPECT_EQ(replyStatus(std::nullopt, kHttpOk).code, kHttpInvalidHeader);
  ReplyStatus empty = statusOf("");
  EXPECT_EQ(empty.code, 8);
  EXPECT_STREQ(empty.text, "Invalid header");
  EXPECT_EQ(statusOf("<html><body>no header</body></html>").code, kHttpInvalidHeader);
  EXPECT_EQ(statusOf("http/1.0 200 OK\r\n\r\n").code, kHttpInvalidHeader);
}

TEST(ReplyStatus, NumberFollowsAtoiRulesAtPositionNine) {
  EXPECT_EQ(statusOf("HTTP/1.1 299 Odd\r\n").code, 299);
  EXPECT_STREQ(statusOf("HTTP/1.1 299 Odd\r\n").text, "Unknown HTTP Error");
  EXPECT_EQ(statusOf("HTTP/1.1   302 Found\r\n").code, 302);  // blanks skipped
  EXPECT_EQ(statusOf("HTTP/1.1 abc nothing\r\n").code, 0);    // no digits
  EXPECT_EQ(statusOf("HTTP/2 200 OK, short version").code, 0);
}

TEST(ReplyStatus, TransferErrorWinsOverAnyData) {
  ReplyStatus status =
      replyStatus(std::optional<std::string>("HTTP/1.0 200 OK\r\n\r\n"), kHttpConnectError);
  EXPECT_EQ(status.code, 5);
  EXPECT_STREQ(status.text, "Connection error");

  HttpReply timedOut{kHttpTimeout, std::string("HTTP/1.0 200 OK\r\n"), 17};
  EXPECT_EQ(replyStatus(timedOut).code, 1);
  EXPECT_STREQ(replyStatus(timedOut).text, "Connection timeout");

  EXPECT_EQ(replyStatus(std::nullopt, 12).code, 12);
  EXPECT_STREQ(replyStatus(std::nullopt, 12).text, "Unknown connection error");
}

TEST(HttpErrorText, EveryCodeOfTheSetHasItsText) {
  const char* expected[] = {"OK",
                            "Connection timeout",
                            "Hostname lookup failed",
                            "Invalid IP address",
                            "Socket error",
                            "Connection error",
                            "Allocation memory",
                            "Invalid URL",
                            "Invalid header",
                            "Unknown response"};
  for (int code = 0; code < 10; ++code) EXPECT_STREQ(httpErrorText(code), expected[code]) << code;
  EXPECT_STREQ(httpErrorText(-1), "Unknown connection error");
  EXPECT_STREQ(httpErrorText(10), "Unknown connection error");
}

TEST(HttpStatusText, KnownPhrasesAndTheGapsBetweenThem) {
  EXPECT_STREQ(httpStatusText(200), "OK");
  EXPECT_STREQ(httpStatusText(203), "Non-Authoritative Information");
  EXPECT_STREQ(httpStatusText(307), "Temporary Redirect");
  EXPECT_STREQ(httpStatusText(414), "Request-URI Too Large");
  EXPECT_STREQ(httpStatusText(416), "Request Range Not Satisfiable");
  EXPECT_STREQ(httpStatusText(505), "HTTP Version Not Supported");
  for (int status : {0, 102, 207, 306, 308, 418, 506, 999}) {
    EXPECT_STREQ(httpStatusText(status), "Unknown HTTP Error") << status;
  }
}

}  // namespace
}  // namespace vy
