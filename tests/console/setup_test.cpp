// The settings page: saving with its clamps and the time-zone value, the defaults of a new
// installation, and the scheduler control.
#include <signal.h>

#include <filesystem>
#include <tuple>

#include "common/credentials.h"
#include "common/process.h"
#include "store/sessions.h"
#include "store/settings.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::ProbePage;

class SetupTest : public test::WorkingConsoleTest {
 protected:
  Settings stored() { return storedSettings(); }
  // Turns one switch of the stored settings on or off.
  void setFlag(uint8_t flag, bool on) {
    Settings settings = stored();
    settings.setFlag(flag, on);
    storeSettings(settings);
  }
  static test::Fields form(test::Fields fields) { return settingsForm(std::move(fields)); }
  // A stand-in worker that records its arguments.
  void recordWorkerArguments() {
    instance_.writeScript("vyrunner.cgi", "printf '%s\\n' \"$0\" \"$@\" >> worker-args.txt\n");
  }
};

// Each text is cut where its field of the settings record ends (the referer shorter).
TEST_F(SetupTest, SavingClampsTheNumbersToTheirDefaultsButKeepsNegativeOnesAndCutsTheTexts) {
  ProbePage page = ask(form({{"MAXLENPAGE", "50"},
                             {"MAXCHKPROC", "0"},
                             {"CHKTIME", ""},
                             {"RESTIME", "-3"},
                             {"RECHKUPTIME", "300"},
                             {"MAXCHKURL", "0"},
                             {"AEMAIL", "me@<x>"}}));
  EXPECT_EQ(test::joined(page.line("page"), {"MSG", "AEMAIL"}, "|"),
            "Settings Updated|me@&lt;x&gt;");
  Settings s = stored();
  EXPECT_EQ(std::tuple(s.maxPageLength, s.maxCheckThreads, s.checkSeconds, s.restartSeconds,
                       s.recheckUpTimes, s.maxCheckUrls),
            std::tuple(100, 1, 60, -3, uint8_t{44}, 1));
  EXPECT_EQ(s.consoleHost, "console.test");

  ask(form({{"AEMAIL", std::string(60, 'a')},
            {"EMLSEND", std::string(60, 'm')},
            {"USRAGENT", std::string(60, 'u')},
            {"REFERER", std::string(200, 'r')}}));
  s = stored();
  EXPECT_EQ(std::tuple(s.adminEmail, s.mailTransport, s.userAgent, s.referer),
            std::tuple(std::string(49, 'a'), std::string(49, 'm'), std::string(50, 'u'),
                       std::string(140, 'r')));
}

// Each refusal shows the form again with what was typed and stores nothing: a line break in a
// text would add header lines to every request, and numbers past the bounds would let one
// check run exhaust the host.
TEST_F(SetupTest, ControlCharactersAndNumbersPastTheirBoundsAreRefusedWithAMessage) {
  const std::string before = instance_.read("vydata/vyvars.dat");
  const std::string text = "Settings texts may not hold line breaks or other control characters";
  const std::pair<test::Fields, std::string> refused[] = {
      {{{"USRAGENT", "Agent\r\nX-Injected: 1"}}, text},
      {{{"REFERER", "http://r/\nGET /x HTTP/1.0"}}, text},
      {{{"AEMAIL", "a@b\tc"}}, text},
      {{{"EMLSEND", "/usr/sbin/sendmail\n-oi"}}, text},
      {{{"TZ", "41;UTC;0;UTC\r;UTC"}}, text},
      {{{"MAXLENPAGE", "8388609"}}, "The page size limit may be at most 8 MB (8388608 bytes)"},
      {{{"MAXLENPAGE", "2147483647"}}, "The page size limit may be at most 8 MB (8388608 bytes)"},
      {{{"MAXCHKPROC", "1001"}}, "The threads per check run must be a number from 1 to 1000"},
      {{{"MAXCHKPROC", "-2"}}, "The threads per check run must be a number from 1 to 1000"},
      {{{"MAXCHKURL", "-1"}}, "The URLs per check run may not be a negative number"}};
  for (const auto& [fields, message] : refused) {
    test::Fields typed = fields;
    typed.emplace_back("MAXCHKURL", "77");  // the first of a name counts
    const ProbePage page = ask(form(typed));
    EXPECT_EQ(page.value("page", "MSG"), message) << fields[0].second;
    EXPECT_EQ(instance_.read("vydata/vyvars.dat"), before) << fields[0].second;
  }
  EXPECT_EQ(ask(form({{"USRAGENT", "Agent\nX"}})).value("page", "USRAGENT"), "Agent\nX");
  ask(form({{"MAXLENPAGE", "8388608"}, {"MAXCHKPROC", "1000"}}));
  EXPECT_EQ(std::pair(stored().maxPageLength, stored().maxCheckThreads), std::pair(8388608, 1000));
}

TEST_F(SetupTest, TheTimeZoneValueGivesOffsetMinutesAbbreviationAndZone) {
  ask(form({{"TZ", "12;EST;-5;America/New_York;(UTC-05:00) New York"}, {"DLS", "1"}}));
  Settings s = stored();
  EXPECT_EQ(std::tuple(s.tzOption, s.zoneAbbrev, s.zoneOffset, s.zoneMinutes, s.zoneName,
                       s.daylightSaving()),
            std::tuple(uint8_t{12}, std::string("EST"), -18000, uint8_t{0},
                       std::string("America/New_York"), true));
  ask(form({{"TZ", "55;INDIA;5:30;Asia/Kolkata;"}}));
  s = stored();
  EXPECT_EQ(std::tuple(s.zoneAbbrev, s.zoneOffset, s.zoneMinutes, s.daylightSaving()),
            std::tuple(std::string("INDI"), 18000, uint8_t{30}, false));

  const std::string before = instance_.read("vydata/vyvars.dat");
  ProbePage page =
      ask(form({{"TZ", "7;A;1;Europe/Paris"}, {"AEMAIL", "typed@x"}, {"MAXCHKURL", "77"}}));
  EXPECT_EQ(test::joined(page.line("page"), {"MSG", "AEMAIL", "MAXCHKURL", "TZ_7"}, "|"),
            "Invalid Time Zone Settings|typed@x|77| selected");
  EXPECT_EQ(instance_.read("vydata/vyvars.dat"), before);
}

TEST_F(SetupTest, CronModeSwitchesTheSchedulerOff) {
  setFlag(kFlagSchedulerOn, true);
  ProbePage page = ask(form({{"SHED", "CRON"}}));
  EXPECT_EQ(page.value("page", "CRON"), " selected");
  EXPECT_EQ(std::pair(stored().cronMode(), stored().schedulerOn()), std::pair(true, false));
}

TEST_F(SetupTest, ANewInstallationShowsTheDefaultSettings) {
  std::filesystem::remove(instance_.path("vydata/vyvars.dat"));
  const ProbePage page = ask({}, {{"HTTP_HOST", "www.example.test"}});
  EXPECT_EQ(test::joined(page.line("page"),
                         {"AEMAIL", "REFERER", "MAXLENPAGE", "CHKTIME", "RESTIME", "RESTART"}, "|"),
            "webmaster@example.test|http://www.example.test|100000|60|25| selected");
}

TEST_F(SetupTest, StopOrStartUnderCronLeavesTheSchedulerOffAndStartsNoWorker) {
  recordWorkerArguments();
  const std::tuple<uint8_t, const char*, const char*, const char*> cases[] = {
      {kFlagSchedulerOn, "ACTIVE", "SHED_STATUS", "STOPED"},
      {kFlagCronMode, "STOPED", "MSG", "Scheduler is not started. Used cron!"}};
  for (const auto& [flag, shown, name, expected] : cases) {
    setFlag(flag, true);
    EXPECT_EQ(ask({{"fnct", "setup_sched"}, {"SHED_STATUS", shown}}).value("page", name), expected);
    EXPECT_FALSE(stored().schedulerOn()) << shown;
    EXPECT_FALSE(instance_.exists("worker-args.txt")) << shown;
  }
}

// The settings page follows in the same answer, carrying the session of the login and never the
// password (which no address holds either).
TEST_F(SetupTest, StartRunsTheWorkersSchedulerAndShowsTheSettings) {
  recordWorkerArguments();
  ASSERT_TRUE(writePasswordFile("admin", "a&b#c", instance_.path("vydata/admin.pwd")).ok());
  test::RunResult started =
      post(test::formBody({{"apwd", "a&b#c"}, {"fnct", "setup_sched"}, {"SHED_STATUS", "STOPED"}}));
  EXPECT_TRUE(stored().schedulerOn());
  EXPECT_EQ(instance_.read("worker-args.txt"), "./vyrunner.cgi\nscheduler\nrun\n");
  const ProbePage page = probe(started);
  EXPECT_TRUE(sessionHashOf(page.value("page", "APWD")).has_value());
  for (const char* password : {"a&b#c", "a%26b%23c"}) {
    EXPECT_EQ(started.out.find(password), std::string::npos) << password;
  }
}

TEST_F(SetupTest, TheSchedulerIsActiveOnlyWhenItsRegisteredProcessLivesUnderItsName) {
  ChildProcess daemon;
  ASSERT_TRUE(daemon.start({"sleep", "30"}, ChildProcess::kNoPipes));
  ASSERT_TRUE(test::waitUntil(
      [&] { return isProcessRunning(daemon.pid(), "sleep").answer == Running::kYes; }, 10));
  auto status = [&] { return ask({{"fnct", "setup"}}).value("page", "SHED_STATUS"); };
  setFlag(kFlagSchedulerOn, true);
  registerScheduler(daemon.pid(), "sleep");
  EXPECT_EQ(status(), "ACTIVE");
  registerScheduler(daemon.pid(), "vyrunner");
  EXPECT_EQ(status(), "STOPED");
  registerScheduler(daemon.pid(), "sleep");
  setFlag(kFlagSchedulerOn, false);
  EXPECT_EQ(status(), "STOPED");
  ::kill(daemon.pid(), SIGKILL);
}

}  // namespace
}  // namespace vy
