// A fresh data directory for store tests: the test runs inside a temporary
// working directory that holds ./vydata/vydb and ./vydata/vychklog, the
// layout the programs expect, and the previous working directory comes back
// afterwards. Also small helpers to build groups and look at raw files.
#ifndef VANTRY_TESTS_STORE_DATA_DIR_H_
#define VANTRY_TESTS_STORE_DATA_DIR_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "store/group_config.h"
#include "tests/support/child.h"

namespace vy::test {

class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char previous[PATH_MAX];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    previous_ = previous;
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(::mkdir("vydata", 0777), 0);
    ASSERT_EQ(::mkdir("vydata/vydb", 0777), 0);
    ASSERT_EQ(::mkdir("vydata/vychklog", 0777), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(previous_.c_str()), 0); }

 private:
  TempDir dir_;
  std::string previous_;
};

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The names in a directory, sorted, without "." and "..".
inline std::vector<std::string> entriesOf(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A group record holding the given URLs, each with the given flags.
inline GroupConfig groupWithUrls(std::initializer_list<const char*> urls, uint8_t flags = 0) {
  GroupConfig config;
  for (const char* url : urls) config.addUrl(url).flags = flags;
  return config;
}

}  // namespace vy::test

#endif  // VANTRY_TESTS_STORE_DATA_DIR_H_
