// The chat message notification (type 5): each change of a group's run only
// marks its URL, and the check of the group's last pending URL sends one
// message with every marked URL to the chat or push service of `inform`.
//
// The POST runs without the shared result lock, so messages of different
// groups go out side by side; the marks are read and the failures reported
// under it. A failure is reported once, with the service, the host and the
// reply's status, never the address's path or query, where services keep
// their secret.
#ifndef VANTRY_RUNNER_CHAT_NOTIFY_H_
#define VANTRY_RUNNER_CHAT_NOTIFY_H_

#include <mutex>
#include <string>

#include "runner/chat_message.h"
#include "runner/check_state.h"
#include "runner/notify.h"

namespace vy {

// notifyChange for type 5: marks group.urls[index], or (index -1) sends the
// run's marked URLs as one message. kDone when nothing was marked or a URL
// of the group was never checked (as for the batch command); kFailed for an
// address that names no known service or a message the service refused.
[[nodiscard]] NotifyResult notifyByChat(CheckShared& shared, GroupRun& run, int index);

// Sends the message to the target; a failure is reported (under reportLock)
// and gives kFailed. outcome, when given, receives the words of the result
// ("200 OK", "Connection error").
[[nodiscard]] NotifyResult sendChatMessage(const ChatTarget& target, const ChatMessage& message,
                                           const HostTable& hosts, std::mutex& reportLock,
                                           std::string* outcome = nullptr);

// Reports an `inform` that names no known service or gives no usable
// address (under reportLock) and gives kFailed.
[[nodiscard]] NotifyResult reportUnusableChatAddress(std::string_view inform,
                                                     std::mutex& reportLock);

}  // namespace vy

#endif  // VANTRY_RUNNER_CHAT_NOTIFY_H_
