// The error log's size limit: what a trim keeps, its file's mode, concurrent appenders during
// trims, and the signal handler's bounded wait.
#include "common/error_log.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "common/files.h"
#include "tests/support/child.h"

namespace vy {
namespace {

// `count` lines of exactly `width` bytes, numbered from `first`.
std::string numberedLines(int first, int count, size_t width) {
  std::string text;
  for (int i = first; i < first + count; ++i) {
    std::string line = "line " + std::to_string(i) + " ";
    line.resize(width - 1, '.');
    text += line + "\n";
  }
  return text;
}

std::vector<std::string> hiddenFilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string()[0] == '.') names.push_back(entry.path().filename());
  }
  return names;
}

TEST(ErrorLogTrim, AnAppendPastTheLimitKeepsTheNewestWholeLinesTheLineWrittenAndTheMode) {
  test::TempDir dir;
  const std::string path = dir.file("error.log");
  const std::string old = numberedLines(0, 24, 40);  // 960 bytes
  std::ofstream(path) << old;
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  EXPECT_TRUE(logErrorLine(path.c_str(), numberedLines(24, 1, 40), 1000));  // reaches the limit
  EXPECT_EQ(readWholeFile(path), old + numberedLines(24, 1, 40));
  const std::string newest = numberedLines(25, 1, 60);
  EXPECT_TRUE(logErrorLine(path.c_str(), newest, 1000));
  // 1060 bytes: the kept half of 500 begins exactly at the start of line 14.
  EXPECT_EQ(readWholeFile(path), numberedLines(14, 11, 40) + newest);
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
  EXPECT_EQ(hiddenFilesIn(dir.path()), std::vector<std::string>{});

  // One byte more to keep and line 14 would be cut: the kept part starts at line 15.
  std::ofstream(path) << numberedLines(0, 25, 40);
  EXPECT_TRUE(logErrorLine(path.c_str(), numberedLines(25, 1, 61), 1000));
  EXPECT_EQ(readWholeFile(path), numberedLines(15, 10, 40) + numberedLines(25, 1, 61));
}

TEST(ErrorLogTrim, ANewestLineLongerThanHalfTheLimitIsKeptAloneAndASmallLogIsLeftAlone) {
  test::TempDir dir;
  const std::string path = dir.file("error.log");
  std::ofstream(path) << numberedLines(0, 3, 30);
  const std::string longLine = numberedLines(3, 1, 70);
  EXPECT_TRUE(logErrorLine(path.c_str(), longLine, 100));
  EXPECT_EQ(readWholeFile(path), longLine);
  EXPECT_EQ(trimErrorLog(path.c_str(), 100), TrimResult::kNotNeeded);
  EXPECT_EQ(trimErrorLog(path.c_str(), 10), TrimResult::kNotNeeded);  // one line: nothing to drop
  EXPECT_EQ(trimErrorLog(dir.file("missing").c_str(), 10), TrimResult::kFailed);
  EXPECT_FALSE(logErrorLine(dir.file("missing/error.log").c_str(), longLine, 100));
}

// Writer w of one process appends "w<w> <seq>" lines, seq 0 to kLines - 1.
constexpr int kLines = 300;
constexpr long long kSmallLimit = 4096;

void appendNumbered(const std::string& path, int writer) {
  for (int seq = 0; seq < kLines; ++seq) {
    std::string line = "w" + std::to_string(writer) + " " + std::to_string(seq) + " ";
    line.resize(39, '.');
    if (!logErrorLine(path.c_str(), line + "\n", kSmallLimit)) _exit(3);
  }
}

// Processes of two threads each append while their appends trim the log again and again. A
// trim drops only the oldest lines, so what is left of each writer's lines must be a gapless run
// that ends with its last line: a line lost to a trim would leave a gap or a missing end.
TEST(ErrorLogTrim, ConcurrentAppendersDuringTrimsLoseNoLine) {
  test::TempDir dir;
  const std::string path = dir.file("error.log");
  constexpr int kProcesses = 3;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::thread other([&] { appendNumbered(path, 2 * p + 1); });
      appendNumbered(path, 2 * p);
      other.join();
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_EQ(test::reap(pid, 60).exitCode, 0);

  const std::string log = readWholeFile(path);
  EXPECT_LE(static_cast<long long>(log.size()), kSmallLimit);
  std::map<int, std::vector<int>> kept;  // by writer, in the order of the file
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    int writer = -1, seq = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "w%d %d ", &writer, &seq), 2) << line;
    ASSERT_EQ(line.size(), 39u) << line;
    kept[writer].push_back(seq);
  }
  EXPECT_FALSE(kept.empty());
  for (const auto& [writer, seqs] : kept) {
    for (size_t i = 0; i < seqs.size(); ++i) {
      EXPECT_EQ(seqs[i], kLines - static_cast<int>(seqs.size()) + static_cast<int>(i))
          << "writer " << writer;
    }
  }
  EXPECT_EQ(hiddenFilesIn(dir.path()), std::vector<std::string>{});
}

TEST(ErrorLogAppend, TheSignalHandlersAppendWaitsABoundedTimeForATrimThenWrites) {
  test::TempDir dir;
  const std::string path = dir.file("error.log");
  std::ofstream(path) << "first\n";
  UniqueFd trimming = openFd(path.c_str(), O_RDONLY);
  ASSERT_TRUE(lockFile(trimming.get()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(appendErrorLine(path.c_str(), "crash\n", LockWait::kBounded), 12);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(readWholeFile(path), "first\ncrash\n");
}

}  // namespace
}  // namespace vy
