// The worker command "notifytest [group]": one test message through a group's
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

// Access: refused over the web, as the commands that change groups are (a
// stranger must not make the worker post to a group's services); open on
// the command line like checkurl, which is how the console runs it: the
// console's child gets none of the request's variables, ADMIN_PWD included,
// and whoever can run the worker there owns its data already.
// REQUIRES: group is a valid name (or empty: the file ".dat").
int runNotifyTestCommand(const WorkerContext& context, const std::string& group);

}  // namespace vy

#endif  // VANTRY_RUNNER_NOTIFY_PROBE_H_
