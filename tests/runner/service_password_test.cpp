// The administrator password in front of the worker's service commands, run
// as a shell or a web server would start the worker.
#include <gtest/gtest.h>

#include "common/credentials.h"
#include "tests/support/instance.h"

namespace vy {
namespace {

using test::Instance;

class ServicePassword : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_.makeDataDirs();
    ASSERT_EQ(writePasswordFile("admin", "secret", instance_.path("vydata/admin.pwd")), 0);
  }

  Instance instance_;
};

TEST_F(ServicePassword, WrongPasswordEndsWithStatus2AndOneLogLine) {
  test::RunResult result = instance_.runWorker({"get", "general"}, {{"ADMIN_PWD", "wrong"}});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out, "");
  std::vector<std::string> log = instance_.errorLog();
  ASSERT_EQ(log.size(), 1u);
  std::vector<std::string> fields = test::splitLogLine(log[0]);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "1");
  EXPECT_EQ(fields[4], "Invalid Admin Password");
  EXPECT_EQ(fields[5], "vyrunner");
  EXPECT_EQ(fields[6], "0");
}

TEST_F(ServicePassword, CommandThatReadsInputIsRefusedToo) {
  test::RunResult result = instance_.runWorker({"add", "general"}, {{"ADMIN_PWD", "wrong"}},
                                               "url=http://example.com/\n");
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(instance_.errorLog().size(), 1u);
}

TEST_F(ServicePassword, MissingPasswordIsRefused) {
  test::RunResult result = instance_.runWorker({"get"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(instance_.errorLog().size(), 1u);
}

TEST_F(ServicePassword, RightPasswordLetsAnUnknownWordEndWithStatus0) {
  test::RunResult result = instance_.runWorker({"nosuchcommand"}, {{"ADMIN_PWD", "secret"}});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(instance_.errorLog().empty());

  // checkgroup without its group is such an unknown word.
  result = instance_.runWorker({"checkgroup"}, {{"ADMIN_PWD", "secret"}});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(instance_.errorLog().empty());
}

TEST_F(ServicePassword, MatchingRemoteUserStandsInForThePassword) {
  test::RunResult result = instance_.runWorker({"nosuchcommand"}, {{"REMOTE_USER", "admin"}});
  EXPECT_EQ(result.exitCode, 0);
  result = instance_.runWorker({"nosuchcommand"}, {{"REMOTE_USER", "intruder"}});
  EXPECT_EQ(result.exitCode, 2);
}

TEST(ServicePasswordFile, MissingPasswordFileRefusesEveryCommand) {
  Instance instance;
  instance.makeDataDirs();
  test::RunResult result = instance.runWorker({"nosuchcommand"}, {{"ADMIN_PWD", "secret"}});
  EXPECT_EQ(result.exitCode, 2);
  std::vector<std::string> log = instance.errorLog();
  ASSERT_EQ(log.size(), 1u);
  std::vector<std::string> fields = test::splitLogLine(log[0]);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "-1");
  EXPECT_EQ(fields[4], "Invalid Admin Password");
}

}  // namespace
}  // namespace vy
