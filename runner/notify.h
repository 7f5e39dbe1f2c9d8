// Change notifications: telling a group's recipient that a URL's state changed.
//
// The group's inftype picks the way (1 command, 2 mail, 3 HTTP request, 4 one
// command per run for the whole group, 5 one chat message per run; 0, 6 and
// 7 none) and its `inform` text is the target of every way. Check threads call notifyChange side by
// side; the external programs it starts run one at a time under the shared
// result lock.
#ifndef VANTRY_RUNNER_NOTIFY_H_
#define VANTRY_RUNNER_NOTIFY_H_

#include <string>

#include "runner/check_state.h"

namespace vy {

enum class NotifyType : int {
  kNone = 0,
  kCommand = 1,
  kMail = 2,
  kHttp = 3,
  kBatch = 4,
  kChat = 5,  // one chat or push message per run for the whole group (chat_notify.h)
};

inline NotifyType notifyType(const GroupConfig& group) {
  return static_cast<NotifyType>(group.infType());
}

// The types whose changes are gathered and told once, after the group's last
// pending URL of the run.
inline bool gathersChanges(NotifyType type) {
  return type == NotifyType::kBatch || type == NotifyType::kChat;
}

enum class NotifyResult { kDone, kFailed };

// Notifies the group's recipient of the change of group.urls[index], or of
// its certificate warning, or both in one (index -1:
// the batch of the whole group after its last pending URL). kDone also when
// there is nothing to do (always for a group that asks for no notification);
// kFailed for types 1 to 4 also when `inform` is empty. Failures are reported.
// REQUIRES: the URL's check has stored its result and state word.
[[nodiscard]] NotifyResult notifyChange(CheckShared& shared, GroupRun& run, int index);

// Appends the status text of an entry after its check: "<url> <stateWord>",
// " f=<banIndex>" when a banned content was found, " p=<presIndex>" when the
// page is up and a presence content is missing, " c=<resultCode>", and
// " cert=<days>d" when the check warns that the certificate expires in that
// many days; no line end.
void writeStatusText(std::string& out, const UrlStatus& entry, const UrlCheck& check);

}  // namespace vy

#endif  // VANTRY_RUNNER_NOTIFY_H_
