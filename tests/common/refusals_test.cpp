// Refusal windows: what is logged and counted, the state file's bytes, damaged
// and unusable state files, and concurrent refusing processes (reportRefusal itself is tested
// with the worker's refused commands).
#include "common/refusals.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "common/files.h"
#include "tests/support/child.h"

namespace vy {
namespace {

constexpr RefusalVerdict kLogged{true, 0};
constexpr RefusalVerdict kCounted{false, 0};

std::string bytesOf(const RefusalTable& table) {
  std::string bytes(kRefusalFileSize, '\0');
  encodeRefusalTable(table, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

std::optional<RefusalTable> tableOf(const std::string& bytes) {
  return decodeRefusalTable(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(RefusalWindow, TheFirstOfAMinuteIsLoggedTheRestCountedAndTheNextMinuteTellsTheCount) {
  RefusalTable table;
  const uint64_t key = refusalKey("vyrunner", 1, "Invalid Admin Password");
  EXPECT_EQ(countRefusal(table, key, 1000), kLogged);
  for (std::time_t now = 1000; now < 1000 + 49; ++now) {
    EXPECT_EQ(countRefusal(table, key, now), kCounted) << now;
  }
  EXPECT_EQ(countRefusal(table, key, 1059), kCounted);
  EXPECT_EQ(countRefusal(table, key, 1060), (RefusalVerdict{true, 50}));
  EXPECT_EQ(countRefusal(table, key, 1119), kCounted);
  EXPECT_EQ(countRefusal(table, key, 5000), (RefusalVerdict{true, 1}));
  EXPECT_EQ(countRefusal(table, key, 4000), kLogged);  // a clock set back begins a new window
  EXPECT_EQ(refusalDetail("Invalid Admin Password", 0), "Invalid Admin Password");
  EXPECT_EQ(refusalDetail("Invalid Admin Password", 41),
            "Invalid Admin Password (and 41 more refused before)");
}

TEST(RefusalWindow, KeysAreIndependentAndAFullTableGivesUpTheWindowThatBeganFirst) {
  RefusalTable table;
  const uint64_t a = refusalKey("vyrunner", 1, "a"), b = refusalKey("vyrunner", 1, "b");
  EXPECT_EQ(countRefusal(table, a, 1000), kLogged);
  EXPECT_EQ(countRefusal(table, b, 1030), kLogged);
  EXPECT_EQ(countRefusal(table, a, 1031), kCounted);
  EXPECT_EQ(countRefusal(table, b, 1031), kCounted);
  EXPECT_EQ(countRefusal(table, a, 1060), (RefusalVerdict{true, 1}));
  EXPECT_EQ(countRefusal(table, b, 1060), kCounted);  // b's minute began at 1030

  RefusalTable full;
  for (uint32_t i = 0; i < kRefusalSlots; ++i) {
    EXPECT_EQ(countRefusal(full, refusalKey("u", 0, std::to_string(i)), 2000 + i), kLogged);
  }
  EXPECT_EQ(countRefusal(full, refusalKey("u", 0, "one more"), 2040), kLogged);
  EXPECT_EQ(countRefusal(full, refusalKey("u", 0, "31"), 2041), kCounted);
  EXPECT_EQ(countRefusal(full, refusalKey("u", 0, "0"), 2042), kLogged);  // given up for "one more"
}

TEST(RefusalFile, GoldenBytesAndTheirDecoding) {
  RefusalTable table;
  table.slots[0] = {0x0102030405060708ULL, 0x11223344, 7};
  table.slots[kRefusalSlots - 1] = {0xf0e0d0c0b0a09080ULL, 2, 0x01000000};
  std::string expected(kRefusalFileSize, '\0');
  expected.replace(0, 8, "VYRF\x20\0\0\0", 8);
  expected.replace(8, 16, "\x08\x07\x06\x05\x04\x03\x02\x01\x44\x33\x22\x11\x07\0\0\0", 16);
  expected.replace(504, 16, "\x80\x90\xa0\xb0\xc0\xd0\xe0\xf0\x02\0\0\0\0\0\0\x01", 16);
  EXPECT_EQ(bytesOf(table), expected);
  EXPECT_EQ(tableOf(expected), table);
}

TEST(RefusalFile, AShortLongOrForeignFileIsAnEmptyTableAndIsWrittenAnew) {
  const std::string whole = bytesOf(RefusalTable{});
  std::string otherCount = whole;
  otherCount[4] = 31;
  std::string otherMagic = whole;
  otherMagic[0] = 'X';
  for (const std::string& damaged :
       {std::string(), whole.substr(0, 7), whole.substr(0, whole.size() - 1), whole + "x",
        otherCount, otherMagic}) {
    EXPECT_EQ(tableOf(damaged), std::nullopt) << damaged.size();
  }

  test::TempDir dir;
  const std::string path = dir.file("refusals");
  const uint64_t key = refusalKey("vyrunner", 1, "x");
  std::ofstream(path) << "damaged";
  EXPECT_EQ(admitRefusal(path.c_str(), key, 1000), kLogged);
  EXPECT_EQ(admitRefusal(path.c_str(), key, 1001), kCounted);
  const std::optional<RefusalTable> stored = tableOf(readWholeFile(path));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->slots[0], (RefusalSlot{key, 1000, 1}));
}

TEST(RefusalFile, WithoutAUsableStateFileEveryRefusalIsLogged) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("refusals"));
  for (const std::string& path : {dir.file("missing/refusals"), dir.file("refusals")}) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(admitRefusal(path.c_str(), 1, 1000), kLogged) << path;
  }
}

// Four processes refuse the same request at the same second: one logs, and the next minute's
// line counts every other one.
TEST(RefusalFile, ConcurrentProcessesLogOnceAndLoseNoCount) {
  test::TempDir dir;
  const std::string path = dir.file("refusals");
  constexpr int kProcesses = 4, kEach = 50;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int logged = 0;
      for (int i = 0; i < kEach; ++i) logged += admitRefusal(path.c_str(), 7, 1000).log;
      _exit(logged);
    }
    children.push_back(pid);
  }
  int logged = 0;
  for (pid_t pid : children) logged += test::reap(pid, 30).exitCode;
  EXPECT_EQ(logged, 1);
  EXPECT_EQ(admitRefusal(path.c_str(), 7, 1060), (RefusalVerdict{true, kProcesses * kEach - 1}));
}

}  // namespace
}  // namespace vy
