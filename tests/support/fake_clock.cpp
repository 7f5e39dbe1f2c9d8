// The libfaketime environment of process tests; see fake_clock.h.
#include "tests/support/fake_clock.h"

#include <cstdlib>
#include <filesystem>

namespace vy::test {

namespace fs = std::filesystem;

std::string fakeTimeLibrary() {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib", error)) {
    const fs::path library = entry.path() / "faketime/libfaketimeMT.so.1";
    if (fs::exists(library, error)) return library;
  }
  return "";
}

std::map<std::string, std::string> fakeClockAt(std::time_t time, const std::string& library) {
  std::tm utc{};
  ::gmtime_r(&time, &utc);
  char start[32];
  std::strftime(start, sizeof start, "@%Y-%m-%d %H:%M:%S", &utc);
  const char* asan = std::getenv("ASAN_OPTIONS");
  return {{"LD_PRELOAD", library},
          {"FAKETIME", start},
          {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
          {"TZ", "UTC0"},
          {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
}

}  // namespace vy::test
