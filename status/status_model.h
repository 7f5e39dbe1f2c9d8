// The figures of the public status page: which groups are public, what each
// of their URLs shows and the state of the whole, gathered by reading the
// group files and their histories and nothing else.
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

namespace vy {

inline constexpr int kStatusBarDays = 90;

enum class UrlState { kUp, kDown, kUnknown, kPaused };

// "up", "down", "unknown", "paused": the word the page, the JSON and the
// badges use.
const char* stateWord(UrlState state);

// A day of the bar: its checks, up checks and response times folded.
struct DayFold {
  uint32_t checks = 0;
  uint32_t upChecks = 0;
};

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

struct PublicUrl {
  std::string shown;  // the URL without its query, or only its host
  UrlState state = UrlState::kUnknown;
  uint32_t lastCheck = 0;
  int16_t statusCode = 0;
  UptimeCount uptime30;
  UptimeCount uptime90;
  UptimeCount uptimeWindow;                    // the badge's window
  ResponseFold responseWindow;                 // the badge's window
  std::array<DayFold, kStatusBarDays> days{};  // oldest first, the last one today (UTC)
};

struct PublicGroup {
  std::string name;
  std::string title;  // the public title, or the name
  std::vector<PublicUrl> urls;
  uint32_t lastCheck = 0;   // the newest check of its URLs, 0 for none
  bool historyRead = true;  // false: the history could not be read, figures are empty
};

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
  bool history = true;               // false: the stored states only (a status badge)
};

// The model at now; none when query.group names no public group (a missing,
// private, damaged or wrongly named one alike).
std::optional<StatusModel> gatherStatus(const StatusQuery& query, std::time_t now);

// What the page shows of a URL: with addresses, the URL without its query,
// its fragment and any user name or password; otherwise only the host.
std::string publicAddress(std::string_view url, bool showAddresses);

// The state a URL's stored status stands for.
UrlState urlState(const UrlStatus& status, bool groupSuspended);

// The overall state of the URLs with a known state.
Overall overallState(const std::vector<PublicGroup>& groups);

}  // namespace vy

#endif  // VANTRY_STATUS_STATUS_MODEL_H_
