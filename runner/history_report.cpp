// The "history" and "uptime" commands and the history's removal; see
// history_report.h.
#include "runner/history_report.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "store/group_store.h"

namespace vy {
namespace {

// The histories of the group's current URLs (only onlyUrl's, when given);
// failures are logged.
std::vector<UrlHistory> readCurrentHistories(const std::string& group,
                                             const std::optional<std::string>& onlyUrl) {
  const GroupRead read = readGroupReported(group, group);
  std::vector<std::string_view> urls;
  for (const UrlStatus& entry : read.group.urls) {
    if (!onlyUrl || entry.url == *onlyUrl) urls.push_back(entry.url);
  }
  std::vector<UrlHistory> histories;
  if (urls.empty()) return histories;
  const StoreStatus rc = readHistory(group, urls, histories);
  if (!rc.ok()) reportError(rc, historyPath(group));
  return histories;
}

std::string ratioText(const UptimeCount& count) {
  const std::optional<double> ratio = count.ratio();
  if (!ratio) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", *ratio);
  return text;
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

std::string formatHistoryLines(const std::vector<UrlHistory>& histories) {
  struct Line {
    const std::string* url;
    const HistoryCheck* check;
  };
  std::vector<Line> lines;
  for (const UrlHistory& history : histories) {
    for (const HistoryCheck& check : history.checks) lines.push_back({&history.url, &check});
  }
  // Equal times keep the group's URL order.
  std::stable_sort(lines.begin(), lines.end(),
                   [](const Line& a, const Line& b) { return a.check->time < b.check->time; });
  std::string out;
  for (const Line& line : lines) {
    out += std::to_string(line.check->time) + ' ' + *line.url + ' ' +
           std::to_string(line.check->state) + ' ' + std::to_string(line.check->statusCode) + ' ' +
           std::to_string(line.check->responseMs) + '\n';
  }
  return out;
}

std::string formatUptimeLines(const std::vector<UrlHistory>& histories, std::time_t now) {
  std::string out;
  for (const UrlHistory& history : histories) {
    out += history.url;
    for (int days : kUptimeWindowDays) {
      out += ' ' + std::to_string(days) + "d=" + ratioText(uptimeOver(history, days, now));
    }
    const std::optional<uint32_t> mean = meanResponseMsOfLastDay(history, now);
    out += " avg1d=" + (mean ? std::to_string(*mean) : std::string("-")) + '\n';
  }
  return out;
}

int runHistoryCommand(const std::string& group, const std::optional<std::string>& onlyUrl) {
  print(formatHistoryLines(readCurrentHistories(group, onlyUrl)));
  return 0;
}

int runUptimeCommand(const std::string& group) {
  const std::time_t now = std::time(nullptr);
  print(formatUptimeLines(readCurrentHistories(group, std::nullopt), now));
  return 0;
}

}  // namespace vy
