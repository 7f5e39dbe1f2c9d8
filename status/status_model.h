// The figures of the public status page: which groups are public, what each
// of their URLs shows and the state of the whole, gathered by reading the
// group files, their day digests (or, without one, their histories) and
// nothing else.
//
// Everything here only reads: every file is opened read-only under a shared
// lock at most, and a group that is not public is treated exactly like a
// group that does not exist, so that no answer tells the two apart.
#ifndef VANTRY_STATUS_STATUS_MODEL_H_
#define VANTRY_STATUS_STATUS_MODEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/history.h"
#include "store/history_digest.h"

namespace vy {

inline constexpr int kStatusBarDays = 90;

enum class UrlState { kUp, kDown, kUnknown, kPaused };

// "up", "down", "unknown", "paused": the word the page, the JSON and the
// badges use.
const char* stateWord(UrlState state);

// A day of the bar: its checks and up checks.
using DayFold = DigestDay;

// The response times of a window folded.
struct ResponseFold {
  uint64_t msSum = 0;
  uint64_t checks = 0;
  std::optional<uint32_t> meanMs() const;
  void add(const ResponseFold& other) {
    msSum += other.msSum;
    checks += other.checks;
  }
};

// What the page shows of a URL: with addresses, the URL without its query,
// its fragment and any user name or password; otherwise only the host.
// Mostly one part of the URL (at, size), so that ten thousand of them need
// no texts of their own; a text put together only where a user name or
// password is left out of the middle.
struct ShownAddress {
  size_t at = 0;
  size_t size = 0;
  std::string joined;  // when not empty, the whole of what is shown
  std::string_view of(std::string_view url) const {
    return joined.empty() ? url.substr(at, size) : std::string_view(joined);
  }
};
struct PublicUrl {
  std::string url;  // as stored, never shown whole: it names the URL's history
  ShownAddress address;
  // The URL without its query, or only its host.
  std::string_view shown() const { return address.of(url); }
  UrlState state = UrlState::kUnknown;
  uint32_t lastCheck = 0;
  int16_t statusCode = 0;
  UptimeCount uptimeWindow;     // the badge's window
  ResponseFold responseWindow;  // the badge's window
};

struct PublicGroup {
  std::string name;
  std::string title;  // the public title, or the name
  std::vector<PublicUrl> urls;
  uint32_t lastCheck = 0;   // the newest check of its URLs, 0 for none
  bool historyRead = true;  // false: the history could not be read, window figures are empty
};

// What the page and the JSON show of a URL's last 90 days: its uptimes and
// its digest entry, whose days are read where they are shown.
struct UrlDays {
  UptimeCount uptime30;
  UptimeCount uptime90;
  DigestEntry entry;  // empty: no check on record
};

// Where a digest's days fall: its days from30 on make the 30-day window,
// from90 on the 90-day one (the days that begin in the window), and its
// days barFrom to barEnd (exclusive) are the bar's from barAt on; the bar's
// other days have no check. The same for every URL of the digest.
struct DayWindows {
  size_t from30 = 0, from90 = 0, barFrom = 0, barEnd = 0, barAt = 0;
  bool totalsHold = false;  // the entries' own 30- and 90-day totals are the windows'
};

// The days of one group's URLs, in its order. The page and the JSON gather
// them a group at a time as they write it, so that the days of ten thousand
// URLs are never all in memory; one GroupDays serves every group in turn,
// reusing its memory.
struct GroupDays {
  std::vector<UrlDays> urls;
  DayWindows windows;
  bool read = true;  // false: neither the day digest nor the history could be read
  // Day d of the bar (0 the oldest, kStatusBarDays - 1 today) of URL url.
  DayFold day(size_t url, size_t d) const;
  // The bar's days from..from + count (count at most 64) of URL url that are
  // not all up, bit 0 for day from.
  uint64_t otherDays(size_t url, size_t from, size_t count) const;
  // Reused from group to group.
  std::string digestBytes;
  DigestView digest;
  std::vector<std::string_view> urlTexts;
};

// Fills days with the group's figures at now: from its day digest, or from
// its history when there is no digest to read.
void gatherGroupDays(const PublicGroup& group, std::time_t now, GroupDays& days);

enum class Overall { kNoData, kAllWorking, kSomeFailing, kAllFailing };

struct StatusModel {
  std::time_t now = 0;
  std::string notice;  // the administrator's maintenance note, empty for none
  std::vector<PublicGroup> groups;
  uint32_t lastCheck = 0;  // the newest check of every group shown
  Overall overall = Overall::kNoData;
};

// What to gather: one group or all public ones, and the window of a badge.
struct StatusQuery {
  std::optional<std::string> group;  // none: every public group
  int windowDays = 30;               // the badge's window, 1 to 400
  bool history = false;              // the uptime and response time over the window (a badge)
};

// The model at now; none when query.group names no public group (a missing,
// private, damaged or wrongly named one alike).
std::optional<StatusModel> gatherStatus(const StatusQuery& query, std::time_t now);

// What the page shows of url (see ShownAddress).
ShownAddress publicAddress(std::string_view url, bool showAddresses);

// The state a URL's stored status stands for.
UrlState urlState(const UrlStatus& status, bool groupSuspended);

// The overall state of the URLs with a known state.
Overall overallState(const std::vector<PublicGroup>& groups);

}  // namespace vy

#endif  // VANTRY_STATUS_STATUS_MODEL_H_
