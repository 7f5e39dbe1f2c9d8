// The check log of a group and the error log of both programs: shown, and
// cleared on request.
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
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
#include "store/group_config.h"
#include "store/group_name.h"
#include "store/group_store.h"

namespace vy {
namespace {

// The group the log pages are about; a name no group may have ends the
// request in the main view with a message.
bool logGroup(ConsoleRequest& request, Page& page, std::string& group) {
  group = request.form.value("group");
  if (isAcceptedGroupName(group)) return true;
  displayMain(request, page, kInvalidGroupNameMessage);
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

// --- Error log -------------------------------------------------------------------------

// The next line of the file with its line end, however long; false at the end.
bool readLine(std::FILE* file, std::string& line) {
  line.clear();
  for (int c; (c = getc_unlocked(file)) != EOF;) {
    line += static_cast<char>(c);
    if (c == '\n') return true;
  }
  return !line.empty();
}

void writeErrorTable(Page& page) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> log(std::fopen(kErrorLogPath, "re"), std::fclose);
  if (!log) return;
  page.write(htmlValue(formatAlloc("%-24s   %-15s   %-20s   %-15s   %-9s %-6s %-5s", "Time",
                                   "Module", "Action", "Where", "ErrNo", "Line", "Fatal")));
  ErrorLine fields;
  for (std::string line; readLine(log.get(), line);) {
    parseErrorLine(line, fields);
    page.write(errorRow(fields));
  }
}

// Reads the number at the start of text (blanks before it allowed) into
// value when there is one; true when the whole text was that number, so that
// the fields after it may be read as well.
template <typename Number>
bool readNumber(std::string_view text, Number& value) {
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  while (begin != end && (*begin == ' ' || *begin == '\t')) ++begin;
  Number read = 0;
  const std::from_chars_result result = std::from_chars(begin, end, read);
  if (result.ec != std::errc() || result.ptr == begin) return false;
  value = read;
  return result.ptr == end;
}

// The positions of every "|" of a line.
std::vector<size_t> barsOf(std::string_view text) {
  std::vector<size_t> bars;
  for (size_t at = text.find('|'); at != std::string_view::npos; at = text.find('|', at + 1)) {
    bars.push_back(at);
  }
  return bars;
}

// The text between two positions of the line: from behind `from` to `to`.
std::string_view between(std::string_view text, size_t from, size_t to) {
  return text.substr(from + 1, to == std::string_view::npos ? to : to - from - 1);
}

// --- Check log -------------------------------------------------------------------------

// The check switches of every URL the group holds now, by URL. A group that
// is gone (its log may outlive it) has none.
std::unordered_map<std::string, uint8_t> currentSwitches(const std::string& group) {
  std::unordered_map<std::string, uint8_t> switches;
  const GroupRead read = readGroup(group);
  if (!read.ok()) {
    const bool stored = isRegularFile(groupFilePath(effectiveGroupName(group)));
    if (stored) reportError(read.status, "Read group");
    return switches;
  }
  for (const UrlStatus& entry : read.group.urls) {
    switches.emplace(std::string(entry.url), entry.flags & (kUrlCheckBan | kUrlCheckPres));
  }
  return switches;
}

// A content column of a record: "-" when the URL does not test those texts
// now; as recorded when it does, or when the group no longer holds the URL
// (what it tested then is not known).
const char* contentColumn(const std::unordered_map<std::string, uint8_t>& switches,
                          const std::string& url, uint8_t test, bool value) {
  auto found = switches.find(url);
  if (found != switches.end() && (found->second & test) == 0) return "-";
  return yesNo(value);
}

bool pathExists(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

void setCheckLogRow(Page& page, const std::unordered_map<std::string, uint8_t>& switches,
                    const CheckLogEntry& entry) {
  page.setMarkup("TIMECHK", Markup(formatTime(entry.time)));
  page.setText("URL", entry.url);
  page.setMarkup("UPTIME", Markup(yesNo(entry.up())));
  page.setMarkup("FNDBAN",
                 Markup(contentColumn(switches, entry.url, kUrlCheckBan, entry.banFound())));
  page.setMarkup("FNDPRES",
                 Markup(contentColumn(switches, entry.url, kUrlCheckPres, entry.presOk())));
  page.setNumber("RETCODE", entry.status);
}

}  // namespace

std::vector<CheckLogEntry> checkLogOf(const std::string& group) {
  std::vector<CheckLogEntry> entries;
  const std::string path = checkLogPath(group);
  if (!pathExists(path)) return entries;
  if (!readCheckLog(group, entries).ok()) reportFatal(ErrAction::kReadFile, path);
  return entries;
}

void parseErrorLine(std::string_view text, ErrorLine& fields) {
  fields.detail.clear();
  fields.source.clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const std::vector<size_t> bars = barsOf(text);
  auto piece = [&](size_t i) {  // the i-th "|"-separated piece, to the end for the last
    const size_t to = i < bars.size() ? bars[i] : std::string_view::npos;
    return i == 0 ? text.substr(0, to) : between(text, bars[i - 1], to);
  };
  if (!readNumber(piece(0), fields.time) || bars.size() < 1 || !readNumber(piece(1), fields.line) ||
      bars.size() < 2 || !readNumber(piece(2), fields.action) || bars.size() < 3 ||
      !readNumber(piece(3), fields.errnoValue) || bars.size() < 4) {
    return;
  }
  if (bars.size() < 6) {  // too few "|" for all texts: what there is, in order
    fields.detail = piece(4);
    if (bars.size() == 5) fields.source = piece(5);
    return;
  }
  const size_t sourceStart = bars[bars.size() - 2], fatalStart = bars.back();
  fields.detail = between(text, bars[3], sourceStart);
  fields.source = between(text, sourceStart, fatalStart);
  (void)readNumber(text.substr(fatalStart + 1), fields.fatal);
}

std::string errorRow(const ErrorLine& f) {
  const std::string source = f.source.substr(0, kMaxLogField);
  const std::string detail = f.detail.substr(0, kMaxLogField);
  return htmlValue(formatAlloc("\n[%s] [%-15s] [%-20s] [%-15s] [%3s] [%4d] [%-3s]",
                               formatTime(f.time).c_str(), source.c_str(),
                               actionText(f.action).c_str(), detail.c_str(),
                               errnoText(f.errnoValue).c_str(), f.line, yesNo(f.fatal != 0)));
}

void showCheckLog(ConsoleRequest& request, Page& page) {
  std::string group;
  if (!logGroup(request, page, group)) return;
  page.setText("GROUP", group);
  const std::vector<CheckLogEntry> entries = checkLogOf(effectiveGroupName(group));
  const std::unordered_map<std::string, uint8_t> switches = currentSwitches(group);
  writePage(page, kCheckLogTemplate, kCheckLogSections, {kCheckLogHeader, kCheckLogFooter},
            [&](const PageTemplate& layout) {
              for (const CheckLogEntry& entry : entries) {
                setCheckLogRow(page, switches, entry);
                page.render(layout, kCheckLogRow);
              }
            });
}

void clearCheckLog(ConsoleRequest& request, Page& page) {
  std::string group;
  if (!logGroup(request, page, group)) return;
  page.setText("GROUP", group);
  removeOrDie(checkLogPath(effectiveGroupName(group)));
  page.setText("MSG", "Check Log Has Been Cleared");
  showGroupPage(request, page, group);
}

void showErrorLog(ConsoleRequest& request, Page& page) {
  page.setText("GROUP", request.form.value("group"));
  writePage(page, kErrorLogTemplate, kErrorLogSections, {kErrorLogHeader, kErrorLogFooter},
            [&](const PageTemplate&) { writeErrorTable(page); });
}

void clearErrorLog(ConsoleRequest& request, Page& page) {
  removeOrDie(kErrorLogPath);
  displayMain(request, page, "Error Log Has Been Cleared");
}

}  // namespace vy
