// The password file, the access check and the ".htpasswd" update (via htpasswd).
#include "common/credentials.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <tuple>

#include "common/files.h"
#include "common/process.h"
#include "tests/support/child.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

Access accessAs(const char* method, const char* remoteUser,
                std::optional<std::string_view> supplied, const std::string& path) {
  setenv("REQUEST_METHOD", method, 1);
  remoteUser ? setenv("REMOTE_USER", remoteUser, 1) : unsetenv("REMOTE_USER");
  return checkAccess(supplied, path, true);
}

class CredentialsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(writePasswordFile("admin", "secret", path_).ok()); }
  void TearDown() override {
    unsetenv("REQUEST_METHOD");
    unsetenv("REMOTE_USER");
  }
  test::TempDir dir_;
  const std::string path_ = dir_.file("admin.pwd");
};

TEST_F(CredentialsTest, TheWrittenHashIsLibcrypts) {
  std::string content = readWholeFile(path_);
  EXPECT_EQ(content, "admin:" + std::string(crypt("secret", content.substr(6, 2).c_str())));
}

TEST_F(CredentialsTest, AccessDependsOnMethodUserAndPassword) {
  constexpr Access kGranted = Access::kGranted, kRefused = Access::kRefused;
  const std::tuple<const char*, const char*, std::optional<std::string_view>, Access> cases[] = {
      {"POST", nullptr, "secret", kGranted},     {"GET", nullptr, "secre", kRefused},
      {"GET", "admin", std::nullopt, kGranted},  {"GET", "Admin", "", kRefused},
      {"POST", "admin", std::nullopt, kRefused}, {"POST", "admin", "", kGranted}};
  for (auto [method, user, supplied, result] : cases) {
    EXPECT_EQ(accessAs(method, user, supplied, path_), result) << method << " " << !!user;
  }
}

// Only the first 29 bytes are read: a 16-character name cuts the hash.
TEST_F(CredentialsTest, AUserNameBeyondFifteenCharactersMatchesNoPassword) {
  ASSERT_TRUE(writePasswordFile("fifteen-chars-u", "secret", path_).ok());
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path_), Access::kGranted);
  ASSERT_TRUE(writePasswordFile("sixteen-chars-us", "secret", path_).ok());
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path_), Access::kRefused);
}

TEST_F(CredentialsTest, AFileWithoutSeparatorCountsAsNoPasswordFile) {
  std::ofstream(path_) << "adminabNANd1rDfiNc";
  PasswordEntry entry;
  EXPECT_EQ(readPasswordFile(path_, entry).code, PasswordFileError::kNoSeparator);
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path_), Access::kNoPasswordFile);
}

// The error log carries the numbers it always did, whichever domain failed.
TEST(LoggedActions, EachFailureKeepsItsLoggedNumber) {
  const std::pair<ErrAction, int> cases[] = {{logAction(Access::kNoPasswordFile), -1},
                                             {logAction(Access::kRefused), 1},
                                             {logAction(PasswordFileError::kUnreadable), 1},
                                             {logAction(PasswordFileError::kNoSeparator), 12},
                                             {logAction(PasswordFileError::kCannotOpen), 2},
                                             {logAction(PasswordFileError::kWriteFailed), 13},
                                             {logAction(ProbeError::kPsFailed), 1},
                                             {logAction(ProbeError::kPsNotStarted), 5}};
  for (const auto& [action, number] : cases) EXPECT_EQ(actionNumber(action), number);
}

// updateHtpasswd run in dir/work with dir/bin first on the search path: 1 when it set the
// password, 0 when not, -1 if the child failed.
int updateIn(const test::TempDir& dir, const char* user, const char* password) {
  mkdir(dir.file("work").c_str(), 0755);
  std::string out = test::runInChild([&] {
                      if (chdir(dir.file("work").c_str()) != 0) _exit(9);
                      setenv("PATH", (dir.file("bin") + ":/usr/bin:/bin").c_str(), 1);
                      std::printf("%d", updateHtpasswd(user, password));
                    }).out;
  return out.empty() ? -1 : std::stoi(out);
}

TEST(FakeHtpasswd, ArgumentVectorCarriesTheCreateFlagOnlyWhenTheFileIsMissing) {
  test::TempDir dir;
  mkdir(dir.file("bin").c_str(), 0755);  // a stand-in logging its arguments, one a line
  std::ofstream(dir.file("bin/htpasswd"))
      << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " << dir.file("log");
  chmod(dir.file("bin/htpasswd").c_str(), 0755);
  EXPECT_EQ(updateIn(dir, "admin", "p w;$(id)"), 1);
  std::ofstream(dir.file("work/.htpasswd")).put('\n');
  EXPECT_EQ(updateIn(dir, "admin", "pw2"), 1);
  EXPECT_EQ(updateIn(dir, "a:b", "pw"), 0);
  EXPECT_EQ(updateIn(dir, "admin", "line\nbreak"), 0);
  EXPECT_EQ(readWholeFile(dir.file("log")),
            "-bc\n.htpasswd\nadmin\np w;$(id)\n-b\n.htpasswd\nadmin\npw2\n");
}

}  // namespace
}  // namespace vy
