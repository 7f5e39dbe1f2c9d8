// The check log of a group and the error log of both programs: shown, and
// cleared on request.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "console/console.h"
#include "console/page_parts.h"
#include "console/page_templates.h"
#include "store/check_log.h"
#include "store/group_name.h"

namespace vy {
namespace {

constexpr size_t kLogLinePiece = 254;  // a line is read in pieces of at most this many bytes

const char* yesNo(bool value) { return value ? "Yes" : "No"; }

// The group the log pages are about; a name no group may have ends the
// request in the main view with a message.
bool logGroup(ConsoleRequest& request, std::string& group) {
  group = formVar("group");
  if (isAcceptedGroupName(group)) return true;
  displayMain(request, kInvalidGroupNameMessage);
  return false;
}

void removeOrDie(const std::string& path) {
  if (isRegularFile(path) && ::unlink(path.c_str()) != 0) {
    reportFatal(ErrAction::kRemoveFile, path);
  }
}

std::string actionText(int action) {
  if (action >= 0 && action <= actionNumber(ErrAction::kShortWrite)) {
    return errActionText(static_cast<ErrAction>(action));
  }
  if (action >= 120 && action <= 139) return formatAlloc("Corrupted file (%d)", action);
  return std::to_string(action);
}

std::string errnoText(int errnoValue) {
  std::string text = std::strerror(errnoValue);
  return text.substr(0, text.find('\n'));
}

void printErrorTable() {
  std::FILE* log = std::fopen(kErrorLogPath, "re");
  if (!log) return;
  std::fputs(htmlValue(formatAlloc("%-24s   %-15s   %-20s   %-15s   %-9s %-6s %-5s", "Time",
                                   "Module", "Action", "Where", "ErrNo", "Line", "Fatal"))
                 .c_str(),
             stdout);
  ErrorLine fields;
  char piece[kLogLinePiece + 1];
  while (std::fgets(piece, sizeof piece, log)) {
    parseErrorLine(piece, fields);
    std::fputs(errorRow(fields).c_str(), stdout);
  }
  std::fclose(log);
}

}  // namespace

void parseErrorLine(const char* text, ErrorLine& fields) {
  fields.detail[0] = fields.source[0] = '\0';
  std::sscanf(text, "%ld|%d|%d|%d|%63[^|]|%63[^|]|%d", &fields.time, &fields.line, &fields.action,
              &fields.errnoValue, fields.detail, fields.source, &fields.fatal);
}

std::string errorRow(const ErrorLine& f) {
  return htmlValue(formatAlloc("\n[%s] [%-15s] [%-20s] [%-15s] [%3s] [%4d] [%-3s]",
                               formatTime(f.time).c_str(), f.source, actionText(f.action).c_str(),
                               f.detail, errnoText(f.errnoValue).c_str(), f.line,
                               yesNo(f.fatal != 0)));
}

void showCheckLog(ConsoleRequest& request) {
  std::string group;
  if (!logGroup(request, group)) return;
  setText("GROUP", group);
  PageTemplate page = loadPage(kCheckLogTemplate, kCheckLogSections);
  printContentType();
  renderPart(page, kCheckLogHeader);
  std::vector<CheckLogEntry> entries;
  (void)readCheckLog(effectiveGroupName(group), entries);  // no log: no rows
  for (const CheckLogEntry& entry : entries) {
    setMarkup("TIMECHK", formatTime(entry.time));
    setText("URL", entry.url);
    setMarkup("UPTIME", yesNo(entry.up()));
    setMarkup("FNDBAN", yesNo(entry.banFound()));
    setMarkup("FNDPRES", yesNo(entry.presOk()));
    setNumber("RETCODE", entry.status);
    renderPart(page, kCheckLogRow);
  }
  renderPart(page, kCheckLogFooter);
}

void clearCheckLog(ConsoleRequest& request) {
  std::string group;
  if (!logGroup(request, group)) return;
  setText("GROUP", group);
  removeOrDie(checkLogPath(effectiveGroupName(group)));
  setText("MSG", "Check Log Has Been Cleared");
  showGroupPage(request, group);
}

void showErrorLog(ConsoleRequest&) {
  setText("GROUP", formVar("group"));
  PageTemplate page = loadPage(kErrorLogTemplate, kErrorLogSections);
  printContentType();
  renderPart(page, kErrorLogHeader);
  printErrorTable();
  renderPart(page, kErrorLogFooter);
}

void clearErrorLog(ConsoleRequest& request) {
  removeOrDie(kErrorLogPath);
  displayMain(request, "Error Log Has Been Cleared");
}

}  // namespace vy
