// File, directory and record-file helpers on real files.
#include "common/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/child.h"

namespace vy {
namespace {

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readBytes(const std::string& path) {
  std::string out;
  EXPECT_EQ(readFileBytes(path, out), 0);
  return out;
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(Directories, MakeDirectoryCreatesWithExactModeAndFixesAnExistingOne) {
  test::TempDir dir;
  const std::string path = dir.file("d");
  mode_t old = umask(077);
  EXPECT_EQ(makeDirectory(path, 0775), 0);
  umask(old);
  EXPECT_EQ(modeOf(path), 0775u);
  EXPECT_EQ(makeDirectory(path, 0700), 0);
  EXPECT_EQ(modeOf(path), 0700u);
  EXPECT_EQ(makeDirectory(dir.file("missing/d"), 0700), 1);
}

TEST(WholeFiles, MissingOrNonRegularPathsReadAsEmpty) {
  test::TempDir dir;
  EXPECT_EQ(readWholeFile(dir.file("nope")), "");
  EXPECT_EQ(readWholeFile(dir.path()), "");
  writeBytes(dir.file("f"), std::string("a\0b", 3));
  EXPECT_EQ(readWholeFile(dir.file("f")), std::string("a\0b", 3));
}

TEST(WholeFiles, FirstLineKeepsNewlineAndHonoursTheSize) {
  test::TempDir dir;
  writeBytes(dir.file("f"), "hello\nworld\n");
  EXPECT_EQ(readFirstLine(dir.file("f"), 100), "hello\n");
  EXPECT_EQ(readFirstLine(dir.file("f"), 4), "hel");
  EXPECT_FALSE(readFirstLine(dir.file("nope"), 10).has_value());
}

TEST(WholeFiles, CreateEmptyFileLeavesAnExistingFileAlone) {
  test::TempDir dir;
  writeBytes(dir.file("f"), "keep");
  EXPECT_EQ(createEmptyFile(dir.file("f"), 0600), 0);
  EXPECT_EQ(readBytes(dir.file("f")), "keep");
  EXPECT_EQ(createEmptyFile(dir.file("g"), 0640), 0);
  EXPECT_EQ(modeOf(dir.file("g")), 0640u);
  EXPECT_EQ(createEmptyFile(dir.file("no/g"), 0640), 2);
}

TEST(RecordFiles, ShortFileGivesTwelveWithTheBytesThatWereThere) {
  test::TempDir dir;
  writeBytes(dir.file("r"), "abc");
  uint8_t buffer[8] = {};
  EXPECT_EQ(readRecord(dir.file("r"), buffer, sizeof buffer, 1), 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
  EXPECT_EQ(readRecord(dir.file("missing"), buffer, sizeof buffer, 1), 1);
}

TEST(RecordFiles, WriteKeepsBytesBehindTheRecordUnlessTruncating) {
  test::TempDir dir;
  writeBytes(dir.file("r"), "0123456789");
  const uint8_t record[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(writeRecord(dir.file("r"), record, 4, 1, false), 0);
  EXPECT_EQ(readBytes(dir.file("r")), "abcd456789");
  EXPECT_EQ(writeRecord(dir.file("r"), record, 4, 0, true), 0);
  EXPECT_EQ(readBytes(dir.file("r")), "abcd");
  EXPECT_EQ(writeRecord(dir.file("new"), record, 4, 1, false), 0);
  EXPECT_EQ(readBytes(dir.file("new")), "abcd");
  EXPECT_EQ(writeRecord(dir.file("no/such"), record, 4, 1, false), 2);
}

TEST(RecordFiles, ReadOnlyFileNeedsTheReadOnlyFlag) {
  test::TempDir dir;
  writeBytes(dir.file("r"), "abcd");
  chmod(dir.file("r").c_str(), 0444);
  chmod(dir.path().c_str(), 0755);
  auto outcome = test::runInChild([&] {
    if (setuid(65534) != 0) _exit(2);  // root may open anything
    uint8_t buffer[4];
    _exit(readRecord(dir.file("r"), buffer, 4, 1) * 10 + readRecord(dir.file("r"), buffer, 4, 2));
  });
  if (getuid() == 0) {
    EXPECT_EQ(outcome.exitCode, 10);
  }
}

TEST(FileTimes, TouchSetsBothTimesAndModTimeReadsThem) {
  test::TempDir dir;
  writeBytes(dir.file("t"), "");
  EXPECT_EQ(touchFile(dir.file("t"), 1000000000), 0);
  EXPECT_EQ(fileModTime(dir.file("t")), 1000000000);
  EXPECT_EQ(fileModTime(dir.file("missing")), 0);
  EXPECT_EQ(touchFile(dir.file("missing"), 5), -1);
}

TEST(FileTimes, TakingOwnershipLeavesATildeCopy) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to hand the file to another user";
  test::TempDir dir;
  writeBytes(dir.file("f"), "content");
  ASSERT_EQ(chown(dir.file("f").c_str(), 65534, 65534), 0);
  EXPECT_EQ(takeOwnership(dir.file("f")), 0);
  struct stat st;
  ASSERT_EQ(stat(dir.file("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(readBytes(dir.file("f")), "content");
  EXPECT_EQ(readBytes(dir.file("f~")), "content");
  EXPECT_EQ(takeOwnership(dir.file("f")), 1);
}

TEST(FileStatus, SizesAndKinds) {
  test::TempDir dir;
  writeBytes(dir.file("f"), "12345");
  EXPECT_EQ(regularFileSize(dir.file("f")), 5);
  EXPECT_EQ(regularFileSize(dir.path()), -1);
  EXPECT_EQ(regularFileSize(dir.file("nope")), -1);
  EXPECT_TRUE(isDirectory(dir.path()));
  EXPECT_FALSE(isRegularFile(dir.path()));
}

}  // namespace
}  // namespace vy
