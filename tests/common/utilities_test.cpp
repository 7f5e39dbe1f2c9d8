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
#include "common/large_block.h"
#include "common/process.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "tests/support/child.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

namespace fs = std::filesystem;

TEST(Files, ExactDirectoryModesWholeFilesTouchedTimesAndRecordsThatKeepTheTail) {
  test::TempDir dir;
  mode_t old = umask(077);
  EXPECT_EQ(makeDirectory(dir.file("d"), 0775), FileCode::kOk);
  umask(old);
  EXPECT_EQ(fs::status(dir.file("d")).permissions(), fs::perms(0775));
  EXPECT_EQ(makeDirectory(dir.file("d"), 0700), FileCode::kOk);  // an existing one gets the mode
  EXPECT_EQ(fs::status(dir.file("d")).permissions(), fs::perms(0700));
  EXPECT_EQ(makeDirectory(dir.file("missing/d"), 0700), FileCode::kCannotCreateDirectory);

  const std::string path = dir.file("f");
  EXPECT_EQ(readWholeFile(dir.file("missing")), "");
  std::ofstream(path) << std::string("a\0b", 3);
  EXPECT_EQ(readWholeFile(path), std::string("a\0b", 3));
  EXPECT_TRUE(touchFile(path, 1000000000));
  EXPECT_EQ(fileModTime(path), 1000000000);
  EXPECT_FALSE(touchFile(dir.file("missing"), 5));

  uint8_t buffer[8] = {};
  EXPECT_EQ(readRecord(path, buffer, sizeof buffer, RecordLock::kExclusive), FileCode::kShortRead);
  EXPECT_EQ(readRecord(dir.file("missing"), buffer, sizeof buffer, RecordLock::kExclusive),
            FileCode::kCannotRead);
  std::ofstream(path) << "0123456789";
  const uint8_t record[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(writeRecord(path, record, 4, RecordLock::kExclusive, false), FileCode::kOk);
  EXPECT_EQ(readWholeFile(path), "wxyz456789");
  EXPECT_EQ(writeRecord(path, record, 4, RecordLock::kNone, true), FileCode::kOk);
  EXPECT_EQ(readWholeFile(path), "wxyz");
  EXPECT_EQ(writeRecord(dir.file("no/such"), record, 4, RecordLock::kExclusive, false),
            FileCode::kCannotWrite);
}

TEST(Files, CopyReportsAFailedWriteAndOwnershipNeverLosesTheFile) {
  test::TempDir dir;
  std::ofstream(dir.file("f")) << "content";
  EXPECT_EQ(copyFile(dir.file("f"), dir.file("copy")), FileCode::kOk);
  EXPECT_EQ(readWholeFile(dir.file("copy")), "content");
  EXPECT_EQ(copyFile(dir.file("f"), "/dev/full"), FileCode::kShortWrite);
  EXPECT_EQ(copyFile(dir.file("missing"), dir.file("copy")), FileCode::kCannotRead);
  EXPECT_EQ(takeOwnership(dir.file("f")), Ownership::kAlreadyOurs);
  EXPECT_EQ(takeOwnership(dir.file("missing")), Ownership::kFailed);
}

// The answer of isProcessRunning as "<code> <answer>".
std::string running(pid_t pid, std::string_view name) {
  RunningAnswer got = isProcessRunning(pid, name);
  return std::to_string(actionNumber(logAction(got.status.code))) + " " +
         std::to_string(static_cast<int>(got.answer));
}

TEST(ProcessProbe, MissingZombieAndRunningProcesses) {
  ProcessProbe missing = probeProcess(4190000, true);  // above the default pid_max
  EXPECT_TRUE(missing.status.ok() && !missing.name);
  ChildProcess sleeper;
  ASSERT_TRUE(sleeper.start({"sleep", "5"}, ChildProcess::kNoPipes));
  EXPECT_EQ(running(sleeper.pid(), "sleep"), "0 1");
  EXPECT_EQ(running(sleeper.pid(), "Sleep"), "0 0");
  kill(sleeper.pid(), SIGSTOP);  // stopped: state T
  EXPECT_TRUE(test::waitUntil([&] { return running(sleeper.pid(), "sleep") == "0 0"; }, 10));
  kill(sleeper.pid(), SIGKILL);

  pid_t pid = fork();
  if (pid == 0) _exit(0);
  siginfo_t info = {};
  waitid(P_PID, pid, &info, WEXITED | WNOWAIT);  // leaves it a zombie until the waitpid below
  EXPECT_FALSE(probeProcess(pid, true).name.has_value());
  EXPECT_TRUE(probeProcess(pid, false).name.has_value());
  waitpid(pid, nullptr, 0);
}

// A program started by the console or the worker never takes itself for a web request nor
// sees the administrator's password; what else the environment holds is passed on.
TEST(ChildProcesses, StartWithoutTheWebRequestsVariablesAndThePassword) {
  const test::RunResult child = test::runInChild([] {
    for (const char* name : {"GATEWAY_INTERFACE", "REQUEST_METHOD", "QUERY_STRING", "HTTP_HOST",
                             "HTTP_PROXY", "REMOTE_USER", "REMOTE_ADDR", "ADMIN_PWD",
                             "CONTENT_LENGTH", "SCRIPT_NAME", "SERVER_ADMIN"}) {
      setenv(name, "set", 1);
    }
    setenv("SSL_CERT_FILE", "/etc/ca.pem", 1);
    setenv("VY_OTHER", "kept", 1);
    ChildProcess env;
    if (!env.start({"env"}, ChildProcess::kPipeStdout)) _exit(9);
    std::fputs(env.readStdout(1 << 16).c_str(), stdout);
    env.wait();
  });
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_NE(child.out.find("SSL_CERT_FILE=/etc/ca.pem\n"), std::string::npos);
  EXPECT_NE(child.out.find("VY_OTHER=kept\n"), std::string::npos);
  EXPECT_NE(child.out.find("PATH="), std::string::npos);
  EXPECT_EQ(child.out.find("=set\n"), std::string::npos) << child.out;
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
  // The display zone is set once; formatTime then only reads it.
  outcome = test::runInChild([] {
    setDisplayZone({-3600, false, "Europe/Berlin"});
    std::printf("%s|", formatTime(kNoonUtc).c_str());
    setDisplayZone({0, true, "America/New_York"});
    std::printf("%s|%s", formatTime(kNoonUtc).c_str(), std::getenv("TZ"));
  });
  EXPECT_EQ(outcome.out, "Wed Nov 15 11:00:00 2023|Wed Nov 15 07:00:00 2023|America/New_York");
}

TEST(LargeBlocks, EverySizeHoldsItsBytesAcrossGrowthAndRelease) {
  // Below and above the prefaulted and the separately mapped sizes.
  for (size_t size : {size_t{1}, kPrefaultMinimum - 1, kPrefaultMinimum, kHugeBlockMinimum - 1,
                      kHugeBlockMinimum, 3 * kHugeBlockMinimum + 12345}) {
    FileImage image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>(i % 251);
    image[size - 1] = 'z';
    LargeText text(image.begin(), image.end());
    text.append(size, 'y');  // grows into a block of another kind
    for (size_t i = 0; i + 1 < size; i += 4093) {
      ASSERT_EQ(text[i], static_cast<char>(i % 251)) << size;
    }
    EXPECT_EQ(text[size - 1], 'z');
    EXPECT_EQ(text.back(), 'y');
    EXPECT_EQ(text.size(), 2 * size);
  }
}

TEST(Text, LowerCasingChangesOnlyTheAsciiCapitalsAtEveryPosition) {
  std::string every;
  for (int round = 0; round < 3; ++round) {
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
  }
  for (size_t start = 0; start < 9; ++start) {  // every alignment and tail length
    std::string text = every.substr(start), expected = text;
    for (char& c : expected) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    toLowerAscii(text);
    ASSERT_EQ(text, expected) << start;
  }
}

TEST(Text, SecondsTextIsTheFormattedValue) {
  for (uint32_t ms = 0; ms < 200000; ++ms) {
    ASSERT_EQ(secondsText(ms), formatAlloc("%0.2f", static_cast<double>(ms) * 0.001)) << ms;
  }
  for (uint32_t ms = 4294967295u; ms > 200000; ms -= 9999991) {
    ASSERT_EQ(secondsText(ms), formatAlloc("%0.2f", static_cast<double>(ms) * 0.001)) << ms;
  }
}

TEST(ZoneTime, TimeTextIsAsctimeWithoutTheNewline) {
  // Every field width: one-digit days and hours, every month and weekday,
  // the whole range of a 32-bit check time, and fields asctime formats oddly.
  for (std::time_t when = 0; when < 4294967296; when += 86400 * 13 + 3600 * 7 + 61) {
    std::tm parts;
    gmtime_r(&when, &parts);
    char expected[64];
    asctime_r(&parts, expected);
    ASSERT_EQ(timeText(parts), std::string(expected, 24)) << when;
  }
  std::tm odd{};  // a year asctime cannot write
  odd.tm_year = 12000 - 1900;
  odd.tm_mday = 1;
  EXPECT_EQ(timeText(odd), std::string(24, '?'));
}

}  // namespace
}  // namespace vy
