// vyconsole.cgi: the web console. This header holds what the pages share:
// the request a page serves, and the page operations each command runs. A
// page takes the request and the page it writes (page.h) and nothing else of
// the process, so that a test can serve requests against a data directory of
// its own.
#ifndef VANTRY_CONSOLE_CONSOLE_H_
#define VANTRY_CONSOLE_CONSOLE_H_

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "common/cgi.h"
#include "console/page.h"
#include "store/check_log.h"
#include "store/group_config.h"
#include "store/history.h"
#include "store/settings.h"

namespace vy {

inline constexpr const char* kConsoleUnit = "vyconsole";
inline constexpr const char* kConsoleVersion = "2.00.044";
inline constexpr const char* kInvalidGroupNameMessage = "Invalid group name";

// One request: its CGI variables, its form and the settings.
struct ConsoleRequest {
  CgiEnvironment cgi;
  Form form;
  bool tooLarge = false;  // larger than the form reader takes (nothing of it was read)
  Settings settings;
  // The live session the request goes on with, which its page carries in
  // apwd; empty on the web server's login alone and before the login.
  std::string session;
  // The time the request is served at, taken once where the request is
  // read: every figure of its page is of this moment.
  std::time_t now = 0;
};

// Serves a request read already: the whole console after its start. The data
// directory and the templates are those of the working directory.
void serveRequest(ConsoleRequest& request, Page& page);

// Sets NOERR = "disabled" when there is no error log to show.
void markMissingErrorLog(Page& page);

// A form switch: on when the form variable begins with "1".
bool formSwitch(const Form& form, std::string_view name);

// A group name a page may act on: the empty name (the default group) or a
// valid one. A page refuses any other with kInvalidGroupNameMessage.
bool isAcceptedGroupName(std::string_view name);

// --- Pages -------------------------------------------------------------------------------

// The main view: the one group's page when there is exactly one group, the
// groups overview otherwise. With a message, MSG is set first.
void displayMain(ConsoleRequest& request, Page& page);
void displayMain(ConsoleRequest& request, Page& page, std::string_view message);
// The groups overview acting on `action` ("update", "delete", "setup",
// "view" with the form variable group; "add" shows the new-group form).
void showGroupsPage(ConsoleRequest& request, Page& page, std::string_view action);

// How well a group does on one count, from all good to critical.
enum class Grade : int { kNone = 0, kAllGood, kGood, kFair, kPoor, kBad, kCritical };
Grade statusGrade(int count, int total, bool inverted);
Grade checkGrade(float averageAge, int checkInterval);
// The grade as a word, for those who do not see the colour.
const char* gradeText(Grade grade);
// "Yes" or "No", as the pages show a state bit.
inline const char* yesNo(bool value) { return value ? "Yes" : "No"; }

// One group's URLs, after the form's action.
void showGroupPage(ConsoleRequest& request, Page& page, const std::string& group);

enum class EditorMode { kNormal, kContentEdit };
// The settings editor of the form variable group.
void showGroupEditor(ConsoleRequest& request, Page& page, std::string_view message,
                     EditorMode mode);
// What a store of the editor form does besides storing the settings.
enum class GroupEdit {
  kStore,             // nothing more
  kEditText,          // then edit the selected text
  kDeleteText,        // delete the selected text
  kAddOrReplaceText,  // add a text, or replace the one being edited
  kSendTestMessage,   // send a test message through the stored settings
};
// Stores the editor form. An edit of a text of each list, and an empty text,
// are refused with a message and nothing is stored.
void updateGroupSettings(ConsoleRequest& request, Page& page, GroupEdit edit);

// The settings page from a record, or from the submitted form.
void showSetupPage(ConsoleRequest& request, Page& page, const Settings& settings, bool fromForm);
void showDefaultSetup(ConsoleRequest& request, Page& page);
void saveSetup(ConsoleRequest& request, Page& page);
void controlScheduler(ConsoleRequest& request, Page& page);

// The user name and password page, and the command that stores them.
void showPasswordPage(ConsoleRequest& request, Page& page, std::string_view message = {});
void updatePassword(ConsoleRequest& request, Page& page);

// The address as a link only when it is an http:// or https:// address; any
// other scheme (javascript:, data:, ...) is shown as text and never made a
// link. `shown` is the address made safe for the page.
Markup urlLink(std::string_view url, const std::string& shown);

// The check histories of the group's URLs, in their order, read at once (the
// empty group name is the default group); a history that cannot be read is
// logged and shows as empty.
std::vector<UrlHistory> readUrlHistories(const std::string& group,
                                         const std::vector<UrlStatus>& urls);

// The same read handed to a visitor record by record (url indexes into urls),
// for a page that folds the records rather than keeps them.
void visitUrlHistories(const std::string& group, const std::vector<UrlStatus>& urls,
                       HistoryVisitor& visitor);

// One URL of a group (the form variables group and url) with its check
// history; a URL the group does not hold is refused on the group's page.
void showUrlPage(ConsoleRequest& request, Page& page);

// The records of a group's check log (the group's effective name); none
// when there is no log. A log that is there but cannot be read ends the
// request with a fatal report.
std::vector<CheckLogEntry> checkLogOf(const std::string& group);

void showCheckLog(ConsoleRequest& request, Page& page);
void clearCheckLog(ConsoleRequest& request, Page& page);
void showErrorLog(ConsoleRequest& request, Page& page);
void clearErrorLog(ConsoleRequest& request, Page& page);

void showHelpPage(ConsoleRequest& request, Page& page);

// The whole program: returns the exit status.
int runConsole();

}  // namespace vy

#endif  // VANTRY_CONSOLE_CONSOLE_H_
