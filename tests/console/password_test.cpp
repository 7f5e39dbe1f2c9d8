// The administrator's user name and password: the checks, the stored hash, the page's user and
// the web server's password file.
#include <crypt.h>
#include <unistd.h>

#include <filesystem>

#include "common/credentials.h"
#include "common/process.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ConsoleTest;
using test::Env;
using test::ProbePage;

class PasswordTest : public test::WorkingConsoleTest {
 protected:
  ProbePage change(const std::string& user, const std::string& password,
                   const std::string& repeated) {
    return ask({{"fnct", "update_pass"}, {"un", user}, {"pw", password}, {"pw2", repeated}});
  }
  // A login with the password: the login page's message, or "(in)".
  std::string loginWith(const std::string& supplied) {
    ProbePage page = probe(post(test::formBody({{"apwd", supplied}, {"fnct", "view_groups"}})));
    return page.has("page") ? page.value("page", "MSG") : std::string("(in)");
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
  EXPECT_EQ(message("boss", std::string(73, 'p').c_str()),
            "Password Too Long (At Most 72 Characters)");
  EXPECT_EQ(message("boss", "one", "two"), "Passwords Not Match");
  EXPECT_NE(message("bo:ss", "pw").find("Username May Hold Only"), std::string::npos);
  EXPECT_NE(message("boss", "p\xc3\xa9").find("Printable"), std::string::npos);
  EXPECT_EQ(instance_.read("vydata/admin.pwd"), stored);
}

// Eight characters of a name and 72 of a password pass; the whole password logs in from then
// on, and its first eight characters do not (the other prefixes are checked on the hash itself).
TEST_F(PasswordTest, AnAcceptedChangeIsStoredAsABcryptHashOfTheWholePassword) {
  const std::string password = "correct-horse-battery-staple" + std::string(44, '9');
  ProbePage page = change("12345678", password, "");  // an empty repeat is not compared
  EXPECT_EQ(page.message(), "Administrative Username/Password Has Been Updated");
  EXPECT_EQ(instance_.read("vydata/admin.pwd").substr(0, 16), "12345678:$2y$11$");
  EXPECT_FALSE(instance_.exists(".htpasswd"));  // no web-server user: left alone
  EXPECT_EQ(loginWith(password), "(in)");
  EXPECT_EQ(loginWith(password.substr(0, 8)), "Invalid Password");
}

// A login of an earlier version opens the console once with its old hash and leaves a bcrypt
// hash of the same password behind.
TEST_F(PasswordTest, ADesLoginIsUpgradedToBcryptAtTheFirstLogin) {
  instance_.write("vydata/admin.pwd", std::string("boss:") + crypt(kPassword, "xy"));
  EXPECT_EQ(loginWith(kPassword), "(in)");
  PasswordEntry entry;
  ASSERT_TRUE(readPasswordFile(instance_.path("vydata/admin.pwd"), entry).ok());
  EXPECT_EQ(std::tuple(entry.user, hashKind(entry.hash), checkPassword(entry.hash, kPassword)),
            std::tuple("boss", HashKind::kBcrypt, true));
  const std::string upgraded = instance_.read("vydata/admin.pwd");
  EXPECT_EQ(loginWith(kPassword), "(in)");
  EXPECT_EQ(instance_.read("vydata/admin.pwd"), upgraded);  // once only
  EXPECT_EQ(test::loggedActions(instance_), test::LogLines());
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

bool htpasswdAccepts(const std::string& file, const std::string& user,
                     const std::string& password) {
  return runProgramWithInput({"htpasswd", "-v", "-i", file, user}, password).succeeded();
}

// Through the installed program: the first visit, then a change, each leave bcrypt in both files
// (the web server's through the real htpasswd), readable by their owner alone. The settings are
// saved, so the change after the first visit is served.
TEST_F(ConsoleTest, AWebServerUserGetsBcryptInBothFilesAtTheFirstVisitAndAfterAChange) {
  if (::access("/usr/bin/htpasswd", X_OK) != 0) GTEST_SKIP() << "apache2-utils not installed";
  using std::filesystem::perms;
  const Env web = {{"REMOTE_USER", "boss"}, {"HTTP_ORIGIN", "http://console.test"}};
  get("", web);
  ASSERT_EQ(saveSettings(defaultSettings("console.test"), instance_.path("vydata/vyvars.dat")),
            StoreCode::kOk);
  const std::string file = instance_.path(".htpasswd");
  for (const std::string password : {"first-pw-of-12", "then a longer one, 27 chars"}) {
    const test::Fields change = {
        {"apwd", ""}, {"fnct", "update_pass"}, {"un", "boss"}, {"pw", password}, {"pw2", password}};
    EXPECT_NE(post(test::formBody(change), web).out.find("Has Been Updated"), std::string::npos)
        << password;
    EXPECT_EQ(instance_.read("vydata/admin.pwd").substr(0, 12), "boss:$2y$11$") << password;
    EXPECT_EQ(instance_.read(".htpasswd").substr(0, 12), "boss:$2y$11$") << password;
    EXPECT_TRUE(htpasswdAccepts(file, "boss", password)) << password;
    EXPECT_FALSE(htpasswdAccepts(file, "boss", password.substr(0, 8))) << password;
    for (const char* path : {"vydata/admin.pwd", ".htpasswd"}) {
      EXPECT_EQ(std::filesystem::status(instance_.path(path)).permissions(), perms(0600)) << path;
    }
  }
  EXPECT_FALSE(htpasswdAccepts(file, "boss", "first-pw-of-12"));  // the change replaced it
}

}  // namespace
}  // namespace vy
