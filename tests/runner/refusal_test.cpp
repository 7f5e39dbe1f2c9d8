// What strangers can add to the error log: repeated refusals are logged once a minute with a
// count, and a log at its size limit is trimmed to its newest whole lines.
#include <filesystem>

#include "common/error_log.h"
#include "common/refusals.h"
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

using test::LogLines;

class RefusalTest : public test::ServiceTest {
 protected:
  void refuseMetrics(int times) {
    for (int i = 0; i < times; ++i) {
      const test::RunResult refused = instance_.runWorker({"metrics"}, {{"ADMIN_PWD", "wrong"}});
      EXPECT_EQ(std::pair(refused.exitCode, refused.out), std::pair(2, std::string()));
    }
  }
  // Every window of the state file begun `seconds` earlier, as if that time had passed.
  void ageWindows(uint32_t seconds) {
    const std::string bytes = instance_.read("vydata/vytime/refusals");
    std::optional<RefusalTable> table =
        decodeRefusalTable(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ASSERT_TRUE(table) << bytes.size();
    for (RefusalSlot& slot : table->slots) {
      if (slot.start != 0) slot.start -= seconds;
    }
    std::string aged(kRefusalFileSize, '\0');
    encodeRefusalTable(*table, reinterpret_cast<uint8_t*>(aged.data()));
    instance_.write("vydata/vytime/refusals", aged);
  }
};

TEST_F(RefusalTest, FiftyRefusedPasswordsLeaveOneLineAndTheNextMinutesLineCountsTheOthers) {
  refuseMetrics(50);
  EXPECT_EQ(test::loggedActions(instance_), LogLines(1, {"1", "Invalid Admin Password"}));
  ageWindows(61);
  refuseMetrics(1);
  EXPECT_EQ(test::loggedActions(instance_),
            (LogLines{{"1", "Invalid Admin Password"},
                      {"1", "Invalid Admin Password (and 49 more refused before)"}}));
}

TEST_F(RefusalTest, AFullLogIsTrimmedBelowHalfItsLimitWithTheNewestLineLast) {
  std::string old;
  for (int i = 0; old.size() + 64 < kErrorLogLimit; ++i) {
    old += "1700000000|77|1|0|filler line " + std::to_string(100000 + i) + "|vyconsole|0\n";
  }
  instance_.write("vydata/error.log", old);
  refuseMetrics(1);
  // Which lines a trim keeps is the error log's own test; here that the worker trims at its limit.
  const std::string log = instance_.read("vydata/error.log");
  EXPECT_LT(log.size(), static_cast<size_t>(kErrorLogLimit / 2));
  const size_t newest = log.rfind('\n', log.size() - 2) + 1;
  EXPECT_EQ(log.find("|Invalid Admin Password|vyrunner|0\n", newest), log.size() - 35);
  EXPECT_EQ(old.substr(old.size() - newest), log.substr(0, newest));
}

}  // namespace
}  // namespace vy
