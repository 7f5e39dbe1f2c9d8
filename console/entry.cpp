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
#include "store/data_directory.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/group_name.h"
#include "store/permissions.h"
#include "store/scheduler_file.h"
#include "store/settings.h"

namespace vy {
namespace {

constexpr float kProductVersion = 2.00072f;

// A command of the form's fnct, and whether it changes something (such a
// command is taken only by POST and, on the web server's login, only from
// the console's own pages).
struct ConsoleCommand {
  std::string_view name;
  bool changes;
  void (*run)(ConsoleRequest&, Page&);
};

constexpr ConsoleCommand kCommandTable[] = {
    {"display_main", false, [](ConsoleRequest& r, Page& p) { displayMain(r, p); }},
    {"edit_group", false,
     [](ConsoleRequest& r, Page& p) { showGroupEditor(r, p, "", EditorMode::kNormal); }},
    {"view_error", false, showErrorLog},
    {"clear_checklog", true, clearCheckLog},
    {"clear_error", true, clearErrorLog},
    {"display_chpass", false, [](ConsoleRequest& r, Page& p) { showPasswordPage(r, p); }},
    {"update_pass", true, updatePassword},
    {"view_group", false,
     [](ConsoleRequest& r, Page& p) { showGroupPage(r, p, r.form.value("group")); }},
    {"update_group", true,
     [](ConsoleRequest& r, Page& p) { updateGroupSettings(r, p, GroupEdit::kStore); }},
    {"update_group_edit", true,
     [](ConsoleRequest& r, Page& p) { updateGroupSettings(r, p, GroupEdit::kEditText); }},
    {"update_group_delete", true,
     [](ConsoleRequest& r, Page& p) { updateGroupSettings(r, p, GroupEdit::kDeleteText); }},
    {"update_group_cont", true,
     [](ConsoleRequest& r, Page& p) { updateGroupSettings(r, p, GroupEdit::kAddOrReplaceText); }},
    {"view_groups", false,
     [](ConsoleRequest& r, Page& p) { showGroupsPage(r, p, r.form.value("ACTION")); }},
    {"add_group", false, [](ConsoleRequest& r, Page& p) { showGroupsPage(r, p, "add"); }},
    {"setup_save", true, saveSetup},
    {"setup", false, [](ConsoleRequest& r, Page& p) { showSetupPage(r, p, r.settings, false); }},
    {"view_checklog", false, showCheckLog},
    {"help", false, showHelpPage},
    {"setup_sched", true, controlScheduler},
};

const ConsoleCommand* findCommand(std::string_view name) {
  for (const ConsoleCommand& entry : kCommandTable) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
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

void showLoginPage(Page& page, std::string_view message) {
  page.setText("MSG", message);
  writeFilePage(page, kLoginTemplate);
}

// The way back to the main view: a link when the web server authenticates
// the administrator, else a button of the page's form (which carries apwd).
Markup backMarkup(const CgiEnvironment& cgi) {
  if (!cgi.remoteUser.empty()) {
    return Markup("<font face=\"Verdana\" size=\"2\"><b><a href=\"" + htmlValue(cgi.scriptName) +
                  "\"> Main Page </a></b></font>");
  }
  return Markup("<input type=\"submit\" name=\"submit\" value=\"  Main Page  \">");
}

// The actions of the group pages that change something, whatever command
// carries them (the main view shows the overview with the form's ACTION).
constexpr std::string_view kChangingActions[] = {"update", "delete", "check"};

bool changesSomething(const ConsoleRequest& request, std::string_view command) {
  const ConsoleCommand* entry = findCommand(command);
  const std::string& action = request.form.value("ACTION");
  return (entry && entry->changes) ||
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
SiteOrigin consoleOrigin(const CgiEnvironment& cgi) {
  const std::string https = lowerCopy(cgi.https);
  const bool secure = https == "on" || https == "1" || lowerCopy(cgi.requestScheme) == "https";
  return originOf(secure ? "https" : "http", cgi.httpHost);
}

// True when the request names where it was made (its Origin, or else its
// Referer) and that is the console's own scheme, host and port. A browser
// sends the web server's credentials with a request any other site makes it
// send, and a page can keep its Referer to itself, so a change granted on
// those credentials needs this proof; a request without it is refused.
bool fromOwnPage(const CgiEnvironment& cgi) {
  const std::optional<SiteOrigin> source =
      namedOrigin(cgi.origin.empty() ? cgi.referer : cgi.origin);
  return source && *source == consoleOrigin(cgi);
}

void showRefusedRequest(Page& page) {
  page.write("Status: 403 Forbidden\n");
  showLoginPage(
      page,
      "Refused: this change did not come from one of the console's own pages. Open the console at "
      "its own address and use its buttons.");
}

void showChangeByGetRefused(Page& page) {
  page.write("Status: 405 Method Not Allowed\nAllow: POST\n");
  showLoginPage(
      page,
      "Refused: this request would change something, and the console takes changes only from its "
      "own forms, never from a link or an address opened in the browser. Open the console and use "
      "its buttons.");
}

void showTooLargeRequest(Page& page) {
  page.write("Status: 413 Request Entity Too Large\n");
  showLoginPage(page,
                "Refused: the request is larger than the console takes (at most 16 MB and 10,000 "
                "form fields). Nothing was read or changed.");
}

// False when the request ends here: no administrator yet (the password page),
// a password that is refused (the login page), or a changing request on the
// web server's credentials that does not come from the console's own page
// (refused).
bool admitted(ConsoleRequest& request, Page& page, const std::string& command) {
  const std::optional<std::string_view> password = request.form.find("apwd");
  AccessClaim claim{password, request.cgi.method == "POST", request.cgi.remoteUser};
  switch (checkAccess(claim, kPasswordPath, true)) {
    case Access::kGranted:
      if (checkAccess(claim, kPasswordPath, false) != Access::kGranted &&
          changesSomething(request, command) && !fromOwnPage(request.cgi)) {
        showRefusedRequest(page);
        return false;
      }
      return true;
    case Access::kNoPasswordFile:
      if (command == "update_pass") {
        updatePassword(request, page);
      } else {
        showPasswordPage(request, page);
      }
      return false;
    case Access::kRefused:
      showLoginPage(page, command.empty() ? "" : "Invalid Password");
      return false;
  }
  return false;
}

// The variables every page shows, whatever it is.
void setCommonVariables(const ConsoleRequest& request, Page& page) {
  page.setText("FRMACT", request.cgi.scriptName);
  page.setMarkup("VER", Markup(formatAlloc("%0.5f", static_cast<double>(kProductVersion))));
  page.setMarkup("STYLE", Markup(styleSheet()));
}

// An installation whose settings were never saved shows the settings page,
// whatever was asked, until they are.
void serveUnsavedInstallation(ConsoleRequest& request, Page& page, const std::string& command) {
  page.writeContentType();
  if (command == "setup_save") {
    request.settings = Settings();
    saveSetup(request, page);
  } else {
    showDefaultSetup(request, page);
  }
}

}  // namespace

void serveRequest(ConsoleRequest& request, Page& page) {
  setCommonVariables(request, page);
  if (request.tooLarge) {
    showTooLargeRequest(page);
    return;
  }
  loadConsoleSettings(request);
  const std::string command = request.form.select("fnct", ':');
  page.setText("APWD", request.form.find("apwd").value_or(""));
  if (changesSomething(request, command) && request.cgi.method != "POST") {
    showChangeByGetRefused(page);
    return;
  }
  if (command != "help" && !admitted(request, page, command)) return;
  page.setMarkup("BACK", backMarkup(request.cgi));
  if (!isRegularFile(kSettingsPath)) {
    serveUnsavedInstallation(request, page, command);
    return;
  }
  page.writeContentType();
  if (command.empty()) {
    displayMain(request, page);
  } else if (const ConsoleCommand* entry = findCommand(command)) {
    entry->run(request, page);
  } else {
    reportFatal(ErrAction::kExecution, command);
  }
}

int runConsole() {
  // Pages of large groups run to megabytes: they leave in large blocks (the
  // C library sizes a buffer it allocates itself by the output's block size).
  static char outputBuffer[size_t{1} << 16];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  ConsoleRequest request;
  request.cgi = readCgiEnvironment();
  ::umask(kUmask);
  setUnitName(kConsoleUnit);
  installSignalHandlers();
  prepareDataDirectory();
  tightenInstance();
  if (request.cgi.queryString == "about") printAboutPage(kConsoleUnit, kConsoleVersion);
  request.tooLarge = readRequest(request.form) == RequestRead::kTooLarge;
  Page page(stdout);
  serveRequest(request, page);
  return 0;
}

}  // namespace vy
