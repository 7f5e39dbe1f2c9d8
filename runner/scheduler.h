// The scheduler daemon: where the host has no cron, a long-lived vyrunner.cgi
// sleeps, starts "./vyrunner.cgi check" every CHKTIME seconds and replaces
// itself by a fresh process every RESTIME seconds.
//
// The running daemon is registered in ./vydata/vytime/scheduler, one
// 104-byte record (little-endian):
//   offset size field
//      0     4  pid   i32, the registered daemon; 0 when none
//      4   100  name  the command name (as `ps` shows it) of the process that
//                     started the daemon, zero-terminated, zero-filled
// `ps` tells whether that pid still runs under that name. The check time
// file's modification time carries the schedule across restarts.
#ifndef VANTRY_RUNNER_SCHEDULER_H_
#define VANTRY_RUNNER_SCHEDULER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "runner/worker.h"

namespace vy {

inline constexpr size_t kSchedulerRecordSize = 104;
inline constexpr size_t kSchedulerPidOffset = 0;
inline constexpr size_t kSchedulerNameOffset = 4;
inline constexpr size_t kSchedulerNameSize = 100;

inline constexpr const char* kSchedulerPath = "./vydata/vytime/scheduler";
inline constexpr const char* kCheckTimePath = "./vydata/vytime/check";

struct SchedulerRecord {
  int32_t pid = 0;
  std::string name;  // at most 99 characters reach the file
};

void encodeSchedulerRecord(const SchedulerRecord& record, uint8_t* out);
SchedulerRecord decodeSchedulerRecord(const uint8_t* in);

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
