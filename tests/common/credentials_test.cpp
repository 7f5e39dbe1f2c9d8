// The password file, the access check and the ".htpasswd" update, the latter
// against a recording stand-in for htpasswd and against the real program.
#include "common/credentials.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "common/process.h"
#include "tests/support/child.h"

namespace vy {
namespace {

using test::TempDir;

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::map<std::string, const char*> values) {
    for (const auto& [name, value] : values) {
      const char* old = ::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      if (value)
        ::setenv(name.c_str(), value, 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(PasswordFile, TheHashIsTheSystemsDesCrypt) {
  EXPECT_TRUE(checkPassword("abNANd1rDfiNc", "secret"));
  EXPECT_FALSE(checkPassword("abNANd1rDfiNc", "Secret"));
  EXPECT_FALSE(checkPassword("abNANd1rDfiNc", ""));
  EXPECT_FALSE(checkPassword("", ""));
  EXPECT_FALSE(checkPassword("*0", "x"));
}

TEST(PasswordFile, WriteThenCheckRoundTrip) {
  TempDir dir;
  std::string path = dir.file("admin.pwd");
  ASSERT_EQ(writePasswordFile("admin", "s3cret", path), 0);
  std::string content = readFile(path);
  ASSERT_EQ(content.size(), 6u + 13u);
  EXPECT_EQ(content.substr(0, 6), "admin:");
  std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789./ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  EXPECT_NE(alphabet.find(content[6]), std::string::npos);
  EXPECT_NE(alphabet.find(content[7]), std::string::npos);

  PasswordEntry entry;
  ASSERT_EQ(readPasswordFile(path, entry), 0);
  EXPECT_EQ(entry.user, "admin");
  EXPECT_TRUE(checkPassword(entry.hash, "s3cret"));
  EXPECT_FALSE(checkPassword(entry.hash, "s3cre"));
  EXPECT_FALSE(checkPassword(entry.hash, "other"));

  EXPECT_EQ(writePasswordFile("admin", "x", dir.file("no/such/dir")), 2);
}

TEST(PasswordFile, FileWithoutColonOrMissingFileIsUnusable) {
  TempDir dir;
  ScopedEnv env({{"REQUEST_METHOD", nullptr}, {"REMOTE_USER", nullptr}});
  PasswordEntry entry;
  writeFile(dir.file("admin.pwd"), "adminabNANd1rDfiNc");
  EXPECT_EQ(readPasswordFile(dir.file("admin.pwd"), entry), 12);
  EXPECT_EQ(checkAccess("secret", dir.file("admin.pwd"), true), -1);

  EXPECT_EQ(readPasswordFile(dir.file("missing.pwd"), entry), 1);
  EXPECT_EQ(checkAccess("secret", dir.file("missing.pwd"), true), -1);
  EXPECT_EQ(readPasswordFile(dir.path(), entry), 1);  // a directory
}

TEST(PasswordFile, OnlyTwentyNineBytesAreRead) {
  TempDir dir;
  ScopedEnv env({{"REQUEST_METHOD", nullptr}, {"REMOTE_USER", nullptr}});
  std::string path = dir.file("admin.pwd");
  ASSERT_EQ(writePasswordFile("fifteen-chars-u", "secret", path), 0);
  EXPECT_EQ(checkAccess("secret", path, true), 0);

  ASSERT_EQ(writePasswordFile("sixteen-chars-us", "secret", path), 0);
  PasswordEntry entry;
  ASSERT_EQ(readPasswordFile(path, entry), 0);
  EXPECT_EQ(entry.hash.size(), 12u);
  EXPECT_EQ(checkAccess("secret", path, true), 1);
  EXPECT_EQ(checkAccess("", path, true), 1);
}

TEST(PasswordFile, LineEndAddedByHandIsNotPartOfTheHash) {
  TempDir dir;
  writeFile(dir.file("admin.pwd"), "admin:abNANd1rDfiNc\n");
  PasswordEntry entry;
  ASSERT_EQ(readPasswordFile(dir.file("admin.pwd"), entry), 0);
  EXPECT_EQ(entry.hash, "abNANd1rDfiNc");
}

class AccessCheck : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(path_, "admin:abNANd1rDfiNc"); }
  int check(const char* method, const char* remoteUser, std::optional<std::string_view> supplied,
            bool acceptRemoteUser = true) {
    ScopedEnv env({{"REQUEST_METHOD", method}, {"REMOTE_USER", remoteUser}});
    return checkAccess(supplied, path_, acceptRemoteUser);
  }

  TempDir dir_;
  std::string path_ = dir_.file("admin.pwd");
};

TEST_F(AccessCheck, PasswordDecidesWithoutRemoteUser) {
  EXPECT_EQ(check("GET", nullptr, "secret"), 0);
  EXPECT_EQ(check("POST", nullptr, "secret"), 0);
  EXPECT_EQ(check("GET", nullptr, "wrong"), 1);
  EXPECT_EQ(check("GET", nullptr, ""), 1);
  EXPECT_EQ(check(nullptr, nullptr, std::nullopt), 1);
}

TEST_F(AccessCheck, MatchingRemoteUserIsGrantedOnGet) {
  EXPECT_EQ(check("GET", "admin", ""), 0);
  EXPECT_EQ(check("GET", "admin", std::nullopt), 0);
  EXPECT_EQ(check("GET", "other", ""), 1);
  EXPECT_EQ(check("GET", "Admin", ""), 1);
  EXPECT_EQ(check("GET", "", ""), 1);
  // A matching REMOTE_USER wins over a wrong password.
  EXPECT_EQ(check("GET", "admin", "wrong"), 0);
}

TEST_F(AccessCheck, PostWithoutThePasswordVariableIsRefusedEvenForTheRemoteUser) {
  EXPECT_EQ(check("POST", "admin", std::nullopt), 1);
  EXPECT_EQ(check("POST", "admin", ""), 0);
}

TEST_F(AccessCheck, RemoteUserIsIgnoredWhenNotAccepted) {
  EXPECT_EQ(check("GET", "admin", "", false), 1);
  EXPECT_EQ(check("GET", "admin", "secret", false), 0);
}

TEST(HtpasswdRules, UserAndPasswordThatReachTheProgram) {
  EXPECT_TRUE(isValidHtpasswdUser("a"));
  EXPECT_TRUE(isValidHtpasswdUser("Ad.m-i_8"));
  EXPECT_FALSE(isValidHtpasswdUser(""));
  EXPECT_FALSE(isValidHtpasswdUser("ninechars"));
  EXPECT_FALSE(isValidHtpasswdUser("a:b"));
  EXPECT_FALSE(isValidHtpasswdUser("a b"));
  EXPECT_FALSE(isValidHtpasswdUser("a;rm"));
  EXPECT_TRUE(isValidHtpasswdPassword("p w;$(x)'\"~"));
  EXPECT_FALSE(isValidHtpasswdPassword(""));
  EXPECT_FALSE(isValidHtpasswdPassword("a\nb"));
  EXPECT_FALSE(isValidHtpasswdPassword("caf\xc3\xa9"));
}

// A directory of stand-in htpasswd programs that record their arguments, one
// per line, into a log file and exit with a chosen status.
class FakeHtpasswd : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(dir_.file("bin").c_str(), 0755);
    ::mkdir(dir_.file("work").c_str(), 0755);
    ::mkdir(dir_.file("alt").c_str(), 0755);
  }

  // Writes a recording program at path that exits with status.
  std::string makeProgram(const std::string& path, const std::string& log, int status) {
    writeFile(path,
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " + log + "\nexit " +
                  std::to_string(status) + "\n",
              0755);
    return path;
  }

  // Runs updateHtpasswd in the work directory with bin/ first on PATH and
  // returns its result.
  int run(const std::string& user, const std::string& password,
          std::vector<const char*> locations) {
    test::ChildOutcome outcome = test::runInChild([&] {
      if (::chdir(dir_.file("work").c_str()) != 0) _exit(9);
      ::setenv("PATH", (dir_.file("bin") + ":/usr/bin:/bin").c_str(), 1);
      std::printf("%d", updateHtpasswd(user, password, locations));
    });
    EXPECT_EQ(outcome.exitCode, 0);
    return outcome.out.empty() ? -1 : std::stoi(outcome.out);
  }

  TempDir dir_;
  std::string pathLog_ = dir_.file("path.log");
  std::string altLog_ = dir_.file("alt.log");
};

TEST_F(FakeHtpasswd, ArgumentVectorCarriesTheCreateFlagOnlyWhenTheFileIsMissing) {
  makeProgram(dir_.file("bin/htpasswd"), pathLog_, 0);
  std::string alt = makeProgram(dir_.file("alt/htpasswd"), altLog_, 0);
  EXPECT_EQ(run("admin", "p w;$(id)", {alt.c_str()}), 0);
  EXPECT_EQ(readFile(pathLog_), "-bc\n.htpasswd\nadmin\np w;$(id)\n");

  writeFile(dir_.file("work/.htpasswd"), "");
  EXPECT_EQ(run("admin", "pw2", {alt.c_str()}), 0);
  EXPECT_EQ(readFile(pathLog_), "-bc\n.htpasswd\nadmin\np w;$(id)\n-b\n.htpasswd\nadmin\npw2\n");
  EXPECT_FALSE(std::ifstream(altLog_).good()) << "no location is tried after success";
}

TEST_F(FakeHtpasswd, FailureOnThePathFallsBackToTheFirstExistingLocation) {
  makeProgram(dir_.file("bin/htpasswd"), pathLog_, 1);
  std::string missing = dir_.file("alt/none");
  std::string first = makeProgram(dir_.file("alt/first"), altLog_, 0);
  std::string second = makeProgram(dir_.file("alt/second"), dir_.file("second.log"), 0);
  EXPECT_EQ(run("admin", "pw", {missing.c_str(), first.c_str(), second.c_str()}), 0);
  EXPECT_EQ(readFile(pathLog_), "-bc\n.htpasswd\nadmin\npw\n");
  EXPECT_EQ(readFile(altLog_), "-bc\n.htpasswd\nadmin\npw\n");
  EXPECT_FALSE(std::ifstream(dir_.file("second.log")).good());
}

TEST_F(FakeHtpasswd, FailingFirstLocationIsTheResult) {
  makeProgram(dir_.file("bin/htpasswd"), pathLog_, 3);
  std::string first = makeProgram(dir_.file("alt/first"), altLog_, 1);
  std::string second = makeProgram(dir_.file("alt/second"), dir_.file("second.log"), 0);
  EXPECT_EQ(run("admin", "pw", {first.c_str(), second.c_str()}), 1);
  EXPECT_TRUE(std::ifstream(altLog_).good());
  EXPECT_FALSE(std::ifstream(dir_.file("second.log")).good());
  EXPECT_EQ(run("admin", "pw", {dir_.file("alt/none").c_str()}), 1);
}

TEST_F(FakeHtpasswd, InvalidUserOrPasswordRunsNothing) {
  makeProgram(dir_.file("bin/htpasswd"), pathLog_, 0);
  EXPECT_EQ(run("a:b", "pw", {}), 1);
  EXPECT_EQ(run("toolongname", "pw", {}), 1);
  EXPECT_EQ(run("admin", "", {}), 1);
  EXPECT_EQ(run("admin", "line\nbreak", {}), 1);
  EXPECT_FALSE(std::ifstream(pathLog_).good());
}

TEST(RealHtpasswd, CreatesAFileThatHtpasswdVerifies) {
  if (::access("/usr/bin/htpasswd", X_OK) != 0) GTEST_SKIP() << "apache2-utils not installed";
  TempDir dir;
  test::ChildOutcome outcome = test::runInChild([&] {
    if (::chdir(dir.path().c_str()) != 0) _exit(9);
    ::setenv("PATH", "/usr/bin:/bin", 1);
    ::freopen("/dev/null", "w", stderr);
    int first = updateHtpasswd("admin", "s3cret pw!");
    int second = updateHtpasswd("other", "x'y\"z");
    auto verify = [](const char* user, const char* password) {
      ChildProcess child;
      if (!child.start({"htpasswd", "-vb", ".htpasswd", user, password},
                       ChildProcess::kStdoutToNull, true)) {
        return -1;
      }
      int status = child.wait();
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::printf("%d %d %d %d %d", first, second, verify("admin", "s3cret pw!"),
                verify("other", "x'y\"z"), verify("admin", "wrong") != 0);
  });
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out, "0 0 0 0 1");
}

}  // namespace
}  // namespace vy
