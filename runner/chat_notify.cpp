// The chat message notification; see chat_notify.h.
#include "runner/chat_notify.h"

#include <algorithm>
#include <ctime>

#include "common/errors.h"
#include "net/http_post.h"
#include "store/group_name.h"

namespace vy {
namespace {

// The reason phrase a service sent, safe for the log: printable ASCII only,
// at most 60 characters.
std::string safeReason(const std::string& reason) {
  std::string safe;
  for (char c : reason.substr(0, 60)) safe += c >= 0x20 && c < 0x7f ? c : '?';
  return safe;
}

std::string outcomeWords(const PostReply& reply) {
  if (reply.code != HttpError::kOk) return httpErrorText(static_cast<int>(reply.code));
  const std::string reason =
      reply.reason.empty() ? std::string(httpStatusText(reply.status)) : safeReason(reply.reason);
  return std::to_string(reply.status) + " " + reason;
}

// "slack 127.0.0.5:8080": the service and the host it was sent to; the
// path and query stay out.
std::string whereTo(const ChatTarget& target) {
  HttpTarget parsed;
  std::string where = chatServiceName(target.service);
  if (parseHttpUrl(target.url, parsed) == HttpError::kOk) where += " " + parsed.hostHeader;
  return where;
}

bool anyUrlNeverChecked(const GroupConfig& group) {
  return std::any_of(group.urls.begin(), group.urls.end(),
                     [](const UrlStatus& entry) { return entry.lastCheck == 0; });
}

std::string contentAt(const std::vector<std::string_view>& contents, int index) {
  if (index < 0 || static_cast<size_t>(index) >= contents.size()) return {};
  return std::string(contents[static_cast<size_t>(index)]);
}

// The run's marked URLs as a message. REQUIRES: the result lock held.
ChatMessage gatherMarkedLocked(const GroupRun& run) {
  ChatMessage message;
  message.group = effectiveGroupName(run.handle.name);
  message.time = std::time(nullptr);
  const GroupConfig& group = run.group;
  for (size_t i = 0; i < group.urls.size(); ++i) {
    const UrlCheck& check = run.checks[i];
    if (!check.batchMarked) continue;
    const UrlStatus& entry = group.urls[i];
    ChatChange change{entry, check, {}, {}};
    if (check.curBanFound) change.bannedText = contentAt(group.banContents, entry.banIndex);
    if (check.curUp && !check.curPresOk) {
      change.missingText = contentAt(group.presContents, entry.presIndex);
    }
    message.changes.push_back(std::move(change));
  }
  return message;
}

}  // namespace

NotifyResult reportUnusableChatAddress(std::string_view inform, std::mutex& reportLock) {
  std::lock_guard<std::mutex> lock(reportLock);
  reportError(ErrAction::kNoFileOperation,
              "Chat message: unknown service or address \"" + chatServiceOf(inform) + "\"");
  return NotifyResult::kFailed;
}

NotifyResult sendChatMessage(const ChatTarget& target, const ChatMessage& message,
                             const HostTable& hosts, std::mutex& reportLock, std::string* outcome) {
  const PostReply reply = httpPost(chatRequest(target, message), hosts);
  if (outcome) *outcome = outcomeWords(reply);
  if (reply.succeeded()) return NotifyResult::kDone;
  std::lock_guard<std::mutex> lock(reportLock);
  reportError(ErrAction::kNoFileOperation,
              "Chat message " + whereTo(target) + ": " + outcomeWords(reply));
  return NotifyResult::kFailed;
}

NotifyResult notifyByChat(CheckShared& shared, GroupRun& run, int index) {
  ChatMessage message;
  {
    std::lock_guard<std::mutex> lock(shared.resultLock);
    if (index >= 0) {
      if (index < run.group.urlCount()) run.checks[index].batchMarked = true;
      return NotifyResult::kDone;
    }
    if (anyUrlNeverChecked(run.group)) return NotifyResult::kDone;
    message = gatherMarkedLocked(run);
  }
  if (message.changes.empty()) return NotifyResult::kDone;
  const std::optional<ChatTarget> target = parseChatAddress(run.group.inform);
  if (!target) return reportUnusableChatAddress(run.group.inform, shared.resultLock);
  return sendChatMessage(*target, message, shared.hosts, shared.resultLock);
}

}  // namespace vy
