// replyStatus and httpStatusText: how a raw reply becomes the one status code
// the URL check stores.
#include <gtest/gtest.h>

#include <string>

#include "net/http.h"

namespace vy {
namespace {

ReplyStatus statusOf(const std::string& data) { return replyStatus(std::optional(data), kHttpOk); }

TEST(ReplyStatus, StatusLineLongerThanThirteenCharactersGivesNumberAndPhrase) {
  ReplyStatus found = statusOf("HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\nbody");
  EXPECT_EQ(found.code, 404);
  EXPECT_STREQ(found.text, "Not Found");
  EXPECT_EQ(statusOf("HTTP/1.0 200 ").code, kHttpInvalidHeader);  // 13 characters
  EXPECT_EQ(statusOf("HTTP/1.0 200 O").code, 200);                // 14
  EXPECT_EQ(statusOf(std::string("HTTP/1.0 200\0 OK\r\n\r\n", 20)).code, kHttpInvalidHeader);
  EXPECT_EQ(statusOf("<html><body>no header</body></html>").code, kHttpInvalidHeader);
  ReplyStatus absent = replyStatus(std::nullopt, kHttpOk);
  EXPECT_EQ(absent.code, 8);
  EXPECT_STREQ(absent.text, "Invalid header");
  ReplyStatus odd = statusOf("HTTP/1.1 299 Odd\r\n\r\n");
  EXPECT_EQ(odd.code, 299);
  EXPECT_STREQ(odd.text, "Unknown HTTP Error");
}

TEST(ReplyStatus, TransferErrorWinsOverAnyData) {
  ReplyStatus status =
      replyStatus(std::optional<std::string>("HTTP/1.0 200 OK"), kHttpConnectError);
  EXPECT_EQ(status.code, 5);
  EXPECT_STREQ(status.text, "Connection error");
}

}  // namespace
}  // namespace vy
