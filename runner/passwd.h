// The worker's "passwd" command: the administrator's login set without a
// browser, for provisioning tools and containers.
//
//   passwd USER     the new password is the first line of standard input
//                   (its line end cut)
//
// The command creates the data directory as the console's first visit does,
// then stores USER and a bcrypt hash of the password in ./vydata/admin.pwd
// (and in ./.htpasswd when that exists, through htpasswd). While admin.pwd
// exists, ADMIN_PWD must hold the current password: a refusal is logged as
// "Invalid Admin Password" and ends with kExitPasswordRefused, nothing changed.
// A user name or password the console would not take is refused before any
// file is touched: the console's message on standard error, one log line,
// status kExitInvalidCredentials. A file that cannot be written is a fatal
// report (status 1). Over the web the command is refused like every command
// that changes something.
#ifndef VANTRY_RUNNER_PASSWD_H_
#define VANTRY_RUNNER_PASSWD_H_

#include <string_view>

#include "runner/worker.h"

namespace vy {

inline constexpr std::string_view kPasswdWord = "passwd";
// The status of arguments refused before any file is opened, as for a group
// name (kExitInvalidGroupName).
inline constexpr int kExitInvalidCredentials = kExitInvalidGroupName;
// At most this much of standard input is read for the password line.
inline constexpr size_t kMaxPasswordInputBytes = 1024;

// Runs "passwd" with context.args[1] as the user name; returns the exit
// status.
int runPasswdCommand(WorkerContext& context);

}  // namespace vy

#endif  // VANTRY_RUNNER_PASSWD_H_
