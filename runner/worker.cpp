// The worker's start-up and command dispatch; see worker.h.
#include "runner/worker.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "common/about.h"
#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/signals.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "net/http.h"
#include "runner/check_run.h"
#include "runner/check_url.h"
#include "runner/metrics.h"
#include "runner/notify_probe.h"
#include "runner/passwd.h"
#include "runner/scheduler.h"
#include "runner/service.h"
#include "store/group_name.h"
#include "store/login_throttle.h"
#include "store/permissions.h"

namespace vy {
namespace {

WorkerContext readRequestTexts(int argc, char** argv) {
  WorkerContext context;
  context.cgi = readCgiEnvironment();
  context.adminPassword = envText("ADMIN_PWD");
  context.webRequest = isCgiRequest();
  for (int i = 1; i < argc; ++i) context.args.emplace_back(argv[i]);
  return context;
}

// A missing settings file leaves every field 0; one that exists but cannot be
// read is fatal. The request identity and the display zone are set here,
// while the process still has a single thread.
void loadWorkerSettings(WorkerContext& context) {
  StoreStatus rc = loadSettings(context.settings, kSettingsPath);
  if (!rc.ok()) {
    if (isRegularFile(kSettingsPath)) reportFatal(rc, kSettingsPath);
    context.settings = Settings();
  }
  setRequestIdentity(context.settings.userAgent, context.settings.referer);
  setDisplayZone(displayZoneFor(context.settings));
}

// A check run keeps every group it checks open (for the exact status
// write-back) besides one socket per thread: let it use as many descriptors
// as the system allows.
void raiseOpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The service commands that store what the request sends, or remove a group,
// the one that sets the administrator's login, and the one that sends a test
// message (a stranger must not make the worker post to the group's services).
constexpr std::string_view kChangingCommands[] = {"set",      "add",       "writegroup",
                                                  "del",      "write",     "rewrite",
                                                  "delgroup", kPasswdWord, kNotifyTestWord};

bool changesGroups(std::string_view command) {
  return std::find(std::begin(kChangingCommands), std::end(kChangingCommands), command) !=
         std::end(kChangingCommands);
}

// "checkgroup" without a group argument is not a check command: it goes to
// the service commands, which know no such word.
bool startsChecks(const WorkerContext& context) {
  const std::string& command = context.args[0];
  return command == "check" || command == "checkurl" ||
         (command == "checkgroup" && context.hasArg(1));
}

// Over the web: the status a command is refused with, or none when it may
// run. A refusal reads nothing of the request's body.
std::optional<int> webRefusal(const WorkerContext& context) {
  const std::string& command = context.args[0];
  if (changesGroups(command)) {
    reportRefusal(ErrAction::kNoFileOperation, "Refused over the web: " + command);
    return kExitPasswordRefused;
  }
  if (!startsChecks(context)) return std::nullopt;
  const Access access = checkAdministrator(context);
  if (access == Access::kGranted) return std::nullopt;
  reportRefusal(Status(access), kInvalidPasswordDetail);
  return kExitPasswordRefused;
}

// Over the web, a client that failed the administrator check too often is
// refused whatever it asks, before anything of the request is read.
bool refusedForFailedLogins(const WorkerContext& context) {
  if (loginRefusal(context.cgi.remoteAddr).count() == 0) return false;
  reportRefusal(ErrAction::kNoFileOperation, "Too many failed logins");
  return true;
}

int dispatchCommand(WorkerContext& context) {
  const std::string& command = context.args[0];
  if (context.webRequest) {
    if (refusedForFailedLogins(context)) return kExitPasswordRefused;
    if (std::optional<int> refused = webRefusal(context)) return *refused;
  }
  if (command == "checkgroup" && context.hasArg(1)) return runCheckGroupCommand(context);
  if (command == "check") return runCheckCommand(context);
  if (command == "checkurl") return runCheckUrlCommand(context);
  if (command == kPasswdWord) return runPasswdCommand(context);
  if (command == kNotifyTestWord) {
    // As checkurl: open on the command line, where the console runs it.
    if (!acceptGroupArgument(context.arg(1))) return kExitInvalidGroupName;
    return runNotifyTestCommand(context, context.hasArg(1) ? context.arg(1) : kDefaultGroupName);
  }
  return runServiceCommand(context);
}

}  // namespace

bool acceptGroupArgument(std::string_view name) {
  if (name.empty() || isValidGroupName(name)) return true;
  reportRefusal(ErrAction::kNoFileOperation, kInvalidGroupNameDetail);
  return false;
}

// ADMIN_PWD is read with unset meaning empty, so the worker always supplies a
// password text (a POST cannot lack it); REMOTE_USER is accepted. Over the
// web a refusal counts as a failed login of the client (and waits for its
// turn when failures are paced), a grant forgets the client's failures.
Access checkAdministrator(const WorkerContext& context) {
  const Access access = checkAccess(std::string_view(context.adminPassword), kPasswordPath, true);
  if (context.webRequest && access == Access::kRefused) countFailedLogin(context.cgi.remoteAddr);
  if (context.webRequest && access == Access::kGranted) forgetFailedLogins(context.cgi.remoteAddr);
  return access;
}

const std::string& WorkerContext::arg(size_t i) const {
  static const std::string kEmpty;
  return i < args.size() ? args[i] : kEmpty;
}

int runWorker(int argc, char** argv) {
  WorkerContext context = readRequestTexts(argc, argv);
  ::umask(kUmask);
  setUnitName(kWorkerUnit);
  installSignalHandlers();
  tightenInstance();
  if (context.cgi.queryString == "about") printAboutPage(kWorkerUnit, kWorkerVersion);
  loadWorkerSettings(context);
  raiseOpenFileLimit();
  if ((context.hasArg(0) && context.args[0] == "scheduler") ||
      context.cgi.queryString == "scheduler") {
    runSchedulerMode(context);
    return 0;
  }
  if (!context.hasArg(0)) context.args = metricsQueryWords(context.cgi.queryString);
  if (!context.hasArg(0)) return kExitNoCommand;
  return dispatchCommand(context);
}

}  // namespace vy
