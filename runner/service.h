// The worker's password-protected service commands.
//
// Every command word that is not a scheduler, check or checkurl command comes
// here. They let a shell, a script or a web server (the words of a query
// string arrive as arguments) manage groups without the console:
//
//   set, add, writegroup, del, write, rewrite [group]
//       store the group configuration text read from standard input with the
//       group database's modes s, a, m, d, w, f; "rewrite" then starts the
//       scheduler daemon when it is wanted and none runs
//   get [group [url]]   the URL listing lines, back to back
//   getsetup [group]    the stored group as a configuration text
//   history [group [url]], uptime [group]
//                       the group's check history and uptime ratios (see
//                       history_report.h)
//   getstats [group]    "name urls chkban chkpres up banfound presok interval
//                       age" per group (all groups without an argument)
//   metrics [group]     the groups' and the runs' state for Prometheus (all
//                       groups without an argument; see metrics.h)
//   delgroup [group]    removes the group file and its history
//   exist [group]       status 1 when the group file exists, else 0
//
// Without a group argument a command works on "general"; getstats, metrics,
// delgroup and exist work on the empty name instead (all groups; the file
// ".dat").
//
// Order: a command that takes a configuration text reads and parses all of
// standard input first, so the caller's input is consumed whatever follows.
// A non-empty group argument that is not a valid group name is then refused
// (one log line "Invalid group name", status kExitInvalidGroupName) before
// any file is opened,
// the password file included. Then ADMIN_PWD (or a web-server-authenticated
// REMOTE_USER that matches the administrator) is checked: a refusal is logged
// as "Invalid Admin Password" and ends with status 2. Failures of the command
// itself are only logged and end with 0; a word that names no command does
// nothing and ends with 0. Output is plain text without a CGI header, except
// for metrics under a web server.
#ifndef VANTRY_RUNNER_SERVICE_H_
#define VANTRY_RUNNER_SERVICE_H_

#include <string>

#include "runner/worker.h"
#include "store/store_code.h"

namespace vy {

inline constexpr int kExitGroupExists = 1;

// Runs the service command context.args[0]; returns the exit status.
int runServiceCommand(WorkerContext& context);

// Removes the group file and, when that went, the group's history,
// certificate details and public title; a side file that stays is logged.
[[nodiscard]] StoreStatus removeGroupReported(const std::string& name);

}  // namespace vy

#endif  // VANTRY_RUNNER_SERVICE_H_
