// A test in a fresh ./vydata with its vydb and vychklog directories, the
// working directory of the store's paths.
#ifndef VANTRY_TESTS_STORE_DATA_DIR_TEST_H_
#define VANTRY_TESTS_STORE_DATA_DIR_TEST_H_

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/child.h"

namespace vy::test {

struct DataDirTest : ::testing::Test {
  DataDirTest() {
    std::filesystem::current_path(dir.path());
    for (const char* sub : {"vydata/vydb", "vydata/vychklog"}) {
      std::filesystem::create_directories(sub);
    }
  }
  ~DataDirTest() override { std::filesystem::current_path(previous); }
  std::filesystem::path previous = std::filesystem::current_path();
  TempDir dir;
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_STORE_DATA_DIR_TEST_H_
