// Failed logins at the console: the refusal of a guessing address, its end, other addresses, what
// counts as a login, and the pacing of all clients' failures.
#include "store/login_throttle.h"

#include <chrono>
#include <ctime>

#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::Env;

class LoginThrottleTest : public test::WorkingConsoleTest {
 protected:
  test::RunResult wrong(const Env& from = {}) { return post("apwd=wrong&fnct=view_groups", from); }
  // The right password itself (a live session is no login, and the throttle lets it pass).
  test::RunResult right(const Env& from = {}) {
    return post(std::string("apwd=") + kPassword + "&fnct=view_groups", from);
  }
  // True when the answer is the groups overview.
  bool in(const test::RunResult& result) { return probe(result).has("header_template"); }
  static bool refused(const test::RunResult& result) {
    return result.out.rfind("Status: 429 Too Many Requests\n", 0) == 0;
  }
  // Moves every time the throttle keeps back by `seconds`, as if they had passed.
  void age(uint32_t seconds) {
    std::optional<LoginThrottleTable> table =
        decodeLoginThrottle(instance_.read("vydata/vytime/logins"));
    ASSERT_TRUE(table);
    table->allWindowStart -= seconds;
    table->nextAnswerMillis -= uint64_t{seconds} * 1000;
    for (LoginClient& client : table->clients) {
      client.windowStart -= seconds;
      if (client.refusedUntil != 0) client.refusedUntil -= seconds;
    }
    instance_.write("vydata/vytime/logins", encodeLoginThrottle(*table));
  }
};

// Another address is not refused meanwhile.
TEST_F(LoginThrottleTest, TheSixthWrongPasswordWithinAMinuteGets429EvenWhenTheSeventhIsRight) {
  for (int i = 0; i < 5; ++i) {
    const test::RunResult result = wrong();
    EXPECT_FALSE(refused(result)) << i;
    EXPECT_EQ(probe(result).value("page", "MSG"), "Invalid Password") << i;
  }
  for (const test::RunResult& result : {wrong(), right()}) {
    EXPECT_TRUE(refused(result)) << result.out;
    const std::string page = result.out.substr(result.out.find("\n\n") + 2);
    EXPECT_EQ(test::parseProbePage(page).value("page", "MSG"),
              "Too many failed logins; try again in 1 minute");
  }
  EXPECT_EQ(test::loggedActions(instance_), (test::LogLines{{"0", "Too many failed logins"}}));
  EXPECT_TRUE(in(right({{"REMOTE_ADDR", "127.0.0.2"}})));
}

// A success after the refusal also forgets the failures: the next mistake is a first one again.
TEST_F(LoginThrottleTest, ALoginSucceedsAfterTheRefusalEndsAndForgetsTheFailures) {
  for (int i = 0; i < 5; ++i) wrong();
  ASSERT_TRUE(refused(right()));
  age(61);
  EXPECT_TRUE(in(right()));
  EXPECT_EQ(probe(wrong()).value("page", "MSG"), "Invalid Password");
  EXPECT_TRUE(in(right()));
}

// A first visit, or a form sent with the password field empty, guesses nothing.
TEST_F(LoginThrottleTest, OnlyASentPasswordCountsAsAFailedLogin) {
  for (int i = 0; i < 6; ++i) {
    get("");
    post("apwd=&fnct=view_groups");
    post("fnct=view_groups");
  }
  EXPECT_FALSE(instance_.exists("vydata/vytime/logins"));
}

// A hundred failures of other clients are in the window already: each further failure waits for
// its turn, one a second, whatever its address; the administrator's login does not wait.
TEST_F(LoginThrottleTest, BeyondAHundredFailuresOfAllClientsFailuresAreAnsweredOneASecond) {
  LoginThrottleTable busy;
  busy.allFailures = kLoginFailuresBeforePacing;
  busy.allWindowStart = static_cast<uint32_t>(std::time(nullptr));
  instance_.write("vydata/vytime/logins", encodeLoginThrottle(busy));
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
    EXPECT_EQ(probe(wrong({{"REMOTE_ADDR", address}})).value("page", "MSG"), "Invalid Password");
  }
  const Clock::time_point guessed = Clock::now();
  EXPECT_GE(guessed - start, std::chrono::milliseconds(1900));  // turns at 0, 1 and 2 seconds
  EXPECT_TRUE(in(right({{"REMOTE_ADDR", "10.0.0.4"}})));
  EXPECT_LT(Clock::now() - guessed, std::chrono::milliseconds(900));  // the next turn: 1 s away
}

}  // namespace
}  // namespace vy
