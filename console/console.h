// vyconsole.cgi: the web console. This header holds what the pages share:
// the request a page serves, and the page operations each command runs. A
// page takes the request and the page it writes (page.h) and nothing else of
// the process, so that a test can serve requests against a data directory of
// its own.
#ifndef VANTRY_CONSOLE_CONSOLE_H_
#define VANTRY_CONSOLE_CONSOLE_H_

#include <string>
#include <string_view>

#include "common/cgi.h"
#include "console/page.h"
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

void showCheckLog(ConsoleRequest& request, Page& page);
void clearCheckLog(ConsoleRequest& request, Page& page);
void showErrorLog(ConsoleRequest& request, Page& page);
void clearErrorLog(ConsoleRequest& request, Page& page);

void showHelpPage(ConsoleRequest& request, Page& page);

// The whole program: returns the exit status.
int runConsole();

}  // namespace vy

#endif  // VANTRY_CONSOLE_CONSOLE_H_
