// Change notifications: telling a group's recipient that a URL's state changed.
#ifndef VANTRY_RUNNER_NOTIFY_H_
#define VANTRY_RUNNER_NOTIFY_H_

#include "runner/worker.h"
#include "store/group_config.h"

namespace vy {

// Notifies the group's recipient of the change of group.urls[index] (index -1:
// the batch of the whole group after its last pending URL). 0 done or nothing
// to do, 1 failed.
int notifyChange(const WorkerContext& context, GroupConfig& group, int index);

}  // namespace vy

#endif  // VANTRY_RUNNER_NOTIFY_H_
