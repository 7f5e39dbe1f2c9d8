// Failure reporting shared by both programs.
//
// Every failure ends up in reportError: one line appended to the error log
// ./vydata/error.log (kept below a size limit, see error_log.h) and, for a
// fatal failure, a short "Software error" page (or plain text outside a web
// request) and exit status 1. ErrAction is the log line's action field
// only: the number that names the failed step in the log.
//
// Operations answer with a code of their own domain (FileCode, StoreCode,
// HttpError, MailError, the access check), usually in a Status (status.h),
// and never report by themselves; a code reaches the log only through the
// logAction or named conversion its own header offers, and the numbers
// written to the log are the same as they always were.
#ifndef VANTRY_COMMON_ERRORS_H_
#define VANTRY_COMMON_ERRORS_H_

#include <cerrno>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

#include "common/status.h"

namespace vy {

// The operation that failed. The numbers are the error log's action field.
enum class ErrAction : int {
  kNoPasswordFile = -1,  // a refused request while no administrator exists; "Unknown"
  kOk = 0,
  kNoFileOperation = 0,  // the action of a report that concerns no file
  kReadFile = 1,
  kWriteFile = 2,
  kCreateDirectory = 3,
  kAllocation = 4,
  kExecution = 5,
  kAppendFile = 6,
  kRemoveFile = 7,
  kLockFile = 8,
  kUnlockFile = 9,
  kOpenDir = 10,
  kChangePermissions = 11,
  kShortRead = 12,
  kShortWrite = 13,
  // Numbers that only failed mails carry; the log page shows them as "Unknown".
  kMailCloseProgram = 14,
  kMailUnknown = 15,
  kMailTimeout = 16,
};

inline constexpr int actionNumber(ErrAction action) { return static_cast<int>(action); }

// The text of an action; "Unknown" for numbers outside 0..13.
[[nodiscard]] const char* errActionText(ErrAction action);

inline constexpr const char* kErrorLogPath = "./vydata/error.log";

// The unit name of the running program ("vyrunner" or "vyconsole"); it is the
// source field of every log line and the Unit line of the detail block.
void setUnitName(const char* unit);
const char* unitName();

// When a report shows the "Software error" output.
enum class Display { kNever = 0, kAlways = 1, kIfFatal = 2 };

// Everything of a report but its action and detail. Every site of both
// programs uses the defaults: shown only when fatal, logged to the error log,
// this program's unit name, the reporting site's source line.
struct ReportOptions {
  bool fatal = false;
  Display display = Display::kIfFatal;
  bool log = true;
  const char* logPath = kErrorLogPath;
  std::string_view source{};  // empty: unitName()
  int line = 0;               // 0: the line of the reporting site
};

// The source line of a reporting site, taken where the call is written (as
// std::source_location would, which clang 14 cannot build with this
// system's C++ library; the fuzz builds use clang 14).
struct ReportSite {
  int line = 0;
  static constexpr ReportSite current(int line = __builtin_LINE()) { return ReportSite{line}; }
};

// Appends the log line and shows what the options ask for. A fatal report
// flushes standard output and ends the whole process at once with status 1
// (other threads may still be running, so no static is destroyed).
void reportError(ErrAction action, std::string_view detail, ReportOptions options = {},
                 ReportSite site = ReportSite::current());

[[noreturn]] void reportFatal(ErrAction action, std::string_view detail,
                              ReportSite site = ReportSite::current());

// A refused request (a wrong password, a name no group may have, a command the
// web may not run): logged as a non-fatal report, except that a refusal
// repeated with the same unit, action and detail is logged at most once a
// minute; the line of a later minute counts the refusals left out before it
// (see refusals.h). Anyone who reaches the programs can make them refuse, so
// this keeps strangers from filling the error log.
void reportRefusal(ErrAction action, std::string_view detail,
                   ReportSite site = ReportSite::current());

// The same for a failed status: the line's action is the number the code's
// own domain gives it (its logAction, found beside the code), its errno the one
// the status saw when it has one. The number is chosen here, when the line is
// written, and nowhere else.
template <typename Code>
void reportError(const Status<Code>& status, std::string_view detail, ReportOptions options = {},
                 ReportSite site = ReportSite::current()) {
  if (status.errnoValue != 0) errno = status.errnoValue;
  reportError(logAction(status.code), detail, options, site);
}

template <typename Code>
[[noreturn]] void reportFatal(const Status<Code>& status, std::string_view detail,
                              ReportSite site = ReportSite::current()) {
  if (status.errnoValue != 0) errno = status.errnoValue;
  reportFatal(logAction(status.code), detail, site);
}

template <typename Code>
void reportRefusal(const Status<Code>& status, std::string_view detail,
                   ReportSite site = ReportSite::current()) {
  if (status.errnoValue != 0) errno = status.errnoValue;
  reportRefusal(logAction(status.code), detail, site);
}

// Prints "Content-type: text/html" and the blank line that ends the CGI
// header, the first time only.
void printContentType();
bool contentTypePrinted();

// True when a browser is connected (hasWebClient of cgi.h).
bool isWebRequest();

// --- Report texts ---------------------------------------------------------------

// A text that grows into a std::string, or fills a fixed buffer without ever
// allocating (cut at its end): the fatal-signal handler builds the very texts
// of reportError in a fixed buffer on its stack.
class ReportText {
 public:
  explicit ReportText(std::string& grow) : grow_(&grow) {}
  ReportText(char* buffer, size_t capacity) : fixed_(buffer), capacity_(capacity) {}

  void add(std::string_view text);
  void addNumber(long long value);
  // As add, with '|' turned into '!' and CR and LF into blanks, the empty
  // text written as "-" and a text longer than kMaxLogFieldBytes cut there:
  // the one-line, seven-field log record stays parseable whatever the text
  // holds, and a stranger's long text cannot make one line fill the log.
  void addLogField(std::string_view text);
  // As add, with & < > " ' written as HTML entities; a fixed buffer takes an
  // entity whole or not at all.
  void addHtml(std::string_view text);
  // addHtml when html, else add.
  void addShown(std::string_view text, bool html) { html ? addHtml(text) : add(text); }
  std::string_view view() const;

 private:
  bool fits(size_t size) const { return grow_ || capacity_ - length_ >= size; }

  std::string* grow_ = nullptr;
  char* fixed_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
};

// The longest detail or source a log line holds.
inline constexpr size_t kMaxLogFieldBytes = 1024;

// One error-log line, newline included: "%lu|%d|%d|%d|%s|%s|%d\n".
void addErrorLine(ReportText& out, std::time_t when, int line, ErrAction action, int errnoValue,
                  std::string_view detail, std::string_view source, bool fatal);
std::string formatErrorLine(std::time_t when, int line, ErrAction action, int errnoValue,
                            std::string_view detail, std::string_view source, bool fatal);

// The "Software error" page (with the CGI header when withHeader; every text
// in it HTML-escaped) or, outside a web request, the plain text.
void addSoftwareError(ReportText& out, bool html, bool withHeader, std::string_view serverAdmin);

// The details shown only when the log line was lost, so that they survive;
// in HTML every text is escaped (the detail may be a stranger's text).
struct ErrorDetails {
  ErrAction action;
  int errnoValue;
  std::string_view detail;
  int line;
  std::string_view source;
  bool fatal;
};
void addErrorDetails(ReportText& out, bool html, const ErrorDetails& details);

}  // namespace vy

#endif  // VANTRY_COMMON_ERRORS_H_
