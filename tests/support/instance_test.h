// Process tests on a fresh instance that set up and inspect its group store and scheduler file
// directly, as the programs would with the instance as their working directory.
#ifndef VANTRY_TESTS_SUPPORT_INSTANCE_TEST_H_
#define VANTRY_TESTS_SUPPORT_INSTANCE_TEST_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "store/group_codec.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/scheduler_file.h"
#include "tests/support/instance.h"
#include "tests/support/printers.h"

namespace vy::test {

class InstanceTest : public ::testing::Test {
 protected:
  // Never-checked URLs checked every `interval` minutes.
  static GroupConfig groupOf(const std::vector<std::string>& urls, int interval = 10) {
    GroupConfig group;
    group.checkInterval = interval;
    for (const std::string& url : urls) group.addUrl(url);
    return group;
  }
  // Adds a URL with its switches and last result.
  static UrlStatus& addUrl(GroupConfig& group, const std::string& url, uint8_t flags,
                           uint32_t lastCheck = 0, int16_t code = 0, uint32_t ms = 0) {
    UrlStatus& entry = group.addUrl(url);
    std::tie(entry.flags, entry.lastCheck, entry.resultCode, entry.responseMs) =
        std::tuple(flags, lastCheck, code, ms);
    return entry;
  }
  // Runs a store operation with the instance as the working directory.
  template <typename Operation>
  auto inInstance(Operation operation) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(instance_.dir());
    auto result = operation();
    std::filesystem::current_path(previous);
    return result;
  }
  void storeGroup(const std::string& name, const GroupConfig& group) {
    ASSERT_EQ(inInstance([&] { return writeGroup(name, group); }), StoreCode::kOk) << name;
  }
  // The stored group; the test keeps no group file open.
  GroupConfig readGroup(const std::string& name) {
    GroupRead read = inInstance([&] { return vy::readGroup(name); });
    EXPECT_EQ(read.status, StoreCode::kOk) << name;
    return std::move(read.group);
  }
  std::string groupBytes(const std::string& name) {
    return instance_.read("vydata/vydb/" + name + ".dat");
  }
  // Registers pid as the scheduler daemon started under the command name.
  void registerScheduler(pid_t pid, const std::string& name) {
    uint8_t bytes[kSchedulerRecordSize];
    encodeSchedulerRecord({pid, name}, bytes);
    instance_.write("vydata/vytime/scheduler",
                    std::string(reinterpret_cast<char*>(bytes), sizeof bytes));
  }

  Instance instance_;
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_INSTANCE_TEST_H_
