// Failure reporting shared by both programs.
//
// Every failure ends up in reportError: one line appended to the error log
// ./vydata/error.log and, for a fatal failure, a short "Software error" page
// (or plain text outside a web request) and exit status 1. The ErrAction codes
// below name the failed step; they double as the return codes of the file and
// store helpers, which never report by themselves.
#ifndef VANTRY_COMMON_ERRORS_H_
#define VANTRY_COMMON_ERRORS_H_

#include <ctime>
#include <source_location>
#include <string>
#include <string_view>

namespace vy {

// ErrAction: the operation that failed (0 means success).
enum ErrAction : int {
  kOk = 0,
  kErrReadFile = 1,
  kErrWriteFile = 2,
  kErrCreateDirectory = 3,
  kErrAllocation = 4,
  kErrExecution = 5,
  kErrAppendFile = 6,
  kErrRemoveFile = 7,
  kErrLockFile = 8,
  kErrUnlockFile = 9,
  kErrOpenDir = 10,
  kErrChangePermissions = 11,
  kErrShortRead = 12,
  kErrShortWrite = 13,
};

// The text of an ErrAction; "Unknown" for codes outside 0..13.
const char* errActionText(int action);

// Values of reportError's display argument.
inline constexpr int kShowAlways = 1;
inline constexpr int kShowIfFatal = 2;

inline constexpr const char* kErrorLogPath = "./vydata/error.log";

// The unit name of the running program ("vyrunner" or "vyconsole"); it is the
// source field of every log line and the Unit line of the detail block.
void setUnitName(const char* unit);
const char* unitName();

// The full report. Does not return when fatal is non-zero: the process exits
// with status 1 through exit(), so buffered page output is flushed first.
void reportError(int action, std::string_view detail, int line, int fatal, std::string_view source,
                 int display, int log, const char* logPath);

// The report every site of both programs makes: display ShowIfFatal, log on,
// the standard log path, this program's unit name, the caller's line.
void reportError(int action, std::string_view detail, bool fatal = false,
                 std::source_location site = std::source_location::current());

[[noreturn]] void reportFatal(int action, std::string_view detail,
                              std::source_location site = std::source_location::current());

// One error-log line, newline included: "%lu|%d|%d|%d|%s|%s|%d\n". The detail
// and source are made safe for the one-line, seven-field record: '|' becomes
// '!', CR and LF become blanks, and an empty text is written as "-".
std::string formatErrorLine(std::time_t when, int line, int action, int errnoValue,
                            std::string_view detail, std::string_view source, int fatal);

// Prints "Content-type: text/html" and the blank line that ends the CGI
// header, the first time only.
void printContentType();
bool contentTypePrinted();

// True when the environment holds HTTP_HOST or REMOTE_ADDR (a web request).
bool isWebRequest();

}  // namespace vy

#endif  // VANTRY_COMMON_ERRORS_H_
