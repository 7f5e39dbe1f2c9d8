// Times mode "a" of the group database: adding N new URLs to a group that
// already holds N URLs, for N = 10,000 and 100,000, and prints the time per
// URL of both. The two figures stay close when adding is linear in the
// number of URLs. The figure is the process's CPU time (the best of a few
// runs), so that other work on a shared machine does not blur it; the wall
// time is printed beside it. Runs in a temporary working directory that it
// removes.
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>

#include "store/group_config.h"
#include "store/group_file.h"

namespace {

// Small groups are timed more often: their runs are short enough for a
// neighbour's burst to spoil a few of them.
int repeatsFor(int n) { return n < 40000 ? 20 : 5; }

std::string urlOf(const char* kind, int i) {
  return "http://" + std::string(kind) + std::to_string(i % 97) + ".example.org/page/" +
         std::to_string(i);
}

vy::GroupConfig groupOf(const char* kind, int n) {
  vy::GroupConfig config;
  config.urls.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) config.addUrl(urlOf(kind, i)).flags = vy::kUrlCheckBan;
  return config;
}

struct Timing {
  double cpuSeconds = -1;
  double wallSeconds = -1;
};

double clockSeconds(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The best of repeatsFor(n) runs, each on a fresh group of n URLs; a negative CPU
// time when an access fails.
Timing bestAddTiming(int n) {
  Timing best;
  for (int run = 0; run < repeatsFor(n); ++run) {
    std::string name = "bench" + std::to_string(n);
    vy::GroupConfig old = groupOf("old", n);
    if (vy::accessGroupFile(name, old, vy::GroupMode::kStoreGroup) != vy::ErrAction::kOk) {
      return Timing();
    }
    vy::GroupConfig added = groupOf("new", n);
    double cpuStart = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double wallStart = clockSeconds(CLOCK_MONOTONIC);
    vy::ErrAction rc = vy::accessGroupFile(name, added, vy::GroupMode::kAddUrls);
    double cpu = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    double wall = clockSeconds(CLOCK_MONOTONIC) - wallStart;
    vy::GroupConfig check;
    if (rc != vy::ErrAction::kOk ||
        vy::accessGroupFile(name, check, vy::GroupMode::kRead) != vy::ErrAction::kOk ||
        check.urlCount() != 2 * n) {
      return Timing();
    }
    if (best.cpuSeconds < 0 || cpu < best.cpuSeconds) best.cpuSeconds = cpu;
    if (best.wallSeconds < 0 || wall < best.wallSeconds) best.wallSeconds = wall;
  }
  return best;
}

}  // namespace

int main() {
  char previous[PATH_MAX];
  char work[] = "/tmp/vy-bench-XXXXXX";
  if (!::getcwd(previous, sizeof previous) || !::mkdtemp(work) || ::chdir(work) != 0 ||
      ::mkdir("vydata", 0777) != 0 || ::mkdir("vydata/vydb", 0777) != 0) {
    std::perror("bench setup");
    return 1;
  }
  double perUrl[2] = {0, 0};
  const int sizes[2] = {10000, 100000};
  int status = 0;
  for (int i = 0; i < 2; ++i) {
    Timing timing = bestAddTiming(sizes[i]);
    if (timing.cpuSeconds < 0) {
      std::printf("N=%d: access failed\n", sizes[i]);
      status = 1;
      break;
    }
    perUrl[i] = timing.cpuSeconds * 1e6 / sizes[i];
    std::printf("add %6d new URLs to %6d: %8.2f ms (wall %8.2f ms), %.3f us per URL\n", sizes[i],
                sizes[i], timing.cpuSeconds * 1e3, timing.wallSeconds * 1e3, perUrl[i]);
  }
  if (status == 0) std::printf("per-URL ratio 100000 / 10000: %.2f\n", perUrl[1] / perUrl[0]);
  if (::chdir(previous) != 0) status = 1;
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  return status;
}
