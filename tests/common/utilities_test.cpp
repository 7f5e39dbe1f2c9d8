// Files and record files, the `ps` process probe, and time zones.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/files.h"
#include "common/process.h"
#include "common/zonetime.h"
#include "tests/support/child.h"

namespace vy {
namespace {

namespace fs = std::filesystem;

TEST(Files, ExactDirectoryModesWholeFilesTouchedTimesAndRecordsThatKeepTheTail) {
  test::TempDir dir;
  mode_t old = umask(077);
  EXPECT_EQ(makeDirectory(dir.file("d"), 0775), 0);
  umask(old);
  EXPECT_EQ(fs::status(dir.file("d")).permissions(), fs::perms(0775));
  EXPECT_EQ(makeDirectory(dir.file("d"), 0700), 0);  // an existing directory gets the mode
  EXPECT_EQ(fs::status(dir.file("d")).permissions(), fs::perms(0700));
  EXPECT_EQ(makeDirectory(dir.file("missing/d"), 0700), 1);

  EXPECT_EQ(readWholeFile(dir.file("missing")), "");
  std::ofstream(dir.file("f")) << std::string("a\0b", 3);
  EXPECT_EQ(readWholeFile(dir.file("f")), std::string("a\0b", 3));
  EXPECT_EQ(touchFile(dir.file("f"), 1000000000), 0);
  EXPECT_EQ(fileModTime(dir.file("f")), 1000000000);
  EXPECT_EQ(touchFile(dir.file("missing"), 5), -1);

  const std::string path = dir.file("r");
  std::ofstream(path) << "abc";
  uint8_t buffer[8] = {};
  EXPECT_EQ(readRecord(path, buffer, sizeof buffer, 1), 12);
  EXPECT_EQ(readRecord(dir.file("missing"), buffer, sizeof buffer, 1), 1);
  std::ofstream(path) << "0123456789";
  const uint8_t record[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(writeRecord(path, record, 4, 1, false), 0);
  EXPECT_EQ(readWholeFile(path), "wxyz456789");
  EXPECT_EQ(writeRecord(path, record, 4, 0, true), 0);
  EXPECT_EQ(readWholeFile(path), "wxyz");
  EXPECT_EQ(writeRecord(dir.file("no/such"), record, 4, 1, false), 2);
}

TEST(ProcessProbe, MissingZombieAndRunningProcesses) {
  ProcessProbe missing = probeProcess(4190000, true);  // above the default pid_max
  EXPECT_TRUE(missing.code == 0 && !missing.name);
  ChildProcess sleeper;
  ASSERT_TRUE(sleeper.start({"sleep", "5"}, ChildProcess::kNoPipes));
  int answer = -1;
  EXPECT_EQ(isProcessRunning(sleeper.pid(), "sleep", answer), 0);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(isProcessRunning(sleeper.pid(), "Sleep", answer), 0);
  EXPECT_EQ(answer, 0);
  kill(sleeper.pid(), SIGKILL);

  pid_t pid = fork();
  if (pid == 0) _exit(0);
  siginfo_t info = {};
  waitid(P_PID, pid, &info, WEXITED | WNOWAIT);  // leaves it a zombie until the waitpid below
  EXPECT_FALSE(probeProcess(pid, true).name.has_value());
  EXPECT_TRUE(probeProcess(pid, false).name.has_value());
  waitpid(pid, nullptr, 0);
}

TEST(ZoneTime, FixedOffsetStarZoneAndNamedZoneWithTzRestored) {
  constexpr std::time_t kNoonUtc = 1700049600;  // Wed Nov 15 12:00:00 2023 UTC
  EXPECT_EQ(zoneTime(kNoonUtc, -3600, false, "Europe/Berlin").tm_hour, 11);
  auto outcome = test::runInChild([] {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    int star = zoneTime(kNoonUtc, -3600, false, "*").tm_hour;
    int named = zoneTime(kNoonUtc, 0, true, "America/New_York").tm_hour;
    bool restored = std::string(std::getenv("TZ")) == "Asia/Tokyo";
    unsetenv("TZ");
    zoneTime(kNoonUtc, 0, true, "Asia/Tokyo");
    std::printf("%d %d %d %d", star, named, restored, std::getenv("TZ") == nullptr);
  });
  EXPECT_EQ(outcome.out, "21 7 1 1");
}

}  // namespace
}  // namespace vy
