// Failed administrator checks of the worker: over the web they count as failed logins of the
// client, and a client refused for them is refused whatever it asks; from a shell nothing counts.
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

class WorkerLoginThrottleTest : public test::ServiceTest {
 protected:
  // GET /vantry/vyrunner.cgi?<query> from the address, as Apache runs the worker.
  test::RunResult overTheWeb(const std::string& query, const std::string& address,
                             const std::string& remoteUser = "") {
    test::CgiRequest cgi = test::apacheRequest("GET", "/vantry/vyrunner.cgi", query, 0);
    cgi.env["REMOTE_ADDR"] = address;
    if (!remoteUser.empty()) cgi.env["REMOTE_USER"] = remoteUser;
    return instance_.run("vyrunner.cgi", {cgi.args, cgi.env, "", 60});
  }
};

TEST_F(WorkerLoginThrottleTest, OverTheWebFiveRefusalsRefuseTheClientEvenForTheAdministrator) {
  storeGroup("general", groupOf({"http://127.0.0.1:9/"}));
  for (const char* query : {"get+general", "check", "checkgroup+general", "getstats", "exist"}) {
    EXPECT_EQ(overTheWeb(query, "192.0.2.7").exitCode, 2) << query;
  }
  EXPECT_EQ(overTheWeb("get+general", "192.0.2.7", "admin").exitCode, 2);
  EXPECT_EQ(test::loggedActions(instance_),
            (test::LogLines{{"0", "Too many failed logins"}, {"1", "Invalid Admin Password"}}));
  EXPECT_EQ(overTheWeb("exist+general", "192.0.2.8", "admin").exitCode, 1);  // another client
  EXPECT_EQ(service({"exist", "general"}).exitCode, 1);                      // a shell
}

TEST_F(WorkerLoginThrottleTest, FromAShellRefusedPasswordsAreNotCounted) {
  storeGroup("general", groupOf({"http://127.0.0.1:9/"}));
  for (int i = 0; i < 6; ++i) instance_.runWorker({"exist", "general"}, {{"ADMIN_PWD", "wrong"}});
  EXPECT_EQ(service({"exist", "general"}).exitCode, 1);
  EXPECT_FALSE(instance_.exists("vydata/vytime/logins"));
}

}  // namespace
}  // namespace vy
