// The mail sender: whole SMTP transcripts against a loopback mail server, and the mail program
// path with a recording fake program.
#include "net/mail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "common/files.h"
#include "tests/support/child.h"
#include "tests/support/fake_server.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

// A mail server that greets a client that waits for it, then accepts every step but `refused`
// ("greeting", "HELO", "MAIL", "RCPT b" for b@y.test, "DATA", "text" for a message line, "."
// or "QUIT"), which gets `refusal`; an empty one resets the connection (a greeting: silence).
test::Session smtpServer(std::string refused, std::string refusal) {
  return [=](test::FakeConnection& connection) {
    if (!connection.readUntil("\n", 0.2).empty()) return;
    if (!connection.send(refused == "greeting" ? refusal : "220 mail.test\r\n")) return;
    bool inData = false;
    for (std::string line; !(line = connection.readUntil("\n")).empty();) {
      std::string step = inData ? (line == ".\r\n" ? "." : "text") : line.substr(0, 4);
      if (!inData && line.find("b@y.test") != std::string::npos) step = "RCPT b";
      if (step == refused && refusal.empty()) return connection.resetOnClose();
      if (step == "text") continue;
      inData = step == "DATA" && refused != "DATA";
      connection.send(step == refused ? refusal : inData ? "354 go\r\n" : "250 ok\r\n");
    }
  };
}

// Everything the client says in a whole dialogue; each failing step cuts it short.
const std::string kTranscript =
    "HELO localhost\r\nMAIL FROM: <vantry@console.test>\r\nRCPT TO: <a@x.test>\r\n"
    "RCPT TO: <b@y.test>\r\nDATA\r\nSubject: t\n\n..hidden\n..\nend\r\n.\r\nQUIT\r\n";

// No SMTP server of these tests is named in a host table.
const HostTable kNoMailHosts;

Status<MailError> sendTo(const std::string& server,
                         const std::string& message = "Subject: t\n\n.hidden\n.\nend") {
  return sendBySmtp(server, "vantry@console.test", " a@x.test,;b@y.test ", message, kNoMailHosts);
}

TEST(Smtp, EachRefusedStepEndsTheMailWithItsCode) {
  struct Case {
    std::string refused, refusal;
    MailError code;
    const char* cutBefore;  // the first command not sent
    double waits = 0;       // seconds before the client gives up
  };
  for (const auto& [refused, refusal, code, cutBefore, waits] :
       {Case{"", "", MailError::kOk, "(nothing)"},
        Case{"greeting", "554 no service\r\n", MailError::kHelo, "HELO"},
        Case{"greeting", "", MailError::kTimeout, "HELO", 2.9},  // silence
        Case{"HELO", "550 no\r\n", MailError::kHelo, "MAIL"},
        Case{"HELO", std::string(149, 'x').append("250\r\n"), MailError::kHelo,
             "MAIL"},  // code cut off
        Case{"HELO", "", MailError::kSocketError, "MAIL"},
        Case{"MAIL", "550 no\r\n", MailError::kMailFrom, "RCPT"},
        Case{"RCPT b", "550 no\r\n", MailError::kRcptTo, "DATA"},
        Case{"DATA", "550 no\r\n", MailError::kData, "Subject"},
        Case{".", "550 no\r\n", MailError::kEndOfData, "QUIT"},
        Case{"QUIT", "550 no\r\n", MailError::kQuit, "(nothing)"}}) {
    test::FakeServer server(smtpServer(refused, refusal), kSmtpPort);
    ASSERT_TRUE(server.ok());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendTo(server.address()).code, code) << refused;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::duration<double>(waits)) << refused;
    EXPECT_LT(elapsed, std::chrono::seconds(6)) << refused;
    EXPECT_EQ(server.received(0), kTranscript.substr(0, kTranscript.find(cutBefore))) << refused;
  }
}

TEST(Smtp, AMessageThatCannotBeSentWholeIsAnUnknownError) {
  test::FakeServer cutsOff(smtpServer("text", ""), kSmtpPort);
  ASSERT_TRUE(cutsOff.ok());
  // A message far larger than the socket buffers hold.
  EXPECT_EQ(sendTo(cutsOff.address(), std::string(1 << 25, '\n')).code, MailError::kUnknown);
}

// An address with a line break would smuggle a command of its own.
TEST(Smtp, AnUnreachableServerOrAnAddressThatCannotBeACommandEndsTheMailWithItsCode) {
  test::FakeServer refuses(nullptr, kSmtpPort);
  ASSERT_TRUE(refuses.ok());
  const Status<MailError> refused = sendTo(refuses.address());
  EXPECT_EQ(std::pair(refused.code, refused.subject),
            std::pair(MailError::kConnectError, refuses.address()));
  EXPECT_EQ(sendTo("").code, MailError::kServerUnknown);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test\r\nRSET", "a@x.test", "m", kNoMailHosts).code,
            MailError::kMailFrom);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test", " ,; ", "m", kNoMailHosts).code, MailError::kRcptTo);
}

// A mail program in a temporary directory that records its arguments and input there, and exits
// 1 on a mail that says "fail".
struct MailProgram : ::testing::Test {
  MailProgram() {
    std::ofstream(program) << "#!/bin/sh\ncd " << dir.path() << " && printf '%s\\n' \"$@\" > args"
                           << " && cat > stdin\ngrep -q fail stdin && exit 1\nexit 0\n";
    ::chmod(program.c_str(), 0755);
  }
  test::TempDir dir;
  const std::string program = dir.file("sendmail");
  std::mutex lock;
};

TEST_F(MailProgram, GetsItsOptionsWithDashTAddedAndReadsTheFilledMailEndedByADot) {
  TemplateVars vars;
  vars.set("TO", "ops@x.test");
  EXPECT_EQ(sendMail(program + " -oi\t-f  x", "", "", "To: [#TO#]\nB=[#BOUNDARY#]\n\nbody", vars,
                     kNoMailHosts, lock)
                .code,
            MailError::kOk);
  EXPECT_EQ(readWholeFile(dir.file("args")), "-oi\n-f\nx\n-t\n");
  EXPECT_EQ(readWholeFile(dir.file("stdin")),
            "To: ops@x.test\nB=" + *vars.get("BOUNDARY") + "\n\nbody\n.\n");
}

TEST_F(MailProgram, AFailedOrMissingProgramHasItsCode) {
  EXPECT_EQ(sendByProgram(program, "fail", lock).code, MailError::kCloseProgram);
  EXPECT_EQ(sendByProgram(dir.file("missing"), "mail", lock).code, MailError::kOpenProgram);
}

// The error log has always held a failed mail's own number as the action; the log page's text
// for that number goes with it.
TEST(MailError, IsLoggedWithItsOwnNumber) {
  for (int number : {0, 1, 3, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}) {
    const auto error = static_cast<MailError>(number);
    EXPECT_EQ(actionNumber(logAction(error)), number) << error;
  }
  EXPECT_STREQ(errActionText(logAction(MailError::kHelo)), "Removing file");
}

}  // namespace
}  // namespace vy
