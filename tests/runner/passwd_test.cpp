// The headless set-up of the administrator's login, as a provisioning script runs it.
#include "runner/passwd.h"

#include <sys/stat.h>

#include <map>

#include "common/credentials.h"
#include "tests/support/instance_test.h"

namespace vy {
namespace {

using test::LogLines;
using Env = std::map<std::string, std::string>;

class PasswdTest : public test::InstanceTest {
 protected:
  test::RunResult passwd(const std::string& user, const std::string& input, const Env& env = {}) {
    return instance_.runWorker({"passwd", user}, env, input, 60);
  }
  // A service command run with the password, as a script would: its exit status.
  int listWith(const std::string& password) {
    return instance_.runWorker({"get", "general"}, {{"ADMIN_PWD", password}}, "", 60).exitCode;
  }
  static constexpr const char* kLongPassword = "a passphrase of 28 chars ok";
};

// On an instance nobody opened yet: the data directory as the console's first visit makes it,
// and a login that every character of the password opens. It is changed only by whoever knows
// it, and a refusal changes nothing.
TEST_F(PasswdTest, AFreshInstanceGetsAWorkingLoginThatOnlyItsPasswordChanges) {
  const test::RunResult run = passwd("boss", std::string(kLongPassword) + "\nnot read\n");
  EXPECT_EQ(std::tuple(run.exitCode, run.out, run.err), std::tuple(0, "", ""));
  for (const char* made : {"vydata/vydb", "vydata/vychklog", "vydata/vytime/check"}) {
    EXPECT_TRUE(instance_.exists(made)) << made;
  }
  EXPECT_EQ(readGroup("general").checkInterval, 180);
  const std::string stored = instance_.read("vydata/admin.pwd");
  EXPECT_EQ(stored.substr(0, 12), "boss:$2y$11$");
  struct stat status {};
  ASSERT_EQ(::stat(instance_.path("vydata/admin.pwd").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(listWith(kLongPassword), 0);

  for (const Env& env : {Env{}, Env{{"ADMIN_PWD", "wrong"}}, Env{{"REMOTE_USER", "boss"}}}) {
    const test::RunResult refused = passwd("boss", "taken-over\n", env);
    EXPECT_EQ(std::tuple(refused.exitCode, refused.out), std::tuple(2, ""));
  }
  EXPECT_EQ(instance_.read("vydata/admin.pwd"), stored);
  // Repeated refusals are logged once a minute.
  EXPECT_EQ(test::loggedActions(instance_), LogLines(1, {"1", "Invalid Admin Password"}));
  EXPECT_EQ(listWith(std::string(kLongPassword).substr(0, 8)), 2);
  EXPECT_EQ(passwd("chief", "second-one\r\n", {{"ADMIN_PWD", kLongPassword}}).exitCode, 0);
  EXPECT_EQ(instance_.read("vydata/admin.pwd").substr(0, 6), "chief:");
  EXPECT_EQ(std::tuple(listWith("second-one"), listWith(kLongPassword)), std::tuple(0, 2));
}

// The console's rules, with its messages on standard error, before anything is made.
TEST_F(PasswdTest, CredentialsTheConsoleRefusesAreRefusedBeforeAnyFileIsMade) {
  const std::pair<std::string, std::string> cases[] = {
      {"boss", std::string(73, 'p') + "\n"}, {"boss", "\n"}, {"bo:ss", "pw\n"}, {"", "pw\n"}};
  for (const auto& [user, input] : cases) {
    const test::RunResult refused = passwd(user, input);
    EXPECT_EQ(std::tuple(refused.exitCode, refused.err.empty()),
              std::tuple(kExitInvalidCredentials, false))
        << user << input.size();
  }
  EXPECT_EQ(passwd("boss", std::string(73, 'p')).err,
            "Password Too Long (At Most 72 Characters)\n");
  EXPECT_FALSE(instance_.exists("vydata"));
  EXPECT_EQ(passwd("boss", std::string(72, 'p')).exitCode, 0);
}

TEST_F(PasswdTest, TheWebCannotSetTheLogin) {
  instance_.makeDataDirs();
  test::CgiRequest cgi = test::apacheRequest("GET", "/vantry/vyrunner.cgi", "passwd+boss");
  const test::RunResult refused = instance_.run("vyrunner.cgi", {cgi.args, cgi.env, "pw\n", 60});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_FALSE(instance_.exists("vydata/admin.pwd"));
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"0", "Refused over the web: passwd"}}));
}

}  // namespace
}  // namespace vy
