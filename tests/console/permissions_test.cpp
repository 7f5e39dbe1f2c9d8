// Who may use an instance's files: nothing the programs make is open to others, credential files
// only to their owner, and an instance an older version left open is closed at the next start.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "store/settings.h"
#include "tests/console/console_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

namespace fs = std::filesystem;
using test::ConsoleTest;

// Every entry of the instance that the programs made (the data directory and the web server's
// password file) whose mode lets others in, or a credential file that lets the group in.
std::vector<std::string> tooOpen(const test::Instance& instance) {
  std::vector<std::string> found;
  auto check = [&](const fs::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    const std::string name = fs::relative(path, instance.dir());
    const bool credential = name == "vydata/admin.pwd" || name == ".htpasswd";
    if ((st.st_mode & (credential ? 0077 : 0007)) != 0) {
      found.push_back(name + " " + std::to_string(st.st_mode & 07777));
    }
  };
  check(instance.path("vydata"));
  check(instance.path(".htpasswd"));
  for (const auto& entry : fs::recursive_directory_iterator(instance.path("vydata"))) {
    check(entry.path());
  }
  return found;
}

TEST_F(ConsoleTest, NothingTheProgramsMakeIsOpenToOthers) {
  ::umask(0);  // the programs set their own mask, whatever they are started with
  get("");     // the first visit installs the data directory
  EXPECT_EQ(tooOpen(instance_), std::vector<std::string>{});
  post(test::formBody({{"fnct", "update_pass"}, {"un", "admin"}, {"pw", kPassword}}));
  submit({{"fnct", "setup_save"}, {"TZ", "41;UTC;0;UTC;UTC"}});
  test::FakeServer site(test::answerWith(test::httpReplyText("200 OK", "<html>ok</html>")));
  ASSERT_TRUE(site.ok());
  submit({{"fnct", "view_group"}, {"group", "general"}, {"ACTION", "update"}, {"URL", site.url()}});
  // A check run writes the group, its check log and the check time; a refusal the error log.
  EXPECT_EQ(instance_.runWorker({"check", "0"}).exitCode, 0);
  EXPECT_EQ(instance_.runWorker({"get"}, {{"ADMIN_PWD", "wrong"}}).exitCode, 2);
  // A change of the password on the web server's login writes .htpasswd too.
  submit({{"fnct", "update_pass"}, {"un", "admin"}, {"pw", "n3w"}},
         {{"REMOTE_USER", "admin"}, {"HTTP_ORIGIN", "http://console.test"}});
  ::umask(022);
  for (const char* made : {"vydata/vychklog/general.log", "vydata/error.log", ".htpasswd",
                           "vydata/vyvars.dat", "vydata/admin.pwd"}) {
    EXPECT_TRUE(instance_.exists(made)) << made;
  }
  EXPECT_EQ(tooOpen(instance_), std::vector<std::string>{});
}

// What an older version left open to everyone is closed at the next start of either program,
// but only what the starting user owns.
TEST_F(ConsoleTest, AnInstanceLeftOpenIsClosedAtTheNextStartExceptWhatOthersOwn) {
  makeWorking();
  instance_.write(".htpasswd", "admin:x\n");
  instance_.write("vydata/vydb/foreign.dat", "");
  ASSERT_EQ(::chown(instance_.path("vydata/vydb/foreign.dat").c_str(), 65534, 65534), 0);
  auto openAll = [&] {
    fs::permissions(instance_.path(".htpasswd"), fs::perms(0666));
    for (const auto& entry : fs::recursive_directory_iterator(instance_.path("vydata"))) {
      fs::permissions(entry.path(), fs::perms(entry.is_directory() ? 0777 : 0666));
    }
    fs::permissions(instance_.path("vydata"), fs::perms(0777));
  };
  for (bool console : {true, false}) {
    openAll();
    if (console) {
      get("");
    } else {
      instance_.runWorker({});
    }
    EXPECT_EQ(tooOpen(instance_), std::vector<std::string>{"vydata/vydb/foreign.dat 438"})
        << (console ? "console" : "worker");
  }
  // A shared group directory keeps its setgid bit.
  fs::permissions(instance_.path("vydata/vydb"), fs::perms(02777));
  fs::permissions(instance_.path("vydata"), fs::perms(0777));
  get("");
  EXPECT_EQ(fs::status(instance_.path("vydata/vydb")).permissions(), fs::perms(02770));
}

}  // namespace
}  // namespace vy
