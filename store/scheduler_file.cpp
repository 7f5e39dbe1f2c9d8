// The scheduler record codec and the "is the daemon running" rule; see
// scheduler_file.h.
#include "store/scheduler_file.h"

#include "common/errors.h"
#include "common/files.h"
#include "common/le.h"
#include "common/process.h"

namespace vy {

void encodeSchedulerRecord(const SchedulerRecord& record, uint8_t* out) {
  le::putI32(out + kSchedulerPidOffset, record.pid);
  le::putText(out + kSchedulerNameOffset, kSchedulerNameSize, record.name);
}

SchedulerRecord decodeSchedulerRecord(const uint8_t* in) {
  SchedulerRecord record;
  record.pid = le::getI32(in + kSchedulerPidOffset);
  record.name = le::getText(in + kSchedulerNameOffset, kSchedulerNameSize);
  return record;
}

SchedulerRecord readSchedulerRecordOrZero() {
  uint8_t bytes[kSchedulerRecordSize] = {};
  FileStatus rc = readRecord(kSchedulerPath, bytes, sizeof bytes, RecordLock::kReadOnlyShared);
  if (!rc.ok()) {
    reportError(rc, kSchedulerPath);
    return SchedulerRecord();
  }
  return decodeSchedulerRecord(bytes);
}

bool schedulerRuns(const Settings& settings) {
  if (!settings.schedulerOn() || !isRegularFile(kSchedulerPath)) return false;
  const SchedulerRecord record = readSchedulerRecordOrZero();
  const RunningAnswer running = isProcessRunning(record.pid, record.name);
  if (!running.status.ok()) reportError(running.status, "Err Found Process ('ps')");
  return running.status.ok() && running.answer == Running::kYes;
}

}  // namespace vy
