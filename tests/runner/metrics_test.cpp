// The metrics command as a process: the exposition of a known instance, its label escaping, who
// may read it, its CGI form, damaged groups, and Prometheus's own check of the format.
#include <utime.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "store/history.h"
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

using test::LogLines;

constexpr uint32_t kRun = 1700000000;  // the check time file's time

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) found.push_back(line);
  return found;
}

// The lines of a printed exposition, each HELP line cut to its metric name (the wording is the
// program's; that every HELP line has a text is checked here).
std::vector<std::string> exposedLines(const std::string& text) {
  std::vector<std::string> found = lines(text);
  for (std::string& line : found) {
    if (line.rfind("# HELP ", 0) != 0) continue;
    const size_t nameEnd = line.find(' ', 7);
    EXPECT_TRUE(nameEnd != std::string::npos && nameEnd + 1 < line.size()) << line;
    line = line.substr(0, nameEnd);
  }
  return found;
}

// A family's HELP line (cut as exposedLines cuts it) and TYPE line, then its samples.
std::string family(const std::string& name, const std::vector<std::string>& samples) {
  std::string text = "# HELP " + name + "\n# TYPE " + name + " gauge\n";
  for (const std::string& sample : samples) text += name + sample + "\n";
  return text;
}

// The exposed lines from the first family's HELP line up to the next one's, each with its line
// break.
std::string familiesFrom(const std::vector<std::string>& exposed, const std::string& first,
                         const std::string& next) {
  std::string text;
  bool inside = false;
  for (const std::string& line : exposed) {
    if (line == "# HELP " + first) inside = true;
    if (line == "# HELP " + next) break;
    if (inside) text += line + "\n";
  }
  return text;
}

std::string instanceFamilies(int readErrors) {
  return family("vantry_group_read_errors", {" " + std::to_string(readErrors)}) +
         family("vantry_last_check_run_timestamp_seconds", {" " + std::to_string(kRun)}) +
         family("vantry_scheduler_running", {" 0"}) +
         family("vantry_build_info", {"{version=\"" + std::string(kWorkerVersion) + "\"} 1"});
}

class MetricsTest : public test::ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    const utimbuf times{kRun, kRun};
    ASSERT_EQ(::utime(instance_.path("vydata/vytime/check").c_str(), &times), 0);
  }
  // "shop": up with both content checks, down, up with a banned text found, never checked with
  // the required texts; "archive": suspended, checked once, failed with a client error.
  void storeKnownGroups() {
    GroupConfig shop = groupOf({}, 10);
    addUrl(shop, "http://up.test/", kUrlCheckBan | kUrlCheckPres | kUrlUp | kUrlPresOk, kRun + 100,
           200, 250);
    addUrl(shop, "http://down.test/", 0, kRun + 200, 500, 1500);
    addUrl(shop, "http://banned.test/", kUrlCheckBan | kUrlUp | kUrlBanFound, kRun + 300, 200, 40);
    addUrl(shop, "http://new.test/", kUrlCheckPres);
    storeGroup("shop", shop);
    GroupConfig archive = groupOf({}, -1);
    archive.setOption(kOptSuspend, true);
    addUrl(archive, "http://gone.test/", 0, kRun - 5000, 2, 5);
    storeGroup("archive", archive);
  }
  void storeSecureGroup() {
    GroupConfig secure = groupOf({"https://known.test/", "https://unknown.test/"});
    secure.urls[0].certExpiry = 1900000000;
    secure.urls[0].certWarnedDays = 14;
    addUrl(secure, "http://plain.test/", kUrlUp, kRun, 200);
    storeGroup("secure", secure);
  }
  static std::string shopUrl(const std::string& host) {
    return "{group=\"shop\",url=\"http://" + host + ".test/\"}";
  }
  static std::string knownExposition(int readErrors) {
    const std::string gone = "{group=\"archive\",url=\"http://gone.test/\"}";
    const std::string up = shopUrl("up"), down = shopUrl("down"), banned = shopUrl("banned"),
                      fresh = shopUrl("new");
    const std::string archive = "{group=\"archive\"}", shop = "{group=\"shop\"}";
    return family("vantry_url_up",
                  {gone + " 0", up + " 1", down + " 0", banned + " 1", fresh + " 0"}) +
           family("vantry_url_status_code",
                  {gone + " 2", up + " 200", down + " 500", banned + " 200", fresh + " 0"}) +
           family("vantry_url_response_seconds", {gone + " 0.005", up + " 0.250", down + " 1.500",
                                                  banned + " 0.040", fresh + " 0.000"}) +
           family("vantry_url_last_check_timestamp_seconds",
                  {gone + " 1699995000", up + " 1700000100", down + " 1700000200",
                   banned + " 1700000300"}) +
           family("vantry_url_banned_text_found", {up + " 0", banned + " 1"}) +
           family("vantry_url_required_texts_present", {up + " 1", fresh + " 0"}) +
           family("vantry_group_urls", {archive + " 1", shop + " 4"}) +
           family("vantry_group_urls_up", {archive + " 0", shop + " 2"}) +
           family("vantry_group_check_interval_seconds", {archive + " -60", shop + " 600"}) +
           family("vantry_group_suspended", {archive + " 1", shop + " 0"}) +
           instanceFamilies(readErrors);
  }
  test::RunResult overCgi(const std::string& query, const std::string& user = "admin") {
    return instance_.runWorker({}, {{"REQUEST_METHOD", "GET"},
                                    {"QUERY_STRING", query},
                                    {"REMOTE_USER", user},
                                    {"HTTP_HOST", "127.0.0.1"}});
  }
};

// lighttpd passes the query only in QUERY_STRING, Apache also as an argument; a Prometheus
// "params" setting sends "metrics=" with an optional group. A named group shows only itself, and
// a missing one is logged as get logs it.
TEST_F(MetricsTest, OverCgiTheQueryRunsTheCommandBehindAPlainTextHeader) {
  storeKnownGroups();
  const test::RunResult missing = service({"metrics", "nosuch"});
  EXPECT_EQ(missing.exitCode, 0);
  EXPECT_EQ(exposedLines(missing.out), lines(instanceFamilies(0)));
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"1", "nosuch"}}));

  const std::string header = "Content-Type: text/plain; version=0.0.4\n\n";
  const test::RunResult apache = instance_.runWorker(
      {"metrics"},
      {{"QUERY_STRING", "metrics"}, {"REMOTE_USER", "admin"}, {"HTTP_HOST", "127.0.0.1"}});
  for (const test::RunResult& result : {overCgi("metrics"), overCgi("metrics="), apache}) {
    EXPECT_EQ(result.out.substr(0, header.size()), header);
    EXPECT_EQ(exposedLines(result.out.substr(std::min(header.size(), result.out.size()))),
              lines(knownExposition(0)));
  }
  const std::string shop = overCgi("metrics=shop").out;
  EXPECT_EQ(shop.rfind(header + "# HELP vantry_url_up ", 0), 0u) << shop;
  EXPECT_NE(shop.find(shopUrl("new")), std::string::npos);
  EXPECT_EQ(shop.find("archive"), std::string::npos);
  EXPECT_EQ(header + service({"metrics", "shop"}).out, shop);
  EXPECT_EQ(overCgi("metrics=../x").exitCode, kExitInvalidGroupName);
  EXPECT_EQ(overCgi("metricsx").exitCode, 254);
}

TEST_F(MetricsTest, LabelValuesEscapeQuoteBackslashLineFeedAndBytesThatAreNotUtf8) {
  storeGroup("odd", groupOf({"http://q.test/\"a\"\\b\nc\xff\xc3\xa9\xed\xa0\x80"}));
  const std::string out = service({"metrics", "odd"}).out;
  EXPECT_NE(out.find("vantry_url_up{group=\"odd\",url=\"http://q.test/\\\"a\\\"\\\\b\\nc%FF\xc3\xa9"
                     "%ED%A0%80\"} 0\n"),
            std::string::npos)
      << out;
}

// A damaged history is logged but costs the group none of its other samples.
TEST_F(MetricsTest, ADamagedGroupIsCountedAndLoggedOnceAndTheRestIsWhole) {
  storeKnownGroups();
  instance_.write("vydata/vydb/broken.dat", "damaged");
  instance_.write("vydata/vydb/creating.dat", "");  // a group being created is no error
  std::filesystem::create_directories(instance_.path("vydata/vyhist"));
  instance_.write("vydata/vyhist/shop.dat", "damaged history");
  const test::RunResult result = service({"metrics"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(exposedLines(result.out), lines(knownExposition(1)));
  EXPECT_EQ(test::loggedActions(instance_),
            (LogLines{{"12", "./vydata/vyhist/shop.dat"}, {"12", "broken"}}));
}

// "a": up, down in the last day, up 3 and 20 days ago; "b": down 20 days ago only; "c": never
// checked. A ratio keeps every digit, so one failure among many never reads as 1.
TEST_F(MetricsTest, HistoryGivesEachWindowItsRatioAndTheLastDaysMeanButNoSampleWithoutChecks) {
  const std::vector<std::string_view> urls = {"http://a.test/", "http://b.test/", "http://c.test/"};
  storeGroup("shop", groupOf({urls.begin(), urls.end()}));
  const std::time_t now = std::time(nullptr);
  const auto check = [](std::time_t time, bool up, uint32_t ms) {
    return HistoryCheck{static_cast<uint32_t>(time), static_cast<uint8_t>(up ? kStateUp : 0),
                        static_cast<int16_t>(up ? 200 : 500), ms};
  };
  const std::vector<std::pair<std::string_view, HistoryCheck>> checks = {
      {urls[0], check(now - 20 * 86400, true, 50)},
      {urls[1], check(now - 20 * 86400, false, 9)},
      {urls[0], check(now - 3 * 86400, true, 70)},
      {urls[0], check(now - 7200, true, 100)},
      {urls[0], check(now - 3600, false, 301)}};
  for (const auto& [url, entry] : checks) {
    ASSERT_TRUE(
        inInstance([&] { return appendHistory("shop", urls, url, entry, now); }).status.ok());
  }
  const std::string out = service({"metrics", "shop"}).out;
  const auto a = [](const char* window) {
    return "{group=\"shop\",url=\"http://a.test/\",window=\"" + std::string(window) + "\"}";
  };
  const std::string expected =
      family("vantry_url_uptime_ratio",
             {a("1d") + " 0.5", a("7d") + " 0.6666666666666666", a("30d") + " 0.75",
              "{group=\"shop\",url=\"http://b.test/\",window=\"30d\"} 0"}) +
      family("vantry_url_response_seconds_avg", {a("1d") + " 0.201"});  // 401 ms / 2, rounded
  EXPECT_EQ(familiesFrom(exposedLines(out), "vantry_url_uptime_ratio", "vantry_group_urls"),
            expected)
      << out;
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// An https URL whose expiry is known, one whose expiry is not yet, and a plain http one.
TEST_F(MetricsTest, EachKnownCertificateExpiryIsASampleAndUnknownOnesAreLeftOut) {
  storeSecureGroup();
  const std::string expected =
      family("vantry_url_certificate_expiry_timestamp_seconds",
             {"{group=\"secure\",url=\"https://known.test/\"} 1900000000"});
  EXPECT_EQ(familiesFrom(exposedLines(service({"metrics", "secure"}).out),
                         "vantry_url_certificate_expiry_timestamp_seconds", "vantry_group_urls"),
            expected);
}

TEST_F(MetricsTest, SchedulerRunningIsOneWhileItsDaemonRuns) {
  test::SchedulerPids daemons(instance_);
  schedule(true, false, 600, 600);
  EXPECT_EQ(instance_.runWorker({"scheduler", "run"}).exitCode, 0);
  ASSERT_TRUE(test::waitUntil([&] { return daemons.registeredRuns(); }, 10));
  EXPECT_NE(service({"metrics"}).out.find("\nvantry_scheduler_running 1\n"), std::string::npos);
}

TEST_F(MetricsTest, PromtoolAcceptsTheExposition) {
  if (std::system("command -v promtool > /dev/null") != 0)
    GTEST_SKIP() << "promtool is not installed";
  storeKnownGroups();
  storeGroup("odd", groupOf({"http://q.test/\"a\"\\b\nc\xff"}));
  storeSecureGroup();
  instance_.writeScript("promcheck.sh", "exec promtool check metrics\n");
  const test::RunResult checked =
      instance_.run("promcheck.sh", {{}, {}, service({"metrics"}).out, 30});
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
}

}  // namespace
}  // namespace vy
