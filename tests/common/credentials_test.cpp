// The password file, the access check and the ".htpasswd" update, the latter
// against a recording stand-in for htpasswd and against the real program.
#include "common/credentials.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "common/files.h"
#include "common/process.h"
#include "tests/support/child.h"

namespace vy {
namespace {

int accessAs(const char* method, const char* remoteUser, std::optional<std::string_view> supplied,
             const std::string& path) {
  setenv("REQUEST_METHOD", method, 1);
  remoteUser ? setenv("REMOTE_USER", remoteUser, 1) : unsetenv("REMOTE_USER");
  int result = checkAccess(supplied, path, true);
  unsetenv("REQUEST_METHOD");
  unsetenv("REMOTE_USER");
  return result;
}

TEST(PasswordFile, WrittenHashIsLibcryptsDesCryptAndLongUserNamesCutIt) {
  test::TempDir dir;
  const std::string path = dir.file("admin.pwd");
  ASSERT_EQ(writePasswordFile("admin", "s3cret", path), 0);
  std::string content = readWholeFile(path);
  crypt_data data = {};
  EXPECT_EQ(content,
            "admin:" + std::string(crypt_r("s3cret", content.substr(6, 2).c_str(), &data)));
  PasswordEntry entry;
  ASSERT_EQ(readPasswordFile(path, entry), 0);
  EXPECT_TRUE(checkPassword(entry.hash, "s3cret"));
  EXPECT_FALSE(checkPassword(entry.hash, "s3cre"));

  ASSERT_EQ(writePasswordFile("fifteen-chars-u", "secret", path), 0);
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path), 0);
  ASSERT_EQ(writePasswordFile("sixteen-chars-us", "secret", path), 0);
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path), 1);
  EXPECT_EQ(accessAs("POST", nullptr, "secret", path), 1);
  EXPECT_EQ(accessAs("GET", nullptr, "", path), 1);
}

TEST(AccessCheck, RemoteUserIsGrantedOnGetButAPostNeedsThePasswordVariable) {
  test::TempDir dir;
  const std::string path = dir.file("admin.pwd");
  std::ofstream(path) << "adminabNANd1rDfiNc";
  PasswordEntry entry;
  EXPECT_EQ(readPasswordFile(path, entry), 12);
  EXPECT_EQ(accessAs("GET", nullptr, "secret", path), -1);

  std::ofstream(path) << "admin:abNANd1rDfiNc";  // password "secret"
  EXPECT_EQ(accessAs("POST", nullptr, "secret", path), 0);
  EXPECT_EQ(accessAs("GET", nullptr, "wrong", path), 1);
  EXPECT_EQ(accessAs("GET", "admin", std::nullopt, path), 0);
  EXPECT_EQ(accessAs("GET", "Admin", "", path), 1);
  EXPECT_EQ(accessAs("POST", "admin", std::nullopt, path), 1);
  EXPECT_EQ(accessAs("POST", "admin", "", path), 0);
}

// Stand-ins for htpasswd: each appends its arguments, one a line, to its log.
class FakeHtpasswd : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(dir_.file("work").c_str(), 0755);
    mkdir(dir_.file("bin").c_str(), 0755);
  }
  std::string makeProgram(const std::string& name, int status) {
    std::ofstream(dir_.file(name))
        << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> "
        << dir_.file(name + ".log") << "\nexit " << status << "\n";
    chmod(dir_.file(name).c_str(), 0755);
    return dir_.file(name);
  }
  // updateHtpasswd in work/ with bin/ first on the search path.
  int update(const char* user, const char* password, std::vector<const char*> locations = {}) {
    std::string out = test::runInChild([&] {
                        if (chdir(dir_.file("work").c_str()) != 0) _exit(9);
                        setenv("PATH", (dir_.file("bin") + ":/usr/bin:/bin").c_str(), 1);
                        std::printf("%d", updateHtpasswd(user, password, locations));
                      }).out;
    return out.empty() ? -1 : std::stoi(out);
  }
  std::string log(const std::string& name) { return readWholeFile(dir_.file(name + ".log")); }
  test::TempDir dir_;
};

TEST_F(FakeHtpasswd, ArgumentVectorCarriesTheCreateFlagOnlyWhenTheFileIsMissing) {
  makeProgram("bin/htpasswd", 0);
  EXPECT_EQ(update("admin", "p w;$(id)"), 0);
  std::ofstream(dir_.file("work/.htpasswd")).put('\n');
  EXPECT_EQ(update("admin", "pw2"), 0);
  EXPECT_EQ(update("a:b", "pw"), 1);
  EXPECT_EQ(update("admin", "line\nbreak"), 1);
  EXPECT_EQ(log("bin/htpasswd"), "-bc\n.htpasswd\nadmin\np w;$(id)\n-b\n.htpasswd\nadmin\npw2\n");
}

TEST_F(FakeHtpasswd, WhenThePathOneFailsOnlyTheFirstExistingLocationRuns) {
  makeProgram("bin/htpasswd", 1);
  std::string none = dir_.file("none"), first = makeProgram("first", 3);
  std::string second = makeProgram("second", 0);
  EXPECT_EQ(update("admin", "pw", {none.c_str(), first.c_str(), second.c_str()}), 1);
  EXPECT_EQ(log("first"), "-bc\n.htpasswd\nadmin\npw\n");
  EXPECT_EQ(log("second"), "");
  EXPECT_EQ(update("admin", "pw", {none.c_str(), second.c_str()}), 0);
}

TEST(RealHtpasswd, CreatesAFileThatHtpasswdVerifies) {
  if (access("/usr/bin/htpasswd", X_OK) != 0) GTEST_SKIP() << "apache2-utils not installed";
  test::TempDir dir;
  test::ChildOutcome outcome = test::runInChild([&] {
    if (chdir(dir.path().c_str()) != 0 || !freopen("/dev/null", "w", stderr)) _exit(9);
    setenv("PATH", "/usr/bin:/bin", 1);
    int updated = updateHtpasswd("admin", "s3cret pw!");
    std::printf("%d %d %d", updated,
                runProgramWithInput({"htpasswd", "-vb", ".htpasswd", "admin", "s3cret pw!"}, ""),
                runProgramWithInput({"htpasswd", "-vb", ".htpasswd", "admin", "wrong"}, "") != 0);
  });
  EXPECT_EQ(outcome.out, "0 0 1");
}

}  // namespace
}  // namespace vy
