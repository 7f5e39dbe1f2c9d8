// The "notifytest" service command: one test message through a group's
// current notification settings, whatever the type, so that the
// administrator sees at once whether the command, the mail, the address or
// the chat service is right.
//
// Types 1 to 4 tell the group's first URL as it stands (its stored state, as
// if it had just changed); type 5 sends a message that holds no change, only
// a test text. The command prints one line saying what became of it and ends
// with 0 (a failure is also logged as a real notification's would be);
// 1 when the message could not be sent.
#ifndef VANTRY_RUNNER_NOTIFY_PROBE_H_
#define VANTRY_RUNNER_NOTIFY_PROBE_H_

#include <string>

#include "runner/worker.h"

namespace vy {

inline constexpr const char* kNotifyTestWord = "notifytest";

// REQUIRES: the caller is the administrator and group is a valid name.
int runNotifyTestCommand(const WorkerContext& context, const std::string& group);

}  // namespace vy

#endif  // VANTRY_RUNNER_NOTIFY_PROBE_H_
