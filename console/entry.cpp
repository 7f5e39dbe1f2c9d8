// The console's entry: the request, the first-run installation of the data
// directory, the administrator's login, the installation states and the
// command table.
//
// A fresh installation passes through its states request by request: the
// data directory is created, then the administrator chooses a user name and
// password, then the settings are saved once; only then do the commands run.
//
// Before any of that a request is weighed: one larger than the form reader
// takes is answered 413, and a command that changes something arrives only
// by POST (405 otherwise: a link or a page of another site cannot make a
// browser change anything with a GET). A change that the web server's login
// grants must also say it comes from one of the console's own pages.
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
#include "store/group_store.h"
#include "store/group_name.h"
#include "store/permissions.h"
#include "store/scheduler_file.h"
#include "store/settings.h"

namespace vy {
namespace {

constexpr float kProductVersion = 2.00072f;

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
  if (!makeDirectory(path, kDirectoryMode).ok()) {
    reportFatal(ErrAction::kCreateDirectory, path);
  }
}

// The first run: the data directory, its parts and the group "general".
void installDataDirectory() {
  makeDirectoryOrDie(kDataDir);
  makeDirectoryOrDie(kGroupDir);
  makeDirectoryOrDie(kCheckLogDir);
  makeDirectoryOrDie("./vydata/vytime");
  if (!createEmptyFile(kCheckTimePath, kFileMode).ok()) {
    reportFatal(ErrAction::kWriteFile, kCheckTimePath);
  }
  GroupConfig general = newGroupDefaults();
  StoreStatus rc = storeSettings(kDefaultGroupName, general);
  if (!rc.ok()) reportFatal(rc, "Set group settings");
}

// A settings file that exists but cannot be read ends the request; a missing
// one leaves the settings zero (the settings page follows).
void loadConsoleSettings(ConsoleRequest& request) {
  StoreStatus rc = loadSettings(request.settings, kSettingsPath);
  if (!rc.ok()) {
    if (isRegularFile(kSettingsPath)) reportFatal(rc, kSettingsPath);
    request.settings = Settings();
  }
  const Settings& s = request.settings;
  setDisplayZone(displayZoneFor(s));
}

// The pages' shared style sheet; without it the pages still work, unstyled.
std::string styleSheet() {
  std::string css;
  if (!readFileBytes(kStyleSheet, css).ok()) css.clear();
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

// Where a page was served from: scheme, host and port, as an origin names
// them (the port filled in when the scheme's default is meant).
struct SiteOrigin {
  std::string scheme;
  std::string host;
  std::string port;
  bool operator==(const SiteOrigin&) const = default;
};

// host[:port] with the scheme's default port when none is given.
SiteOrigin originOf(std::string scheme, std::string_view authority) {
  SiteOrigin origin{lowerCopy(scheme), "", scheme == "https" ? "443" : "80"};
  const size_t colon = authority.rfind(':');
  const bool hasPort = colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos;
  origin.host = lowerCopy(authority.substr(0, hasPort ? colon : authority.size()));
  if (hasPort) origin.port = std::string(authority.substr(colon + 1));
  return origin;
}

// The origin an Origin or Referer header names; none for "null" or anything
// that is not an absolute http(s) address.
std::optional<SiteOrigin> namedOrigin(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  const std::string name = lowerCopy(url.substr(0, scheme));
  if (name != "http" && name != "https") return std::nullopt;
  url.remove_prefix(scheme + 3);
  return originOf(name, url.substr(0, url.find_first_of("/?#")));
}

// The console's own origin, as the web server tells it: HTTPS (or
// REQUEST_SCHEME) for the scheme, the Host header for host and port.
SiteOrigin consoleOrigin(const ConsoleRequest& request) {
  const std::string https = lowerCopy(envText("HTTPS"));
  const bool secure = https == "on" || https == "1" || lowerCopy(envText("REQUEST_SCHEME")) == "https";
  return originOf(secure ? "https" : "http", request.httpHost);
}

// True when the request names where it was made (its Origin, or else its
// Referer) and that is the console's own scheme, host and port. A browser
// sends the web server's credentials with a request any other site makes it
// send, and a page can keep its Referer to itself, so a change granted on
// those credentials needs this proof; a request without it is refused.
bool fromOwnPage(const ConsoleRequest& request) {
  const std::string origin = envText("HTTP_ORIGIN");
  const std::optional<SiteOrigin> source =
      namedOrigin(origin.empty() ? envText("HTTP_REFERER") : origin);
  return source && *source == consoleOrigin(request);
}

void showRefusedRequest() {
  std::fputs("Status: 403 Forbidden\n", stdout);
  showLoginPage(
      "Refused: this change did not come from one of the console's own pages. Open the console at "
      "its own address and use its buttons.");
}

void showChangeByGetRefused() {
  std::fputs("Status: 405 Method Not Allowed\nAllow: POST\n", stdout);
  showLoginPage(
      "Refused: this request would change something, and the console takes changes only from its "
      "own forms, never from a link or an address opened in the browser. Open the console and use "
      "its buttons.");
}

void showTooLargeRequest() {
  std::fputs("Status: 413 Request Entity Too Large\n", stdout);
  showLoginPage("Refused: the request is larger than the console takes (at most 16 MB and 10,000 "
                "form fields). Nothing was read or changed.");
}

// False when the request ends here: no administrator yet (the password page),
// a password that is refused (the login page), or a changing request on the
// web server's credentials that does not come from the console's own page
// (refused).
bool admitted(ConsoleRequest& request, std::optional<std::string_view> password,
              const std::string& command) {
  switch (checkAccess(password, kPasswordPath, true)) {
    case Access::kGranted:
      if (checkAccess(password, kPasswordPath, false) != Access::kGranted &&
          changesSomething(command) && !fromOwnPage(request)) {
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
  ::umask(kUmask);
  setUnitName(kConsoleUnit);
  installSignalHandlers();
  if (!isDirectory(kDataDir)) installDataDirectory();
  tightenInstance();
  if (request.queryString == "about") printAboutPage(kConsoleUnit, kConsoleVersion);
  const RequestRead read = readRequest();
  setText("FRMACT", request.scriptName);
  setMarkup("VER", formatAlloc("%0.5f", static_cast<double>(kProductVersion)));
  setMarkup("STYLE", styleSheet());
  if (read == RequestRead::kTooLarge) {
    showTooLargeRequest();
    return 0;
  }
  loadConsoleSettings(request);

  const std::optional<std::string_view> password = formVarFind("apwd");
  const std::string command = formVarSelect("fnct", ':');
  setText("APWD", password.value_or(""));
  if (changesSomething(command) && envText("REQUEST_METHOD") != "POST") {
    showChangeByGetRefused();
    return 0;
  }
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
