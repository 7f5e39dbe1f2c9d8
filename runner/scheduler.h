// The scheduler daemon: where the host has no cron, a long-lived vyrunner.cgi
// sleeps, starts "./vyrunner.cgi check" every CHKTIME seconds and replaces
// itself by a fresh process every RESTIME seconds.
//
// The running daemon is registered in the scheduler file (see
// store/scheduler_file.h); the check time file's modification time carries
// the schedule across restarts. Whether the daemon runs is told by
// schedulerRuns there.
#ifndef VANTRY_RUNNER_SCHEDULER_H_
#define VANTRY_RUNNER_SCHEDULER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "runner/worker.h"
#include "store/scheduler_file.h"

namespace vy {

// The daemon's next event: a restart when it is due no later than the check
// run (ties restart first), else the check run.
struct SchedulerEvent {
  bool restart;
  long wait;  // seconds
};
SchedulerEvent nextSchedulerEvent(long checkIn, long restartIn);

// Scheduler mode of the worker (first argument "scheduler", or the query
// string "scheduler"): starts a daemon, or is the daemon. Returns when done.
void runSchedulerMode(const WorkerContext& context);

// Starts a daemon process and returns in the caller. With checkFirst nothing
// is started while the registered daemon still runs.
void startScheduler(bool checkFirst);

}  // namespace vy

#endif  // VANTRY_RUNNER_SCHEDULER_H_
