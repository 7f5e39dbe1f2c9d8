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

namespace vy {
namespace {

// A mail server that greets a client that waits for it, then accepts every step but `refused`
// ("greeting", "HELO", "MAIL", "RCPT b" for b@y.test, "DATA", "text" for a message line, "."
// or "QUIT"), which gets `refusal`; an empty one resets the connection (a greeting: silence).
test::Session smtpServer(std::string refused, std::string refusal) {
  return [=](test::FakeConnection& connection) {
    if (!connection.readLine(0.2).empty()) return;
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

// Everything the client says in a whole dialogue; each failing step cuts it short.
const std::string kTranscript =
    "HELO localhost\r\nMAIL FROM: <vantry@console.test>\r\nRCPT TO: <a@x.test>\r\n"
    "RCPT TO: <b@y.test>\r\nDATA\r\nSubject: t\n\n..hidden\n..\nend\r\n.\r\nQUIT\r\n";

int sendTo(const std::string& server,
           const std::string& message = "Subject: t\n\n.hidden\n.\nend") {
  return sendBySmtp(server, "vantry@console.test", " a@x.test,;b@y.test ", message);
}

TEST(Smtp, TalksAfterTheGreetingOneRcptPerAddressAndEachRefusedStepGivesItsCode) {
  struct Case {
    std::string refused, refusal;
    int code;
    const char* cutBefore;  // the first command not sent
  };
  for (const auto& [refused, refusal, code, cutBefore] :
       {Case{"", "", kMailOk, "(nothing)"},
        Case{"greeting", "554 no service\r\n", kMailHelo, "HELO"},
        Case{"HELO", "550 no\r\n", kMailHelo, "MAIL"},
        Case{"HELO", std::string(149, 'x').append("250\r\n"), kMailHelo, "MAIL"},  // code cut off
        Case{"HELO", "", kMailSocketError, "MAIL"},
        Case{"MAIL", "550 no\r\n", kMailMailFrom, "RCPT"},
        Case{"RCPT b", "550 no\r\n", kMailRcptTo, "DATA"},
        Case{"DATA", "550 no\r\n", kMailData, "Subject"},
        Case{".", "550 no\r\n", kMailEndOfData, "QUIT"},
        Case{"QUIT", "550 no\r\n", kMailQuit, "(nothing)"}}) {
    test::FakeServer server(smtpServer(refused, refusal), kSmtpPort);
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(sendTo(server.address()), code) << refused;
    EXPECT_EQ(server.received(0), kTranscript.substr(0, kTranscript.find(cutBefore))) << refused;
  }
  test::FakeServer cutsOff(smtpServer("text", ""), kSmtpPort), refuses(nullptr, kSmtpPort);
  ASSERT_TRUE(cutsOff.ok() && refuses.ok());
  // A message far larger than the socket buffers hold.
  EXPECT_EQ(sendTo(cutsOff.address(), std::string(1 << 25, '\n')), kMailUnknown);
  EXPECT_EQ(sendTo(refuses.address()), kMailConnectError);
  EXPECT_EQ(sendTo(""), kMailServerUnknown);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test\r\nRSET", "a@x.test", "m"), kMailMailFrom);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test", " ,; ", "m"), kMailRcptTo);
}

TEST(Smtp, SilentServerTimesOutAfterThreeSeconds) {
  test::FakeServer server(smtpServer("greeting", ""), kSmtpPort);
  ASSERT_TRUE(server.ok());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sendTo(server.address()), kMailTimeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
}

TEST(MailProgram, GetsDashTAndTheFilledMailAndItsFailureIsReported) {
  test::TempDir dir;
  const std::string program = dir.file("sendmail");  // exits 1 on a mail that says "fail"
  std::ofstream(program) << "#!/bin/sh\ncd " << dir.path() << " && printf '%s\\n' \"$@\" > args"
                         << " && cat > stdin\ngrep -q fail stdin && exit 1\nexit 0\n";
  ::chmod(program.c_str(), 0755);
  std::mutex lock;
  TemplateVars vars;
  templateVarSet(vars, "TO", "ops@x.test");
  EXPECT_EQ(sendMail(program, "", "", "To: [#TO#]\nB=[#BOUNDARY#]\n\nbody", vars, lock), kMailOk);
  EXPECT_EQ(readWholeFile(dir.file("args")), "-t\n");
  EXPECT_EQ(readWholeFile(dir.file("stdin")),
            "To: ops@x.test\nB=" + *templateVarGet("BOUNDARY", vars) + "\n\nbody\n.\n");
  EXPECT_EQ(sendByProgram(program, "fail", lock), kMailCloseProgram);
  EXPECT_EQ(sendByProgram(dir.file("missing"), "mail", lock), kMailOpenProgram);
}

}  // namespace
}  // namespace vy
