// The files the scheduler daemon keeps and the console reads: the scheduler
// file, which registers the running daemon, and the check time file, whose
// modification time marks the last check run; the daemon's default periods;
// and the one rule both programs use to tell whether the daemon runs.
//
// ./vydata/vytime/scheduler holds one 104-byte record (little-endian):
//   offset size field
//      0     4  pid   i32, the registered daemon; 0 when none
//      4   100  name  the command name (as `ps` shows it) of the process that
//                     started the daemon, zero-terminated, zero-filled
// `ps` tells whether that pid still runs under that name.
#ifndef VANTRY_STORE_SCHEDULER_FILE_H_
#define VANTRY_STORE_SCHEDULER_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "store/settings.h"

namespace vy {

inline constexpr size_t kSchedulerRecordSize = 104;
inline constexpr size_t kSchedulerPidOffset = 0;
inline constexpr size_t kSchedulerNameOffset = 4;
inline constexpr size_t kSchedulerNameSize = 100;

inline constexpr const char* kSchedulerPath = "./vydata/vytime/scheduler";
inline constexpr const char* kCheckTimePath = "./vydata/vytime/check";

// The periods of a new installation, also what the daemon uses when CHKTIME
// or RESTIME is below 1 second, so that it always sleeps between two events.
inline constexpr int32_t kDefaultCheckSeconds = 60;
inline constexpr int32_t kDefaultRestartSeconds = 25;

struct SchedulerRecord {
  int32_t pid = 0;
  std::string name;  // at most 99 characters reach the file
};

// REQUIRES: out / in point at kSchedulerRecordSize bytes.
void encodeSchedulerRecord(const SchedulerRecord& record, uint8_t* out);
SchedulerRecord decodeSchedulerRecord(const uint8_t* in);

// The registered daemon, read without write access under the file's shared
// lock (the daemon's hand-over writes under an exclusive one). A failure is
// logged with the path and the zero record (no daemon) returned.
SchedulerRecord readSchedulerRecordOrZero();

// Whether the daemon runs: the scheduler is switched on, the scheduler file
// exists and the registered process lives under its recorded name. A failure
// to read the file or to ask `ps` is logged and counts as not running.
[[nodiscard]] bool schedulerRuns(const Settings& settings);

}  // namespace vy

#endif  // VANTRY_STORE_SCHEDULER_FILE_H_
