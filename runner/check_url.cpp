// One URL's check and the "checkurl" command; see check_url.h.
#include "runner/check_url.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "net/http.h"
#include "runner/certificate_expiry.h"
#include "runner/match_content.h"
#include "runner/notify.h"
#include "store/check_log.h"
#include "store/group_name.h"
#include "store/group_store.h"
#include "store/history.h"
#include "store/history_digest.h"

namespace vy {
namespace {

// One fetch and its condensed status.
struct Fetch {
  HttpReply reply;
  int code = 0;
};

Fetch fetch(const std::string& url, int limit, const HostTable& hosts) {
  Fetch result;
  result.reply = httpGet(url, limit, hosts);
  result.code = replyStatus(result.reply).code;
  return result;
}

bool hasContentCheck(const GroupConfig& group, const UrlStatus& entry) {
  return (entry.checkBan() && group.banCount() > 0) || (entry.checkPres() && group.presCount() > 0);
}

// MAXLENPAGE as the settings hold it, but never more than the limit the
// settings page keeps to (a negative size would read without any limit).
int pageLimit(const Settings& settings) {
  const int32_t size = settings.maxPageLength;
  return size < 0 || size > kMaxPageLengthLimit ? kMaxPageLengthLimit : size;
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
// The response time is measured on the monotonic clock, so a step of the
// wall clock during the fetch does not distort it.
Fetch fetchWithRetries(const std::string& address, int limit, const HostTable& hosts, int retries,
                       bool wasUp, UrlStatus& entry) {
  using Clock = std::chrono::steady_clock;
  Fetch last;
  for (int attempt = 0; attempt < (retries < 1 ? 1 : retries); ++attempt) {
    const Clock::time_point start = Clock::now();
    last = fetch(address, limit, hosts);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    entry.responseMs = static_cast<uint32_t>(took.count());
    if (isUpCode(last.code) || !wasUp) break;
  }
  return last;
}

// Follows at most two 301/302 answers; the last page fetched is kept.
void followRedirects(std::string address, int limit, const HostTable& hosts, Fetch& current) {
  for (int hop = 0; hop < kMaxRedirects && (current.code == 301 || current.code == 302); ++hop) {
    if (!current.reply.data) return;
    std::string target = findLocationHeader(*current.reply.data);
    if (target.empty()) return;
    address = resolveRedirect(address, target);
    current = fetch(address, limit, hosts);
  }
}

// The index of the first content whose match on the page is `outcome`.
std::optional<int16_t> firstContentWith(const std::vector<std::string_view>& contents,
                                        std::string_view page, ContentMatch outcome) {
  for (size_t i = 0; i < contents.size(); ++i) {
    if (matchContent(page, contents[i]) == outcome) return static_cast<int16_t>(i);
  }
  return std::nullopt;
}

// Tests the content lists on the lower-cased page.
void testContents(const GroupConfig& group, UrlStatus& entry, UrlCheck& check, LargeText& page) {
  toLowerAscii(page.data(), page.size());
  const std::string_view text(page.data(), page.size());
  check.curBanFound = false;
  if (entry.checkBan()) {
    if (auto found = firstContentWith(group.banContents, text, ContentMatch::kMatched)) {
      check.curBanFound = true;
      entry.banIndex = *found;
    }
  }
  check.curPresOk = true;
  if (entry.checkPres()) {
    if (auto missing = firstContentWith(group.presContents, text, ContentMatch::kMissed)) {
      check.curPresOk = false;
      entry.presIndex = *missing;
    }
  }
}

void beginCheck(const UrlStatus& entry, UrlCheck& check) {
  check.prevUp = check.curUp = entry.up();
  check.prevBanFound = check.curBanFound = entry.banFound();
  check.prevPresOk = check.curPresOk = entry.presOk();
  check.previousCode = check.changedCode = entry.resultCode;
}

bool wantsNotification(const GroupConfig& group, const UrlCheck& check, bool firstCheck) {
  return (group.infUpTime() && check.curUp != check.prevUp) ||
         (group.infFndBan() && check.curBanFound != check.prevBanFound) ||
         (group.infFndPres() && check.curPresOk != check.prevPresOk) || firstCheck;
}

// Writes the new state back to the group file (when the entry belongs to a
// stored group) and the check log; the URL owes the batch nothing yet.
void recordResult(CheckShared& shared, GroupRun& run, int index, bool logIt) {
  GroupConfig& group = run.group;
  std::lock_guard<std::mutex> lock(shared.resultLock);
  run.checks[index].batchMarked = false;
  if (group.urls[index].fileOffset != 0) {
    StoreStatus rc = writeUrlStatus(run.handle, group.urls, static_cast<size_t>(index));
    if (!rc.ok()) reportError(rc, "Update BaseUrl");
  }
  if (logIt && group.writeLog()) {
    StoreStatus rc = appendCheckLog(run.handle.name, group.urls[index]);
    if (!rc.ok()) reportError(rc, "Write Checklog");
  }
}

// Appends the check to the group's history, through the run's queue.
// Outside the result lock: the history file has its own lock, and other
// threads' status write-backs need not wait for the append (nor for a
// compaction it makes).
void recordHistory(GroupRun& run, const UrlStatus& entry) {
  if (run.historyUrls.empty()) return;
  HistoryQueue& queue = run.history;
  const KeyedCheck record{historyUrlKey(entry.url), historyCheckFor(entry)};
  std::vector<KeyedCheck> batch;
  {
    std::lock_guard<std::mutex> lock(queue.lock);
    queue.pending.push_back(record);
    if (queue.writing) return;
    queue.writing = true;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(queue.lock);
      batch.clear();
      batch.swap(queue.pending);
      if (batch.empty()) {
        queue.writing = false;
        return;
      }
    }
    const HistoryWrite write =
        appendHistoryChecks(run.handle.name, run.historyUrls, batch, std::time(nullptr));
    if (write.status.ok()) {
      std::lock_guard<std::mutex> lock(queue.lock);
      queue.recorded = true;
    }
    if (!write.damage.ok()) reportError(write.damage, historyPath(run.handle.name));
    if (!write.status.ok()) reportError(write.status, historyPath(run.handle.name));
  }
}

// The URL's own notification, then the group's batch once its last pending
// URL of the run is done. Only the check that brings pendingCount to 0 gets
// to the batch. Once a notification of the run has failed, the group counts
// as failed, whatever later ones do.
void notifyRecipient(CheckShared& shared, GroupRun& run, int index, bool notifyUrl) {
  const NotifyResult result = notifyUrl ? notifyChange(shared, run, index) : NotifyResult::kDone;
  bool batchDue;
  {
    std::lock_guard<std::mutex> lock(shared.resultLock);
    if (notifyUrl) {
      run.notifyFailed = run.notifyFailed || result == NotifyResult::kFailed;
      run.notified = true;
    }
    batchDue = --run.pendingCount == 0 && run.notified && gathersChanges(notifyType(run.group));
  }
  if (!batchDue) return;
  const NotifyResult batch = notifyChange(shared, run, -1);
  std::lock_guard<std::mutex> lock(shared.resultLock);
  run.notifyFailed = run.notifyFailed || batch == NotifyResult::kFailed;
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

// A URL checked with the settings of the text sent goes into the history
// only when the stored group holds it: the history keeps the stored URLs'
// records, and a text's own list must not decide which ones a compaction
// keeps.
std::vector<std::string_view> storedHistoryUrls(const GroupRead& stored, std::string_view url) {
  if (!stored.ok()) return {};
  std::vector<std::string_view> urls = GroupRun::urlsOf(stored.group);
  if (std::find(urls.begin(), urls.end(), url) == urls.end()) return {};
  return urls;
}

}  // namespace

std::string findLocationHeader(std::string_view reply) {
  // The headers end with the blank line; each keeps its own line end.
  size_t headerEnd = reply.find("\r\n\r\n");
  std::string_view headers =
      reply.substr(0, headerEnd == std::string_view::npos ? reply.size() : headerEnd + 2);
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
  if (startsWith(target, "//")) return base.substr(0, hostStart >= 3 ? hostStart - 2 : 0) + target;
  if (startsWith(target, "/")) return origin + target;
  const std::string pathOnly = path.substr(0, path.find('?'));
  if (startsWith(target, "?")) return origin + (pathOnly.empty() ? "/" : pathOnly) + target;
  const size_t lastSlash = pathOnly.rfind('/');
  const std::string directory =
      lastSlash == std::string::npos ? "/" : pathOnly.substr(0, lastSlash + 1);
  return origin + directory + target;
}

void refreshHistoryDigest(GroupRun& run) {
  {
    std::lock_guard<std::mutex> lock(run.history.lock);
    if (!run.history.recorded) return;
  }
  const StoreStatus written =
      writeHistoryDigest(run.handle.name, run.historyUrls, std::time(nullptr));
  if (!written.ok()) reportError(written, historyDigestPath(run.handle.name));
}

int checkUrl(CheckShared& shared, GroupRun& run, int index) {
  GroupConfig& group = run.group;
  UrlStatus& entry = group.urls[index];
  UrlCheck& check = run.checks[index];
  const Settings& settings = shared.worker.settings;
  beginCheck(entry, check);
  const int limit = hasContentCheck(group, entry) ? pageLimit(settings) : kStatusOnlyLimit;
  const std::string address = fetchAddress(group, entry);
  Fetch result =
      fetchWithRetries(address, limit, shared.hosts, settings.recheckUpTimes, check.prevUp, entry);
  if (entry.checkBan() || entry.checkPres()) followRedirects(address, limit, shared.hosts, result);

  check.curUp = isUpCode(result.code);
  if (!check.curUp || !result.reply.data) {
    check.curBanFound = check.curPresOk = false;
  } else {
    testContents(group, entry, check, *result.reply.data);
  }

  const bool firstCheck = entry.lastCheck == 0;
  const bool codeChanged = result.code != entry.resultCode;
  if (codeChanged) check.changedCode = static_cast<int16_t>(result.code);
  const bool stateChanged = entry.up() != check.curUp || entry.banFound() != check.curBanFound ||
                            entry.presOk() != check.curPresOk || firstCheck;

  entry.lastCheck = static_cast<uint32_t>(std::time(nullptr));
  entry.resultCode = static_cast<int16_t>(result.code);
  entry.setFlag(kUrlUp, check.curUp);
  entry.setFlag(kUrlBanFound, check.curBanFound);
  entry.setFlag(kUrlPresOk, check.curPresOk);
  check.stateWord = stateBits(entry);
  const bool expiryChanged = takeCertificateExpiry(entry, result.reply);
  check.certDaysLeft = takeCertificateWarning(entry, result.reply, settings.certificateWarnDays(),
                                              group.suspended(), entry.lastCheck);
  recordResult(shared, run, index, codeChanged || stateChanged);
  recordHistory(run, entry);
  // Only a changed expiry touches the details file, so an ordinary check
  // neither reads nor writes it.
  if (expiryChanged) {
    storeCertificateReported(run.handle.name, run.historyUrls, entry.url, result.reply);
  }

  const int stateWord = check.stateWord;
  const bool changeTold = stateChanged && wantsNotification(group, check, firstCheck);
  notifyRecipient(shared, run, index, changeTold || check.certDaysLeft.has_value());
  return stateWord;
}

int runCheckUrlCommand(WorkerContext& context) {
  // Over the web only the stored group counts: of the text sent, its first
  // URL names the one to check and the rest (settings, notification, texts)
  // is dropped unread, as is a body longer than a few URL lines need.
  const bool storedGroupOnly = context.hasArg(1) || context.webRequest;
  const std::string groupName = effectiveGroupName(context.arg(1));
  GroupConfig group;
  parseGroupConfig(group, readStdinText(context.webRequest ? kMaxWebCheckUrlInput : kMaxStdinBytes));
  if (!acceptGroupArgument(groupName)) return kExitInvalidGroupName;
  if (group.urls.empty()) return -1;
  group.urls[0].fileOffset = kUnknownFileOffset;

  int index = 0;
  GroupHandle handle = GroupHandle::named(groupName);
  GroupRead stored;  // without storedGroupOnly: the stored group, whose URLs the history keeps
  if (storedGroupOnly) {
    const std::string wanted(group.urls[0].url);
    GroupRead read = readGroupReported(groupName);
    group = std::move(read.group);
    handle = std::move(read.handle);
    for (int i = 0; i < group.urlCount(); ++i) {
      if (group.urls[i].url == wanted) {
        index = i;
        break;
      }
    }
  } else {
    stored = readGroup(groupName);
  }
  if (group.urls.empty()) return index;

  CheckShared shared(context);
  GroupRun run(std::move(group), std::move(handle));
  if (!storedGroupOnly) run.historyUrls = storedHistoryUrls(stored, run.group.urls[0].url);
  const int state = checkUrl(shared, run, index);
  refreshHistoryDigest(run);
  return state;
}

}  // namespace vy
