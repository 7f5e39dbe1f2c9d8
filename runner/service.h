// The worker's password-protected service commands.
//
// Every command word that is not a scheduler, check or checkurl command comes
// here. A command that takes a group configuration text reads all of standard
// input first, so the caller's input is consumed even when the password is
// refused; then ADMIN_PWD (or a web-server-authenticated REMOTE_USER that
// matches the administrator) is checked before anything else is done. A
// refused password is logged as "Invalid Admin Password" and ends with status
// 2; a word that names no command does nothing and ends with 0.
#ifndef VANTRY_RUNNER_SERVICE_H_
#define VANTRY_RUNNER_SERVICE_H_

#include <string_view>

#include "runner/worker.h"

namespace vy {

inline constexpr int kExitPasswordRefused = 2;
inline constexpr const char* kInvalidPasswordDetail = "Invalid Admin Password";

// True for the commands that read a group configuration text on standard
// input: set, add, writegroup, del, write, rewrite.
bool readsGroupConfigText(std::string_view command);

// Runs the service command context.args[0]; returns the exit status.
int runServiceCommand(WorkerContext& context);

}  // namespace vy

#endif  // VANTRY_RUNNER_SERVICE_H_
