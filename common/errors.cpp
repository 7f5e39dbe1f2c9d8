// Failure reporting: the error-log line, the "Software error" output and the
// fatal exit. See errors.h for the contract.
#include "common/errors.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/text.h"

namespace vy {
namespace {

constexpr const char* kActionTexts[] = {
    "OK",
    "Read file",
    "Write file",
    "Create directory",
    "Allocation memory",
    "Execution file",
    "Append file",
    "Removing file",
    "Lock file",
    "Unlock file",
    "Open dir",
    "Change permissions",
    "Read from the streem",
    "Write to the streem",
};

const char* g_unitName = "vyrunner";
std::atomic<bool> g_contentTypePrinted{false};
std::mutex g_outputMutex;  // keeps the pages of two failing threads apart

// Replaces the bytes that would break the one-line record.
std::string logSafe(std::string_view text) {
  if (text.empty()) return "-";
  std::string safe(text);
  for (char& c : safe) {
    if (c == '|') c = '!';
    if (c == '\r' || c == '\n') c = ' ';
  }
  return safe;
}

// Appends one line with a single write, so that lines of concurrent threads
// and processes never mix. Returns false when the log cannot be opened.
bool appendLogLine(const char* logPath, const std::string& line) {
  int fd = ::open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;  // a short write to the log has nowhere else to go
  ::close(fd);
  return true;
}

void printSoftwareError(bool html) {
  if (!html) {
    std::fputs("Software error", stdout);
    return;
  }
  printContentType();
  const std::string admin = envText("SERVER_ADMIN");
  std::printf(
      "<H1>Software error.</H1>\nFor help, please send mail to this site's webmaster "
      "<a href=\"mailto:%s\">%s</a><br>\n",
      admin.c_str(), admin.c_str());
  std::fputs("<br>If you are webmaster of this site, more information you can see in error log.\n",
             stdout);
}

// Shown only when the log line was lost, so that the details survive.
void printDetails(bool html, int action, int errnoValue, std::string_view detail, int line,
                  std::string_view source, int fatal) {
  if (html) std::fputs("<pre>", stdout);
  std::printf("\nError Action      :  %d - %s\n", action, errActionText(action));
  std::printf("Error Number      :  %d - %s\n", errnoValue, std::strerror(errnoValue));
  std::printf("File/Variable/More:  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::printf("Line              :  %d\n", line);
  std::printf("Source            :  %.*s\n", static_cast<int>(source.size()), source.data());
  std::printf("Unit              :  %s\n", g_unitName);
  std::printf("Is Fatal Error    :  %s\n", fatal ? "yes" : "no");
}

}  // namespace

const char* errActionText(int action) {
  if (action < 0 || action > kErrShortWrite) return "Unknown";
  return kActionTexts[action];
}

void setUnitName(const char* unit) { g_unitName = unit; }
const char* unitName() { return g_unitName; }

bool isWebRequest() { return std::getenv("HTTP_HOST") || std::getenv("REMOTE_ADDR"); }

std::string formatErrorLine(std::time_t when, int line, int action, int errnoValue,
                            std::string_view detail, std::string_view source, int fatal) {
  std::string safeDetail = logSafe(detail);
  std::string safeSource = logSafe(source);
  char head[96];
  std::snprintf(head, sizeof head, "%lu|%d|%d|%d|", static_cast<unsigned long>(when), line, action,
                errnoValue);
  return std::string(head) + safeDetail + "|" + safeSource + "|" + std::to_string(fatal) + "\n";
}

void reportError(int action, std::string_view detail, int line, int fatal, std::string_view source,
                 int display, int log, const char* logPath) {
  const int errnoValue = errno;
  bool logFailed = false;
  if (log) {
    logFailed = !appendLogLine(logPath, formatErrorLine(std::time(nullptr), line, action,
                                                        errnoValue, detail, source, fatal));
  }
  const bool show = display == kShowAlways || (display == kShowIfFatal && fatal > 0);
  if (show) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    const bool html = isWebRequest();
    printSoftwareError(html);
    if (logFailed) printDetails(html, action, errnoValue, detail, line, source, fatal);
    std::fflush(stdout);
  }
  if (fatal) std::exit(1);
}

void reportError(int action, std::string_view detail, bool fatal, std::source_location site) {
  reportError(action, detail, static_cast<int>(site.line()), fatal ? 1 : 0, g_unitName,
              kShowIfFatal, 1, kErrorLogPath);
}

void reportFatal(int action, std::string_view detail, std::source_location site) {
  reportError(action, detail, true, site);
  std::exit(1);  // not reached: a fatal report exits
}

void printContentType() {
  if (g_contentTypePrinted.exchange(true)) return;
  std::fputs("Content-type: text/html\n\n", stdout);
  std::fflush(stdout);
}

bool contentTypePrinted() { return g_contentTypePrinted.load(); }

}  // namespace vy
