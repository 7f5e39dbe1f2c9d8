// The scheduler record codec; see scheduler_file.h.
#include "store/scheduler_file.h"

#include "common/le.h"

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

}  // namespace vy
