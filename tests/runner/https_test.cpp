// The worker against loopback TLS sites whose certificates a test authority signs: checks and
// notification calls over https://, in a threaded run of many.
#include <gtest/gtest.h>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"
#include "tests/support/test_ca.h"

namespace vy {
namespace {

using test::answerWith;
using test::CertKind;
using test::FakeServer;
using test::httpReplyText;

class HttpsCheckTest : public test::WorkerTest {
 protected:
  // The worker trusts the test authority only.
  std::map<std::string, std::string> trusting() const { return {{"SSL_CERT_FILE", ca_.caFile()}}; }
  test::RunResult checkurl(const std::string& group, const std::string& url) {
    return instance_.runWorker({"checkurl", group}, trusting(), "url=" + url + "\n", 60);
  }
  // A site serving `reply` on 443 with a certificate of the kind for its address.
  FakeServer site(const std::string& reply, CertKind kind = CertKind::kValid) {
    return FakeServer(answerWith(reply), test::ServerOptions{443, false, ca_.issuing(kind)});
  }
  int storedCode(const std::string& group) { return readGroup(group).urls.at(0).resultCode; }

  test::TestCa ca_;
};

TEST_F(HttpsCheckTest, HttpsPagesAreCheckedWithTheirContentAndRefusedCertificatesGiveEleven) {
  FakeServer good = site(httpReplyText("200 OK", "<title>Welcome</title>"));
  GroupConfig group = groupOf({good.url("/shop")});
  group.urls[0].flags = kUrlCheckPres;
  group.addPresContent("welcome");
  storeGroup("shop", group);
  EXPECT_EQ(checkurl("shop", good.url("/shop")).exitCode, 5);  // up, required text present
  EXPECT_EQ(storedCode("shop"), 200);

  // Which certificates are refused is the HTTPS client's own test; here what a check stores.
  FakeServer selfSigned = site(httpReplyText("200 OK", ""), CertKind::kSelfSigned);
  FakeServer plain([](test::FakeConnection& c) { c.send("HTTP/1.0 400 Bad Request\r\n\r\n"); },
                   443);
  const std::pair<std::string, int> cases[] = {{selfSigned.url("/"), 11},
                                               {"https://" + plain.address() + "/", 10}};
  for (const auto& [url, code] : cases) {
    storeGroup("bad", groupOf({url}));
    EXPECT_EQ(checkurl("bad", url).exitCode, 0) << url;
    EXPECT_EQ(storedCode("bad"), code) << url;
  }
  EXPECT_EQ(test::loggedActions(instance_), test::LogLines{});
}

// Many handshakes on several threads at once share the one client context, the checks' and the
// notification calls'. (A redirect to https is the certificate test's.)
TEST_F(HttpsCheckTest, AThreadedRunChecksEveryHttpsUrlAndCallsAnHttpsHookForEach) {
  FakeServer secure = site(httpReplyText("200 OK", "ok")), hook = site(httpReplyText("200 OK", ""));
  std::vector<std::string> urls;
  for (int i = 0; i < 16; ++i) urls.push_back(secure.url("/" + std::to_string(i)));
  GroupConfig group = groupOf(urls);
  group.setInfType(3);
  group.inform = hook.url("/hook?s=[RETHTTP]");
  storeGroup("many", group);
  EXPECT_EQ(instance_.runWorker({"check", "0", "6"}, trusting(), "", 60).exitCode, 0);
  for (const UrlStatus& entry : readGroup("many").urls) EXPECT_EQ(entry.resultCode, 200);
  EXPECT_EQ(secure.connectionCount(), 16);
  ASSERT_EQ(hook.connectionCount(), 16);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(hook.received(i).rfind("GET /hook?s=200 HTTP/1.0\r\n", 0), 0u) << hook.received(i);
  }
  EXPECT_EQ(test::loggedActions(instance_), test::LogLines{});
}

}  // namespace
}  // namespace vy
