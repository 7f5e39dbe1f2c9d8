// The run-time state of checks, kept beside the stored group records: what
// one URL's check finds before it is stored, what a run keeps about each
// group, and the one lock that the check threads of a worker share.
#ifndef VANTRY_RUNNER_CHECK_STATE_H_
#define VANTRY_RUNNER_CHECK_STATE_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "net/socket.h"
#include "runner/worker.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/history.h"

namespace vy {

// One URL's state before and after its check.
struct UrlCheck {
  bool prevUp = false, prevBanFound = false, prevPresOk = false;  // stored before the check
  bool curUp = false, curBanFound = false, curPresOk = false;     // found by the check
  int16_t previousCode = 0;  // the stored code before the check
  int16_t changedCode = 0;   // the new code when it changed, else the previous one
  uint8_t stateWord = 0;     // kState... bits after the check
  // The days left of the certificate this check warns about; none when it
  // warns of nothing (certificate_expiry.h).
  std::optional<int> certDaysLeft;
  // The group's batch notification owes this URL's status text. Guarded by
  // CheckShared::resultLock once the check has stored its result.
  bool batchMarked = false;
};

// The checks of a group's run waiting to go into its history. Whichever
// check thread finds nobody writing writes them all, and keeps writing what
// gathered meanwhile until none is left: while one thread holds the file,
// the others' checks wait here instead of in the file's lock, and a run of
// many threads makes few appends instead of one per check.
struct HistoryQueue {
  std::mutex lock;
  std::vector<KeyedCheck> pending;  // guarded by lock
  bool writing = false;             // guarded by lock
  bool recorded = false;            // a check went in; guarded by lock
};

// One group during a run or a one-URL check: the record read from its file,
// where its statuses go back, and what the run keeps about it.
struct GroupRun {
  GroupRun(GroupConfig read, GroupHandle from)
      : group(std::move(read)),
        handle(std::move(from)),
        checks(group.urls.size()),
        historyUrls(urlsOf(group)) {}
  // historyUrls views the group's own texts.
  GroupRun(const GroupRun&) = delete;
  GroupRun& operator=(const GroupRun&) = delete;

  static std::vector<std::string_view> urlsOf(const GroupConfig& config) {
    std::vector<std::string_view> urls;
    urls.reserve(config.urls.size());
    for (const UrlStatus& entry : config.urls) urls.push_back(entry.url);
    return urls;
  }

  GroupConfig group;
  GroupHandle handle;            // guarded by CheckShared::resultLock
  std::vector<UrlCheck> checks;  // one per entry of group.urls, in the same order
  // The stored group's current URLs, which the history keeps records of;
  // empty when the checks are not to go into the group's history. Only read
  // while threads run.
  std::vector<std::string_view> historyUrls;
  HistoryQueue history;

  // Guarded by CheckShared::resultLock.
  int pendingCount = 0;       // URLs of the group still to be checked in the run
  bool notified = false;      // a notification was made for a URL in the run
  bool notifyFailed = false;  // some notification of the run failed
};

// What the check threads of one worker process share.
struct CheckShared {
  explicit CheckShared(const WorkerContext& context) : worker(context) {}

  const WorkerContext& worker;  // only read while threads run
  const HostTable hosts = HostTable::load();  // every request of the run resolves with it
  // Guards the GroupRun fields marked above, the status write-backs into the
  // group files, the check-log appends, and the external programs that
  // notifications start, so that a worker runs one of them at a time.
  std::mutex resultLock;
};

}  // namespace vy

#endif  // VANTRY_RUNNER_CHECK_STATE_H_
