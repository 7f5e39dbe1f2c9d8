// The mail sender: whole SMTP transcripts against a loopback mail server, and
// the mail program path with a recording fake program.
#include "net/mail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>

#include "common/files.h"
#include "tests/support/child.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

// A mail server that accepts every step except `refused` ("greeting", "HELO",
// "MAIL", "RCPT b" for b@y.test, "DATA", "text" for a message line, "." or
// "QUIT"), which gets `refusal`; an empty refusal resets the connection.
test::Session smtpServer(std::string refused = "", std::string refusal = "550 no\r\n") {
  return [=](test::FakeConnection& connection) {
    if (!connection.send(refused == "greeting" ? refusal : "220 mail.test\r\n")) return;
    bool inData = false;
    for (std::string line; !(line = connection.readLine()).empty();) {
      std::string step = inData ? (line == ".\r\n" ? "." : "text") : line.substr(0, 4);
      if (!inData && line.find("b@y.test") != std::string::npos) step = "RCPT b";
      if (step == refused && refusal.empty()) return connection.resetOnClose();
      if (step == "text") continue;
      inData = step == "DATA" && refused != "DATA";
      connection.send(step == refused ? refusal : inData ? "354 go\r\n" : "250 ok\r\n");
    }
  };
}

// Everything the client says when sendTo runs through; each failing step cuts it short.
const std::string kTranscript =
    "HELO localhost\r\nMAIL FROM: <vantry@console.test>\r\nRCPT TO: <a@x.test>\r\n"
    "RCPT TO: <b@y.test>\r\nDATA\r\nSubject: t\n\n..hidden\n..\nend\r\n.\r\nQUIT\r\n";

int sendTo(const std::string& server,
           const std::string& message = "Subject: t\n\n.hidden\n.\nend") {
  return sendBySmtp(server, "vantry@console.test", " a@x.test,;b@y.test ", message);
}

TEST(Smtp, DialogueWaitsForTheGreetingAndSendsOneRcptPerAddress) {
  auto talkedEarly = std::make_shared<std::atomic<bool>>(false);
  test::FakeServer server(
      [talkedEarly](test::FakeConnection& connection) {
        talkedEarly->store(!connection.readLine(0.5).empty());
        smtpServer()(connection);
      },
      kSmtpPort);
  ASSERT_TRUE(server.ok());

  EXPECT_EQ(sendTo(server.address()), kMailOk);
  EXPECT_FALSE(talkedEarly->load());
  EXPECT_EQ(server.received(0), kTranscript);
}

TEST(Smtp, EachFailingStepEndsTheMailWithItsCode) {
  struct Case {
    std::string refused, refusal;
    int code;
    const char* cutBefore;  // the first command not sent
  };
  const Case cases[] = {
      {"greeting", "554 no service\r\n", kMailHelo, "HELO"},
      {"HELO", "550 no\r\n", kMailHelo, "MAIL"},
      {"HELO", std::string(149, 'x').append("250\r\n"), kMailHelo, "MAIL"},  // cut before the code
      {"HELO", "", kMailSocketError, "MAIL"},
      {"MAIL", "550 no\r\n", kMailMailFrom, "RCPT"},
      {"RCPT b", "550 no\r\n", kMailRcptTo, "DATA"},
      {"DATA", "550 no\r\n", kMailData, "Subject"},
      {".", "550 no\r\n", kMailEndOfData, "QUIT"},
      {"QUIT", "550 no\r\n", kMailQuit, "(nothing)"},
  };
  for (const Case& c : cases) {
    test::FakeServer server(smtpServer(c.refused, c.refusal), kSmtpPort);
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(sendTo(server.address()), c.code) << c.refused;
    EXPECT_EQ(server.received(0), kTranscript.substr(0, kTranscript.find(c.cutBefore)))
        << c.refused;
  }

  test::FakeServer cutsOff(smtpServer("text", ""), kSmtpPort);
  ASSERT_TRUE(cutsOff.ok());
  std::string huge;  // far more than the socket buffers hold
  for (int i = 0; i < (1 << 19); ++i) huge += std::string(63, 'm') + "\n";
  EXPECT_EQ(sendTo(cutsOff.address(), huge), kMailUnknown);

  test::RefusingAddress closed(kSmtpPort);
  ASSERT_TRUE(closed.ok());
  EXPECT_EQ(sendTo(closed.address()), kMailConnectError);
  EXPECT_EQ(sendTo(""), kMailServerUnknown);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test\r\nRSET", "a@x.test", "m"), kMailMailFrom);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test", " ,; ", "m"), kMailRcptTo);
}

TEST(Smtp, SilentServerTimesOutAfterThreeSeconds) {
  test::FakeServer server([](test::FakeConnection& connection) { connection.holdOpen(10); },
                          kSmtpPort);
  ASSERT_TRUE(server.ok());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sendTo(server.address()), kMailTimeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
}

TEST(MailProgram, GetsDashTAndTheFilledMailAndItsFailureIsReported) {
  test::TempDir dir;
  auto program = [&](int exitStatus) {
    std::string path = dir.file("sendmail" + std::to_string(exitStatus));
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << dir.file("args") << "\ncat > "
                        << dir.file("stdin") << "\nexit " << exitStatus << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  };
  std::mutex lock;
  TemplateVars vars;
  templateVarSet(vars, "TO", "ops@x.test");

  EXPECT_EQ(sendMail(program(0), "", "", "To: [#TO#]\nB=[#BOUNDARY#]\n\nbody", vars, lock),
            kMailOk);
  const std::string boundary = *templateVarGet("BOUNDARY", vars);
  EXPECT_EQ(boundary.size(), 38u);
  EXPECT_EQ(readWholeFile(dir.file("args")), "-t\n");
  EXPECT_EQ(readWholeFile(dir.file("stdin")), "To: ops@x.test\nB=" + boundary + "\n\nbody\n.\n");
  EXPECT_EQ(sendByProgram(program(1), "mail", lock), kMailCloseProgram);
  EXPECT_EQ(sendByProgram(dir.file("missing"), "mail", lock), kMailOpenProgram);
}

}  // namespace
}  // namespace vy
