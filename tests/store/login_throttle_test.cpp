// Failed logins: the refusal of one client, the pacing of all, the clients' addresses, the file's
// bytes, damaged files and processes counting at once.
#include "store/login_throttle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "common/files.h"
#include "tests/store/store_fixture.h"

namespace vy {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

ThrottleClock at(long long second, long long millis = 0) {
  return ThrottleClock(seconds(second) + milliseconds(millis));
}

const ClientAddress kGuesser = clientAddress("192.0.2.7");
const ClientAddress kOther = clientAddress("192.0.2.8");

void fail(LoginThrottleTable& table, const ClientAddress& client, long long second, int times) {
  for (int i = 0; i < times; ++i) (void)countFailure(table, client, at(second));
}

TEST(LoginRefusal, TheFifthFailureRefusesForAMinuteAndEachFurtherOneDoublesUpToAnHour) {
  LoginThrottleTable table;
  fail(table, kGuesser, 1000, 5);
  EXPECT_EQ(refusalLeft(table, kGuesser, at(1059)), seconds(1));
  EXPECT_EQ(refusalLeft(table, kGuesser, at(1060)), seconds(0));
  EXPECT_EQ(refusalLeft(table, kOther, at(1000)), seconds(0));
  long long now = 1060;
  for (long long expected : {120, 240, 480, 960, 1920, 3600, 3600}) {
    fail(table, kGuesser, now, 1);
    EXPECT_EQ(refusalLeft(table, kGuesser, at(now)), seconds(expected)) << now;
    now += expected;
  }
}

TEST(LoginRefusal, ACountIsForgottenAWindowAfterItBeganAndAfterItsLastRefusalEnded) {
  LoginThrottleTable table;
  fail(table, kGuesser, 1000, 4);
  fail(table, kGuesser, 1000 + 900, 4);  // a new window: four again, not eight
  EXPECT_EQ(refusalLeft(table, kGuesser, at(1900)), seconds(0));

  LoginThrottleTable refused;
  fail(refused, kGuesser, 1000, 5);  // refused until 1060
  fail(refused, kGuesser, 1060 + 899, 1);
  EXPECT_EQ(refusalLeft(refused, kGuesser, at(1959)), seconds(120));  // counted on: doubled
  fail(refused, kGuesser, 2079 + 900, 1);
  EXPECT_EQ(refusalLeft(refused, kGuesser, at(2979)), seconds(0));  // forgotten: a first failure
  // A clock set back before the window began starts a new one.
  fail(refused, kGuesser, 500, 1);
  EXPECT_EQ(refusalLeft(refused, kGuesser, at(500)), seconds(0));
}

TEST(LoginRefusal, TheTableKeepsTheMostRecentlyActiveClientsUpToItsLimit) {
  LoginThrottleTable table;
  fail(table, clientAddress("10.0.0.0"), 1000, 5);
  for (size_t i = 1; i < kLoginClientLimit; ++i) {
    fail(table, clientAddress("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256)),
         1001, 1);
  }
  EXPECT_EQ(table.clients.size(), kLoginClientLimit);
  fail(table, kGuesser, 1002, 1);
  EXPECT_EQ(table.clients.size(), kLoginClientLimit);
  // The refused client was last active at the end of its refusal, 1060: another one went.
  EXPECT_EQ(refusalLeft(table, clientAddress("10.0.0.0"), at(1002)), seconds(58));
}

TEST(LoginAddress, IPv4IsOneClientAndIPv6OneClientPerSlash64) {
  EXPECT_EQ(clientAddress("127.0.0.1"), clientAddress("::ffff:127.0.0.1"));
  EXPECT_NE(clientAddress("127.0.0.1"), clientAddress("127.0.0.2"));
  EXPECT_EQ(clientAddress("2001:db8::1"), clientAddress("2001:0db8:0:0:ffff::2%eth0"));
  EXPECT_NE(clientAddress("2001:db8::1"), clientAddress("2001:db8:0:1::1"));
  EXPECT_EQ(clientAddress(""), ClientAddress{});
  EXPECT_EQ(clientAddress("not an address"), ClientAddress{});
}

// Every client's failure counts towards the pacing; a success is never paced (it never counts).
TEST(LoginPacing, BeyondAHundredFailuresOfAllClientsEachWaitsItsTurnOfOneASecondBounded) {
  LoginThrottleTable table;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(countFailure(table, clientAddress("10.1.0." + std::to_string(i)), at(1000)),
              milliseconds(0));
  }
  EXPECT_EQ(countFailure(table, kGuesser, at(1000)), milliseconds(0));
  EXPECT_EQ(countFailure(table, kOther, at(1000)), milliseconds(1000));
  EXPECT_EQ(countFailure(table, kOther, at(1000, 500)), milliseconds(1500));
  EXPECT_EQ(countFailure(table, kOther, at(1010)), milliseconds(0));  // the queue ran empty
  for (int i = 0; i < 40; ++i) (void)countFailure(table, kOther, at(1011));
  EXPECT_EQ(countFailure(table, kOther, at(1011)), kMaxLoginPacing);
  EXPECT_EQ(countFailure(table, kOther, at(1000 + 900)), milliseconds(0));  // a new window
}

TEST(LoginRefusal, TheMessageTellsTheMinutesLeftRoundedUp) {
  EXPECT_EQ(refusalMessage(seconds(60)), "Too many failed logins; try again in 1 minute");
  EXPECT_EQ(refusalMessage(seconds(61)), "Too many failed logins; try again in 2 minutes");
}

TEST(LoginThrottleFile, GoldenBytesAndTheirDecoding) {
  LoginThrottleTable table;
  table.allFailures = 0x65;
  table.allWindowStart = 0x11223344;
  table.nextAnswerMillis = 0x0102030405060708ULL;
  table.clients.push_back({clientAddress("127.0.0.1"), 5, 0x55667788, 0x01000002});
  std::string expected;
  expected += std::string("VYLT\x01\0\0\0\x65\0\0\0\x44\x33\x22\x11", 16);
  expected += std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8);
  expected += std::string(10, '\0') + std::string("\xff\xff\x7f\x00\x00\x01", 6);
  expected += std::string("\x05\0\0\0\x88\x77\x66\x55\x02\0\0\x01", 12);
  EXPECT_EQ(encodeLoginThrottle(table), expected);
  EXPECT_EQ(decodeLoginThrottle(expected), table);
  EXPECT_EQ(encodeLoginThrottle(LoginThrottleTable{}).size(), kLoginHeaderSize);
}

TEST(LoginThrottleFile, AShortLongForeignOrMiscountedFileIsAnEmptyTable) {
  LoginThrottleTable one;
  one.clients.push_back({kGuesser, 1, 1000, 0});
  const std::string whole = encodeLoginThrottle(one);
  std::string otherMagic = whole;
  otherMagic[0] = 'X';
  std::string moreCounted = whole;
  moreCounted[4] = 2;
  std::string beyondLimit = encodeLoginThrottle(LoginThrottleTable{});
  beyondLimit[kLoginCountOffset] = 1;  // 257 records: one beyond the limit
  beyondLimit[kLoginCountOffset + 1] = 1;
  beyondLimit += std::string(257 * kLoginClientSize, '\0');
  for (const std::string& damaged :
       {std::string(), whole.substr(0, 23), whole.substr(0, whole.size() - 1), whole + "x",
        otherMagic, moreCounted, beyondLimit}) {
    EXPECT_EQ(decodeLoginThrottle(damaged), std::nullopt) << damaged.size();
  }

  test::TempDir dir;
  const std::string path = dir.file("logins");
  std::ofstream(path) << "damaged";
  EXPECT_EQ(loginRefusal("192.0.2.7", at(1000), path), seconds(0));
  (void)countFailedLogin("192.0.2.7", at(1000), path);
  EXPECT_EQ(decodeLoginThrottle(readWholeFile(path))->clients,
            (std::vector<LoginClient>{{kGuesser, 1, 1000, 0}}));
}

TEST(LoginThrottleFile, WithoutAUsableFileNobodyIsRefused) {
  test::TempDir dir;
  const std::string path = dir.file("missing/logins");
  for (int i = 0; i < 6; ++i) (void)countFailedLogin("192.0.2.7", at(1000), path);
  EXPECT_EQ(loginRefusal("192.0.2.7", at(1000), path), seconds(0));
  forgetFailedLogins("192.0.2.7", path);
  EXPECT_FALSE(isRegularFile(path));
}

// (That it ends the refusal is shown by the console's login after one.)
TEST(LoginThrottleFile, ASuccessForgetsItsOwnClientOnly) {
  test::TempDir dir;
  const std::string path = dir.file("logins");
  (void)countFailedLogin("192.0.2.7", at(1000), path);
  (void)countFailedLogin("192.0.2.8", at(1000), path);
  forgetFailedLogins("192.0.2.7", path);
  EXPECT_EQ(decodeLoginThrottle(readWholeFile(path))->clients,
            (std::vector<LoginClient>{{kOther, 1, 1000, 0}}));
}

// Four processes count 25 failures each of one client at the same second: all 100 are kept (the
// pacing begins only after them, so nobody waits).
TEST(LoginThrottleFile, ConcurrentProcessesLoseNoCount) {
  test::TempDir dir;
  const std::string path = dir.file("logins");
  constexpr int kProcesses = 4, kEach = 25;
  for (int code : test::exitCodesOf(kProcesses, [&](int) {
         for (int i = 0; i < kEach; ++i) (void)countFailedLogin("192.0.2.7", at(1000), path);
         return 0;
       })) {
    EXPECT_EQ(code, 0);
  }
  const std::optional<LoginThrottleTable> table = decodeLoginThrottle(readWholeFile(path));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->allFailures, uint32_t{kProcesses * kEach});
  ASSERT_EQ(table->clients.size(), 1u);
  EXPECT_EQ(table->clients[0].failures, uint32_t{kProcesses * kEach});
}

}  // namespace
}  // namespace vy
