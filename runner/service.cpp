// The worker's service commands: input, group name, password, command; see
// service.h.
#include "runner/service.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"
#include "runner/certificate_expiry.h"
#include "runner/history_report.h"
#include "runner/metrics.h"
#include "runner/scheduler.h"
#include "store/group_config.h"
#include "store/group_name.h"
#include "store/group_removal.h"
#include "store/group_stats.h"
#include "store/group_store.h"

namespace vy {
namespace {

// What one command works on: the group argument and the record, which holds
// the parsed standard input for the commands that read a text.
struct ServiceRequest {
  WorkerContext& context;
  std::string group;
  GroupConfig record;
};

// How a storing command stores the record it read from standard input.
enum class GroupMode : char {
  kStoreSettings = 's',  // settings and contents; the URL records stay
  kStoreGroup = 'm',     // the whole group
  kAddUrls = 'a',
  kWriteUrls = 'w',    // the URL list, statuses as given
  kRewriteUrls = 'f',  // the URL list, stored URLs keeping their results
  kDeleteUrls = 'd',   // a first URL "all" removes the group
};

struct ServiceCommand;
using ServiceHandler = int (*)(ServiceRequest&, const ServiceCommand&);

struct ServiceCommand {
  std::string_view word;
  ServiceHandler run = nullptr;
  // The storing commands: the group database mode they use on the record read
  // from standard input, and the detail of the report when it fails.
  std::optional<GroupMode> storeMode{};
  const char* failureDetail = nullptr;
  // Without a group argument: the empty name instead of the default group.
  bool emptyNameByDefault = false;

  bool readsText() const { return storeMode.has_value(); }
};

// --- Commands ---------------------------------------------------------------

StoreStatus deleteUrlsOrGroup(const std::string& group, const std::vector<UrlStatus>& urls) {
  std::vector<std::string_view> deleted;
  for (const UrlStatus& entry : urls) deleted.push_back(entry.url);
  if (!deleted.empty() && deleted.front().substr(0, deleted.front().find('\0')) == "all") {
    const std::string name = effectiveGroupName(group);
    return removeGroupReported(name);
  }
  return deleteUrls(group, deleted);
}

StoreStatus storeRecord(GroupMode mode, const std::string& group, const GroupConfig& record) {
  switch (mode) {
    case GroupMode::kStoreSettings:
      return storeSettings(group, record);
    case GroupMode::kStoreGroup:
      return writeGroup(group, record);
    case GroupMode::kAddUrls:
      return addUrls(group, record.urls);
    case GroupMode::kWriteUrls:
      return replaceUrls(group, record.urls);
    case GroupMode::kRewriteUrls:
      return rewriteUrls(group, record.urls);
    case GroupMode::kDeleteUrls:
      return deleteUrlsOrGroup(group, record.urls);
  }
  return StoreCode::kOk;
}

int runStore(ServiceRequest& request, const ServiceCommand& command) {
  StoreStatus rc = storeRecord(*command.storeMode, request.group, request.record);
  if (!rc.ok()) reportError(rc, command.failureDetail);
  return 0;
}

// After the URL list is stored, the scheduler daemon is started when the
// administrator wants one and cron does not run the checks; the running check
// leaves a live daemon alone.
int runRewrite(ServiceRequest& request, const ServiceCommand& command) {
  runStore(request, command);
  const Settings& settings = request.context.settings;
  if (!settings.cronMode() && settings.schedulerOn()) startScheduler(true);
  return 0;
}

int runGet(ServiceRequest& request, const ServiceCommand&) {
  std::optional<std::string> onlyUrl;
  if (request.context.hasArg(2)) onlyUrl = request.context.arg(2);
  const UrlListing listing = listUrls(request.group, onlyUrl);
  if (!listing.status.ok()) reportError(listing.status, request.group);
  for (const std::string& line : listing.lines) std::fwrite(line.data(), 1, line.size(), stdout);
  return 0;
}

// A group that cannot be read is logged and shown as the empty group.
int runHistory(ServiceRequest& request, const ServiceCommand&) {
  std::optional<std::string> onlyUrl;
  if (request.context.hasArg(2)) onlyUrl = request.context.arg(2);
  return runHistoryCommand(request.group, onlyUrl);
}

int runUptime(ServiceRequest& request, const ServiceCommand&) {
  return runUptimeCommand(request.group);
}

int runGetSetup(ServiceRequest& request, const ServiceCommand&) {
  const GroupRead read = readGroupReported(request.group, request.group);
  std::string text = formatGroupConfig(read.group);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

void printGroupStatistics(const std::string& name) {
  const GroupRead read = readGroupReported(name);
  if (!read.ok()) return;
  GroupSummary s = summarizeGroup(read.group);
  std::printf("%s %d %d %d %d %d %d %d %0.1f\n", name.c_str(), s.urlCount, s.checkBanCount,
              s.checkPresCount, s.upCount, s.banFoundCount, s.presOkCount, s.checkInterval,
              static_cast<double>(s.averageAge));
}

// Every group of the group directory, or only the one named; a group that
// cannot be read is logged and skipped.
int runGetStats(ServiceRequest& request, const ServiceCommand&) {
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) reportFatal(ErrAction::kOpenDir, kGroupDir);
  for (const std::string& name : *groups) {
    if (request.group.empty() || name == request.group) printGroupStatistics(name);
  }
  return 0;
}

int runMetrics(ServiceRequest& request, const ServiceCommand&) {
  return runMetricsCommand(request.context, request.group);
}

// The group argument is taken as it is: the empty name means the file ".dat".
// A failed removal is not reported; the history and certificate details of a
// removed group go too.
int runDelGroup(ServiceRequest& request, const ServiceCommand&) {
  (void)removeGroupReported(request.group);
  return 0;
}

int runExist(ServiceRequest& request, const ServiceCommand&) {
  return isRegularFile(groupFilePath(request.group)) ? kExitGroupExists : 0;
}

constexpr ServiceCommand kServiceCommands[] = {
    {.word = "set",
     .run = runStore,
     .storeMode = GroupMode::kStoreSettings,
     .failureDetail = "Set settings"},
    {.word = "add", .run = runStore, .storeMode = GroupMode::kAddUrls, .failureDetail = "Add"},
    {.word = "writegroup",
     .run = runStore,
     .storeMode = GroupMode::kStoreGroup,
     .failureDetail = "Add"},
    {.word = "del",
     .run = runStore,
     .storeMode = GroupMode::kDeleteUrls,
     .failureDetail = "Delete"},
    {.word = "write",
     .run = runStore,
     .storeMode = GroupMode::kWriteUrls,
     .failureDetail = "Write"},
    {.word = "rewrite",
     .run = runRewrite,
     .storeMode = GroupMode::kRewriteUrls,
     .failureDetail = "Update"},
    {.word = "get", .run = runGet},
    {.word = "getsetup", .run = runGetSetup},
    {.word = "history", .run = runHistory},
    {.word = "uptime", .run = runUptime},
    {.word = "getstats", .run = runGetStats, .emptyNameByDefault = true},
    {.word = kMetricsWord, .run = runMetrics, .emptyNameByDefault = true},
    {.word = "delgroup", .run = runDelGroup, .emptyNameByDefault = true},
    {.word = "exist", .run = runExist, .emptyNameByDefault = true},
};

// --- Before the command ---------------------------------------------------------

const ServiceCommand* findServiceCommand(std::string_view word) {
  for (const ServiceCommand& command : kServiceCommands) {
    if (command.word == word) return &command;
  }
  return nullptr;
}

// A word that names no command has no group argument.
std::string groupArgument(const WorkerContext& context, const ServiceCommand* command) {
  if (!command) return "";
  if (context.hasArg(1)) return context.arg(1);
  return command->emptyNameByDefault ? "" : kDefaultGroupName;
}

}  // namespace

int runServiceCommand(WorkerContext& context) {
  const ServiceCommand* command = findServiceCommand(context.arg(0));
  ServiceRequest request{context, groupArgument(context, command), GroupConfig()};
  // The configuration text is taken before anything can refuse the command,
  // so the caller's input is consumed whatever the outcome.
  if (command && command->readsText()) parseGroupConfig(request.record, readStdinText());
  // The name becomes part of a path: refuse it before any file is opened.
  if (!acceptGroupArgument(request.group)) return kExitInvalidGroupName;
  Access access = checkAdministrator(context);
  if (access != Access::kGranted) {
    reportRefusal(Status(access), kInvalidPasswordDetail);
    return kExitPasswordRefused;
  }
  if (!command) return 0;
  return command->run(request, *command);
}

StoreStatus removeGroupReported(const std::string& name) {
  std::vector<SideFileFailure> stayed;
  const StoreStatus rc = removeGroupAndSideFiles(name, stayed);
  for (const SideFileFailure& failure : stayed) reportError(failure.status, failure.path);
  return rc;
}

}  // namespace vy
