// The administrator's user name and password: the checks, the stored hash, the page's user and
// the web server's password file.
#include <unistd.h>

#include "common/credentials.h"
#include "common/process.h"
#include "store/sessions.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;

class PasswordTest : public test::WorkingConsoleTest {
 protected:
  ProbePage change(const std::string& user, const std::string& password,
                   const std::string& repeated, const test::Env& env = {}) {
    return ask({{"fnct", "update_pass"}, {"un", user}, {"pw", password}, {"pw2", repeated}}, env);
  }
};

// Each check has its message, in order, and nothing is stored then.
TEST_F(PasswordTest, AChangeIsCheckedFieldByField) {
  const std::string stored = instance_.read("vydata/admin.pwd");
  auto message = [&](const char* user, const char* password, const char* repeated = "") {
    return change(user, password, repeated).message();
  };
  EXPECT_EQ(message("", ""), "You Must Enter A Username");
  EXPECT_EQ(message("boss", ""), "You Must Enter A Password");
  EXPECT_EQ(message("123456789", "123456789"), "Username Too Long");
  EXPECT_EQ(message("boss", "123456789"), "Password Too Long");
  EXPECT_EQ(message("boss", "one", "two"), "Passwords Not Match");
  EXPECT_NE(message("bo:ss", "pw").find("Username May Hold Only"), std::string::npos);
  EXPECT_NE(message("boss", "p\xc3\xa9").find("Printable"), std::string::npos);
  EXPECT_EQ(instance_.read("vydata/admin.pwd"), stored);
}

// Eight characters of each pass, and the next page carries the new password.
TEST_F(PasswordTest, AnAcceptedChangeIsStoredAsADesHash) {
  ProbePage page = change("12345678", "abcdefgh", "");  // an empty repeat is not compared
  EXPECT_EQ(page.message(), "Administrative Username/Password Has Been Updated");
  EXPECT_TRUE(sessionHashOf(page.value("header_template", "APWD")).has_value());
  PasswordEntry entry;
  ASSERT_TRUE(readPasswordFile(instance_.path("vydata/admin.pwd"), entry).ok());
  EXPECT_EQ(std::tuple(entry.user, entry.hash.size(), checkPassword(entry.hash, "abcdefgh")),
            std::tuple("12345678", 13u, true));
  EXPECT_FALSE(instance_.exists(".htpasswd"));  // no web-server user: left alone
}

TEST_F(PasswordTest, ThePageNamesTheStoredUser) {
  auto page = [&] { return ask({{"fnct", "display_chpass"}}); };
  for (const char* user : {"admin", "", "boss"}) {  // a stored empty name shows as admin
    ASSERT_TRUE(writePasswordFile(user, kPassword, instance_.path("vydata/admin.pwd")).ok());
    EXPECT_EQ(page().value("center_template", "USER"), *user ? user : "admin");
  }
  instance_.write("vydata/admin.pwd", "no colon here");
  const ProbePage broken = page();
  EXPECT_FALSE(broken.has("center_template"));
  EXPECT_EQ(broken.value("footer_template", "USER"), "");
}

TEST_F(PasswordTest, AWebServerUserGetsTheNewPasswordInHtpasswdToo) {
  if (::access("/usr/bin/htpasswd", X_OK) != 0) GTEST_SKIP() << "apache2-utils not installed";
  ProbePage page = change("admin", "n3w pw", "n3w pw", {{"REMOTE_USER", "admin"}});
  EXPECT_EQ(page.message(), "Administrative Username/Password Has Been Updated");
  const std::string file = instance_.path(".htpasswd");
  EXPECT_TRUE(runProgramWithInput({"htpasswd", "-vb", file, "admin", "n3w pw"}, "").succeeded());
  EXPECT_FALSE(runProgramWithInput({"htpasswd", "-vb", file, "admin", "s3cret"}, "").succeeded());
}

}  // namespace
}  // namespace vy
