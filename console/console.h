// vyconsole.cgi: the web console. This header holds what the pages share:
// the request a page serves, the page variables and how they are set, and the
// page operations each command runs.
//
// Every page is a template of ./vytpl/ filled from one variable list. A value
// that comes from a user, a file or the request goes into a page only through
// setText, which escapes it for HTML; setMarkup is for values that are markup
// by design (the back button, comment markers, option lists the program built).
#ifndef VANTRY_CONSOLE_CONSOLE_H_
#define VANTRY_CONSOLE_CONSOLE_H_

#include <span>
#include <string>
#include <string_view>

#include "common/templates.h"
#include "store/settings.h"

namespace vy {

inline constexpr const char* kConsoleUnit = "vyconsole";
inline constexpr const char* kConsoleVersion = "2.00.044";
inline constexpr const char* kInvalidGroupNameMessage = "Invalid group name";

// One request: the CGI variables the console reads once, and the settings.
struct ConsoleRequest {
  std::string queryString;
  std::string scriptName;
  std::string remoteUser;
  std::string httpHost;
  Settings settings;
};

// --- Page variables and rendering ----------------------------------------------------

// The one variable list of the request.
TemplateVars& pageVars();
void setText(std::string_view name, std::string_view text);  // HTML-escaped
void setMarkup(std::string_view name, std::string markup);   // as it is
void setNumber(std::string_view name, long long value);

// Loads a page template of ./vytpl/ cut into the table's sections; a missing
// template is a fatal report.
PageTemplate loadPage(const char* file, std::span<const SectionMarkers> table);
void renderPart(const PageTemplate& page, size_t section);

// Sets NOERR = "disabled" when there is no error log to show.
void markMissingErrorLog();

// A form switch: on when the form variable begins with "1".
bool formSwitch(std::string_view name);

// A group name a page may act on: the empty name (the default group) or a
// valid one. A page refuses any other with kInvalidGroupNameMessage.
bool isAcceptedGroupName(std::string_view name);

// --- Pages -------------------------------------------------------------------------------

// The main view: the one group's page when there is exactly one group, the
// groups overview otherwise. With a message, MSG is set first.
void displayMain(ConsoleRequest& request);
void displayMain(ConsoleRequest& request, std::string_view message);
// The groups overview acting on `action` ("update", "delete", "setup",
// "view" with the form variable group; "add" shows the new-group form).
void showGroupsPage(ConsoleRequest& request, std::string_view action);
// Grades from 1 (best) to 6 (worst), 0 for none.
int statusGrade(int count, int total, bool inverted);
int checkGrade(float averageAge, int checkInterval);
// The grade as a word, for those who do not see the colour.
const char* gradeText(int grade);

// One group's URLs, after the form's action.
void showGroupPage(ConsoleRequest& request, const std::string& group);

enum class EditorMode { kNormal, kContentEdit };
// The settings editor of the form variable group.
void showGroupEditor(ConsoleRequest& request, std::string_view message, EditorMode mode);
// Stores the editor form: 's' store, 'e' store and edit the selected text,
// 'd' delete the selected text, 'u' add or replace a text. An edit of a text
// of each list, and an empty text, are refused with a message and nothing is
// stored.
void updateGroupSettings(ConsoleRequest& request, char operation);

// The settings page from a record, or from the submitted form.
void showSetupPage(ConsoleRequest& request, const Settings& settings, bool fromForm);
void showDefaultSetup(ConsoleRequest& request);
void saveSetup(ConsoleRequest& request);
void controlScheduler(ConsoleRequest& request);

// The user name and password page, and the command that stores them.
void showPasswordPage(ConsoleRequest& request, std::string_view message = {});
void updatePassword(ConsoleRequest& request);

void showCheckLog(ConsoleRequest& request);
void clearCheckLog(ConsoleRequest& request);
void showErrorLog(ConsoleRequest& request);
void clearErrorLog(ConsoleRequest& request);

void showHelpPage(ConsoleRequest& request);

// The whole program: returns the exit status.
int runConsole();

}  // namespace vy

#endif  // VANTRY_CONSOLE_CONSOLE_H_
