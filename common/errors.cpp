// Failure reporting: the error-log line, the "Software error" output and the
// fatal exit. See errors.h for the contract.
#include "common/errors.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/cgi.h"
#include "common/error_log.h"
#include "common/refusals.h"
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

// strerror without its locale and buffer, so that the signal handler can use it.
void addErrnoText(ReportText& out, int errnoValue, bool html) {
  if (const char* message = strerrordesc_np(errnoValue)) {
    out.addShown(message, html);
    return;
  }
  out.add("Unknown error ");
  out.addNumber(errnoValue);
}

}  // namespace

const char* errActionText(ErrAction action) {
  const int number = actionNumber(action);
  if (number < 0 || number > actionNumber(ErrAction::kShortWrite)) return "Unknown";
  return kActionTexts[number];
}

void setUnitName(const char* unit) { g_unitName = unit; }
const char* unitName() { return g_unitName; }

bool isWebRequest() { return hasWebClient(); }

// --- Report texts ---------------------------------------------------------------

void ReportText::add(std::string_view text) {
  if (grow_) {
    grow_->append(text);
    return;
  }
  size_t n = std::min(text.size(), capacity_ - length_);
  std::memcpy(fixed_ + length_, text.data(), n);
  length_ += n;
}

void ReportText::addNumber(long long value) {
  char digits[24];
  size_t n = sizeof digits;
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  do {
    digits[--n] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[--n] = '-';
  add(std::string_view(digits + n, sizeof digits - n));
}

void ReportText::addLogField(std::string_view text) {
  if (text.empty()) {
    add("-");
    return;
  }
  for (char c : text.substr(0, kMaxLogFieldBytes)) {
    if (c == '|') c = '!';
    if (c == '\r' || c == '\n') c = ' ';
    add(std::string_view(&c, 1));
  }
}

void ReportText::addHtml(std::string_view text) {
  for (char c : text) {
    const char* entity = htmlEntity(c);
    const std::string_view piece = entity ? std::string_view(entity) : std::string_view(&c, 1);
    if (!fits(piece.size())) return;
    add(piece);
  }
}

std::string_view ReportText::view() const {
  return grow_ ? std::string_view(*grow_) : std::string_view(fixed_, length_);
}

void addErrorLine(ReportText& out, std::time_t when, int line, ErrAction action, int errnoValue,
                  std::string_view detail, std::string_view source, bool fatal) {
  out.addNumber(static_cast<long long>(static_cast<unsigned long>(when)));
  out.add("|");
  out.addNumber(line);
  out.add("|");
  out.addNumber(actionNumber(action));
  out.add("|");
  out.addNumber(errnoValue);
  out.add("|");
  out.addLogField(detail);
  out.add("|");
  out.addLogField(source);
  out.add(fatal ? "|1\n" : "|0\n");
}

std::string formatErrorLine(std::time_t when, int line, ErrAction action, int errnoValue,
                            std::string_view detail, std::string_view source, bool fatal) {
  std::string text;
  ReportText out(text);
  addErrorLine(out, when, line, action, errnoValue, detail, source, fatal);
  return text;
}

void addSoftwareError(ReportText& out, bool html, bool withHeader, std::string_view serverAdmin) {
  if (!html) {
    out.add("Software error");
    return;
  }
  if (withHeader) out.add("Content-type: text/html\n\n");
  out.add("<H1>Software error.</H1>\nFor help, please send mail to this site's webmaster ");
  out.add("<a href=\"mailto:");
  out.addHtml(serverAdmin);
  out.add("\">");
  out.addHtml(serverAdmin);
  out.add(
      "</a><br>\n<br>If you are webmaster of this site, more information you can see in error "
      "log.\n");
}

void addErrorDetails(ReportText& out, bool html, const ErrorDetails& d) {
  if (html) out.add("<pre>");
  out.add("\nError Action      :  ");
  out.addNumber(actionNumber(d.action));
  out.add(" - ");
  out.addShown(errActionText(d.action), html);
  out.add("\nError Number      :  ");
  out.addNumber(d.errnoValue);
  out.add(" - ");
  addErrnoText(out, d.errnoValue, html);
  out.add("\nFile/Variable/More:  ");
  out.addShown(d.detail, html);
  out.add("\nLine              :  ");
  out.addNumber(d.line);
  out.add("\nSource            :  ");
  out.addShown(d.source, html);
  out.add("\nUnit              :  ");
  out.addShown(g_unitName, html);
  out.add(d.fatal ? "\nIs Fatal Error    :  yes\n" : "\nIs Fatal Error    :  no\n");
}

// --- Reports ----------------------------------------------------------------------

void reportError(ErrAction action, std::string_view detail, ReportOptions options,
                 ReportSite site) {
  const int errnoValue = errno;
  const int line = options.line != 0 ? options.line : site.line;
  const std::string_view source = options.source.empty() ? g_unitName : options.source;
  bool logFailed = false;
  if (options.log) {
    logFailed =
        !logErrorLine(options.logPath, formatErrorLine(std::time(nullptr), line, action,
                                                       errnoValue, detail, source, options.fatal));
    errno = errnoValue;
  }
  const bool show = options.display == Display::kAlways ||
                    (options.display == Display::kIfFatal && options.fatal);
  if (show) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    const bool html = isWebRequest();
    const bool withHeader = html && !g_contentTypePrinted.exchange(true);
    std::string page;
    ReportText out(page);
    addSoftwareError(out, html, withHeader, envText("SERVER_ADMIN"));
    if (logFailed) {
      addErrorDetails(out, html, {action, errnoValue, detail, line, source, options.fatal});
    }
    std::fwrite(page.data(), 1, page.size(), stdout);
    std::fflush(stdout);
  }
  if (options.fatal) {
    std::fflush(stdout);
    _exit(1);
  }
}

void reportFatal(ErrAction action, std::string_view detail, ReportSite site) {
  ReportOptions options;
  options.fatal = true;
  reportError(action, detail, options, site);
  _exit(1);  // not reached: a fatal report ends the process
}

void reportRefusal(ErrAction action, std::string_view detail, ReportSite site) {
  const int errnoValue = errno;
  const RefusalVerdict verdict = admitRefusal(
      kRefusalsPath, refusalKey(g_unitName, actionNumber(action), detail), std::time(nullptr));
  errno = errnoValue;  // the report tells the errno of the refusal, not of the state file
  if (!verdict.log) return;
  reportError(action, refusalDetail(detail, verdict.leftOut), {}, site);
}

void printContentType() {
  if (g_contentTypePrinted.exchange(true)) return;
  std::fputs("Content-type: text/html\n\n", stdout);
  std::fflush(stdout);
}

bool contentTypePrinted() { return g_contentTypePrinted.load(); }

}  // namespace vy
