// The console's entry: the request, the first-run installation of the data
// directory, the administrator's login, the installation states and the
// command table.
//
// A fresh installation passes through its states request by request: the
// data directory is created, then the administrator chooses a user name and
// password, then the settings are saved once; only then do the commands run.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "common/about.h"
#include "common/cgi.h"
#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/signals.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_file.h"
#include "store/group_name.h"
#include "store/settings.h"

namespace vy {
namespace {

constexpr float kProductVersion = 2.00072f;
constexpr mode_t kDirectoryMode = 0777;
constexpr const char* kCheckTimeFile = "./vydata/vytime/check";

struct ConsoleCommand {
  std::string_view name;
  void (*run)(ConsoleRequest&);
};

constexpr ConsoleCommand kCommandTable[] = {
    {"display_main", [](ConsoleRequest& r) { displayMain(r); }},
    {"edit_group", [](ConsoleRequest& r) { showGroupEditor(r, "", EditorMode::kNormal); }},
    {"view_error", showErrorLog},
    {"clear_checklog", clearCheckLog},
    {"clear_error", clearErrorLog},
    {"display_chpass", [](ConsoleRequest& r) { showPasswordPage(r); }},
    {"update_pass", updatePassword},
    {"view_group", [](ConsoleRequest& r) { showGroupPage(r, formVar("group")); }},
    {"update_group", [](ConsoleRequest& r) { updateGroupSettings(r, 's'); }},
    {"update_group_edit", [](ConsoleRequest& r) { updateGroupSettings(r, 'e'); }},
    {"update_group_delete", [](ConsoleRequest& r) { updateGroupSettings(r, 'd'); }},
    {"update_group_cont", [](ConsoleRequest& r) { updateGroupSettings(r, 'u'); }},
    {"view_groups", [](ConsoleRequest& r) { showGroupsPage(r, formVar("ACTION")); }},
    {"add_group", [](ConsoleRequest& r) { showGroupsPage(r, "add"); }},
    {"setup_save", saveSetup},
    {"setup", [](ConsoleRequest& r) { showSetupPage(r, r.settings, false); }},
    {"view_checklog", showCheckLog},
    {"help", showHelpPage},
    {"setup_sched", controlScheduler},
};

// Runs the command of that name; false when the table has none.
bool dispatchCommand(std::string_view command, ConsoleRequest& request) {
  for (const ConsoleCommand& entry : kCommandTable) {
    if (entry.name == command) {
      entry.run(request);
      return true;
    }
  }
  return false;
}

ConsoleRequest readRequestEnvironment() {
  ConsoleRequest request;
  request.queryString = envText("QUERY_STRING");
  request.scriptName = envText("SCRIPT_NAME");
  request.remoteUser = envText("REMOTE_USER");
  request.httpHost = envText("HTTP_HOST");
  return request;
}

void makeDirectoryOrDie(const std::string& path) {
  if (makeDirectory(path, kDirectoryMode) != ErrAction::kOk) {
    reportFatal(ErrAction::kCreateDirectory, path);
  }
}

// The first run: the data directory, its parts and the group "general".
void installDataDirectory() {
  makeDirectoryOrDie(kDataDir);
  makeDirectoryOrDie(kGroupDir);
  makeDirectoryOrDie(kCheckLogDir);
  makeDirectoryOrDie("./vydata/vytime");
  if (createEmptyFile(kCheckTimeFile, 0666) != ErrAction::kOk) {
    reportFatal(ErrAction::kWriteFile, kCheckTimeFile);
  }
  GroupConfig general = newGroupDefaults();
  ErrAction rc = accessGroupFile(kDefaultGroupName, general, GroupMode::kStoreSettings);
  if (rc != ErrAction::kOk) reportFatal(rc, "Set group settings");
}

// A settings file that exists but cannot be read ends the request; a missing
// one leaves the settings zero (the settings page follows).
void loadConsoleSettings(ConsoleRequest& request) {
  ErrAction rc = loadSettings(request.settings, kSettingsPath);
  if (rc != ErrAction::kOk) {
    if (isRegularFile(kSettingsPath)) reportFatal(rc, kSettingsPath);
    request.settings = Settings();
  }
  const Settings& s = request.settings;
  setDisplayZone({s.zoneOffset, s.daylightSaving(), s.zoneName});
}

// The pages' shared style sheet; without it the pages still work, unstyled.
std::string styleSheet() {
  std::string css;
  if (readFileBytes(kStyleSheet, css) != ErrAction::kOk) css.clear();
  return css;
}

void showLoginPage(std::string_view message) {
  setText("MSG", message);
  printContentType();
  renderTemplateFile(kLoginTemplate, pageVars(), stdout, false);
}

// The way back to the main view: a link when the web server authenticates
// the administrator, else a button of the page's form (which carries apwd).
std::string backMarkup(const ConsoleRequest& request) {
  if (!request.remoteUser.empty()) {
    return "<font face=\"Verdana\" size=\"2\"><b><a href=\"" + htmlValue(request.scriptName) +
           "\"> Main Page </a></b></font>";
  }
  return "<input type=\"submit\" name=\"submit\" value=\"  Main Page  \">";
}

// The commands that change something; any other command only shows, unless
// its ACTION is one of kChangingActions.
constexpr std::string_view kChangingCommands[] = {
    "clear_checklog",      "clear_error",       "update_pass", "update_group", "update_group_edit",
    "update_group_delete", "update_group_cont", "setup_save",  "setup_sched"};
constexpr std::string_view kChangingActions[] = {"update", "delete", "check"};

bool changesSomething(std::string_view command) {
  const std::string& action = formVar("ACTION");
  return std::find(std::begin(kChangingCommands), std::end(kChangingCommands), command) !=
             std::end(kChangingCommands) ||
         std::find(std::begin(kChangingActions), std::end(kChangingActions), action) !=
             std::end(kChangingActions);
}

// The host (and port) a URL names: what follows "scheme://" up to the path.
std::string hostOf(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return "";
  url.remove_prefix(scheme + 3);
  return lowerCopy(url.substr(0, url.find_first_of("/?#")));
}

// True when the request says where it was made (its Origin, or else its
// Referer) and that is not the console's own host. A browser sends the web
// server's credentials with a request any other site makes it send, so a
// changing request on those credentials must come from the console's pages.
bool fromAnotherSite(const ConsoleRequest& request) {
  const std::string origin = envText("HTTP_ORIGIN");
  const std::string source = origin.empty() ? envText("HTTP_REFERER") : origin;
  return !source.empty() && hostOf(source) != lowerCopy(request.httpHost);
}

void showRefusedRequest() {
  std::fputs("Status: 403 Forbidden\n", stdout);
  showLoginPage(
      "Refused: the request came from another site. Open the console at its own address and try "
      "again.");
}

// False when the request ends here: no administrator yet (the password page),
// a password that is refused (the login page), or a changing request made
// from another site on the web server's credentials (refused).
bool admitted(ConsoleRequest& request, std::optional<std::string_view> password,
              const std::string& command) {
  switch (checkAccess(password, kPasswordPath, true)) {
    case Access::kGranted:
      if (checkAccess(password, kPasswordPath, false) != Access::kGranted &&
          changesSomething(command) && fromAnotherSite(request)) {
        showRefusedRequest();
        return false;
      }
      return true;
    case Access::kNoPasswordFile:
      if (command == "update_pass") {
        updatePassword(request);
      } else {
        showPasswordPage(request);
      }
      return false;
    case Access::kRefused:
      showLoginPage(command.empty() ? "" : "Invalid Password");
      return false;
  }
  return false;
}

}  // namespace

int runConsole() {
  // Pages of large groups run to megabytes: they leave in large blocks (the
  // C library sizes a buffer it allocates itself by the output's block size).
  static char outputBuffer[size_t{1} << 16];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  ConsoleRequest request = readRequestEnvironment();
  ::umask(static_cast<mode_t>(~0666 & 0777));
  setUnitName(kConsoleUnit);
  installSignalHandlers();
  if (!isDirectory(kDataDir)) installDataDirectory();
  if (request.queryString == "about") printAboutPage(kConsoleUnit, kConsoleVersion);
  readRequest();
  loadConsoleSettings(request);

  const std::optional<std::string_view> password = formVarFind("apwd");
  const std::string command = formVarSelect("fnct", ':');
  setText("APWD", password.value_or(""));
  setText("FRMACT", request.scriptName);
  setMarkup("VER", formatAlloc("%0.5f", static_cast<double>(kProductVersion)));
  setMarkup("STYLE", styleSheet());
  if (command != "help" && !admitted(request, password, command)) return 0;
  setMarkup("BACK", backMarkup(request));

  if (!isRegularFile(kSettingsPath)) {
    printContentType();
    if (command == "setup_save") {
      request.settings = Settings();
      saveSetup(request);
    } else {
      showDefaultSetup(request);
    }
    return 0;
  }
  printContentType();
  if (command.empty()) {
    displayMain(request);
  } else if (!dispatchCommand(command, request)) {
    reportFatal(ErrAction::kExecution, command);
  }
  return 0;
}

}  // namespace vy
