// Change notifications: telling a group's recipient that a URL's state changed.
//
// The group's inftype picks the way (1 command, 2 mail, 3 HTTP request, 4 one
// command per run for the whole group; 0 and 5 to 7 none) and its `inform`
// text is the target of every way. Check threads call notifyChange side by
// side; the external programs it starts run one at a time under resultLock().
#ifndef VANTRY_RUNNER_NOTIFY_H_
#define VANTRY_RUNNER_NOTIFY_H_

#include <string>

#include "runner/worker.h"
#include "store/group_config.h"

namespace vy {

// Notifies the group's recipient of the change of group.urls[index] (index -1:
// the batch of the whole group after its last pending URL). 0 done or nothing
// to do (always for a group that asks for no notification), 1 failed (for
// types 1 to 4 also when `inform` is empty). Failures are reported.
int notifyChange(const WorkerContext& context, GroupConfig& group, int index);

// Appends the status text of an entry after its check: "<url> <resultBits>",
// " f=<banIndex>" when a banned content was found, " p=<presIndex>" when the
// page is up and a presence content is missing, " c=<resultCode>"; no line end.
void writeStatusText(std::string& out, const UrlStatus& entry);

}  // namespace vy

#endif  // VANTRY_RUNNER_NOTIFY_H_
