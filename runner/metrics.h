// The worker's "metrics" service command: the state of the groups, their URLs
// and the check runs in the text exposition format that Prometheus scrapes
// (version 0.0.4), so that an existing monitoring set-up can graph and alert
// on what Vantry sees.
//
// Every metric is a gauge. The families come in a fixed order, each with its
// HELP and TYPE lines once and all its samples together: the URL families
// (labels group and url; the groups in name order, the URLs in stored order),
// the group families (label group), then the instance-wide ones. A family
// without samples is left out. The uptime ratios (windows of 1, 7 and 30
// days) and the mean response time of the last day come from the group's
// check history, read once per group; a window without a check has no sample.
//
// Reading takes each group with the group database's read mode, which holds
// the group's shared lock only while it reads the file, and its history with
// a shared lock held as briefly, so a scrape never holds up a check run. The
// whole text is built first and printed at the end: a failure part way never
// leaves a half-written exposition.
#ifndef VANTRY_RUNNER_METRICS_H_
#define VANTRY_RUNNER_METRICS_H_

#include <string>
#include <string_view>
#include <vector>

#include "runner/worker.h"

namespace vy {

inline constexpr const char* kMetricsWord = "metrics";
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4";

// The command words a query string stands for when the web server passed no
// arguments: "metrics" (Apache passes a query without "=" as an argument,
// lighttpd does not), and "metrics=" followed by an optional group name, which
// is what a Prometheus "params" setting sends. None for any other query.
std::vector<std::string> metricsQueryWords(std::string_view queryString);

// A text as a label value between its double quotes: backslash, double quote
// and line feed escaped, and each byte that is not part of valid UTF-8 written
// as "%XX" (Prometheus refuses a whole scrape over one such byte, and a URL
// stays readable that way).
std::string metricsLabelValue(std::string_view text);

// Prints the exposition of the group named, or of every group for the empty
// name, behind a "Content-Type" header when the worker runs under a web
// server. A named group that does not exist is logged as "get" logs it and
// only the instance-wide samples are printed; a group that cannot be read is
// logged, counted in vantry_group_read_errors and left out. A group directory
// that cannot be listed is fatal. Returns 0.
int runMetricsCommand(const WorkerContext& context, const std::string& group);

}  // namespace vy

#endif  // VANTRY_RUNNER_METRICS_H_
