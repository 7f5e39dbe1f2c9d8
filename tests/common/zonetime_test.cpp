// Time-zone conversion and the 24-character time text.
#include "common/zonetime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "tests/support/child.h"

namespace vy {
namespace {

constexpr std::time_t kNoonUtc = 1700049600;  // Wed Nov 15 12:00:00 2023 UTC

TEST(ZoneTime, FixedOffsetIsAddedToUtc) {
  std::tm parts = zoneTime(kNoonUtc, -3600, false, "Europe/Berlin");
  EXPECT_EQ(parts.tm_hour, 11);
  EXPECT_EQ(parts.tm_mday, 15);
}

TEST(ZoneTime, StarZoneUsesTheProcessZoneAndIgnoresTheOffset) {
  auto outcome = test::runInChild([] {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    std::tm parts = zoneTime(kNoonUtc, -3600, false, "*");
    _exit(parts.tm_hour);
  });
  EXPECT_EQ(outcome.exitCode, 21);
}

TEST(ZoneTime, NamedZoneRestoresTzAfterwards) {
  auto outcome = test::runInChild([] {
    setenv("TZ", "UTC", 1);
    std::tm parts = zoneTime(kNoonUtc, 0, true, "America/New_York");
    const char* after = std::getenv("TZ");
    bool restored = after && std::string(after) == "UTC";
    unsetenv("TZ");
    zoneTime(kNoonUtc, 0, true, "Asia/Tokyo");
    bool stillUnset = std::getenv("TZ") == nullptr;
    _exit(restored && stillUnset ? parts.tm_hour : 99);
  });
  EXPECT_EQ(outcome.exitCode, 7);
}

TEST(ZoneTime, FormatTimeIsTwentyFourCharactersAndThreadSafe) {
  setDisplayZone({0, false, ""});
  EXPECT_EQ(formatTime(kNoonUtc), "Wed Nov 15 12:00:00 2023");
  setDisplayZone({0, true, "Asia/Tokyo"});
  std::vector<std::thread> threads;
  std::vector<std::string> texts(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&texts, i] {
      for (int n = 0; n < 200; ++n) texts[i] = formatTime(kNoonUtc);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const std::string& text : texts) EXPECT_EQ(text, "Wed Nov 15 21:00:00 2023");
  setDisplayZone({});
}

}  // namespace
}  // namespace vy
