// The session file: its bytes, the ends of a session, the bound on the table and the values that
// are no session.
#include "store/sessions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "common/files.h"
#include "tests/store/store_fixture.h"
#include "tests/support/child.h"

namespace vy {
namespace {

using namespace std::string_literals;
using test::bytesOf;

constexpr std::time_t kNoon = 1700000000;

TEST(SessionFile, ARecordHasItsGoldenBytesAndDecodesBack) {
  SessionRecord record;
  for (size_t i = 0; i < kSessionHashSize; ++i) record.hash[i] = static_cast<uint8_t>(i + 1);
  record.login = 0x0102030405060708;
  record.lastUse = -2;
  std::string expected = "VYSN"s + bytesOf({1, 0, 0, 0});
  for (int i = 1; i <= 32; ++i) expected += static_cast<char>(i);
  expected += bytesOf({8, 7, 6, 5, 4, 3, 2, 1});
  expected += bytesOf({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(encodeSessions({record}), expected);
  EXPECT_EQ(decodeSessions(expected), std::vector<SessionRecord>{record});
  EXPECT_EQ(decodeSessions(encodeSessions({})), std::vector<SessionRecord>{});
}

TEST(SessionFile, ATableWhoseCountDisagreesWithItsBytesIsNone) {
  const std::string one = encodeSessions({SessionRecord{}});
  for (const std::string& damaged :
       {one.substr(0, one.size() - 1), one + "x", "VYSX"s + one.substr(4), "VYS"s,
        encodeSessions(std::vector<SessionRecord>(kMaxSessions + 1))}) {
    EXPECT_FALSE(decodeSessions(damaged)) << damaged.size();
  }
}

TEST(SessionFile, ASessionEndsAfterTwelveIdleHoursOrSevenDaysAfterItsLogin) {
  const SessionRecord fresh{{}, kNoon, kNoon};
  EXPECT_TRUE(sessionAlive(fresh, kNoon + kSessionIdleSeconds - 1));
  EXPECT_FALSE(sessionAlive(fresh, kNoon + kSessionIdleSeconds));
  const SessionRecord busy{{}, kNoon, kNoon + kSessionLifetimeSeconds - 10};
  EXPECT_TRUE(sessionAlive(busy, kNoon + kSessionLifetimeSeconds - 1));
  EXPECT_FALSE(sessionAlive(busy, kNoon + kSessionLifetimeSeconds));
  EXPECT_TRUE(sessionAlive(fresh, kNoon - 3600));  // a clock set back ends nothing
}

TEST(SessionFile, OnlyTheSixtyFourHexDigitsOfASessionHaveAHash) {
  const std::string token(64, 'a');
  EXPECT_EQ(sessionHashOf(token), sessionHashOf(std::string(64, 'A')));
  EXPECT_NE(sessionHashOf(token), sessionHashOf(std::string(63, 'a') + "b"));
  for (const std::string& other :
       {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g", "s3cret"s, ""s}) {
    EXPECT_FALSE(sessionHashOf(other)) << other;
  }
}

class SessionStoreTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  const std::string path_ = dir_.file("sessions");

  std::string created(std::time_t now) {
    std::string token;
    EXPECT_TRUE(createSession(path_, now, token).ok());
    return token;
  }
  std::vector<SessionRecord> stored() {
    return decodeSessions(readWholeFile(path_)).value_or(std::vector<SessionRecord>{});
  }
};

// The file holds the hash alone: the value the browser carries is in no byte of it.
TEST_F(SessionStoreTest, ANewSessionIsStoredAsTheHashOfItsBytesOnly) {
  const std::string token = created(kNoon);
  ASSERT_EQ(token.size(), 64u);
  EXPECT_NE(created(kNoon), token);
  const std::vector<SessionRecord> records = stored();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1], (SessionRecord{*sessionHashOf(token), kNoon, kNoon}));
  EXPECT_EQ(readWholeFile(path_).find(token), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Each use moves the idle end on, the file being written at most once a minute; the end seven
// days after the login stays.
TEST_F(SessionStoreTest, UseKeepsASessionAliveUntilItOutlivesItsLogin) {
  const std::string token = created(kNoon);
  const std::string before = readWholeFile(path_);
  EXPECT_TRUE(useSession(path_, token, kNoon + kSessionTouchSeconds - 1).ok());
  EXPECT_EQ(readWholeFile(path_), before);
  std::time_t now = kNoon;
  for (int day = 0; day < 6; ++day) {
    now += kSessionIdleSeconds - 1;
    EXPECT_TRUE(useSession(path_, token, now).ok()) << day;
  }
  EXPECT_EQ(stored()[0].lastUse, now);
  EXPECT_EQ(useSession(path_, token, kNoon + kSessionLifetimeSeconds), StoreCode::kNotFound);
}

TEST_F(SessionStoreTest, EndedAndIdleSessionsAreRefusedAndLeaveTheFile) {
  const std::string kept = created(kNoon);
  const std::string ended = created(kNoon);
  const std::string idle = created(kNoon - kSessionIdleSeconds);
  EXPECT_TRUE(endSession(path_, ended, kNoon).ok());
  EXPECT_EQ(useSession(path_, ended, kNoon), StoreCode::kNotFound);
  EXPECT_EQ(useSession(path_, idle, kNoon), StoreCode::kNotFound);
  EXPECT_EQ(stored(), (std::vector<SessionRecord>{{*sessionHashOf(kept), kNoon, kNoon}}));
}

TEST_F(SessionStoreTest, TheTableKeepsSixtyFourSessionsAndTheOneUsedLongestAgoGoes) {
  const std::string oldest = created(kNoon);
  const std::string used = created(kNoon + 1);
  for (size_t i = 2; i < kMaxSessions; ++i) created(kNoon + 2);
  ASSERT_TRUE(useSession(path_, used, kNoon + 3600).ok());
  const std::string newest = created(kNoon + 3601);
  EXPECT_EQ(stored().size(), kMaxSessions);
  EXPECT_EQ(useSession(path_, oldest, kNoon + 3602), StoreCode::kNotFound);
  EXPECT_TRUE(useSession(path_, used, kNoon + 3602).ok());
  EXPECT_TRUE(useSession(path_, newest, kNoon + 3602).ok());
}

// A damaged file lets no one in and is written anew by the next login.
TEST_F(SessionStoreTest, ADamagedFileHoldsNoSessionAndIsReplacedByTheNextLogin) {
  const std::string token = created(kNoon);
  std::string bytes = readWholeFile(path_);
  bytes.pop_back();
  std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(useSession(path_, token, kNoon), StoreCode::kNotFound);
  const std::string next = created(kNoon);
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_TRUE(useSession(path_, next, kNoon).ok());
}

}  // namespace
}  // namespace vy
