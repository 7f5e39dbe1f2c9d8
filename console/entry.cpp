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
//
// A password login starts a session (store/sessions.h): the pages carry its
// value in apwd from then on, never the password. A request with a live
// session is the administrator's, and since no other site can know the value
// it is also the proof that a change comes from the console's own pages.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
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
#include "store/group_name.h"
#include "store/group_store.h"
#include "store/login_throttle.h"
#include "store/permissions.h"
#include "store/scheduler_file.h"
#include "store/sessions.h"
#include "store/settings.h"

namespace vy {
namespace {

constexpr float kProductVersion = 2.00072f;
constexpr std::string_view kLogOutCommand = "logout";

void logOut(ConsoleRequest& request, Page& page);

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
    {"update_group_test", true,
     [](ConsoleRequest& r, Page& p) { updateGroupSettings(r, p, GroupEdit::kSendTestMessage); }},
    {"view_groups", false,
     [](ConsoleRequest& r, Page& p) { showGroupsPage(r, p, r.form.value("ACTION")); }},
    {"add_group", false, [](ConsoleRequest& r, Page& p) { showGroupsPage(r, p, "add"); }},
    {"setup_save", true, saveSetup},
    {"setup", false, [](ConsoleRequest& r, Page& p) { showSetupPage(r, p, r.settings, false); }},
    {"view_checklog", false, showCheckLog},
    {"view_url", false, showUrlPage},
    {"help", false, showHelpPage},
    {"setup_sched", true, controlScheduler},
    {kLogOutCommand, true, logOut},
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

// True when the form's apwd is a live session, which the request then goes
// on with (its last use moving to now). A password or an ended session is
// none; a session file that cannot be used is logged and lets no one in.
bool resumeSession(ConsoleRequest& request) {
  const std::string& value = request.form.value("apwd");
  const StoreStatus used = useSession(kSessionsPath, value, std::time(nullptr));
  if (!used.ok()) {
    if (used.code != StoreCode::kNotFound) reportError(used, kSessionsPath);
    return false;
  }
  request.session = value;
  return true;
}

// A password login: the session its pages carry from now on.
void startSession(ConsoleRequest& request) {
  const StoreStatus started = createSession(kSessionsPath, std::time(nullptr), request.session);
  if (!started.ok()) reportFatal(started, kSessionsPath);
}

// The login page after a refused apwd: a session value that no longer lives
// says so, a password is "Invalid Password" (a first visit, without a
// command, only shows the form).
std::string_view refusedApwdMessage(const ConsoleRequest& request, const std::string& command) {
  if (sessionHashOf(request.form.value("apwd")))
    return "Your session has ended. Please log in again.";
  return command.empty() ? "" : "Invalid Password";
}

// Ends the request's session; the login page follows (on the web server's
// login alone there is no session, and the browser keeps that login).
void logOut(ConsoleRequest& request, Page& page) {
  const StoreStatus ended = endSession(kSessionsPath, request.session, std::time(nullptr));
  if (!ended.ok()) reportError(ended, kSessionsPath);
  request.session.clear();
  page.setText("APWD", "");
  showLoginPage(page, "You have logged out.");
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

// A client that failed too often is refused before its password is looked
// at, the right one included (429, logged at most once a minute).
bool refusedForFailedLogins(const ConsoleRequest& request, Page& page) {
  const std::chrono::seconds left = loginRefusal(request.cgi.remoteAddr);
  if (left.count() == 0) return false;
  reportRefusal(ErrAction::kNoFileOperation, "Too many failed logins");
  page.write("Status: 429 Too Many Requests\nRetry-After: " + std::to_string(left.count()) + "\n");
  showLoginPage(page, refusalMessage(left));
  return true;
}

// False when the request ends here: no administrator yet (the password page),
// a client refused for its failed logins (429), a password that is refused
// (the login page, after its turn when failures are paced), or a changing
// request on the web server's credentials that does not come from the
// console's own page (refused). A live session is admitted at once; a
// password that is granted starts one. Only a password sent counts as a
// login: a session value that ended is no guess.
bool admitted(ConsoleRequest& request, Page& page, const std::string& command) {
  if (isRegularFile(kPasswordPath) && resumeSession(request)) return true;
  const std::optional<std::string_view> password = request.form.find("apwd");
  const bool login = password && !password->empty() && !sessionHashOf(*password);
  if (login && refusedForFailedLogins(request, page)) return false;
  AccessClaim claim{password, request.cgi.method == "POST", request.cgi.remoteUser};
  switch (checkAccess(claim, kPasswordPath, true)) {
    case Access::kGranted:
      if (login) forgetFailedLogins(request.cgi.remoteAddr);
      if (request.cgi.remoteUser.empty() ||
          checkAccess(claim, kPasswordPath, false) == Access::kGranted) {
        startSession(request);
        return true;
      }
      if (changesSomething(request, command) && !fromOwnPage(request.cgi)) {
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
      if (login) countFailedLogin(request.cgi.remoteAddr);
      showLoginPage(page, refusedApwdMessage(request, command));
      return false;
  }
  return false;
}

// The variables every page shows, whatever it is.
void setCommonVariables(const ConsoleRequest& request, Page& page) {
  page.setText("FRMACT", request.cgi.scriptName);
  page.setMarkup("VER", Markup(formatAlloc("%0.5f", static_cast<double>(kProductVersion))));
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
  if (request.cgi.method == "GET" && request.cgi.queryString == "style") {
    page.writeStyleSheet(styleSheet());
    return;
  }
  setCommonVariables(request, page);
  if (request.tooLarge) {
    showTooLargeRequest(page);
    return;
  }
  loadConsoleSettings(request);
  const std::string command = request.form.select("fnct", ':');
  if (changesSomething(request, command) && request.cgi.method != "POST") {
    showChangeByGetRefused(page);
    return;
  }
  if (command == "help") {
    resumeSession(request);  // help is open to all; only a live session goes on in its page
  } else if (!admitted(request, page, command)) {
    return;
  }
  page.setText("APWD", request.session);
  page.setMarkup("BACK", backMarkup(request.cgi));
  if (command == kLogOutCommand) {
    logOut(request, page);
    return;
  }
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
  request.now = std::time(nullptr);
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
