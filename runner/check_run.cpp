// Check runs over groups; see check_run.h.
#include "runner/check_run.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/text.h"
#include "net/socket.h"
#include "runner/certificate_expiry.h"
#include "runner/check_url.h"
#include "runner/history_report.h"
#include "runner/scheduler.h"
#include "runner/service.h"
#include "store/group_name.h"
#include "store/group_store.h"

namespace vy {
namespace {

struct WorkItem {
  size_t group;  // position in the run's group table
  int url;       // position in that group's URL list (after sorting)
};

// What every thread of a run shares. The work list and the groups are built
// before the first thread starts and torn down after the last has ended.
struct CheckRun {
  explicit CheckRun(const WorkerContext& context) : shared(context) {}

  CheckShared shared;
  std::vector<std::unique_ptr<GroupRun>> groups;
  std::vector<WorkItem> items;
  std::mutex queueLock;  // guards next
  size_t next = 0;
};

void checkWorker(CheckRun& run) {
  for (;;) {
    WorkItem item;
    {
      std::lock_guard<std::mutex> lock(run.queueLock);
      if (run.next >= run.items.size()) return;
      item = run.items[run.next++];
    }
    checkUrl(run.shared, *run.groups[item.group], item.url);
  }
}

void sortOldestFirst(GroupConfig& group) {
  std::stable_sort(
      group.urls.begin(), group.urls.end(),
      [](const UrlStatus& a, const UrlStatus& b) { return a.lastCheck < b.lastCheck; });
}

// Appends the group's due URLs until the list holds `limit` items (limit < 1:
// no limit) and sets the group's pendingCount to how many were added.
int collectDueUrls(CheckRun& run, size_t slot, std::time_t now, int limit) {
  GroupRun& groupRun = *run.groups[slot];
  const GroupConfig& group = groupRun.group;
  int added = 0;
  for (int i = 0; i < group.urlCount(); ++i) {
    if (limit >= 1 && run.items.size() >= static_cast<size_t>(limit)) break;
    if (!isDue(group.urls[i].lastCheck, group.checkInterval, now)) continue;
    run.items.push_back({slot, i});
    ++added;
  }
  groupRun.pendingCount = added;
  return added;
}

// A group to check, named for the status write-back; none when it cannot be
// read (reported) or is suspended. Its URLs are ordered oldest check first
// when sortsUrls says so.
std::unique_ptr<GroupRun> readRunGroup(const std::string& name,
                                       bool (*sortsUrls)(const GroupConfig&)) {
  GroupRead read = readGroupReported(name, "Read Group URLs");
  if (!read.ok()) return nullptr;
  GroupConfig& group = read.group;
  if (group.suspended()) return nullptr;
  if (sortsUrls(group)) sortOldestFirst(group);
  return std::make_unique<GroupRun>(std::move(group), std::move(read.handle));
}

bool always(const GroupConfig&) { return true; }

// One-shot groups and groups without a positive interval keep their stored
// order in a run over all groups.
bool sortsInFullRun(const GroupConfig& group) {
  return !group.deleteAfterCheck() && group.checkInterval > 0;
}

void collectOneGroup(CheckRun& run, const std::string& name, int maxUrls, std::time_t now) {
  auto group = readRunGroup(name, always);
  if (!group) return;
  const int urlCount = group->group.urlCount();
  int limit = maxUrls > 0 && maxUrls < urlCount ? maxUrls : urlCount;
  if (limit < 1) return;
  run.groups.push_back(std::move(group));
  collectDueUrls(run, 0, now, limit);
}

// Walks the group directory; returns false when it cannot be read.
bool collectAllGroups(CheckRun& run, int maxUrls, std::time_t now, std::string& names) {
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) {
    reportError(ErrAction::kOpenDir, kGroupDir);
    return false;
  }
  for (const std::string& name : *groups) {
    names += name;
    auto group = readRunGroup(name, sortsInFullRun);
    if (!group) continue;
    run.groups.push_back(std::move(group));
    if (collectDueUrls(run, run.groups.size() - 1, now, maxUrls) == 0) run.groups.pop_back();
    if (maxUrls >= 1 && run.items.size() >= static_cast<size_t>(maxUrls)) break;
  }
  return true;
}

// Starts up to `threads` threads (never more than there are items, nor than
// kMaxCheckThreadsLimit, whatever the settings or the command line ask) and
// waits for them all.
void checkWithThreads(CheckRun& run, int threads) {
  const size_t allowed = static_cast<size_t>(std::clamp(threads, 0, kMaxCheckThreadsLimit));
  const size_t count = std::min(allowed, run.items.size());
  if (count == 0) return;
  std::vector<std::thread> workers;
  workers.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    try {
      workers.emplace_back(checkWorker, std::ref(run));
    } catch (const std::system_error&) {
      reportError(ErrAction::kNoFileOperation, "Check CreateThread");
      break;  // the threads already running do all the work
    }
  }
  for (std::thread& worker : workers) worker.join();
}

// One-shot groups disappear once every URL has been checked, unless one of
// their notifications failed, with their side files. A removal that fails is
// not reported; a side file that outlives its group is.
void removeFinishedOneShotGroups(const CheckRun& run) {
  for (const auto& groupRun : run.groups) {
    const GroupConfig& group = groupRun->group;
    if (!group.deleteAfterCheck() || groupRun->notifyFailed) continue;
    bool allChecked = std::all_of(group.urls.begin(), group.urls.end(),
                                  [](const UrlStatus& url) { return url.lastCheck != 0; });
    if (allChecked) (void)removeGroupReported(groupRun->handle.name);
  }
}

int exitStatus(RunOutcome outcome) { return static_cast<int>(outcome); }

int numberArgument(const WorkerContext& context, size_t index, int fallback) {
  return context.hasArg(index) ? parseIntAtoi(context.arg(index)) : fallback;
}

}  // namespace

bool isDue(uint32_t lastCheck, int32_t interval, std::time_t now) {
  if (interval > 0) return static_cast<std::time_t>(lastCheck) + interval * 60L < now;
  if (interval < 0) return lastCheck == 0;
  return false;
}

RunOutcome runChecks(const WorkerContext& context, int maxUrls, int threads,
                     const std::string& group) {
  const std::time_t now = std::time(nullptr);
  UniqueFd checkTime = openFd(kCheckTimePath, O_RDWR);
  if (!checkTime) {
    reportError(ErrAction::kWriteFile, kCheckTimePath);
    return RunOutcome::kNotRun;
  }
  if (!lockFile(checkTime.get())) {
    reportError(ErrAction::kLockFile, kCheckTimePath);
    return RunOutcome::kNotRun;
  }
  CheckRun run(context);
  std::string names;
  if (!group.empty()) {
    names = group;
    collectOneGroup(run, group, maxUrls, now);
  } else if (!collectAllGroups(run, maxUrls, now, names)) {
    return RunOutcome::kNotRun;
  }
  checkWithThreads(run, threads);
  for (const auto& groupRun : run.groups) refreshHistoryDigest(*groupRun);
  removeFinishedOneShotGroups(run);
  // The names examined, written over the start of the file; the write also
  // marks the end of the run in the file's modification time.
  if (!names.empty() && ::pwrite(checkTime.get(), names.data(), names.size(), 0) < 0) {
    reportError(ErrAction::kShortWrite, kCheckTimePath);
  }
  return RunOutcome::kRan;
}

int runCheckGroupCommand(const WorkerContext& context) {
  const std::string& group = context.arg(1);
  if (!acceptGroupArgument(group)) return kExitInvalidGroupName;
  return exitStatus(runChecks(context, numberArgument(context, 2, context.settings.maxCheckUrls),
                              numberArgument(context, 3, context.settings.maxCheckThreads), group));
}

int runCheckCommand(const WorkerContext& context) {
  return exitStatus(runChecks(context, numberArgument(context, 1, context.settings.maxCheckUrls),
                              numberArgument(context, 2, context.settings.maxCheckThreads), ""));
}

}  // namespace vy
