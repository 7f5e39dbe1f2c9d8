// The socket layer: name resolution with the host table and its load/release
// pairing, connect, and reading short replies with time limits.
#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

uint32_t dotted(const char* text) { return ::inet_addr(text); }

// Runs a test in a fresh directory that holds the given hosts.dat and goes
// back to the former working directory afterwards.
class HostTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char former[4096];
    ASSERT_NE(::getcwd(former, sizeof former), nullptr);
    former_ = former;
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(former_.c_str()), 0); }

  void writeHosts(const std::string& text) { std::ofstream(dir_.file(kHostsPath)) << text; }

 private:
  test::TempDir dir_;
  std::string former_;
};

TEST(ResolveHost, DottedAddressIsUsedAsItIs) {
  uint32_t address = 0;
  EXPECT_EQ(resolveHost("10.0.0.1", address), kHttpOk);
  EXPECT_EQ(address, dotted("10.0.0.1"));
  EXPECT_EQ(resolveHost("127.0.0.1", address), kHttpOk);
  EXPECT_EQ(address, dotted("127.0.0.1"));
}

TEST(ResolveHost, UnknownNamesFail) {
  uint32_t address = 7;
  EXPECT_EQ(resolveHost("no-such-host.invalid", address), kHttpLookupFailed);
  EXPECT_EQ(resolveHost("", address), kHttpLookupFailed);
  EXPECT_EQ(address, 7u);
}

TEST_F(HostTableTest, EntryIsUsedWhenItsAddressHasAReverseName) {
  // 127.0.0.1 has a reverse name (localhost); 127.0.0.37 has none.
  writeHosts(
      "Intranet.Local anything in between 127.0.0.1\n"
      "noreverse.local 127.0.0.37\n"
      "dup.local 127.0.0.37\n"
      "dup.local 127.0.0.1\n"
      "bare.local\n");
  bool loaded = loadHosts();
  ASSERT_TRUE(loaded);
  uint32_t address = 0;

  EXPECT_EQ(resolveHost("intranet.LOCAL", address), kHttpOk);
  EXPECT_EQ(address, dotted("127.0.0.1"));
  EXPECT_EQ(resolveHost("noreverse.local", address), kHttpLookupFailed);
  // Only the first entry of a name counts; without a reverse name the name
  // goes to the ordinary lookup, not to the next entry.
  EXPECT_EQ(resolveHost("dup.local", address), kHttpLookupFailed);
  EXPECT_EQ(resolveHost("bare.local", address), kHttpLookupFailed);  // 0.0.0.0
  releaseHosts(loaded);
}

TEST_F(HostTableTest, SingleSpaceLinesAndLastLineWithoutFeed) {
  writeHosts("one.local 127.0.0.1\nbroadcast.local 255.255.255.255\nlast.local 127.0.0.1");
  bool loaded = loadHosts();
  uint32_t address = 0;

  EXPECT_EQ(resolveHost("ONE.local", address), kHttpOk);
  EXPECT_EQ(resolveHost("last.local", address), kHttpOk);
  EXPECT_EQ(resolveHost("broadcast.local", address), kHttpLookupFailed);
  releaseHosts(loaded);
}

TEST_F(HostTableTest, OnlyTheReleasePairedWithTheLoadingCallFreesTheTable) {
  writeHosts("site.local 127.0.0.1\n");
  uint32_t address = 0;

  bool outer = loadHosts();
  EXPECT_TRUE(outer);
  bool inner = loadHosts();  // the mail sender inside a check run
  EXPECT_FALSE(inner);
  releaseHosts(inner);
  EXPECT_EQ(resolveHost("site.local", address), kHttpOk);

  releaseHosts(outer);
  EXPECT_EQ(resolveHost("site.local", address), kHttpLookupFailed);

  {
    HostTableScope scope;
    EXPECT_EQ(resolveHost("site.local", address), kHttpOk);
  }
  EXPECT_EQ(resolveHost("site.local", address), kHttpLookupFailed);
}

TEST_F(HostTableTest, MissingFileStillCountsAsLoaded) {
  bool outer = loadHosts();
  EXPECT_TRUE(outer);
  writeHosts("late.local 127.0.0.1\n");  // appears while the empty table is loaded
  bool inner = loadHosts();
  EXPECT_FALSE(inner);
  uint32_t address = 0;
  EXPECT_EQ(resolveHost("late.local", address), kHttpLookupFailed);
  releaseHosts(inner);
  releaseHosts(outer);
}

TEST_F(HostTableTest, ConcurrentLookupsShareTheTable) {
  // Names that reach DNS are left out: on a machine without a reachable name
  // server, parallel queries of one process can each wait out the resolver.
  writeHosts("site.local 127.0.0.1\n");
  HostTableScope scope;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        uint32_t address = 0;
        if (resolveHost("SITE.local", address) != kHttpOk || address != dotted("127.0.0.1"))
          ++wrong;
        if (resolveHost("localhost", address) != kHttpOk) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ConnectTimeout, ConnectsAndLeavesTheSocketBlocking) {
  test::FakeServer server(test::closeWithoutAnswer());
  ASSERT_TRUE(server.ok());
  for (int seconds : {0, 15}) {
    UniqueFd socket = openStreamSocket();
    ASSERT_TRUE(socket.valid());
    EXPECT_EQ(connectTimeout(socket.get(), dotted(server.address().c_str()), 80, seconds), kHttpOk);
    EXPECT_EQ(::fcntl(socket.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(socket.get(), F_GETFD) & FD_CLOEXEC, 0);
  }
}

TEST(ConnectTimeout, RefusedConnectionIsConnectionError) {
  test::RefusingAddress closed(25);
  ASSERT_TRUE(closed.ok());
  for (int seconds : {0, 15}) {
    UniqueFd socket = openStreamSocket();
    EXPECT_EQ(connectTimeout(socket.get(), dotted(closed.address().c_str()), 25, seconds),
              kHttpConnectError);
  }
}

// Connects to a line server on port 25 and reads its first reply.
int readFirstReply(const test::FakeServer& server, std::string& text, size_t limit, int seconds) {
  UniqueFd socket = openStreamSocket();
  if (connectTimeout(socket.get(), dotted(server.address().c_str()), 25, 15) != kHttpOk) return -1;
  return readReply(socket.get(), text, limit, seconds);
}

TEST(ReadReply, ShortReplyEndsAtTheFirstShortChunk) {
  test::FakeServer server(
      test::lineDialogue("220 mail.test ready\r\n", [](const std::string&) { return ""; }), 25);
  ASSERT_TRUE(server.ok());
  std::string text = "stale";

  EXPECT_EQ(readFirstReply(server, text, 149, 3), kHttpOk);
  EXPECT_EQ(text, "220 mail.test ready\r\n");
}

TEST(ReadReply, LongReplyIsCutAtTheLimit) {
  const std::string greeting = "220-" + std::string(400, 'g') + "\r\n";
  test::FakeServer server(test::lineDialogue(greeting, [](const std::string&) { return ""; }), 25);
  ASSERT_TRUE(server.ok());
  std::string text;

  EXPECT_EQ(readFirstReply(server, text, 149, 3), kHttpOk);
  EXPECT_EQ(text, greeting.substr(0, 149));
}

TEST(ReadReply, SilentServerRunsOutTheWait) {
  test::FakeServer server(test::lineDialogue("", [](const std::string&) { return ""; }), 25);
  ASSERT_TRUE(server.ok());
  std::string text;

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readFirstReply(server, text, 149, 1), kHttpTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(text, "");
}

TEST(ReadReply, ClosedPeerGivesAnEmptyReply) {
  test::FakeServer server(test::closeAtOnce(), 25);
  ASSERT_TRUE(server.ok());
  std::string text = "stale";

  EXPECT_EQ(readFirstReply(server, text, 149, 3), kHttpOk);
  EXPECT_EQ(text, "");
}

TEST(RecvTimeout, WaitRunsOutWithMinusTwo) {
  test::FakeServer server(test::neverAnswer());
  ASSERT_TRUE(server.ok());
  UniqueFd socket = openStreamSocket();
  ASSERT_EQ(connectTimeout(socket.get(), dotted(server.address().c_str()), 80, 15), kHttpOk);
  char buffer[16];

  EXPECT_EQ(recvTimeout(socket.get(), buffer, sizeof buffer, 1), -2);
  EXPECT_EQ(recvTimeout(-1, buffer, sizeof buffer, 1), -1);
}

}  // namespace
}  // namespace vy
