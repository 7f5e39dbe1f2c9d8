// Row 3: mode "a" of the group store, adding N new URLs to a group of N, for
// N = 10,000 and 100,000. The time per URL stays flat when adding is linear
// in the number of URLs. The figure is the process's CPU time (the best of a
// few runs), so that other work on a shared machine does not blur it; the
// 100,000 case is also held to its wall time.
#include <time.h>

#include "bench/bench_instance.h"
#include "bench/table.h"
#include "store/group_store.h"

namespace vy::bench {
namespace {

// Small groups are timed more often: their runs are short enough for a
// neighbour's burst to spoil a few of them.
int repeatsFor(int n) { return n < 40000 ? 20 : 5; }

std::string urlOf(const char* kind, int i) {
  return "http://" + std::string(kind) + std::to_string(i % 97) + ".example.org/page/" +
         std::to_string(i);
}

GroupConfig numberedGroup(const char* kind, int n) {
  GroupConfig config;
  config.urls.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) config.addUrl(urlOf(kind, i)).flags = kUrlCheckBan;
  return config;
}

double clockSeconds(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double cpuSeconds = -1;
  double wallSeconds = -1;
};

// The best of repeatsFor(n) runs, each on a fresh group of n URLs, in the
// instance's directory; a negative CPU time when an access fails.
Timing bestAddTiming(const BenchInstance& instance, int n) {
  Timing best;
  const std::string name = "bench" + std::to_string(n);
  for (int run = 0; run < repeatsFor(n); ++run) {
    GroupConfig old = numberedGroup("old", n);
    if (!instance.storeGroup(name, old)) return Timing();
    GroupConfig added = numberedGroup("new", n);
    double cpuStart = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double wallStart = clockSeconds(CLOCK_MONOTONIC);
    bool ok = instance.addUrls(name, added);
    double cpu = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    double wall = clockSeconds(CLOCK_MONOTONIC) - wallStart;
    GroupConfig check;
    if (!ok || !instance.readGroup(name, check) || check.urlCount() != 2 * n) {
      return Timing();
    }
    if (best.cpuSeconds < 0 || cpu < best.cpuSeconds) best.cpuSeconds = cpu;
    if (best.wallSeconds < 0 || wall < best.wallSeconds) best.wallSeconds = wall;
  }
  return best;
}

}  // namespace

void addGroupStoreRows(const BenchContext& context, Table& table) {
  BenchInstance instance(context.installDir, [](Settings&) {});
  const char* ratioMeasure =
      "group store, add N new URLs to N: time per URL at 100,000 / at 10,000";
  const char* wallMeasure = "group store, add 100,000 new URLs to 100,000: seconds";
  Timing small = instance.ok() ? bestAddTiming(instance, 10000) : Timing();
  Timing large = small.cpuSeconds >= 0 ? bestAddTiming(instance, 100000) : Timing();
  if (large.cpuSeconds < 0) {
    table.push_back(failedRow("3a", ratioMeasure, Bound::kAtMost, 1.5, "a group access failed"));
    table.push_back(failedRow("3b", wallMeasure, Bound::kAtMost, 1.0, "a group access failed"));
    return;
  }
  const double smallPerUrl = small.cpuSeconds / 10000, largePerUrl = large.cpuSeconds / 100000;
  table.push_back(
      measuredRow("3a", ratioMeasure, largePerUrl / smallPerUrl, Bound::kAtMost, 1.5,
                  format("%.3f us / %.3f us per URL (CPU)", largePerUrl * 1e6, smallPerUrl * 1e6)));
  table.push_back(measuredRow("3b", wallMeasure, large.wallSeconds, Bound::kAtMost, 1.0,
                              format("CPU %.3f s", large.cpuSeconds)));
}

}  // namespace vy::bench
