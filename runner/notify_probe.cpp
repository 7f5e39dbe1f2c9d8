// The test message of a group's notification settings; see notify_probe.h.
#include "runner/notify_probe.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "runner/chat_notify.h"
#include "runner/check_state.h"
#include "runner/notify.h"
#include "store/group_name.h"
#include "store/group_store.h"

namespace vy {
namespace {

int told(const std::string& line, bool sent) {
  std::printf("%s\n", line.c_str());
  return sent ? 0 : 1;
}

int testChatMessage(CheckShared& shared, const GroupConfig& group, const std::string& name) {
  const std::optional<ChatTarget> target = parseChatAddress(group.inform);
  if (!target) {
    (void)reportUnusableChatAddress(group.inform, shared.resultLock);
    return told("Test message failed: the address names no known service or no usable address.",
                false);
  }
  ChatMessage message;
  message.group = name;
  message.time = std::time(nullptr);
  message.testText = "Test message: notifications of the group " + name + " reach this place.";
  std::string outcome;
  const NotifyResult result =
      sendChatMessage(*target, message, shared.hosts, shared.resultLock, &outcome);
  if (result == NotifyResult::kDone) {
    return told("Test message sent to " + std::string(chatServiceName(target->service)) + " (" +
                    outcome + ").",
                true);
  }
  return told("Test message failed: " + outcome + ".", false);
}

// The first URL alone, as if its check had just found its stored state.
int testUrlNotification(CheckShared& shared, GroupRead& read, NotifyType type) {
  GroupConfig& group = read.group;
  if (group.urls.empty()) return told("Test message failed: the group has no URL to tell.", false);
  group.urls.resize(1);
  UrlStatus& entry = group.urls[0];
  if (entry.lastCheck == 0) entry.lastCheck = static_cast<uint32_t>(std::time(nullptr));
  GroupRun run(std::move(group), GroupHandle::named(read.handle.name));
  UrlCheck& check = run.checks[0];
  check.prevUp = check.curUp = entry.up();
  check.prevBanFound = check.curBanFound = entry.banFound();
  check.prevPresOk = check.curPresOk = entry.presOk();
  check.previousCode = check.changedCode = entry.resultCode;
  check.stateWord = stateBits(entry);
  NotifyResult result = notifyChange(shared, run, 0);
  if (type == NotifyType::kBatch && result == NotifyResult::kDone) {
    result = notifyChange(shared, run, -1);
  }
  if (result == NotifyResult::kDone) return told("Test message sent.", true);
  return told("Test message failed; the error log tells why.", false);
}

}  // namespace

int runNotifyTestCommand(const WorkerContext& context, const std::string& groupName) {
  const std::string name = effectiveGroupName(groupName);
  GroupRead read = readGroupReported(name, "Read group");
  if (!read.ok()) return told("Test message failed: the group cannot be read.", false);
  const NotifyType type = notifyType(read.group);
  if (!(type >= NotifyType::kCommand && type <= NotifyType::kChat)) {
    return told("The group sends no notifications: choose a notification type first.", false);
  }
  if (read.group.inform.empty()) {
    return told("Test message failed: the group has no notification target.", false);
  }
  auto shared = std::make_unique<CheckShared>(context);
  if (type == NotifyType::kChat) return testChatMessage(*shared, read.group, name);
  return testUrlNotification(*shared, read, type);
}

}  // namespace vy
