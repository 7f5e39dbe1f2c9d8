// vybench: measures the installed programs and prints one table of figures,
// each a ratio measured side by side in the same run (so that a noisy machine
// moves both sides), with its target and whether it holds.
//
//   vybench INSTALL_DIR [GROUP...]
//     groups: check store console content memory tls history status
//
// It binds port 80 of addresses in 127.1.0.0/16 to 127.5.0.0/16 and port 443
// of those in 127.5.0.0/16, so it runs as root. It is not a test: it asserts
// nothing and exits 0 once the table is printed, 2 on bad arguments.
#include <stdarg.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bench/bare_client.h"
#include "bench/process_cost.h"
#include "bench/table.h"

namespace vy::bench {

std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

namespace {

using RowGroup = void (*)(const BenchContext&, Table&);

const std::map<std::string, RowGroup> kRowGroups = {
    {"check", addCheckRunRows},  {"store", addGroupStoreRows}, {"console", addConsoleRows},
    {"content", addContentRows}, {"memory", addMemoryRows},    {"tls", addTlsRows},
    {"history", addHistoryRows}, {"status", addStatusRows},
};
const char* const kGroupOrder[] = {"check",  "store", "console", "content",
                                   "memory", "tls",   "history", "status"};

void printTable(Table table) {
  std::stable_sort(table.begin(), table.end(),
                   [](const Row& a, const Row& b) { return a.id < b.id; });
  std::printf("\n| # | measure | figure | target | holds | measured |\n");
  std::printf("|---|---|---:|---|---|---|\n");
  for (const Row& row : table) {
    // Three significant digits, whole numbers from 1,000 on: never an exponent.
    std::string figure = !row.measured        ? "-"
                         : row.figure >= 1000 ? format("%.0f", row.figure)
                                              : format("%.3g", row.figure);
    std::printf("| %s | %s | %s | %s %g | %s | %s |\n", row.id.c_str(), row.measure.c_str(),
                figure.c_str(), row.bound == Bound::kAtLeast ? "≥" : "≤", row.target,
                row.holds() ? "yes" : "NO", row.detail.c_str());
  }
  int held = 0;
  for (const Row& row : table) held += row.holds();
  std::printf("\n%d of %zu rows hold.\n", held, table.size());
}

}  // namespace
}  // namespace vy::bench

int main(int argc, char** argv) {
  using namespace vy::bench;
  if (argc >= 2 && std::string(argv[1]) == "--launch") return launchAndReport(argc - 2, argv + 2);
  if (argc >= 2 && std::string(argv[1]) == "--bare-requests") {
    return runBareRequests(argc - 2, argv + 2);
  }
  if (argc < 2) {
    std::fprintf(
        stderr,
        "usage: vybench INSTALL_DIR [check|store|console|content|memory|tls|history|status...]\n");
    return 2;
  }
  char scratch[] = "/tmp/vy-bench-scratch-XXXXXX";
  if (!::mkdtemp(scratch)) return 2;
  BenchContext context{std::filesystem::absolute(argv[1]).string(), scratch};
  Table table;
  std::vector<std::string> chosen(argv + 2, argv + argc);
  if (chosen.empty()) chosen.assign(std::begin(kGroupOrder), std::end(kGroupOrder));
  for (const std::string& name : chosen) {
    auto group = kRowGroups.find(name);
    if (group == kRowGroups.end()) {
      std::fprintf(stderr, "vybench: no row group %s\n", name.c_str());
      return 2;
    }
    std::fprintf(stderr, "measuring %s...\n", name.c_str());
    group->second(context, table);
  }
  printTable(table);
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return 0;
}
