// The password file, the access check and the ".htpasswd" update (via htpasswd).
#include "common/credentials.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
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
  void SetUp() override {
    ASSERT_TRUE(writePasswordFile("admin", "secret", path_, kLowestBcryptCost).ok());
  }
  void TearDown() override {
    unsetenv("REQUEST_METHOD");
    unsetenv("REMOTE_USER");
  }
  // The traditional hash of earlier versions, as they stored it.
  void storeDesHash(const std::string& user, const char* password) {
    std::ofstream(path_) << user << ":" << crypt(password, "ab");
  }
  test::TempDir dir_;
  const std::string path_ = dir_.file("admin.pwd");
};

// (The file's mode is checked where the worker's passwd command writes it.)
TEST_F(CredentialsTest, TheWrittenHashIsBcryptWithAFreshSaltEachTime) {
  ASSERT_TRUE(writePasswordFile("admin", "secret", path_).ok());
  const std::string content = readWholeFile(path_);
  EXPECT_EQ(content.substr(0, 13), "admin:$2y$11$");
  EXPECT_EQ(content.size(), 6u + 60u);
  ASSERT_TRUE(writePasswordFile("admin", "secret", path_).ok());
  EXPECT_NE(readWholeFile(path_), content);  // a fresh salt each time
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

// Every character of a long password counts, and nothing beyond what bcrypt reads matches.
TEST_F(CredentialsTest, ALongPasswordNeedsAllItsCharacters) {
  const std::string password = "correct-horse-battery-staple-" + std::string(43, 'x');  // 72
  ASSERT_TRUE(writePasswordFile("admin", password, path_, kLowestBcryptCost).ok());
  const std::string hash = readWholeFile(path_).substr(6);
  EXPECT_TRUE(checkPassword(hash, password));
  for (const std::string& other : {password.substr(0, 71), password + "y",
                                   password.substr(0, 8) + std::string(1, '\0') + "x"}) {
    EXPECT_FALSE(checkPassword(hash, other)) << other.size();
  }
}

TEST_F(CredentialsTest, OnlyBcryptAndDesHashesAreKnown) {
  const std::string bcrypt = readWholeFile(path_).substr(6);
  EXPECT_EQ(hashKind(bcrypt), HashKind::kBcrypt);
  EXPECT_EQ(hashKind(crypt("secret", "ab")), HashKind::kDes);
  const std::string sha = crypt("secret", "$6$saltsalt$");
  for (const std::string& other : {sha, std::string(), bcrypt.substr(0, 59), std::string("ab:")}) {
    EXPECT_EQ(hashKind(other), HashKind::kUnknown) << other;
    EXPECT_FALSE(checkPassword(other, "secret")) << other;
  }
}

// The whole line is read: a long user name keeps its hash; a line beyond the bound is cut, and one
// without a separator counts as no password file.
TEST_F(CredentialsTest, TheWholeLineIsReadUpToItsBoundAndNeedsItsSeparator) {
  ASSERT_TRUE(writePasswordFile(std::string(40, 'u'), "secret", path_, kLowestBcryptCost).ok());
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path_), Access::kGranted);
  ASSERT_TRUE(writePasswordFile(std::string(460, 'u'), "secret", path_, kLowestBcryptCost).ok());
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path_), Access::kRefused);
  std::ofstream(path_) << "adminabNANd1rDfiNc";
  PasswordEntry entry;
  EXPECT_EQ(readPasswordFile(path_, entry).code, PasswordFileError::kNoSeparator);
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path_), Access::kNoPasswordFile);
}

// Only the right password replaces an old hash: a wrong one, or the web server's login, leave it.
TEST_F(CredentialsTest, ADesHashIsReplacedOnlyByTheLoginWithItsPassword) {
  storeDesHash("boss", "secret");
  const std::string des = readWholeFile(path_);
  EXPECT_EQ(accessAs("POST", nullptr, "wrong", path_), Access::kRefused);
  EXPECT_EQ(accessAs("GET", "boss", std::nullopt, path_), Access::kGranted);
  EXPECT_EQ(readWholeFile(path_), des);
  EXPECT_EQ(accessAs("POST", nullptr, "secret", path_), Access::kGranted);
  EXPECT_EQ(readWholeFile(path_).substr(0, 9), "boss:$2y$");
}

// A DES hash grants any text that starts with its eight characters; only a text that the new
// rules take becomes the bcrypt password, a longer one is logged and the login still succeeds.
TEST_F(CredentialsTest, AFailedUpgradeIsLoggedAndStillGrantsTheLogin) {
  storeDesHash("boss", "12345678");
  const std::string des = readWholeFile(path_);
  mkdir(dir_.file("vydata").c_str(), 0700);  // the error log's directory
  const std::string granted =
      test::runInChild([&] {
        if (chdir(dir_.file("").c_str()) != 0) _exit(9);
        const std::string typed = "12345678" + std::string(70, 'z');
        std::printf("%d", accessAs("POST", nullptr, typed, path_) == Access::kGranted);
      }).out;
  EXPECT_EQ(granted, "1");
  EXPECT_EQ(readWholeFile(path_), des);
  const std::string log = readWholeFile(dir_.file("vydata/error.log"));
  EXPECT_NE(log.find("Password hash upgrade: " + path_), std::string::npos) << log;
  EXPECT_EQ(log.find("zzz"), std::string::npos);
}

// A stand-in htpasswd, first on the search path of a child working in dir/work, logs its
// arguments one a line, then "stdin:" and its input, then what the process list shows while it
// runs.
class FakeHtpasswd : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(dir_.file("bin").c_str(), 0755);
    mkdir(dir_.file("work").c_str(), 0755);
    std::ofstream(dir_.file("bin/htpasswd"))
        << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " << log() << "\n"
        << "printf 'stdin:' >> " << log() << "; cat >> " << log() << "\n"
        << "ps -eo args > " << dir_.file("ps") << "\n";
    chmod(dir_.file("bin/htpasswd").c_str(), 0755);
  }
  std::string log() const { return dir_.file("log"); }
  // What the call returned in the child, printed as a number; "" if the child failed.
  std::string inWork(const std::function<int()>& call) {
    return test::runInChild([&] {
             if (chdir(dir_.file("work").c_str()) != 0) _exit(9);
             setenv("PATH", (dir_.file("bin") + ":/usr/bin:/bin").c_str(), 1);
             std::printf("%d", call());
           })
        .out;
  }
  std::string update(const char* user, const std::string& password) {
    return inWork([&] { return static_cast<int>(updateHtpasswd(user, password)); });
  }
  test::TempDir dir_;
};

TEST_F(FakeHtpasswd, ThePasswordGoesToStandardInputAndCreateOnlyWhenTheFileIsMissing) {
  EXPECT_EQ(update("admin", "p w;$(id)"), "1");
  std::ofstream(dir_.file("work/.htpasswd")).put('\n');
  EXPECT_EQ(update("admin", "pw2"), "1");
  EXPECT_EQ(update("a:b", "pw"), "0");
  EXPECT_EQ(update("admin", "line\nbreak"), "0");
  EXPECT_EQ(update("admin", std::string(73, 'x')), "0");
  EXPECT_EQ(readWholeFile(log()),
            "-B\n-i\n-C\n11\n-c\n.htpasswd\nadmin\nstdin:p w;$(id)\n"
            "-B\n-i\n-C\n11\n.htpasswd\nadmin\nstdin:pw2\n");
}

TEST_F(FakeHtpasswd, TheProcessListNeverShowsThePassword) {
  const std::string password = "Uniq-ps-" + std::to_string(getpid());
  EXPECT_EQ(update("admin", password), "1");
  const std::string listed = readWholeFile(dir_.file("ps"));
  EXPECT_NE(listed.find(".htpasswd admin"), std::string::npos);  // the list was taken meanwhile
  EXPECT_EQ(listed.find(password), std::string::npos);
}

TEST_F(FakeHtpasswd, ADesLoginUpgradesAnExistingHtpasswdToo) {
  auto desLogin = [&](bool withHtpasswd) {
    std::ofstream(dir_.file("work/admin.pwd")) << "admin:" << crypt("secret", "ab");
    if (withHtpasswd) std::ofstream(dir_.file("work/.htpasswd")).put('\n');
    return inWork([] {
      return static_cast<int>(checkAccess(AccessClaim{"secret", true, ""}, "admin.pwd", true));
    });
  };
  const std::string granted = std::to_string(static_cast<int>(Access::kGranted));
  EXPECT_EQ(desLogin(false), granted);
  EXPECT_FALSE(isRegularFile(log()));  // no .htpasswd: none is made
  EXPECT_EQ(desLogin(true), granted);
  EXPECT_EQ(readWholeFile(log()), "-B\n-i\n-C\n11\n.htpasswd\nadmin\nstdin:secret\n");
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

}  // namespace
}  // namespace vy
