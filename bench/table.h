// The benchmark's result table: one row per figure, each with its target.
#ifndef VANTRY_BENCH_TABLE_H_
#define VANTRY_BENCH_TABLE_H_

#include <string>
#include <vector>

namespace vy::bench {

enum class Bound { kAtLeast, kAtMost };

struct Row {
  std::string id;       // "1a"
  std::string measure;  // what the figure is
  double figure = 0;
  Bound bound = Bound::kAtMost;
  double target = 0;
  std::string detail;     // the measurements the figure is made of
  bool measured = false;  // false when a run failed; detail says why

  bool holds() const {
    return measured && (bound == Bound::kAtLeast ? figure >= target : figure <= target);
  }
};

using Table = std::vector<Row>;

inline Row measuredRow(std::string id, std::string measure, double figure, Bound bound,
                       double target, std::string detail) {
  return Row{std::move(id), std::move(measure), figure, bound, target, std::move(detail), true};
}

inline Row failedRow(std::string id, std::string measure, Bound bound, double target,
                     std::string why) {
  return Row{std::move(id), std::move(measure), 0, bound, target, std::move(why), false};
}

// Where the rows are measured: the installation they copy and a scratch
// directory for peers' files.
struct BenchContext {
  std::string installDir;
  std::string scratchDir;
};

// printf into a std::string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// The row groups, each adding its rows to the table.
void addCheckRunRows(const BenchContext& context, Table& table);    // 1 and 2
void addGroupStoreRows(const BenchContext& context, Table& table);  // 3
void addConsoleRows(const BenchContext& context, Table& table);     // 4 and the console's memory
void addContentRows(const BenchContext& context, Table& table);     // 5 and 6
void addMemoryRows(const BenchContext& context, Table& table);      // the worker's memory
void addTlsRows(const BenchContext& context, Table& table);         // 8
void addHistoryRows(const BenchContext& context, Table& table);     // 9
void addStatusRows(const BenchContext& context, Table& table);      // 10

}  // namespace vy::bench

#endif  // VANTRY_BENCH_TABLE_H_
