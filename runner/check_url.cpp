// One URL's check and the "checkurl" command; see check_url.h.
#include "runner/check_url.h"

#include <sys/time.h>

#include <ctime>

#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "net/http.h"
#include "runner/match_content.h"
#include "runner/notify.h"
#include "store/check_log.h"
#include "store/group_file.h"
#include "store/group_name.h"

namespace vy {
namespace {

long millisecondsBetween(const timeval& start, const timeval& end) {
  return 1000L * (end.tv_sec - start.tv_sec) + (end.tv_usec - start.tv_usec) / 1000L;
}

// One fetch and its condensed status.
struct Fetch {
  HttpReply reply;
  int code = 0;
};

Fetch fetch(const std::string& url, int limit) {
  Fetch result;
  result.reply = httpGet(url, limit, kRequestSeconds);
  result.code = replyStatus(result.reply).code;
  return result;
}

bool hasContentCheck(const GroupConfig& group, const UrlStatus& entry) {
  return (entry.checkBan() && group.banCount() > 0) || (entry.checkPres() && group.presCount() > 0);
}

// The address actually fetched: the query part is dropped when the group asks
// for it for this kind of URL.
std::string fetchAddress(const GroupConfig& group, const UrlStatus& entry) {
  std::string address(entry.url);
  const bool checked = entry.checkBan() || entry.checkPres();
  const uint8_t cutBit = checked ? kMoreQueryCutChecked : kMoreQueryCutPlain;
  if (group.moreOptions & cutBit) address = address.substr(0, address.find('?'));
  return address;
}

// Fetches up to RECHKUPTIME times while a page that was up keeps failing.
Fetch fetchWithRetries(const std::string& address, int limit, int retries, bool wasUp,
                       UrlStatus& entry) {
  Fetch last;
  for (int attempt = 0; attempt < (retries < 1 ? 1 : retries); ++attempt) {
    timeval start, end;
    gettimeofday(&start, nullptr);
    last = fetch(address, limit);
    gettimeofday(&end, nullptr);
    entry.responseMs = static_cast<uint32_t>(millisecondsBetween(start, end));
    if (isUpCode(last.code) || !wasUp) break;
  }
  return last;
}

// Follows at most two 301/302 answers; the last page fetched is kept.
void followRedirects(std::string address, int limit, Fetch& current) {
  for (int hop = 0; hop < kMaxRedirects && (current.code == 301 || current.code == 302); ++hop) {
    if (!current.reply.data) return;
    std::string target = findLocationHeader(*current.reply.data);
    if (target.empty()) return;
    address = resolveRedirect(address, target);
    current = fetch(address, limit);
  }
}

// Tests the content lists on the lower-cased page.
void testContents(const GroupConfig& group, UrlStatus& entry, std::string& page) {
  toLowerAscii(page);
  entry.curBanFound = false;
  if (entry.checkBan()) {
    for (int i = 0; i < group.banCount(); ++i) {
      if (matchContent(page, group.banContents[i])) {
        entry.curBanFound = true;
        entry.banIndex = static_cast<int16_t>(i);
        break;
      }
    }
  }
  entry.curPresOk = true;
  if (entry.checkPres()) {
    for (int i = 0; i < group.presCount(); ++i) {
      if (!matchContent(page, group.presContents[i])) {
        entry.curPresOk = false;
        entry.presIndex = static_cast<int16_t>(i);
        break;
      }
    }
  }
}

void beginCheck(UrlStatus& entry) {
  entry.prevUp = entry.curUp = entry.up();
  entry.prevBanFound = entry.curBanFound = entry.banFound();
  entry.prevPresOk = entry.curPresOk = entry.presOk();
  entry.previousCode = entry.changedCode = entry.resultCode;
}

bool wantsNotification(const GroupConfig& group, const UrlStatus& entry, bool firstCheck) {
  return (group.infUpTime() && entry.curUp != entry.prevUp) ||
         (group.infFndBan() && entry.curBanFound != entry.prevBanFound) ||
         (group.infFndPres() && entry.curPresOk != entry.prevPresOk) || firstCheck;
}

// Writes the new state back to the group file and the check log.
void recordResult(GroupConfig& group, int index, bool logIt) {
  const bool stored = group.urls[index].fileOffset != 0;
  logIt = logIt && group.writeLog();
  if (!stored && !logIt) return;
  std::lock_guard<std::mutex> lock(resultLock());
  if (stored) {
    int rc = updateUrlStatus(group, index);
    if (rc != 0) reportError(rc, "Update BaseUrl");
  }
  if (logIt) {
    int rc = appendCheckLog(group, index);
    if (rc != 0) reportError(rc, "Write Checklog");
  }
}

// The URL's own notification, then the group's batch once its last pending
// URL of the run is done. Only the check that brings pendingCount to 0 gets
// to the batch.
void notifyRecipient(const WorkerContext& context, GroupConfig& group, int index, bool notifyUrl) {
  const int failed = notifyUrl ? notifyChange(context, group, index) : 0;
  bool batchDue;
  {
    std::lock_guard<std::mutex> lock(resultLock());
    if (notifyUrl) {
      group.notifyFailed = failed != 0;
      group.notified = true;
    }
    batchDue = --group.pendingCount == 0 && group.notified && group.infType() == 4;
  }
  if (!batchDue) return;
  const int batchFailed = notifyChange(context, group, -1);
  std::lock_guard<std::mutex> lock(resultLock());
  group.notifyFailed = batchFailed != 0;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && lowerCopy(text.substr(0, prefix.size())) == prefix;
}

// "scheme:" at the start of a target: letters, digits, "+", "-", "." before a colon.
bool hasScheme(const std::string& target) {
  size_t colon = target.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = target[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
              (i > 0 &&
               (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::mutex& resultLock() {
  static std::mutex lock;
  return lock;
}

std::string findLocationHeader(const std::string& reply) {
  // The headers end with the blank line; each keeps its own line end.
  size_t headerEnd = reply.find("\r\n\r\n");
  std::string_view headers(reply.data(),
                           headerEnd == std::string::npos ? reply.size() : headerEnd + 2);
  for (size_t lineStart = headers.find('\n'); lineStart != std::string_view::npos;
       lineStart = headers.find('\n', lineStart + 1)) {
    std::string_view line = headers.substr(lineStart + 1);
    if (!startsWithNoCase(line, "location:")) continue;
    line.remove_prefix(9);
    while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) line.remove_prefix(1);
    size_t end = line.find_first_of("\r\n");
    if (end == std::string_view::npos) return {};  // the line was cut off by the size limit
    return std::string(line.substr(0, end));
  }
  return {};
}

std::string resolveRedirect(const std::string& base, const std::string& target) {
  if (hasScheme(target)) return target;
  const size_t hostStart = base.find("://") == std::string::npos ? 0 : base.find("://") + 3;
  const size_t pathStart = base.find_first_of("/?", hostStart);
  const std::string origin = base.substr(0, pathStart);
  const std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
  if (startsWith(target, "//")) return "http:" + target;
  if (startsWith(target, "/")) return origin + target;
  const std::string pathOnly = path.substr(0, path.find('?'));
  if (startsWith(target, "?")) return origin + (pathOnly.empty() ? "/" : pathOnly) + target;
  const size_t lastSlash = pathOnly.rfind('/');
  const std::string directory =
      lastSlash == std::string::npos ? "/" : pathOnly.substr(0, lastSlash + 1);
  return origin + directory + target;
}

int checkUrl(const WorkerContext& context, GroupConfig& group, int index) {
  UrlStatus& entry = group.urls[index];
  beginCheck(entry);
  const int limit =
      hasContentCheck(group, entry) ? context.settings.maxPageLength : kStatusOnlyLimit;
  const std::string address = fetchAddress(group, entry);
  Fetch result =
      fetchWithRetries(address, limit, context.settings.recheckUpTimes, entry.prevUp, entry);
  if (entry.checkBan() || entry.checkPres()) followRedirects(address, limit, result);

  entry.curUp = isUpCode(result.code);
  if (!entry.curUp || !result.reply.data) {
    entry.curBanFound = entry.curPresOk = false;
  } else {
    testContents(group, entry, *result.reply.data);
  }

  const bool firstCheck = entry.lastCheck == 0;
  const bool codeChanged = result.code != entry.resultCode;
  if (codeChanged) entry.changedCode = static_cast<int16_t>(result.code);
  const bool stateChanged = entry.up() != entry.curUp || entry.banFound() != entry.curBanFound ||
                            entry.presOk() != entry.curPresOk || firstCheck;

  entry.lastCheck = static_cast<uint32_t>(std::time(nullptr));
  entry.resultCode = static_cast<int16_t>(result.code);
  entry.setFlag(kUrlUp, entry.curUp);
  entry.setFlag(kUrlBanFound, entry.curBanFound);
  entry.setFlag(kUrlPresOk, entry.curPresOk);
  entry.batchMarked = false;
  recordResult(group, index, codeChanged || stateChanged);

  entry.resultBits =
      static_cast<uint8_t>((entry.up() ? kResultUp : 0) | (entry.banFound() ? kResultBanFound : 0) |
                           (entry.presOk() ? kResultPresOk : 0));
  const int resultBits = entry.resultBits;
  notifyRecipient(context, group, index,
                  stateChanged && wantsNotification(group, entry, firstCheck));
  return resultBits;
}

int runCheckUrlCommand(WorkerContext& context) {
  const bool hasGroup = context.hasArg(1);
  const std::string groupName = hasGroup ? context.arg(1) : kDefaultGroupName;
  GroupConfig group;
  parseGroupConfig(group, readStdinText());
  if (!acceptGroupArgument(groupName)) return kExitInvalidGroupName;
  if (group.urls.empty()) return -1;
  group.urls[0].fileOffset = kUnknownFileOffset;

  int index = 0;
  if (hasGroup) {
    const std::string wanted(group.urls[0].url);
    freeGroupConfig(group);
    int rc = accessGroupFile(groupName, group, 'r');
    if (rc != 0) reportError(rc, "Read group");
    for (int i = 0; i < group.urlCount(); ++i) {
      if (group.urls[i].url == wanted) {
        index = i;
        break;
      }
    }
  }
  if (group.urls.empty()) return index;

  HostTableScope hosts;
  group.groupName = groupName;
  return checkUrl(context, group, index);
}

}  // namespace vy
