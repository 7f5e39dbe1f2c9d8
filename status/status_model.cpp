// Gathering the public status page's figures; see status_model.h.
#include "status/status_model.h"

#include <algorithm>

#include "store/group_name.h"
#include "store/group_store.h"
#include "store/public_title.h"

namespace vy {
namespace {

// Folds a group's history into its URLs' figures as the records come.
class FiguresVisitor final : public HistoryVisitor {
 public:
  FiguresVisitor(std::vector<PublicUrl>& urls, int windowDays, std::time_t now)
      : urls_(urls),
        window30_(30, now),
        window90_(kStatusBarDays, now),
        window_(windowDays, now),
        windowStart_(static_cast<int64_t>(now) - int64_t{windowDays} * kSecondsPerDay),
        firstBarDay_(static_cast<int64_t>(std::max<std::time_t>(now, 0) / kSecondsPerDay) -
                     (kStatusBarDays - 1)) {}

  void onDay(size_t url, const HistoryDay& day) override {
    PublicUrl& figures = urls_[url];
    window30_.add(figures.uptime30, day);
    window90_.add(figures.uptime90, day);
    window_.add(figures.uptimeWindow, day);
    if (int64_t{day.day} * kSecondsPerDay >= windowStart_) {
      figures.responseWindow.add({day.responseMsSum, day.checks});
    }
    foldIntoBar(figures, day.day, day.checks, day.upChecks);
  }

  void onCheck(size_t url, const HistoryCheck& check) override {
    PublicUrl& figures = urls_[url];
    window30_.add(figures.uptime30, check);
    window90_.add(figures.uptime90, check);
    window_.add(figures.uptimeWindow, check);
    if (int64_t{check.time} >= windowStart_) figures.responseWindow.add({check.responseMs, 1});
    foldIntoBar(figures, check.time / kSecondsPerDay, 1, check.up() ? 1 : 0);
  }

 private:
  void foldIntoBar(PublicUrl& figures, int64_t day, uint32_t checks, uint32_t up) const {
    const int64_t at = day - firstBarDay_;
    if (at < 0 || at >= kStatusBarDays) return;
    figures.days[static_cast<size_t>(at)].checks += checks;
    figures.days[static_cast<size_t>(at)].upChecks += up;
  }

  std::vector<PublicUrl>& urls_;
  UptimeWindow window30_, window90_, window_;
  int64_t windowStart_;
  int64_t firstBarDay_;
};

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
  for (const UrlStatus& entry : stored.urls) {
    PublicUrl& url = group.urls.emplace_back();
    url.shown = publicAddress(entry.url, stored.showsAddresses());
    url.state = urlState(entry, stored.suspended());
    url.lastCheck = entry.lastCheck;
    url.statusCode = entry.resultCode;
    group.lastCheck = std::max(group.lastCheck, entry.lastCheck);
    urls.push_back(entry.url);
  }
  if (query.history && !urls.empty()) {
    FiguresVisitor visitor(group.urls, query.windowDays, now);
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

// The part of a URL after its scheme, up to the path, query or fragment.
std::string_view authorityOf(std::string_view url, size_t& end) {
  size_t start = url.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  end = url.find_first_of("/?#", start);
  if (end == std::string_view::npos) end = url.size();
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

std::string publicAddress(std::string_view url, bool showAddresses) {
  size_t end = 0;
  const std::string_view authority = authorityOf(url, end);
  const std::string_view host = withoutUserInfo(authority);
  if (!showAddresses) return std::string(withoutPort(host));
  std::string shown(url.substr(0, static_cast<size_t>(authority.data() - url.data())));
  shown += host;
  const std::string_view rest = url.substr(end);
  shown += rest.substr(0, rest.find_first_of("?#"));
  return shown;
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
