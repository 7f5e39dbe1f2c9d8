// The mail sender: whole SMTP transcripts against a loopback mail server, and
// the mail program path with a recording fake program.
#include "net/mail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "common/text.h"
#include "tests/support/child.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using Clock = std::chrono::steady_clock;

// The replies of a loopback mail server; the recipient named by
// `refusedRecipient` is refused.
struct SmtpScript {
  std::string greeting = "220 mail.test ESMTP\r\n";
  std::string helo = "250 mail.test\r\n";
  std::string mailFrom = "250 sender ok\r\n";
  std::string rcpt = "250 recipient ok\r\n";
  std::string refusedRecipient;
  std::string data = "354 go ahead\r\n";
  std::string endOfData = "250 queued\r\n";
  std::string quit = "221 bye\r\n";
};

// Answers each command line; after an accepted DATA it takes the message
// lines silently until the line ".".
test::Session smtpServer(SmtpScript script) {
  auto inData = std::make_shared<bool>(false);
  return test::lineDialogue(script.greeting, [script, inData](const std::string& line) {
    if (*inData) {
      if (line != ".\r\n") return std::string();
      *inData = false;
      return script.endOfData;
    }
    if (startsWith(line, "HELO ")) return script.helo;
    if (startsWith(line, "MAIL FROM:")) return script.mailFrom;
    if (startsWith(line, "RCPT TO:")) {
      bool refused = !script.refusedRecipient.empty() &&
                     line.find(script.refusedRecipient) != std::string::npos;
      return refused ? std::string("550 no such user\r\n") : script.rcpt;
    }
    if (startsWith(line, "DATA")) {
      *inData = startsWith(script.data, "354");
      return script.data;
    }
    if (startsWith(line, "QUIT")) return script.quit;
    return std::string("500 unknown command\r\n");
  });
}

const std::string kMessage = "Subject: test\n\n.hidden\n.\nlast line";

// Every command of the mail of kMessage to a@x.test and b@y.test, in order.
std::vector<std::string> fullTranscript() {
  return {"HELO localhost\r\n",
          "MAIL FROM: <vantry@console.test>\r\n",
          "RCPT TO: <a@x.test>\r\n",
          "RCPT TO: <b@y.test>\r\n",
          "DATA\r\n",
          "Subject: test\n\n..hidden\n..\nlast line\r\n.\r\n",
          "QUIT\r\n"};
}

std::string firstSteps(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += fullTranscript()[i];
  return text;
}

int sendTo(const test::FakeServer& server, const std::string& message = kMessage) {
  return sendBySmtp(server.address(), "vantry@console.test", " a@x.test,;b@y.test ", message);
}

TEST(SmtpText, AcceptedCodesAnywhereInTheReply) {
  for (const char* reply : {"250 ok", "220 hi", "354 go", "221 bye", "500 x 250"}) {
    EXPECT_TRUE(smtpReplyOk(reply)) << reply;
  }
  EXPECT_FALSE(smtpReplyOk(""));
  EXPECT_FALSE(smtpReplyOk("550 no"));
  EXPECT_STREQ(mailErrorText(9), "RCPT TO");
  EXPECT_STREQ(mailErrorText(16), "Connection timeout");
  EXPECT_STREQ(mailErrorText(99), "Unknown Error");
}

TEST(Smtp, DialogueWaitsForTheGreetingAndSendsOneRcptPerAddress) {
  auto talkedEarly = std::make_shared<std::atomic<bool>>(false);
  test::Session slowGreeting = [talkedEarly](test::FakeConnection& connection) {
    // Nothing may arrive before the greeting has been sent.
    talkedEarly->store(!connection.readLine(0.5).empty());
    smtpServer({})(connection);
  };
  test::FakeServer server(slowGreeting, kSmtpPort);
  ASSERT_TRUE(server.ok());

  EXPECT_EQ(sendTo(server), kMailOk);
  EXPECT_FALSE(talkedEarly->load());
  EXPECT_EQ(server.received(0), firstSteps(7));
}

TEST(Smtp, EachRefusedStepEndsTheMailWithItsCode) {
  struct Case {
    const char* what;
    SmtpScript script;
    int code;
    size_t stepsSent;
  };
  std::vector<Case> cases(8);
  cases[0] = {"greeting", {}, kMailHelo, 0};
  cases[0].script.greeting = "554 no service\r\n";
  cases[1] = {"helo", {}, kMailHelo, 1};
  cases[1].script.helo = "501 who are you\r\n";
  cases[2] = {"long helo reply", {}, kMailHelo, 1};
  cases[2].script.helo = std::string(149, 'x') + "250\r\n";  // cut before the code
  cases[3] = {"mail from", {}, kMailMailFrom, 2};
  cases[3].script.mailFrom = "550 not you\r\n";
  cases[4] = {"second rcpt", {}, kMailRcptTo, 4};
  cases[4].script.refusedRecipient = "b@y.test";
  cases[5] = {"data", {}, kMailData, 5};
  cases[5].script.data = "554 no data\r\n";
  cases[6] = {"end of data", {}, kMailEndOfData, 6};
  cases[6].script.endOfData = "552 too big\r\n";
  cases[7] = {"quit", {}, kMailQuit, 7};
  cases[7].script.quit = "500 what\r\n";
  for (const Case& c : cases) {
    test::FakeServer server(smtpServer(c.script), kSmtpPort);
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(sendTo(server), c.code) << c.what;
    server.connectionCount();
    EXPECT_EQ(server.received(0), firstSteps(c.stepsSent)) << c.what;
  }
}

TEST(Smtp, ConnectionFailuresHaveTheirOwnCodes) {
  EXPECT_EQ(sendBySmtp("", "vantry@console.test", "a@x.test", kMessage), kMailServerUnknown);

  test::RefusingAddress closed(kSmtpPort);
  ASSERT_TRUE(closed.ok());
  EXPECT_EQ(sendBySmtp(closed.address(), "vantry@c.test", "a@x.test", kMessage), kMailConnectError);

  test::FakeServer resets(
      [](test::FakeConnection& connection) {
        connection.send("220 mail.test\r\n");
        connection.readLine();
        connection.resetOnClose();
      },
      kSmtpPort);
  ASSERT_TRUE(resets.ok());
  EXPECT_EQ(sendTo(resets), kMailSocketError);
}

TEST(Smtp, MessageCutOffByTheServerIsAnUnknownError) {
  test::FakeServer server(
      [](test::FakeConnection& connection) {
        connection.send("220 mail.test\r\n");
        for (int i = 0; i < 5; ++i) {  // HELO, MAIL FROM, two RCPT TO, DATA
          connection.readLine();
          connection.send(i == 4 ? "354 go\r\n" : "250 ok\r\n");
        }
        connection.readLine();  // one line of the message, then a reset
        connection.resetOnClose();
      },
      kSmtpPort);
  ASSERT_TRUE(server.ok());
  // Far more than the socket buffers hold, so the send is still running.
  std::string huge;
  for (int i = 0; i < (1 << 19); ++i) huge += std::string(63, 'm') + "\n";
  EXPECT_EQ(sendTo(server, huge), kMailUnknown);
}

TEST(Smtp, AddressesThatCannotBeSentAreRefusedBeforeConnecting) {
  EXPECT_EQ(sendBySmtp("", "vantry@a.test\r\nRSET", "a@x.test", kMessage), kMailMailFrom);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test", " ,; ", kMessage), kMailRcptTo);
  EXPECT_EQ(sendBySmtp("", "vantry@a.test", std::string(300, 'r'), kMessage), kMailRcptTo);
}

TEST(Smtp, SilentServerTimesOutAfterThreeSeconds) {
  test::FakeServer server(test::lineDialogue("", [](const std::string&) { return ""; }), kSmtpPort);
  ASSERT_TRUE(server.ok());
  const auto start = Clock::now();
  EXPECT_EQ(sendTo(server), kMailTimeout);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
  EXPECT_EQ(server.received(0), "");  // nothing was said before the greeting
}

// A mail program that records its arguments and standard input beside it.
class MailProgramTest : public ::testing::Test {
 protected:
  std::string program(int exitStatus) {
    std::string path = dir_.file("sendmail" + std::to_string(exitStatus));
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << dir_.file("args") << "\ncat > "
                        << dir_.file("stdin") << "\nexit " << exitStatus << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }
  std::string recorded(const std::string& name) {
    std::ifstream in(dir_.file(name));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool ran() { return std::ifstream(dir_.file("args")).good(); }

  test::TempDir dir_;
  std::mutex lock_;
};

TEST_F(MailProgramTest, TransportWithASlashRunsTheProgramWithTheFilledTemplate) {
  TemplateVars vars;
  templateVarSet(vars, "TO", " \"shop\" <ops@x.test>");
  EXPECT_EQ(
      sendMail(program(0), "unused", "unused", "To:[#TO#]\nB=[#BOUNDARY#]\n\nbody", vars, lock_),
      kMailOk);
  EXPECT_EQ(recorded("args"), "-t\n");
  const std::string boundary = *templateVarGet("BOUNDARY", vars);
  ASSERT_EQ(boundary.size(), 38u);
  EXPECT_EQ(boundary.substr(0, 2), "--");
  EXPECT_EQ(recorded("stdin"), "To: \"shop\" <ops@x.test>\nB=" + boundary + "\n\nbody\n.\n");
}

TEST_F(MailProgramTest, FailingOrMissingProgramHasItsCode) {
  EXPECT_EQ(sendByProgram(program(1), "mail", lock_), kMailCloseProgram);
  EXPECT_EQ(sendByProgram(dir_.file("no-such-sendmail"), "mail", lock_), kMailOpenProgram);
}

TEST_F(MailProgramTest, ProgramRunsOnlyUnderTheLock) {
  const std::string path = program(0);
  std::unique_lock<std::mutex> held(lock_);
  std::thread sender([&] { EXPECT_EQ(sendByProgram(path, "mail", lock_), kMailOk); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(ran());
  held.unlock();
  sender.join();
  EXPECT_TRUE(ran());
}

}  // namespace
}  // namespace vy
