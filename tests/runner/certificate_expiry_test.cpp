// Certificate expiry in checks: the crossing rule of the warning counts, the expiry a check keeps
// from loopback TLS sites of the test authority, its warnings through each notification type over
// simulated days (libfaketime), and a real web server (lighttpd with mod_openssl) serving a
// certificate of the authority.
#include "runner/certificate_expiry.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

#include "common/fd.h"
#include "common/zonetime.h"
#include "store/certificates.h"
#include "tests/runner/check_run_fixture.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_ca.h"

namespace vy {
namespace {

using test::answerWith;
using test::FakeServer;
using test::httpReplyText;
using test::LogLines;

constexpr long kOneDay = 86400;
// Lifetimes get an hour more than their whole days, so that the seconds a test takes never cost
// a day.
constexpr long kMargin = 3600;
constexpr int kPageUpState = kStateUp | kStatePresOk;

TEST(CertificateWarning, TheSmallestCountCrossedIsToldOnceAndOnlyBelowTheLastOneTold) {
  const std::vector<int> counts = {21, 14, 7};
  struct Case {
    int daysLeft;
    uint16_t warned;
    std::optional<int> told;
  };
  const Case cases[] = {{30, 0, std::nullopt},
                        {21, 0, std::nullopt},
                        {20, 0, 21},
                        {13, 21, 14},
                        {13, 0, 14},
                        {13, 14, std::nullopt},
                        {6, 14, 7},
                        {6, 7, std::nullopt},
                        {-3, 7, std::nullopt},
                        {-3, 0, 7},
                        {20, 7, std::nullopt}};
  for (const Case& c : cases) {
    EXPECT_EQ(crossedWarnCount(counts, c.daysLeft, c.warned), c.told)
        << c.daysLeft << " days left, " << c.warned << " told";
  }
  EXPECT_EQ(crossedWarnCount({}, 0, 0), std::nullopt);  // warnings off
}

TEST(CertificateWarning, DaysLeftAreWholeDaysRoundedDown) {
  const std::time_t now = 1772323200;
  const auto at = [&](long offset) { return static_cast<uint32_t>(now + offset); };
  EXPECT_EQ(certificateDaysLeft(at(kOneDay - 1), now), 0);
  EXPECT_EQ(certificateDaysLeft(at(kOneDay), now), 1);
  EXPECT_EQ(certificateDaysLeft(at(20 * kOneDay + 5), now), 20);
  EXPECT_EQ(certificateDaysLeft(at(-1), now), -1);  // expired an instant ago
  EXPECT_EQ(certificateDaysLeft(at(-kOneDay - 1), now), -2);
}

// Whether address:port accepts a connection.
bool accepts(const std::string& address, uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in peer{AF_INET, htons(port), {}, {}};
  ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
  return fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
}

class CertificateCheckTest : public test::CheckRunTest {
 protected:
  // The worker trusts the test authority only.
  std::map<std::string, std::string> trusting(std::map<std::string, std::string> env = {}) const {
    env["SSL_CERT_FILE"] = ca_.caFile();
    return env;
  }
  test::RunResult checkRun() { return instance_.runWorker({"check"}, trusting(), "", 60); }
  test::RunResult checkOne(const std::string& group, const std::string& url,
                           std::map<std::string, std::string> env = {}) {
    return instance_.runWorker({"checkurl", group}, trusting(std::move(env)), "url=" + url + "\n",
                               60);
  }
  // A site on 443 answering `body` with a leaf for its address that expires in leafSeconds,
  // signed through an intermediate that expires in intermediateSeconds when given.
  FakeServer site(long leafSeconds, std::optional<long> intermediateSeconds = std::nullopt,
                  const std::string& body = "ok") {
    return FakeServer(
        answerWith(httpReplyText("200 OK", body)),
        test::ServerOptions{443, false, ca_.issuingExpiring(leafSeconds, intermediateSeconds)});
  }
  // An expiry made from a lifetime of `seconds` given between `before` and now.
  static void expectExpiresIn(uint32_t expiry, std::time_t before, long seconds) {
    EXPECT_GE(expiry, before + seconds - 1);
    EXPECT_LE(expiry, std::time(nullptr) + seconds + 1);
  }
  std::vector<std::optional<CertificateDetails>> details(const std::string& group,
                                                         std::vector<std::string_view> urls) {
    std::vector<std::optional<CertificateDetails>> out;
    EXPECT_EQ(inInstance([&] { return readCertificates(group, urls, out); }), StoreCode::kOk);
    return out;
  }

  test::TestCa ca_;
};

// A one-shot group takes its details along when it goes.
TEST_F(CertificateCheckTest, TheKeptExpiryIsTheEarliestOfLeafAndIntermediateUntilItsGroupGoes) {
  const std::time_t before = std::time(nullptr);
  FakeServer shortIntermediate = site(40 * kOneDay, 20 * kOneDay);
  FakeServer shortLeaf = site(10 * kOneDay, 60 * kOneDay);
  const std::string first = shortIntermediate.url("/"), second = shortLeaf.url("/");
  storeGroup("shop", groupOf({first, second}));
  storeGroup("once", notifying(0, "", {second}, true));
  EXPECT_EQ(checkRun().exitCode, 0);
  EXPECT_FALSE(instance_.exists("vydata/vydb/once.dat"));
  EXPECT_FALSE(instance_.exists("vydata/vycert/once.dat"));
  const GroupConfig checked = readGroup("shop");
  expectExpiresIn(checked.urls.at(0).certExpiry, before, 20 * kOneDay);
  expectExpiresIn(checked.urls.at(1).certExpiry, before, 10 * kOneDay);

  const auto kept = details("shop", {first, second});
  ASSERT_TRUE(kept.at(0) && kept.at(1));
  EXPECT_EQ(kept[0]->notAfter, checked.urls[0].certExpiry);
  EXPECT_EQ(kept[0]->subject.rfind("CN=Vantry Test Intermediate", 0), 0u) << kept[0]->subject;
  EXPECT_EQ(kept[0]->issuer, "CN=Vantry Test CA");
  EXPECT_EQ(kept[1]->subject, "CN=" + shortLeaf.address());
  EXPECT_EQ(kept[1]->issuer.rfind("CN=Vantry Test Intermediate", 0), 0u) << kept[1]->issuer;

  // The same certificate again leaves the details file alone.
  std::filesystem::remove(instance_.path("vydata/vycert/shop.dat"));
  EXPECT_EQ(checkOne("shop", second).exitCode, kPageUpState);
  EXPECT_FALSE(instance_.exists("vydata/vycert/shop.dat"));
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

TEST_F(CertificateCheckTest, PlainHttpHasNoExpiryARedirectGetsTheHttpsOneAFailedConnectKeepsIt) {
  const std::time_t before = std::time(nullptr);
  FakeServer secure = site(20 * kOneDay, std::nullopt, "<p>signed in</p>");
  FakeServer moved(answerWith(
      "HTTP/1.0 301 Moved Permanently\r\nLocation: " + secure.url("/login") + "\r\n\r\n"));
  FakeServer refused(nullptr, 443);  // bound, not listening
  GroupConfig group = groupOf({moved.url("/account")});
  group.urls[0].flags = kUrlCheckPres;
  group.addPresContent("signed in");
  UrlStatus& plain = group.addUrl(site_.url("/plain"));  // was served over TLS once
  plain.certExpiry = 1800000000;
  plain.certWarnedDays = 7;
  UrlStatus& unreachable = group.addUrl("https://" + refused.address() + "/");
  unreachable.certExpiry = 1900000000;
  unreachable.certWarnedDays = 14;
  storeGroup("shop", group);
  EXPECT_EQ(checkRun().exitCode, 0);
  const GroupConfig checked = readGroup("shop");
  EXPECT_EQ(checked.urls.at(0).resultCode, 200);
  EXPECT_EQ(secure.received(0).rfind("GET /login HTTP/1.0\r\n", 0), 0u);
  expectExpiresIn(checked.urls.at(0).certExpiry, before, 20 * kOneDay);
  EXPECT_EQ(checked.urls.at(1).certExpiry, 0u);
  EXPECT_EQ(checked.urls.at(1).certWarnedDays, 0);
  EXPECT_EQ(checked.urls.at(2).resultCode, 5);
  EXPECT_EQ(checked.urls.at(2).certExpiry, 1900000000u);
  EXPECT_EQ(checked.urls.at(2).certWarnedDays, 14);
}

// 30, 20, 13 and 6 days before the expiry, then 6 again, then a renewed certificate with 20 days
// left, served at the same address.
TEST_F(CertificateCheckTest, WarningsComeOnceAtTheCrossingsOfTwentyOneFourteenAndSeven) {
  const std::string library = test::fakeTimeLibrary();
  if (library.empty()) GTEST_SKIP() << "faketime is not installed (Debian package faketime)";
  const auto serving = [&](long leafSeconds, const std::string& address) {
    return std::make_unique<FakeServer>(
        answerWith(httpReplyText("200 OK", "ok")),
        test::ServerOptions{443, false, ca_.issuingExpiring(leafSeconds), address});
  };
  std::unique_ptr<FakeServer> server = serving(30 * kOneDay + kMargin, "");
  const std::string address = server->address(), url = server->url("/");
  GroupConfig group = notifying(1, "cat >> told.txt; echo >> told.txt", {url});
  wasUp(group.urls[0]);
  storeGroup("shop", group);
  const std::time_t now = std::time(nullptr);
  const std::string line = url + " 5 c=200 cert=";
  std::string told;
  for (const auto& [day, warning] : std::vector<std::pair<long, std::string>>{
           {0, ""}, {10, "20d"}, {17, "13d"}, {24, "6d"}, {24, ""}}) {
    EXPECT_EQ(checkOne("shop", url, test::fakeClockAt(now + day * kOneDay, library)).exitCode,
              kPageUpState);
    if (!warning.empty()) told += line + warning + "\n";
    EXPECT_EQ(instance_.exists("told.txt") ? instance_.read("told.txt") : "", told) << day;
  }
  EXPECT_EQ(readGroup("shop").urls.at(0).certWarnedDays, 7);

  server.reset();
  server = serving((24 + 20) * kOneDay + kMargin, address);
  ASSERT_TRUE(server->ok());
  EXPECT_EQ(checkOne("shop", url, test::fakeClockAt(now + 24 * kOneDay, library)).exitCode,
            kPageUpState);
  EXPECT_EQ(instance_.read("told.txt"), told + line + "20d\n");
  EXPECT_EQ(readGroup("shop").urls.at(0).certWarnedDays, 21);
}

TEST_F(CertificateCheckTest, ASuspendedGroupIsNotWarnedUntilItIsResumed) {
  FakeServer secure = site(10 * kOneDay + kMargin);
  const std::string url = secure.url("/");
  GroupConfig group = notifying(1, "cat >> told.txt", {url});
  group.setOption(kOptSuspend, true);
  wasUp(group.urls[0]);
  storeGroup("shop", group);
  EXPECT_EQ(checkOne("shop", url).exitCode, kPageUpState);
  EXPECT_FALSE(instance_.exists("told.txt"));
  GroupConfig resumed = readGroup("shop");
  EXPECT_EQ(resumed.urls.at(0).certWarnedDays, 0);
  resumed.setOption(kOptSuspend, false);
  storeGroup("shop", resumed);
  EXPECT_EQ(checkOne("shop", url).exitCode, kPageUpState);
  EXPECT_EQ(instance_.read("told.txt"), url + " 5 c=200 cert=10d");
}

// A warning without any change of state: the batch's texts, the HTTP call's [CERTDAYS], and the
// mail's subject and line with the expiry in the display zone (UTC + 9 hours).
TEST_F(CertificateCheckTest, EveryNotificationTypeTellsTheDaysLeft) {
  useFakeMail("./fakemail.sh");
  settings_.setFlag(kFlagDaylightSaving, true);
  settings_.zoneName = "Asia/Tokyo";
  saveSettings();
  FakeServer secure = site(9 * kOneDay + kMargin);
  FakeServer hook(answerWith(httpReplyText("200 OK", "")));
  const std::string a = secure.url("/a"), b = secure.url("/b"), c = secure.url("/c"),
                    m = secure.url("/m");
  std::pair<std::string, GroupConfig> groups[] = {
      {"batch", notifying(4, "cat > batch.txt", {a, b})},
      {"hook", notifying(3, hook.url("/hook?d=[CERTDAYS]&s=[RETHTTP]"), {c})},
      {"mail", notifying(2, "ops@example.test", {m})}};
  for (auto& [name, group] : groups) {
    for (UrlStatus& entry : group.urls) wasUp(entry);
    storeGroup(name, group);
  }
  EXPECT_EQ(checkRun().exitCode, 0);
  EXPECT_EQ(instance_.read("batch.txt"), a + " 5 c=200 cert=9d" + b + " 5 c=200 cert=9d");
  EXPECT_EQ(hook.received(0).rfind("GET /hook?d=9&s=200 HTTP/1.0\r\n", 0), 0u) << hook.received(0);
  const std::time_t tokyo = readGroup("mail").urls.at(0).certExpiry + 9 * 3600;
  std::tm parts{};
  const std::string mail = instance_.read("mail.txt");
  EXPECT_NE(mail.find("\nSubject: Certificate expires in 9 days: " + m + "\n"), std::string::npos)
      << mail;
  EXPECT_NE(mail.find("\n\nCertificate expires: " + timeText(*gmtime_r(&tokyo, &parts)) +
                      " (9 days left)\n\nVantry noticed a change"),
            std::string::npos)
      << mail;
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

// lighttpd serves on a free loopback address, found by binding it for a moment.
TEST_F(CertificateCheckTest, ARealWebServersCertificateExpiringInTenDaysSendsOneMail) {
  if (!std::filesystem::exists("/usr/sbin/lighttpd")) GTEST_SKIP() << "lighttpd is not installed";
  std::string address;
  { address = FakeServer(nullptr, 443).address(); }
  const std::time_t before = std::time(nullptr);
  const test::Credentials credentials = ca_.issueExpiring(address, 10 * kOneDay + kMargin);
  std::filesystem::create_directories(instance_.path("www"));
  instance_.write("www/index.html", "ok");
  instance_.write("lighttpd.conf", "server.document-root = \"" + instance_.path("www") +
                                       "\"\nserver.bind = \"" + address +
                                       "\"\nserver.port = 443\n"
                                       "server.modules += (\"mod_openssl\")\n"
                                       "ssl.engine = \"enable\"\n"
                                       "ssl.pemfile = \"" +
                                       credentials.certFile + "\"\nssl.privkey = \"" +
                                       credentials.keyFile + "\"\n");
  instance_.writeScript("lighttpd.sh", "exec /usr/sbin/lighttpd \"$@\" -f lighttpd.conf\n");
  const test::RunResult tried = instance_.run("lighttpd.sh", {{"-tt"}, {}, "", 30});
  if (tried.exitCode != 0 && (tried.out + tried.err).find("mod_openssl") != std::string::npos) {
    GTEST_SKIP() << "lighttpd has no mod_openssl (Debian package lighttpd-mod-openssl)";
  }
  ASSERT_EQ(tried.exitCode, 0) << tried.out << tried.err;
  test::BackgroundProcess server = instance_.start("lighttpd.sh", {{"-D"}, {}, "", 0});
  ASSERT_TRUE(test::waitUntil([&] { return accepts(address, 443) || server.ended(); }, 10));
  ASSERT_FALSE(server.ended()) << server.wait(1).err;

  useFakeMail("./fakemail.sh");
  saveSettings();
  const std::string url = "https://" + address + "/index.html";
  GroupConfig group = notifying(2, "ops@example.test", {url});
  wasUp(group.urls[0]);
  storeGroup("shop", group);
  EXPECT_EQ(checkRun().exitCode, 0);
  expectExpiresIn(readGroup("shop").urls.at(0).certExpiry, before, 10 * kOneDay + kMargin);
  EXPECT_EQ(checkOne("shop", url).exitCode, kPageUpState);  // no second warning
  const std::string mail = instance_.read("mail.txt");
  const std::string subject = "\nSubject: Certificate expires in 10 days: " + url + "\n";
  EXPECT_NE(mail.find(subject), std::string::npos) << mail;
  EXPECT_EQ(mail.find(subject, mail.find(subject) + 1), std::string::npos) << mail;
  EXPECT_NE(mail.find(" (10 days left)\n"), std::string::npos) << mail;
  EXPECT_EQ(test::loggedActions(instance_), LogLines{});
}

}  // namespace
}  // namespace vy
