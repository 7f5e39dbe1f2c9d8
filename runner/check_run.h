// Check runs over groups: the "check" and "checkgroup" commands.
//
// A run collects the due URLs of one group or of every group, oldest check
// first, up to a maximum number, and checks them with a fixed number of
// threads taking items from one shared work list. Only one run proceeds at a
// time: each holds an exclusive flock on ./vydata/vytime/check for its whole
// length. Afterwards it removes one-shot groups whose URLs were all checked.
#ifndef VANTRY_RUNNER_CHECK_RUN_H_
#define VANTRY_RUNNER_CHECK_RUN_H_

#include <cstdint>
#include <ctime>
#include <string>

#include "runner/worker.h"

namespace vy {

// Whether a URL last checked at lastCheck is due at `now` in a group whose
// check interval is `interval` minutes: strictly older than the interval when
// it is positive, never when it is 0, only when never checked when negative.
bool isDue(uint32_t lastCheck, int32_t interval, std::time_t now);

// Whether a run took place. The numbers are the exit statuses of the check
// commands.
enum class RunOutcome : int { kRan = 0, kNotRun = 1 };

// One run. maxUrls below 1 means no limit; an empty group name means every
// group. kNotRun when the check time file cannot be locked or the group
// directory cannot be listed.
[[nodiscard]] RunOutcome runChecks(const WorkerContext& context, int maxUrls, int threads,
                                   const std::string& group);

// "checkgroup" G [M [N]] and "check" [M [N]]; M and N default to MAXCHKURL
// and MAXCHKPROC. The exit status is the run's result (kExitInvalidGroupName
// for an invalid group name).
int runCheckGroupCommand(const WorkerContext& context);
int runCheckCommand(const WorkerContext& context);

}  // namespace vy

#endif  // VANTRY_RUNNER_CHECK_RUN_H_
