// The check history as the worker reads it out, and its removal with a group.
//
//   history GROUP [URL]  the kept checks of the group's URLs (or of the one
//                        named, when the group holds it), oldest first:
//                        "<unix time> <url> <state 0-7> <status code> <response ms>"
//   uptime GROUP         one line per URL in stored order:
//                        "<url> 1d=<ratio> 7d=<ratio> 30d=<ratio> 365d=<ratio> avg1d=<ms>",
//                        a ratio with four decimals, "-" for a window or a
//                        mean without any check
//
// Both read the group's current URL list, then its history; a failure of
// either is logged and prints what could be read.
#ifndef VANTRY_RUNNER_HISTORY_REPORT_H_
#define VANTRY_RUNNER_HISTORY_REPORT_H_

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "store/history.h"

namespace vy {

// The lines of "history" and "uptime" for histories read at `now`, each
// ending with a line break.
std::string formatHistoryLines(const std::vector<UrlHistory>& histories);
std::string formatUptimeLines(const std::vector<UrlHistory>& histories, std::time_t now);

// The commands; the exit status is 0.
int runHistoryCommand(const std::string& group, const std::optional<std::string>& onlyUrl);
int runUptimeCommand(const std::string& group);

}  // namespace vy

#endif  // VANTRY_RUNNER_HISTORY_REPORT_H_
