// What the store tests share: a fresh ./vydata with its vydb and vychklog directories as the
// working directory of the store's paths, the group text parser, processes run at once, and the
// golden-byte check of a fixed-size record codec.
#ifndef VANTRY_TESTS_STORE_STORE_FIXTURE_H_
#define VANTRY_TESTS_STORE_STORE_FIXTURE_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "store/group_config.h"
#include "tests/support/child.h"

namespace vy::test {

using Texts = std::vector<std::string_view>;

struct DataDirTest : ::testing::Test {
  DataDirTest() {
    for (const char* sub : {"vydata/vydb", "vydata/vychklog"}) {
      std::filesystem::create_directories(sub);
    }
  }
  TempWorkingDir dir;
};

inline GroupConfig parsed(std::string text) {
  GroupConfig config;
  parseGroupConfig(config, std::move(text));
  return config;
}

// Runs body(p) for p from 0 in `processes` children forked at once from this single thread (a
// fork beside other threads may leave a child stuck on a lock one of them held); their exit codes.
inline std::vector<int> exitCodesOf(int processes, const std::function<int(int)>& body) {
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) _exit(body(p));
    EXPECT_GT(pid, 0);
    if (pid > 0) children.push_back(pid);
  }
  std::vector<int> codes;
  for (pid_t pid : children) codes.push_back(reap(pid, 60).exitCode);
  return codes;
}

inline std::string bytesOf(std::initializer_list<int> values) {
  return {values.begin(), values.end()};
}

// A record of kSize bytes as encode writes it.
template <size_t kSize, typename Record>
std::string encodedBy(void (*encode)(const Record&, uint8_t*), const Record& record) {
  uint8_t out[kSize];
  encode(record, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

// Each field set alone gives a record of zeros but its golden bytes at its offset, and those bytes
// decode to a record that encodes the same.
template <size_t kSize, typename Record>
void expectGoldenFields(
    const std::vector<std::tuple<void (*)(Record&), size_t, std::string>>& fields,
    void (*encode)(const Record&, uint8_t*), Record (*decode)(const uint8_t*)) {
  for (const auto& [set, offset, golden] : fields) {
    Record record;
    set(record);
    std::string expected(kSize, '\0');
    EXPECT_EQ(encodedBy<kSize>(encode, record), expected.replace(offset, golden.size(), golden))
        << offset;
    EXPECT_EQ(encodedBy<kSize>(encode, decode(reinterpret_cast<const uint8_t*>(expected.data()))),
              expected)
        << offset;
  }
}

}  // namespace vy::test

#endif  // VANTRY_TESTS_STORE_STORE_FIXTURE_H_
