// The status page as HTML and as JSON; see status_render.h.
#include <ctime>

#include "common/cgi.h"
#include "common/json.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "status/status_render.h"

namespace vy {
namespace {

constexpr const char* kUpColour = "#2e9d4f";
constexpr const char* kAmberColour = "#e0a100";
constexpr const char* kFailColour = "#d93025";
constexpr const char* kNoDataColour = "#b0b7c3";

constexpr const char* kStyle =
    "body{margin:0;font:16px/1.45 system-ui,sans-serif;color:#1f2328;background:#f6f8fa}"
    "main{max-width:60rem;margin:0 auto;padding:1rem}"
    "h1{font-size:1.6rem;margin:.5rem 0}h2{font-size:1.2rem;margin:0 0 .25rem}"
    ".banner{padding:.9rem 1rem;border-radius:.5rem;color:#fff;font-weight:600;margin:.5rem 0}"
    ".banner.up{background:#2e9d4f}.banner.some{background:#b7791f}"
    ".banner.down{background:#d93025}.banner.none,.banner.note{background:#57606a}"
    ".updated,.meta{color:#57606a;font-size:.9rem;margin:.25rem 0}"
    ".group{background:#fff;border:1px solid #d0d7de;border-radius:.5rem;padding:1rem;"
    "margin:1rem 0}"
    ".urls{list-style:none;margin:0;padding:0}"
    ".url{border-top:1px solid #eaeef2;padding:.6rem 0;display:flex;flex-wrap:wrap;gap:.25rem 1rem;"
    "align-items:center}"
    ".addr{flex:1 1 14rem;overflow-wrap:anywhere}.state{font-weight:600}"
    ".state.up{color:#1a7f37}.state.down{color:#cf222e}.state.unknown,.state.paused{color:#57606a}"
    ".uptime{font-size:.9rem;color:#57606a}"
    ".bar{display:block;width:100%;height:24px}";

std::string lastCheckText(uint32_t when) { return when == 0 ? "never" : utcMinuteText(when); }

std::string dateText(int64_t day) {
  return utcDateText(static_cast<std::time_t>(day) * kSecondsPerDay);
}

long minutesAgo(const StatusModel& model) {
  const long long seconds = static_cast<long long>(model.now) - model.lastCheck;
  return seconds > 0 ? static_cast<long>(seconds / 60) : 0;
}

const char* overallText(Overall overall) {
  switch (overall) {
    case Overall::kNoData:
      return "No checks yet";
    case Overall::kAllWorking:
      return "All systems working";
    case Overall::kSomeFailing:
      return "Some systems failing";
    case Overall::kAllFailing:
      return "All systems failing";
  }
  return "";
}

const char* overallClass(Overall overall) {
  switch (overall) {
    case Overall::kNoData:
      return "none";
    case Overall::kAllWorking:
      return "up";
    case Overall::kSomeFailing:
      return "some";
    case Overall::kAllFailing:
      return "down";
  }
  return "none";
}

const char* dayColour(const DayFold& day) {
  if (day.checks == 0) return kNoDataColour;
  if (day.upChecks >= day.checks) return kUpColour;
  if (uint64_t{day.upChecks} * 100 >= uint64_t{day.checks} * 99) return kAmberColour;
  return kFailColour;
}

void escape(std::string& out, std::string_view text) { appendHtmlEscaped(out, text, true); }

std::string updatedText(const StatusModel& model) {
  if (model.lastCheck == 0) return "Not checked yet";
  const long minutes = minutesAgo(model);
  return formatAlloc("Updated %ld minute%s ago", minutes, minutes == 1 ? "" : "s");
}

// Whether a day's bar may be drawn together with its neighbours of the same
// colour: days all up or without a check; a day with a failed check stands
// alone, its own uptime in its title.
bool joinsItsRun(const DayFold& day) { return day.checks == 0 || day.upChecks >= day.checks; }

// The 90 days of a URL as bars coloured by their uptime, each titled with its
// date (or dates) and uptime. A page of ten thousand URLs holds this bar ten
// thousand times, so neighbouring days of one colour that all say the same
// share one rectangle.
void appendBar(std::string& out, const PublicUrl& url, std::time_t now) {
  const int64_t firstDay = std::max<std::time_t>(now, 0) / kSecondsPerDay - (kStatusBarDays - 1);
  // The bar spans its row at any width, the days stretched, its height kept.
  out +=
      "<svg class=\"bar\" viewBox=\"0 0 629 24\" width=\"629\" height=\"24\" "
      "preserveAspectRatio=\"none\" role=\"img\">"
      "<title>Uptime of the last 90 days</title>";
  for (int i = 0; i < kStatusBarDays;) {
    const DayFold& day = url.days[static_cast<size_t>(i)];
    const char* colour = dayColour(day);
    int end = i + 1;
    while (joinsItsRun(day) && end < kStatusBarDays &&
           joinsItsRun(url.days[static_cast<size_t>(end)]) &&
           dayColour(url.days[static_cast<size_t>(end)]) == colour) {
      ++end;
    }
    UptimeCount count;
    for (int at = i; at < end; ++at) {
      count.checks += url.days[static_cast<size_t>(at)].checks;
      count.upChecks += url.days[static_cast<size_t>(at)].upChecks;
    }
    out += formatAlloc("<rect x=\"%d\" width=\"%d\" height=\"24\" fill=\"%s\"><title>", i * 7,
                       (end - i) * 7 - 1, colour);
    out += dateText(firstDay + i);
    if (end - i > 1) out += " to " + dateText(firstDay + end - 1);
    out += ": " + (count.checks ? uptimePercentText(count) : std::string("no checks"));
    out += "</title></rect>";
    i = end;
  }
  out += "</svg>";
}

void appendUrl(std::string& out, const PublicUrl& url, std::time_t now) {
  const char* state = stateWord(url.state);
  out += formatAlloc("<li class=\"url\"><span class=\"addr\">");
  escape(out, url.shown);
  out += formatAlloc("</span><span class=\"state %s\">%s</span>", state, state);
  out += "<span class=\"uptime\">30 days: " + uptimePercentText(url.uptime30) +
         " · 90 days: " + uptimePercentText(url.uptime90) + "</span>";
  appendBar(out, url, now);
  out += "</li>";
}

void appendGroup(std::string& out, const PublicGroup& group, std::time_t now) {
  out += "<section class=\"group\"><h2>";
  escape(out, group.title);
  out += "</h2><p class=\"meta\">Last check: " + lastCheckText(group.lastCheck);
  if (!group.historyRead) out += " · uptime not available";
  out += "</p><ul class=\"urls\">";
  for (const PublicUrl& url : group.urls) appendUrl(out, url, now);
  out += "</ul></section>";
}

std::string pageStart(const char* status, int maxAge) {
  std::string out = status;
  out += formatAlloc(
      "Content-Type: text/html; charset=utf-8\nCache-Control: max-age=%d\n"
      "X-Content-Type-Options: nosniff\n"
      "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\n\n",
      maxAge);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>Status</title><style>";
  out += kStyle;
  out += "</style></head><body><main><h1>Status</h1>";
  return out;
}

// A percentage text ("99.93 %") as a JSON number, null for "-".
void appendJsonPercent(std::string& out, const UptimeCount& count) {
  const std::string text = uptimePercentText(count);
  out += count.checks ? text.substr(0, text.find(' ')) : "null";
}

void appendJsonUrl(std::string& out, const PublicUrl& url) {
  out += "{\"url\":";
  appendJsonString(out, url.shown);
  out += formatAlloc(",\"state\":\"%s\",\"lastCheck\":%u,\"uptime30\":", stateWord(url.state),
                     url.lastCheck);
  appendJsonPercent(out, url.uptime30);
  out += ",\"uptime90\":";
  appendJsonPercent(out, url.uptime90);
  out += ",\"days\":[";
  for (size_t i = 0; i < url.days.size(); ++i) {
    if (i) out += ',';
    appendJsonPercent(out, {url.days[i].upChecks, url.days[i].checks});
  }
  out += "]}";
}

void appendJsonGroup(std::string& out, const PublicGroup& group) {
  out += "{\"group\":";
  appendJsonString(out, group.name);
  out += ",\"title\":";
  appendJsonString(out, group.title);
  out += formatAlloc(",\"lastCheck\":%u,\"urls\":[", group.lastCheck);
  for (size_t i = 0; i < group.urls.size(); ++i) {
    if (i) out += ',';
    appendJsonUrl(out, group.urls[i]);
  }
  out += "]}";
}

}  // namespace

std::string statusPageReply(const StatusModel& model) {
  std::string out = pageStart("", kPageMaxAgeSeconds);
  if (!model.notice.empty()) {
    out += "<div class=\"banner note\" role=\"note\">";
    escape(out, model.notice);
    out += "</div>";
  }
  out += formatAlloc("<div class=\"banner %s\" role=\"status\">%s</div>",
                     overallClass(model.overall), overallText(model.overall));
  out += "<p class=\"updated\">" + updatedText(model) + "</p>";
  for (const PublicGroup& group : model.groups) appendGroup(out, group, model.now);
  return out + "</main></body></html>\n";
}

std::string statusJsonReply(const StatusModel& model) {
  std::string out = formatAlloc(
      "Content-Type: application/json\nCache-Control: max-age=%d\n"
      "X-Content-Type-Options: nosniff\n\n",
      kPageMaxAgeSeconds);
  out += formatAlloc("{\"now\":%lld,\"lastCheck\":%u,\"minutesAgo\":%ld,\"overall\":\"%s\",",
                     static_cast<long long>(model.now), model.lastCheck, minutesAgo(model),
                     overallClass(model.overall));
  out += "\"overallText\":";
  appendJsonString(out, overallText(model.overall));
  out += ",\"notice\":";
  appendJsonString(out, model.notice);
  out += ",\"groups\":[";
  for (size_t i = 0; i < model.groups.size(); ++i) {
    if (i) out += ',';
    appendJsonGroup(out, model.groups[i]);
  }
  return out + "]}\n";
}

std::string missingPageReply(bool json) {
  if (json) {
    return "Status: 404 Not Found\nContent-Type: application/json\nCache-Control: max-age=30\n"
           "X-Content-Type-Options: nosniff\n\n{\"error\":\"no such status page\"}\n";
  }
  return pageStart("Status: 404 Not Found\n", kPageMaxAgeSeconds) +
         "<p>There is no such status page.</p></main></body></html>\n";
}

std::string badRequestReply(std::string_view why) {
  std::string out =
      "Status: 400 Bad Request\nContent-Type: text/plain; charset=utf-8\n"
      "X-Content-Type-Options: nosniff\n\n";
  out += why;
  return out + "\n";
}

}  // namespace vy
