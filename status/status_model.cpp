// Gathering the public status page's figures; see status_model.h.
#include "status/status_model.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "store/group_name.h"
#include "store/group_store.h"
#include "store/history_digest.h"
#include "store/public_title.h"

namespace vy {
namespace {

// Folds a group's history into its URLs' uptime and response time over a
// badge's window as the records come.
class WindowVisitor final : public HistoryVisitor {
 public:
  WindowVisitor(std::vector<PublicUrl>& urls, int windowDays, std::time_t now)
      : urls_(urls),
        window_(windowDays, now),
        windowStart_(static_cast<int64_t>(now) - int64_t{windowDays} * kSecondsPerDay) {}

  void onDay(size_t url, const HistoryDay& day) override {
    PublicUrl& figures = urls_[url];
    window_.add(figures.uptimeWindow, day);
    if (int64_t{day.day} * kSecondsPerDay >= windowStart_) {
      figures.responseWindow.add({day.responseMsSum, day.checks});
    }
  }

  void onCheck(size_t url, const HistoryCheck& check) override {
    PublicUrl& figures = urls_[url];
    window_.add(figures.uptimeWindow, check);
    if (int64_t{check.time} >= windowStart_) figures.responseWindow.add({check.responseMs, 1});
  }

 private:
  std::vector<PublicUrl>& urls_;
  UptimeWindow window_;
  int64_t windowStart_;
};

DayWindows windowsOf(const DigestView& digest, std::time_t now) {
  const int64_t count = digest.dayCount();
  const auto firstFrom = [&](int64_t start) {
    const int64_t day = start <= 0 ? 0 : (start + kSecondsPerDay - 1) / kSecondsPerDay;
    return static_cast<size_t>(std::clamp<int64_t>(day - digest.firstDay(), 0, count));
  };
  const int64_t today = static_cast<int64_t>(std::max<std::time_t>(now, 0) / kSecondsPerDay);
  const int64_t firstBarDay = today - (kStatusBarDays - 1);
  DayWindows windows;
  windows.from30 = firstFrom(static_cast<int64_t>(now) - int64_t{30} * kSecondsPerDay);
  windows.from90 = firstFrom(static_cast<int64_t>(now) - int64_t{kStatusBarDays} * kSecondsPerDay);
  windows.barFrom =
      static_cast<size_t>(std::clamp<int64_t>(firstBarDay - digest.firstDay(), 0, count));
  windows.barEnd = static_cast<size_t>(
      std::clamp<int64_t>(firstBarDay + kStatusBarDays - digest.firstDay(), 0, count));
  if (windows.barEnd <= windows.barFrom) {
    windows.barEnd = windows.barFrom;  // none of the digest's days is on the bar
  } else {
    windows.barAt = static_cast<size_t>(digest.firstDay() + int64_t(windows.barFrom) - firstBarDay);
  }
  // A digest whose last day is today holds the windows' totals, but at
  // midnight, when a window takes in one day more.
  windows.totalsHold = digest.firstDay() + count - 1 == today && now % kSecondsPerDay != 0 &&
                       windows.from30 + 30 == size_t(count) && windows.from90 + 90 == size_t(count);
  return windows;
}

// One URL's uptimes from its entry (none: a URL the digest does not hold).
void addUptimes(UrlDays& figures, const DayWindows& windows) {
  const DigestEntry& entry = figures.entry;
  if (entry.empty()) return;
  if (windows.totalsHold) {
    figures.uptime30 = {entry.last30Up, entry.last30Checks};
    figures.uptime90 = {entry.last90Up, entry.last90Checks};
    return;
  }
  const auto sumFrom = [&](size_t from) {
    UptimeCount count;
    for (size_t i = from; i < entry.days.size(); ++i) {
      const DigestDay day = entry.days[i];
      count.checks += day.checks;
      count.upChecks += day.upChecks;
    }
    return count;
  };
  figures.uptime30 = sumFrom(windows.from30);
  figures.uptime90 = sumFrom(windows.from90);
}

std::string titleOf(const std::string& name) {
  std::string title;
  if (!readPublicTitle(name, title).ok() || title.empty()) return name;
  return title;
}

// The public group of the name, or none: not valid, not there, not public,
// not readable are all the same to a visitor.
std::optional<PublicGroup> publicGroup(const std::string& name, const StatusQuery& query,
                                       std::time_t now) {
  if (!isValidGroupName(name)) return std::nullopt;
  GroupRead read = readGroup(name);
  if (!read.ok() || !read.group.isPublic()) return std::nullopt;
  const GroupConfig& stored = read.group;
  PublicGroup group;
  group.name = name;
  group.title = titleOf(name);
  std::vector<std::string_view> urls;
  group.urls.reserve(stored.urls.size());
  urls.reserve(stored.urls.size());
  for (const UrlStatus& entry : stored.urls) {
    PublicUrl& url = group.urls.emplace_back();
    url.url = entry.url;
    url.address = publicAddress(entry.url, stored.showsAddresses());
    url.state = urlState(entry, stored.suspended());
    url.lastCheck = entry.lastCheck;
    url.statusCode = entry.resultCode;
    group.lastCheck = std::max(group.lastCheck, entry.lastCheck);
    urls.push_back(entry.url);
  }
  if (query.history && !urls.empty()) {
    WindowVisitor visitor(group.urls, query.windowDays, now);
    group.historyRead = visitHistory(name, urls, visitor).ok();
  }
  return group;
}

std::vector<std::string> candidateNames(const StatusQuery& query) {
  if (query.group) return {*query.group};
  std::vector<std::string> names = listGroups().value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  return names;
}

// A set of bytes as a table: find_first_of asks memchr for every byte, and
// a page asks this of ten thousand URLs.
using ByteSet = std::array<bool, 256>;
constexpr ByteSet byteSet(std::string_view bytes) {
  ByteSet set{};
  for (const char c : bytes) set[static_cast<unsigned char>(c)] = true;
  return set;
}
constexpr ByteSet kAuthorityEnd = byteSet("/?#");
constexpr ByteSet kPathEnd = byteSet("?#");

// The first byte at or after from that is in stops, or the size.
size_t findAny(std::string_view text, const ByteSet& stops, size_t from = 0) {
  for (size_t i = from; i < text.size(); ++i) {
    if (stops[static_cast<unsigned char>(text[i])]) return i;
  }
  return text.size();
}

// The part of a URL after its scheme, up to the path, query or fragment.
std::string_view authorityOf(std::string_view url, size_t& end) {
  size_t start = url.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  end = findAny(url, kAuthorityEnd, start);
  return url.substr(start, end - start);
}

std::string_view withoutUserInfo(std::string_view authority) {
  const size_t at = authority.rfind('@');
  return at == std::string_view::npos ? authority : authority.substr(at + 1);
}

std::string_view withoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

}  // namespace

const char* stateWord(UrlState state) {
  switch (state) {
    case UrlState::kUp:
      return "up";
    case UrlState::kDown:
      return "down";
    case UrlState::kUnknown:
      return "unknown";
    case UrlState::kPaused:
      return "paused";
  }
  return "unknown";
}

std::optional<uint32_t> ResponseFold::meanMs() const {
  if (checks == 0) return std::nullopt;
  return static_cast<uint32_t>((msSum + checks / 2) / checks);
}

ShownAddress publicAddress(std::string_view url, bool showAddresses) {
  size_t end = 0;
  const std::string_view authority = authorityOf(url, end);
  const std::string_view host = withoutUserInfo(authority);
  const auto partOfUrl = [&](std::string_view part) {
    return ShownAddress{static_cast<size_t>(part.data() - url.data()), part.size(), {}};
  };
  if (!showAddresses) return partOfUrl(withoutPort(host));
  const std::string_view rest = url.substr(end);
  const std::string_view path = rest.substr(0, findAny(rest, kPathEnd));
  if (host.size() == authority.size()) {
    return partOfUrl(url.substr(0, static_cast<size_t>(path.data() + path.size() - url.data())));
  }
  ShownAddress joined;
  joined.joined = url.substr(0, static_cast<size_t>(authority.data() - url.data()));
  joined.joined += host;
  joined.joined += path;
  return joined;
}

UrlState urlState(const UrlStatus& status, bool groupSuspended) {
  if (groupSuspended) return UrlState::kPaused;
  if (status.lastCheck == 0) return UrlState::kUnknown;
  const bool working = status.up() && !(status.checkBan() && status.banFound()) &&
                       !(status.checkPres() && !status.presOk());
  return working ? UrlState::kUp : UrlState::kDown;
}

Overall overallState(const std::vector<PublicGroup>& groups) {
  size_t up = 0, down = 0;
  for (const PublicGroup& group : groups) {
    for (const PublicUrl& url : group.urls) {
      if (url.state == UrlState::kUp) ++up;
      if (url.state == UrlState::kDown) ++down;
    }
  }
  if (up + down == 0) return Overall::kNoData;
  if (down == 0) return Overall::kAllWorking;
  return up == 0 ? Overall::kAllFailing : Overall::kSomeFailing;
}

namespace {

// Without a digest to read: the group's history folded as the worker folds
// it, into bytes for the view.
bool foldFromHistory(const std::string& group, std::span<const std::string_view> urls,
                     std::time_t now, std::string& bytes, DigestView& view) {
  HistoryDigest folded;
  if (!foldHistoryDigest(group, urls, now, kDigestDays, folded).ok()) return false;
  bytes = encodeHistoryDigest(folded);
  return view.open(bytes);
}

}  // namespace

DayFold GroupDays::day(size_t url, size_t d) const {
  const DigestEntry& entry = urls[url].entry;
  if (entry.empty() || d < windows.barAt || d - windows.barAt >= windows.barEnd - windows.barFrom) {
    return {};
  }
  return entry.days[windows.barFrom + d - windows.barAt];
}

uint64_t GroupDays::otherDays(size_t url, size_t from, size_t count) const {
  const auto ones = [](size_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; };
  uint64_t bits = ones(count);  // days without a check, unless the entry has them
  const DigestEntry& entry = urls[url].entry;
  const size_t coverFrom = std::max(from, windows.barAt);
  const size_t coverTo = std::min(from + count, windows.barAt + (windows.barEnd - windows.barFrom));
  if (entry.empty() || coverTo <= coverFrom) return bits;
  const size_t shift = coverFrom - from, covered = coverTo - coverFrom;
  const uint64_t known = entry.otherBits(windows.barFrom + coverFrom - windows.barAt, covered);
  return (bits & ~(ones(covered) << shift)) | (known << shift);
}

void gatherGroupDays(const PublicGroup& group, std::time_t now, GroupDays& days) {
  days.urls.assign(group.urls.size(), UrlDays{});
  days.urlTexts.clear();
  for (const PublicUrl& url : group.urls) days.urlTexts.push_back(url.url);
  DigestView& digest = days.digest;
  days.read = readHistoryDigest(group.name, days.digestBytes, digest).ok() ||
              foldFromHistory(group.name, days.urlTexts, now, days.digestBytes, digest);
  if (!days.read) return;
  days.windows = windowsOf(digest, now);
  for (size_t i = 0; i < group.urls.size(); ++i) {
    days.urls[i].entry = digest.entryOf(group.urls[i].url);
    addUptimes(days.urls[i], days.windows);
  }
}

std::optional<StatusModel> gatherStatus(const StatusQuery& query, std::time_t now) {
  StatusModel model;
  model.now = now;
  model.notice = readPublicNotice();
  for (const std::string& name : candidateNames(query)) {
    std::optional<PublicGroup> group = publicGroup(name, query, now);
    if (!group) continue;
    model.lastCheck = std::max(model.lastCheck, group->lastCheck);
    model.groups.push_back(std::move(*group));
  }
  if (query.group && model.groups.empty()) return std::nullopt;
  model.overall = overallState(model.groups);
  return model;
}

}  // namespace vy
