// The "metrics" command: the groups and the run state read once and printed as
// one exposition; see metrics.h.
#include "runner/metrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "runner/scheduler.h"
#include "store/group_name.h"
#include "store/group_stats.h"
#include "store/group_store.h"
#include "store/history.h"
#include "store/scheduler_file.h"

namespace vy {
namespace {

// The families in the order they are printed; indices into kFamilies.
enum class Family : size_t {
  kUrlUp,
  kUrlStatusCode,
  kUrlResponseSeconds,
  kUrlLastCheck,
  kUrlCertificateExpiry,
  kUrlBannedTextFound,
  kUrlRequiredTextsPresent,
  kUrlUptimeRatio,
  kUrlResponseSecondsAvg,
  kGroupUrls,
  kGroupUrlsUp,
  kGroupCheckInterval,
  kGroupSuspended,
  kGroupReadErrors,
  kLastCheckRun,
  kSchedulerRunning,
  kBuildInfo,
};

struct FamilyText {
  const char* name;
  const char* help;
};

constexpr FamilyText kFamilies[] = {
    {"vantry_url_up", "Whether the URL was up (HTTP status 200 to 399) at its last check."},
    {"vantry_url_status_code",
     "Status of the URL's last check: the HTTP status, or the client's error code below 100; 0 "
     "before the first check."},
    {"vantry_url_response_seconds", "Time the URL's last check took to fetch the page."},
    {"vantry_url_last_check_timestamp_seconds",
     "Unix time of the URL's last check; absent before the first check."},
    {"vantry_url_certificate_expiry_timestamp_seconds",
     "Unix time at which the first certificate of the TLS chain the URL's page was last served "
     "with expires; absent while none is known."},
    {"vantry_url_banned_text_found",
     "Whether the URL's last check found one of the group's banned texts (URLs that test them)."},
    {"vantry_url_required_texts_present",
     "Whether the URL's last check found every required text of the group (URLs that test "
     "them)."},
    {"vantry_url_uptime_ratio",
     "Share of the URL's checks in the last window (label window: 1d, 7d or 30d) that found it "
     "up; absent for a window without a check."},
    {"vantry_url_response_seconds_avg",
     "Mean time the URL's checks of the last day (label window: 1d) took to fetch the page; "
     "absent without a check."},
    {"vantry_group_urls", "Number of URLs in the group."},
    {"vantry_group_urls_up", "Number of the group's URLs that were up at their last check."},
    {"vantry_group_check_interval_seconds",
     "Time between two checks of a URL of the group; 0 means checked by hand only, a negative "
     "value checked once."},
    {"vantry_group_suspended", "Whether the group's checks are suspended."},
    {"vantry_group_read_errors",
     "Groups left out of this exposition because their file could not be read (see the error "
     "log)."},
    {"vantry_last_check_run_timestamp_seconds",
     "Unix time of the check time file's last change: the end of the last check run; 0 when "
     "unknown."},
    {"vantry_scheduler_running", "Whether Vantry's scheduler is switched on and its daemon runs."},
    {"vantry_build_info", "The worker's version, in the label version; always 1."},
};

// The sample lines of every family, in family order.
struct Exposition {
  std::array<std::string, std::size(kFamilies)> samples;
};

void addSample(Exposition& out, Family family, std::string_view labels, std::string_view value) {
  std::string& lines = out.samples[static_cast<size_t>(family)];
  lines += kFamilies[static_cast<size_t>(family)].name;
  if (!labels.empty()) {
    lines += '{';
    lines += labels;
    lines += '}';
  }
  lines += ' ';
  lines += value;
  lines += '\n';
}

std::string exposition(const Exposition& out) {
  std::string text;
  for (size_t i = 0; i < out.samples.size(); ++i) {
    if (out.samples[i].empty()) continue;
    text += std::string("# HELP ") + kFamilies[i].name + " " + kFamilies[i].help + "\n";
    text += std::string("# TYPE ") + kFamilies[i].name + " gauge\n";
    text += out.samples[i];
  }
  return text;
}

std::string label(std::string_view name, std::string_view value) {
  return std::string(name) + "=\"" + metricsLabelValue(value) + "\"";
}

const char* bit(bool on) { return on ? "1" : "0"; }

// Milliseconds as exact seconds, such as "1.250".
std::string secondsOfMillis(uint32_t milliseconds) {
  return formatAlloc("%u.%03u", milliseconds / 1000, milliseconds % 1000);
}

// A ratio in the shortest text that reads back as the same double, so that a
// single failed check among tens of thousands never shows as 1.
std::string ratioText(double ratio) {
  char text[32];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, ratio);
  return std::string(text, end.ptr);
}

// The uptime ratios and the mean response time of a URL's history at `now`;
// a window without a check has no sample.
void addHistorySamples(Exposition& out, const std::string& labels, const UrlHistory& history,
                       std::time_t now) {
  struct Window {
    const char* name;
    int days;
  };
  for (const Window window : {Window{"1d", 1}, Window{"7d", 7}, Window{"30d", 30}}) {
    const std::optional<double> ratio = uptimeOver(history, window.days, now).ratio();
    if (!ratio) continue;
    addSample(out, Family::kUrlUptimeRatio, labels + "," + label("window", window.name),
              ratioText(*ratio));
  }
  const std::optional<uint32_t> mean = meanResponseMsOfLastDay(history, now);
  if (mean) {
    addSample(out, Family::kUrlResponseSecondsAvg, labels + "," + label("window", "1d"),
              secondsOfMillis(*mean));
  }
}

// The histories of the group's URLs, in stored order, read in one pass over
// the group's history file. A failure is logged and leaves them empty: the
// exposition goes on without the history families.
std::vector<UrlHistory> readGroupHistories(const std::string& name, const GroupConfig& group) {
  std::vector<std::string_view> urls;
  urls.reserve(group.urls.size());
  for (const UrlStatus& url : group.urls) urls.push_back(url.url);
  std::vector<UrlHistory> histories;
  const StoreStatus rc = readHistory(name, urls, histories);
  if (rc.ok()) return histories;
  reportError(rc, historyPath(name));
  return std::vector<UrlHistory>(urls.size());
}

void addUrlSamples(Exposition& out, const std::string& groupLabel, const UrlStatus& url,
                   const UrlHistory& history, std::time_t now) {
  const std::string labels = groupLabel + "," + label("url", url.url);
  addSample(out, Family::kUrlUp, labels, bit(url.up()));
  addSample(out, Family::kUrlStatusCode, labels, std::to_string(url.resultCode));
  addSample(out, Family::kUrlResponseSeconds, labels, secondsOfMillis(url.responseMs));
  if (url.lastCheck != 0) {
    addSample(out, Family::kUrlLastCheck, labels, std::to_string(url.lastCheck));
  }
  if (url.certExpiry != 0) {
    addSample(out, Family::kUrlCertificateExpiry, labels, std::to_string(url.certExpiry));
  }
  if (url.checkBan()) addSample(out, Family::kUrlBannedTextFound, labels, bit(url.banFound()));
  if (url.checkPres()) addSample(out, Family::kUrlRequiredTextsPresent, labels, bit(url.presOk()));
  addHistorySamples(out, labels, history, now);
}

void addGroupSamples(Exposition& out, const std::string& name, const GroupConfig& group,
                     std::time_t now) {
  const std::string labels = label("group", name);
  const std::vector<UrlHistory> histories = readGroupHistories(name, group);
  for (size_t i = 0; i < group.urls.size(); ++i) {
    addUrlSamples(out, labels, group.urls[i], histories[i], now);
  }
  const GroupSummary summary = summarizeGroup(group);
  addSample(out, Family::kGroupUrls, labels, std::to_string(summary.urlCount));
  addSample(out, Family::kGroupUrlsUp, labels, std::to_string(summary.upCount));
  addSample(out, Family::kGroupCheckInterval, labels,
            std::to_string(int64_t{group.checkInterval} * 60));
  addSample(out, Family::kGroupSuspended, labels, bit(group.suspended()));
}

// The group named, or every group of the group directory in name order (a
// stable exposition); a directory that cannot be read is fatal, as for
// getstats.
std::vector<std::string> groupsToShow(const std::string& group) {
  if (!group.empty()) return {group};
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) reportFatal(ErrAction::kOpenDir, kGroupDir);
  std::sort(groups->begin(), groups->end());
  return *groups;
}

// Adds the samples of every group to show and returns how many could not be
// read. A listed group that is gone or still empty when it is read (removed,
// or being created, since the listing) is no error; a named group that does
// not exist is logged, as "get" logs it, but is no read error either.
int addGroups(Exposition& out, const std::string& group, std::time_t now) {
  int readErrors = 0;
  for (const std::string& name : groupsToShow(group)) {
    const GroupRead read = readGroup(name);
    if (read.ok()) {
      addGroupSamples(out, name, read.group, now);
      continue;
    }
    const bool none = read.status == StoreCode::kNotFound || read.status == StoreCode::kRefusedName;
    if (none && group.empty()) continue;
    reportError(read.status, name);
    if (!none) ++readErrors;
  }
  return readErrors;
}

void addInstanceSamples(Exposition& out, const Settings& settings, int readErrors) {
  addSample(out, Family::kGroupReadErrors, "", std::to_string(readErrors));
  addSample(out, Family::kLastCheckRun, "", std::to_string(fileModTime(kCheckTimePath)));
  addSample(out, Family::kSchedulerRunning, "", bit(schedulerRuns(settings)));
  addSample(out, Family::kBuildInfo, label("version", kWorkerVersion), "1");
}

// The length of the valid UTF-8 sequence that text begins with; 0 when it
// begins with none. The range of the second byte rules out overlong forms,
// surrogates and code points above U+10FFFF, as Prometheus's check does.
size_t utf8SequenceLength(std::string_view text) {
  auto byte = [&](size_t i) { return i < text.size() ? static_cast<uint8_t>(text[i]) : 0u; };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : low;
    high = lead == 0xED ? 0x9F : high;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : low;
    high = lead == 0xF4 ? 0x8F : high;
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::vector<std::string> metricsQueryWords(std::string_view queryString) {
  const std::string withValue = std::string(kMetricsWord) + "=";
  if (queryString == kMetricsWord) return {kMetricsWord};
  if (!startsWith(queryString, withValue)) return {};
  std::vector<std::string> words = {kMetricsWord};
  if (queryString.size() > withValue.size())
    words.emplace_back(queryString.substr(withValue.size()));
  return words;
}

std::string metricsLabelValue(std::string_view text) {
  std::string value;
  while (!text.empty()) {
    const size_t length = utf8SequenceLength(text);
    if (length == 0) {
      value += formatAlloc("%%%02X", static_cast<unsigned>(static_cast<uint8_t>(text[0])));
    } else if (text[0] == '\\') {
      value += "\\\\";
    } else if (text[0] == '"') {
      value += "\\\"";
    } else if (text[0] == '\n') {
      value += "\\n";
    } else {
      value += text.substr(0, length);
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return value;
}

int runMetricsCommand(const WorkerContext& context, const std::string& group) {
  Exposition out;
  const int readErrors = addGroups(out, group, std::time(nullptr));
  addInstanceSamples(out, context.settings, readErrors);
  std::string text;
  if (isWebRequest()) text = std::string("Content-Type: ") + kMetricsContentType + "\n\n";
  text += exposition(out);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

}  // namespace vy
