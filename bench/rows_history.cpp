// Row 9: the check history's size per URL after a simulated year of one check
// a minute, every check appended as the worker appends it, at its simulated
// time, in the benchmark process. The figure is the largest size the file
// reached at any moment of the year, which the history keeps within 64 KiB
// per URL whatever runs for years.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string_view>

#include "bench/table.h"
#include "store/history.h"

namespace vy::bench {
namespace {

constexpr const char* kMeasure =
    "history file of 1 URL, a simulated year of checks every minute: largest size, bytes";
constexpr std::time_t kYearStart = 1767225600;  // 2026-01-01 00:00:00 UTC
constexpr int kChecksPerYear = 365 * 24 * 60;

// The working directory for as long as it lives: the store's paths are relative.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) {
    entered_ = ::getcwd(previous_, sizeof previous_) && ::chdir(dir.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (entered_) (void)::chdir(previous_);
  }
  bool entered() const { return entered_; }

 private:
  char previous_[PATH_MAX] = {};
  bool entered_ = false;
};

struct YearOfChecks {
  bool ok = false;
  uint64_t largestSize = 0;
  uint64_t finalSize = 0;
  int compactions = 0;
  double seconds = 0;
};

double monotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A check a minute for a year, one in fifty down, the size taken after each.
YearOfChecks appendYear(const std::string& group, std::string_view url) {
  YearOfChecks year;
  const std::string_view urls[] = {url};
  const std::string path = historyPath(group);
  const double start = monotonicSeconds();
  for (int i = 0; i < kChecksPerYear; ++i) {
    const std::time_t now = kYearStart + std::time_t{i} * 60;
    const bool up = i % 50 != 0;
    const HistoryCheck check{static_cast<uint32_t>(now), static_cast<uint8_t>(up ? kStateUp : 0),
                             static_cast<int16_t>(up ? 200 : 503),
                             static_cast<uint32_t>(80 + i % 40)};
    const HistoryWrite write = appendHistory(group, urls, url, check, now);
    if (!write.status.ok() || !write.damage.ok()) return year;
    year.compactions += write.compacted;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return year;
    year.largestSize = std::max<uint64_t>(year.largestSize, static_cast<uint64_t>(info.st_size));
    year.finalSize = static_cast<uint64_t>(info.st_size);
  }
  year.seconds = monotonicSeconds() - start;
  year.ok = true;
  return year;
}

}  // namespace

void addHistoryRows(const BenchContext& context, Table& table) {
  const std::string dir = context.scratchDir + "/history";
  std::error_code error;
  std::filesystem::create_directories(dir + "/vydata", error);
  WorkingDirectory inside(dir);
  const YearOfChecks year =
      inside.entered() ? appendYear("bench", "https://shop.example/") : YearOfChecks();
  if (!year.ok) {
    table.push_back(failedRow("9", kMeasure, Bound::kAtMost, kHistoryBytesPerUrl,
                              "an append of the history failed"));
    return;
  }
  table.push_back(measuredRow(
      "9", kMeasure, static_cast<double>(year.largestSize), Bound::kAtMost, kHistoryBytesPerUrl,
      format("%d appends, %d compactions, %.1f s; %llu bytes at the end", kChecksPerYear,
             year.compactions, year.seconds, static_cast<unsigned long long>(year.finalSize))));
}

}  // namespace vy::bench
