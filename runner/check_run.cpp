// Check runs over groups; see check_run.h.
#include "runner/check_run.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/text.h"
#include "net/socket.h"
#include "runner/check_url.h"
#include "runner/scheduler.h"
#include "store/group_file.h"
#include "store/group_name.h"

namespace vy {
namespace {

struct WorkItem {
  size_t group;  // position in the run's group table
  int url;       // position in that group's URL list (after sorting)
};

// What every thread of a run shares. The work list and the groups are built
// before the first thread starts and torn down after the last has ended.
struct CheckRun {
  const WorkerContext* context = nullptr;
  std::vector<std::unique_ptr<GroupConfig>> groups;
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
    checkUrl(*run.context, *run.groups[item.group], item.url);
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
  GroupConfig& group = *run.groups[slot];
  int added = 0;
  for (int i = 0; i < group.urlCount(); ++i) {
    if (limit >= 1 && run.items.size() >= static_cast<size_t>(limit)) break;
    if (!isDue(group.urls[i].lastCheck, group.checkInterval, now)) continue;
    run.items.push_back({slot, i});
    ++added;
  }
  group.pendingCount = added;
  return added;
}

// A group to check, named for the status write-back; none when it cannot be
// read (reported) or is suspended. The fresh record starts with the run
// fields cleared.
std::unique_ptr<GroupConfig> readRunGroup(const std::string& name) {
  auto group = std::make_unique<GroupConfig>();
  int rc = accessGroupFile(name, *group, 'r');
  if (rc != 0) {
    reportError(rc, "Read Group URLs");
    return nullptr;
  }
  if (group->suspended()) return nullptr;
  group->groupName = name;
  return group;
}

void collectOneGroup(CheckRun& run, const std::string& name, int maxUrls, std::time_t now) {
  auto group = readRunGroup(name);
  if (!group) return;
  int limit = maxUrls > 0 && maxUrls < group->urlCount() ? maxUrls : group->urlCount();
  if (limit < 1) return;
  sortOldestFirst(*group);
  run.groups.push_back(std::move(group));
  collectDueUrls(run, 0, now, limit);
}

// The group name of a directory entry, or none for entries that are not groups.
bool groupNameOfEntry(const char* entry, std::string& name) {
  std::string_view file(entry);
  if (file.empty() || file[0] == '.') return false;
  size_t dat = file.find(".dat");
  if (dat == std::string_view::npos) return false;
  name = std::string(file.substr(0, dat));
  return true;
}

// Walks the group directory; returns false when it cannot be opened.
bool collectAllGroups(CheckRun& run, int maxUrls, std::time_t now, std::string& names) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(kGroupDir), ::closedir);
  if (!dir) {
    reportError(kErrOpenDir, kGroupDir);
    return false;
  }
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name;
    if (!groupNameOfEntry(entry->d_name, name)) continue;
    names += name;
    auto group = readRunGroup(name);
    if (!group) continue;
    if (!group->deleteAfterCheck() && group->checkInterval > 0) sortOldestFirst(*group);
    run.groups.push_back(std::move(group));
    if (collectDueUrls(run, run.groups.size() - 1, now, maxUrls) == 0) run.groups.pop_back();
    if (maxUrls >= 1 && run.items.size() >= static_cast<size_t>(maxUrls)) break;
  }
  return true;
}

// Starts up to `threads` threads (never more than there are items) and waits
// for them all.
void checkWithThreads(CheckRun& run, int threads) {
  const size_t count = std::min(static_cast<size_t>(std::max(threads, 0)), run.items.size());
  if (count == 0) return;
  HostTableScope hosts;
  std::vector<std::thread> workers;
  workers.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    try {
      workers.emplace_back(checkWorker, std::ref(run));
    } catch (const std::system_error&) {
      reportError(kOk, "Check CreateThread");
      break;  // the threads already running do all the work
    }
  }
  for (std::thread& worker : workers) worker.join();
}

// One-shot groups disappear once every URL has been checked, unless their
// notification failed.
void removeFinishedOneShotGroups(const CheckRun& run) {
  for (const auto& group : run.groups) {
    if (!group->deleteAfterCheck() || group->notifyFailed) continue;
    bool allChecked = std::all_of(group->urls.begin(), group->urls.end(),
                                  [](const UrlStatus& url) { return url.lastCheck != 0; });
    if (allChecked) ::unlink(groupFilePath(group->groupName).c_str());
  }
}

int numberArgument(const WorkerContext& context, size_t index, int fallback) {
  return context.hasArg(index) ? parseIntAtoi(context.arg(index)) : fallback;
}

}  // namespace

bool isDue(uint32_t lastCheck, int32_t interval, std::time_t now) {
  if (interval > 0) return static_cast<std::time_t>(lastCheck) + interval * 60L < now;
  if (interval < 0) return lastCheck == 0;
  return false;
}

int runChecks(const WorkerContext& context, int maxUrls, int threads, const std::string& group) {
  const std::time_t now = std::time(nullptr);
  UniqueFd checkTime = openFd(kCheckTimePath, O_RDWR);
  if (!checkTime) {
    reportError(kErrWriteFile, kCheckTimePath);
    return 1;
  }
  if (lockFile(checkTime.get()) != 0) {
    reportError(kErrLockFile, kCheckTimePath);
    return 1;
  }
  CheckRun run;
  run.context = &context;
  std::string names;
  if (!group.empty()) {
    names = group;
    collectOneGroup(run, group, maxUrls, now);
  } else if (!collectAllGroups(run, maxUrls, now, names)) {
    return 1;
  }
  checkWithThreads(run, threads);
  removeFinishedOneShotGroups(run);
  // The names examined, written over the start of the file; the write also
  // marks the end of the run in the file's modification time.
  if (!names.empty() && ::pwrite(checkTime.get(), names.data(), names.size(), 0) < 0) {
    reportError(kErrShortWrite, kCheckTimePath);
  }
  return 0;
}

int runCheckGroupCommand(const WorkerContext& context) {
  const std::string& group = context.arg(1);
  if (!acceptGroupArgument(group)) return kExitInvalidGroupName;
  return runChecks(context, numberArgument(context, 2, context.settings.maxCheckUrls),
                   numberArgument(context, 3, context.settings.maxCheckThreads), group);
}

int runCheckCommand(const WorkerContext& context) {
  return runChecks(context, numberArgument(context, 1, context.settings.maxCheckUrls),
                   numberArgument(context, 2, context.settings.maxCheckThreads), "");
}

}  // namespace vy
