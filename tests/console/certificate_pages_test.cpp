// Certificate expiry in the console: the warning days of the settings page, the days left on
// the group page, the certificate card of the URL page and the overview's count.
#include <map>
#include <tuple>

#include "store/certificates.h"
#include "store/settings.h"
#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::Fields;
using test::ProbePage;

// 2024-06-01 12:00:00 UTC.
constexpr std::time_t kCertNow = 1717243200;
constexpr uint32_t kCertDay = 86400;
constexpr uint32_t kToday = static_cast<uint32_t>(kCertNow);

// A working console serving at kCertNow.
class CertificateFixture : public test::WorkingConsoleTest {
 protected:
  void SetUp() override {
    WorkingConsoleTest::SetUp();
    serveAt(kCertNow);
  }
  void storeWarnDays(std::vector<int> days) {
    Settings settings = storedSettings();
    settings.setCertificateWarnDays(std::move(days));
    storeSettings(settings);
  }
  // A group of https URLs (or whatever the texts say) with these expiries (0: not known).
  void storeExpiries(const std::string& name,
                     const std::vector<std::pair<std::string, uint32_t>>& urls) {
    GroupConfig group = groupOf({});
    for (const auto& [url, expiry] : urls) {
      addUrl(group, url, kUrlUp, kToday - 60, 200, 40).certExpiry = expiry;
    }
    storeGroup(name, std::move(group));
  }
  void storeDetails(const std::string& group, const std::vector<std::string_view>& urls,
                    std::string_view url, const CertificateDetails& details) {
    ASSERT_TRUE(storeCertificate(group, urls, url, details).status.ok());
  }
};

class CertificateSetupTest : public CertificateFixture {
 protected:
  ProbePage save(Fields fields) { return ask(settingsForm(std::move(fields))); }
};

// A form from before the field existed leaves the list alone instead of switching it off.
TEST_F(CertificateSetupTest, WarnDaysAreSavedLargestFirstAndShownAsStored) {
  EXPECT_EQ(ask({{"fnct", "setup"}}).value("page", "CERTWARN"), "21,14,7");
  const ProbePage saved = save({{"CERTWARN", " 7, 30 ,14,7"}});
  EXPECT_EQ(saved.value("page", "MSG"), "Settings Updated");
  EXPECT_EQ(saved.value("page", "CERTWARN"), "30,14,7");
  EXPECT_EQ(storedSettings().certificateWarnDays(), (std::vector<int>{30, 14, 7}));
  save({{"AEMAIL", "me@example.test"}});
  EXPECT_EQ(storedSettings().certificateWarnDays(), (std::vector<int>{30, 14, 7}));
  for (const char* off : {"", "0", "  "}) {
    EXPECT_EQ(save({{"CERTWARN", off}}).value("page", "CERTWARN"), "0") << off;
    EXPECT_TRUE(storedSettings().certificateWarnDays().empty()) << off;
    storeWarnDays({21});
  }
}

TEST_F(CertificateSetupTest, InvalidWarnDaysAreRefusedWithAMessageAndNothingIsSaved) {
  const std::string before = instance_.read("vydata/vyvars.dat");
  const std::string notANumber =
      "Certificate warnings: enter whole numbers of days separated by commas, such as 21,14,7";
  const std::string outOfRange =
      "Certificate warnings: each number of days must be from 1 to 3650 (0 alone switches the "
      "warnings off)";
  const std::pair<const char*, std::string> refused[] = {
      {"21,x", notANumber},
      {"21,,7", notANumber},
      {"-7", notANumber},
      {"7.5", notANumber},
      {"0,7", outOfRange},
      {"3651", outOfRange},
      {"30,21,14,7,1", "Certificate warnings: at most four numbers of days"}};
  for (const auto& [typed, message] : refused) {
    const ProbePage page = save({{"CERTWARN", typed}, {"AEMAIL", "typed@x"}});
    EXPECT_EQ(test::joined(page.line("page"), {"MSG", "CERTWARN", "AEMAIL"}, "|"),
              message + "|" + typed + "|typed@x");
    EXPECT_EQ(instance_.read("vydata/vyvars.dat"), before) << typed;
  }
  EXPECT_EQ(save({{"CERTWARN", "<b>"}}).value("page", "CERTWARN"), "&lt;b&gt;");
}

class CertificatePageTest : public CertificateFixture {
 protected:
  std::vector<std::string> shownDaysLeft() {
    const ProbePage page = ask({{"fnct", "view_group"}, {"group", "shop"}});
    std::vector<std::string> cells;
    for (const test::Values& row : page.section("url_template")) {
      cells.push_back(row.at("CERTLEFT") + "|" + row.at("CLS_CERT"));
    }
    return cells;
  }
};

// With the default 21,14,7: shown below 21 days, urgent below 7, nothing for an unknown expiry.
TEST_F(CertificatePageTest, GroupPageShowsDaysLeftBelowTheLargestCountAndUrgesBelowTheSmallest) {
  storeExpiries("shop", {{"https://a.test/", kToday + 21 * kCertDay},
                         {"https://b.test/", kToday + 21 * kCertDay - 1},
                         {"https://c.test/", kToday + 7 * kCertDay},
                         {"https://d.test/", kToday + 7 * kCertDay - 1},
                         {"https://e.test/", kToday + kCertDay},
                         {"https://f.test/", kToday},
                         {"https://g.test/", kToday - 1},
                         {"https://h.test/", 0}});
  EXPECT_EQ(shownDaysLeft(),
            (std::vector<std::string>{"|", "20 days|soon", "7 days|soon", "6 days|urgent",
                                      "1 day|urgent", "0 days|urgent", "expired|urgent", "|"}));
  storeWarnDays({});
  EXPECT_EQ(shownDaysLeft(), std::vector<std::string>(8, "|"));
  storeWarnDays({7});
  EXPECT_EQ(shownDaysLeft()[3], "6 days|urgent");
  EXPECT_EQ(shownDaysLeft()[2], "|");
}

// Names kept for an earlier certificate are not passed off as the current one's.
TEST_F(CertificatePageTest, UrlPageShowsTheExpiryWithEscapedNamesOnlyForAnHttpsExpiry) {
  const std::string url = "https://shop.test/", renewed = "https://renewed.test/";
  storeExpiries("shop", {{url, kToday + 10 * kCertDay + 3600},
                         {renewed, kToday + 90 * kCertDay},
                         {"https://new.test/", 0},
                         {"http://plain.test/", kToday + 5 * kCertDay}});
  storeDetails("shop", {url, renewed}, url,
               {kCertNow + 10 * kCertDay + 3600, "CN=<Evil> & \"Co\"", "CN=shop.test, O='Shop'"});
  storeDetails("shop", {url, renewed}, renewed,
               {kCertNow + 5 * kCertDay, "CN=Old CA", "CN=renewed.test"});
  auto card = [&](const std::string& shown) {
    return ask({{"fnct", "view_url"}, {"group", "shop"}, {"url", shown}}).section("cert_template");
  };
  const std::vector<test::Values> current = card(url), stale = card(renewed);
  ASSERT_EQ(std::pair(current.size(), stale.size()), std::pair(size_t{1}, size_t{1}));
  EXPECT_EQ(
      test::joined(current[0],
                   {"CERT_EXPIRY", "CERTLEFT", "CLS_CERT", "CERT_ISSUER", "CERT_SUBJECT"}, "|"),
      "2024-06-11 13:00 UTC|10 days|soon|CN=&lt;Evil&gt; &amp; &quot;Co&quot;|"
      "CN=shop.test, O=&#39;Shop&#39;");
  EXPECT_EQ(test::joined(stale[0], {"CERTLEFT", "CLS_CERT", "CERT_ISSUER", "CERT_SUBJECT"}, "|"),
            "90 days||not known|not known");
  EXPECT_TRUE(card("https://new.test/").empty());
  EXPECT_TRUE(card("http://plain.test/").empty());
}

TEST_F(CertificatePageTest, OverviewCountsEachGroupsExpiringCertificates) {
  storeExpiries("shop", {{"https://a.test/", kToday + 20 * kCertDay},
                         {"https://b.test/", kToday + 30 * kCertDay},
                         {"https://c.test/", kToday - kCertDay},
                         {"https://d.test/", 0}});
  storeExpiries("blog", {{"https://blog.test/", kToday + 10 * kCertDay}});
  auto counts = [&] {
    std::map<std::string, std::string> shown;
    for (const test::Values& row : ask({{"fnct", "view_groups"}}).section("grp_template")) {
      shown[row.at("GRP")] = row.at("NCERT") + "|" + row.at("CLS_CERT");
    }
    return shown;
  };
  EXPECT_EQ(counts(), (std::map<std::string, std::string>{
                          {"blog", "1|soon"}, {"general", "0|"}, {"shop", "2|urgent"}}));
  storeWarnDays({});
  EXPECT_EQ(counts()["shop"], "0|");
}

}  // namespace
}  // namespace vy
