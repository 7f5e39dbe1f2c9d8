// One URL's check, and the "checkurl" command.
//
// checkUrl fetches the page, retries a failing page that was up before,
// follows redirects when content checks apply, decides the up state and the
// content results, stores them in the URL's entry, writes the entry back into
// the group file, appends a check-log record on a change, appends the check to
// the group's history (outside the result lock, the history file having its
// own) and tells the group's recipient when the administrator asked to hear
// about such a change.
//
// Several check threads run checkUrl at once on different entries, possibly
// of the same group. Everything they share is done under the shared result
// lock: the group-file write, the check-log append, the group's pending
// counter and notification flags, and the external programs notifications
// start.
#ifndef VANTRY_RUNNER_CHECK_URL_H_
#define VANTRY_RUNNER_CHECK_URL_H_

#include <string>
#include <string_view>

#include "runner/check_state.h"

namespace vy {

// A reply of at most this many bytes is read when no content check applies:
// enough for the status line.
inline constexpr int kStatusOnlyLimit = 25;
inline constexpr int kMaxRedirects = 2;

// Checks run.group.urls[index] and returns its state word (kState... bits).
// The caller has set the group's name and pendingCount, and holds the host
// table loaded.
int checkUrl(CheckShared& shared, GroupRun& run, int index);

// Once the run's checks of the group are done: folds the group's history
// into its day digest when the run added checks to it; a failure is logged.
void refreshHistoryDigest(GroupRun& run);

// The target of a redirect from `base`: an absolute http:// or https://
// target as it is, a target with another scheme as it is (the request then
// fails as an invalid URL), and a relative one ("/login", "login", "?x=1",
// "//host/x", which keeps base's scheme) resolved against base.
std::string resolveRedirect(const std::string& base, const std::string& target);

// The value of the first "Location:" header line of a raw reply (name matched
// without regard to case, at the start of a header line, blanks after the
// colon skipped), or the empty text.
std::string findLocationHeader(std::string_view reply);

// The "checkurl" [group] command: checks one URL given on standard input as a
// group configuration text. With a group argument (and over the web always)
// the URL is looked up in the stored group, "general" for the empty name, and
// checked with that group's settings; without one the text's own settings
// apply. The exit status is the URL's state word, -1 when the text names no
// URL, kExitInvalidGroupName for an invalid group name.
int runCheckUrlCommand(WorkerContext& context);

// Over the web checkurl reads at most this much of its standard input.
inline constexpr size_t kMaxWebCheckUrlInput = 64u << 10;

}  // namespace vy

#endif  // VANTRY_RUNNER_CHECK_URL_H_
