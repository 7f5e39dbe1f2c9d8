// The status page as HTML and as JSON; see status_render.h.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>
#include <unordered_map>

#include "common/cgi.h"
#include "common/json.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "status/status_render.h"

namespace vy {
namespace {

// How a day of the bar is coloured, by its uptime: the class of its
// rectangle, whose colour the style sheet gives.
enum class Shade { kUp, kAmber, kFail, kNoData };
constexpr int kShades = 4;
constexpr const char* kShadeClasses[kShades] = {"u", "a", "f", "n"};

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
    ".bar{display:block;width:100%;height:24px;background:#2e9d4f}"
    ".u{fill:#2e9d4f}.a{fill:#e0a100}.f{fill:#d93025}.n{fill:#b0b7c3}"
    ".key{color:#57606a;font-size:.85rem;margin:.25rem 0}"
    ".key i{display:inline-block;width:.8em;height:.8em;margin:0 .25em 0 .6em;"
    "vertical-align:-.05em}"
    ".key .u{background:#2e9d4f}.key .a{background:#e0a100}.key .f{background:#d93025}"
    ".key .n{background:#b0b7c3}"
    // A colour and its words wrap together, never apart.
    ".key span{white-space:nowrap}";

std::string lastCheckText(uint32_t when) { return when == 0 ? "never" : utcMinuteText(when); }

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

Shade dayShade(const DayFold& day) {
  if (day.checks == 0) return Shade::kNoData;
  if (day.upChecks >= day.checks) return Shade::kUp;
  if (uint64_t{day.upChecks} * 100 >= uint64_t{day.checks} * 99) return Shade::kAmber;
  return Shade::kFail;
}

void escape(std::string& out, std::string_view text) { appendHtmlEscaped(out, text, true); }

std::string updatedText(const StatusModel& model) {
  if (model.lastCheck == 0) return "Not checked yet";
  const long minutes = minutesAgo(model);
  return formatAlloc("Updated %ld minute%s ago", minutes, minutes == 1 ? "" : "s");
}

// Writes an uptime as "99.93" at at (at most 6 bytes) and gives its end.
char* writeUptime(char* at, const UptimeCount& count) {
  const uint64_t hundredths = uptimeHundredths(count);
  at = std::to_chars(at, at + 3, hundredths / 100).ptr;
  at[0] = '.';
  at[1] = static_cast<char>('0' + hundredths % 100 / 10);
  at[2] = static_cast<char>('0' + hundredths % 10);
  return at + 3;
}

// Builds a short text in place from literals, numbers and uptimes, to be
// appended at once: the page has an uptime text for each of its ten
// thousand URLs. The callers' pieces never add up to kCapacity.
template <size_t kCapacity>
class Piece {
 public:
  template <size_t N>
  Piece& operator<<(const char (&text)[N]) {
    std::memcpy(at_, text, N - 1);
    at_ += N - 1;
    return *this;
  }
  Piece& operator<<(uint64_t value) {
    at_ = std::to_chars(at_, std::end(bytes_), value).ptr;
    return *this;
  }
  Piece& operator<<(const UptimeCount& count) {
    at_ = writeUptime(at_, count);
    return *this;
  }
  void appendTo(std::string& out) const { out.append(bytes_, static_cast<size_t>(at_ - bytes_)); }

 private:
  char bytes_[kCapacity];
  char* at_ = bytes_;
};

// The texts of the bar's rectangles. A rectangle's text is fixed by its days
// and its shade, but for the uptime of days with a failed check, so each is
// made once for a page: ten thousand bars share a few hundred of them. Only
// the days with a failed check carry a title (their date and uptime): what a
// stretch of green or grey days means the page's key says, and a page of
// ten thousand bars is a third smaller for it.
class BarRects {
 public:
  explicit BarRects(std::time_t now)
      : firstDay_(std::max<std::time_t>(now, 0) / kSecondsPerDay - (kStatusBarDays - 1)) {}

  // The days first to end (exclusive); a day with a failed check alone,
  // with its checks in count.
  void append(std::string& out, int first, int end, Shade shade, const UptimeCount& count) {
    if (shade == Shade::kUp || shade == Shade::kNoData) {
      out += fixedPart(first, end, shade);
    } else {
      out += failedDay(first, shade, count);
    }
  }

 private:
  const std::string& fixedPart(int first, int end, Shade shade) {
    const int at = (first * kStatusBarDays + end - 1) * kShades + static_cast<int>(shade);
    std::string& text = texts_[at];
    if (!text.empty()) return text;
    text = formatAlloc("<rect x=\"%d\" width=\"%d\" height=\"24\" class=\"%s\">", first * 7,
                       (end - first) * 7, kShadeClasses[static_cast<int>(shade)]);
    if (shade == Shade::kUp || shade == Shade::kNoData) {
      text += "</rect>";
    } else {
      text += "<title>" + dateText(first) + ": ";  // a day with a failed check stands alone
    }
    return text;
  }
  // The rectangle of a day with a failed check. The URLs of a group often
  // share a day's counts (an outage of the whole site), so the text last
  // made for each day is kept.
  const std::string& failedDay(int day, Shade shade, const UptimeCount& count) {
    Figure& figure = lastFigures_[static_cast<size_t>(day)];
    if (figure.text.empty() || figure.shade != shade || figure.count.checks != count.checks ||
        figure.count.upChecks != count.upChecks) {
      Piece<40> uptime;
      uptime << count << " %</title></rect>";
      figure.text = fixedPart(day, day + 1, shade);
      uptime.appendTo(figure.text);
      figure.count = count;
      figure.shade = shade;
    }
    return figure.text;
  }
  std::string dateText(int day) const {
    return utcDateText(static_cast<std::time_t>(firstDay_ + day) * kSecondsPerDay);
  }

  struct Figure {
    UptimeCount count;
    Shade shade = Shade::kUp;
    std::string text;
  };

  int64_t firstDay_;
  std::unordered_map<int, std::string> texts_;  // by first day, last day and shade
  std::array<Figure, kStatusBarDays> lastFigures_;
};

// The 90 days of a URL as a bar coloured by each day's uptime, a day with a
// failed check titled with its date and uptime. A page of ten thousand URLs
// holds this bar ten thousand times, so the green of the days all up is the
// bar's background, only the other days are drawn over it, and neighbouring
// days without a check share one rectangle.
void appendBar(std::string& out, const GroupDays& days, size_t url, BarRects& rects) {
  // The bar spans its row at any width (the style sheet sizes it), the days
  // stretched, its height kept.
  out +=
      "<svg class=\"bar\" viewBox=\"0 0 629 24\" preserveAspectRatio=\"none\" role=\"img\">"
      "<title>Uptime of the last 90 days</title>";
  const uint64_t other[2] = {days.otherDays(url, 0, 64),
                             days.otherDays(url, 64, kStatusBarDays - 64)};
  const auto isOther = [&](size_t d) { return (other[d / 64] >> (d % 64) & 1) != 0; };
  for (size_t word = 0; word < 2; ++word) {
    for (uint64_t bits = other[word]; bits != 0; bits &= bits - 1) {
      const size_t d = word * 64 + static_cast<size_t>(std::countr_zero(bits));
      const DayFold day = days.day(url, d);
      if (day.checks == 0 && d > 0 && isOther(d - 1) && days.day(url, d - 1).checks == 0) {
        continue;  // drawn with the days without a check before it
      }
      size_t end = d + 1;  // a day with a failed check stands alone
      if (day.checks == 0) {
        while (end < kStatusBarDays && isOther(end) && days.day(url, end).checks == 0) ++end;
      }
      rects.append(out, static_cast<int>(d), static_cast<int>(end), dayShade(day),
                   {day.upChecks, day.checks});
    }
  }
  out += "</svg>";
}

// uptimePercentText's text ("99.93 %", "-"), without a text of its own.
void appendPercent(std::string& out, const UptimeCount& count) {
  if (count.checks == 0) {
    out += '-';
    return;
  }
  Piece<32> text;
  text << count << " %";
  text.appendTo(out);
}

void appendUrl(std::string& out, const PublicUrl& url, const GroupDays& group, size_t at,
               BarRects& rects) {
  const UrlDays& days = group.urls[at];
  const char* state = stateWord(url.state);
  out += "<li class=\"url\"><span class=\"addr\">";
  escape(out, url.shown());
  out += "</span><span class=\"state ";
  out += state;
  out += "\">";
  out += state;
  out += "</span>";
  out += "<span class=\"uptime\">30 days: ";
  appendPercent(out, days.uptime30);
  out += " · 90 days: ";
  appendPercent(out, days.uptime90);
  out += "</span>";
  appendBar(out, group, at, rects);
  out += "</li>";
}

void writeGroup(ReplyWriter& writer, const PublicGroup& group, const GroupDays& days,
                BarRects& rects) {
  std::string& out = writer.text;
  out += "<section class=\"group\"><h2>";
  escape(out, group.title);
  out += "</h2><p class=\"meta\">Last check: " + lastCheckText(group.lastCheck);
  if (!days.read) out += " · uptime not available";
  out += "</p><ul class=\"urls\">";
  for (size_t i = 0; i < group.urls.size(); ++i) {
    appendUrl(out, group.urls[i], days, i, rects);
    writer.handOn();
  }
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
  if (count.checks == 0) {
    out += "null";
  } else {
    appendUptimeNumber(out, count);
  }
}

// The days' uptimes, comma-separated: null for a day without a check, 100
// for a day all up (most days, spared the division), else two decimals.
// Written in place, as the JSON has one for every day of ten thousand URLs.
void appendJsonDays(std::string& out, const GroupDays& days, size_t url) {
  constexpr size_t kMostPerDay = 6;  // "99.99,"
  const size_t start = out.size();
  out.resize(start + kStatusBarDays * kMostPerDay);
  char* at = out.data() + start;
  const uint64_t other[2] = {days.otherDays(url, 0, 64),
                             days.otherDays(url, 64, kStatusBarDays - 64)};
  for (size_t d = 0; d < kStatusBarDays; ++d) {
    if ((other[d / 64] >> (d % 64) & 1) == 0) {  // all up: its counts need not be read
      std::memcpy(at, "100,", 4);
      at += 4;
      continue;
    }
    const DayFold day = days.day(url, d);
    if (day.checks == 0) {
      std::memcpy(at, "null,", 5);
      at += 5;
    } else if (day.upChecks >= day.checks) {
      std::memcpy(at, "100,", 4);
      at += 4;
    } else {
      at = writeUptime(at, {day.upChecks, day.checks});  // below 100: "99.99" at most
      *at++ = ',';
    }
  }
  const size_t written = static_cast<size_t>(at - (out.data() + start));
  out.resize(start + (written > 0 ? written - 1 : 0));  // without the last comma
}

void appendJsonUrl(std::string& out, const PublicUrl& url, const GroupDays& group, size_t at) {
  const UrlDays& days = group.urls[at];
  out += "{\"url\":";
  appendJsonString(out, url.shown());
  out += ",\"state\":\"";
  out += stateWord(url.state);
  out += "\",\"lastCheck\":";
  appendDecimal(out, url.lastCheck);
  out += ",\"uptime30\":";
  appendJsonPercent(out, days.uptime30);
  out += ",\"uptime90\":";
  appendJsonPercent(out, days.uptime90);
  out += ",\"days\":[";
  appendJsonDays(out, group, at);
  out += "]}";
}

void writeJsonGroup(ReplyWriter& writer, const PublicGroup& group, const GroupDays& days) {
  std::string& out = writer.text;
  out += "{\"group\":";
  appendJsonString(out, group.name);
  out += ",\"title\":";
  appendJsonString(out, group.title);
  out += formatAlloc(",\"lastCheck\":%u,\"urls\":[", group.lastCheck);
  for (size_t i = 0; i < group.urls.size(); ++i) {
    if (i) out += ',';
    appendJsonUrl(out, group.urls[i], days, i);
    writer.handOn();
  }
  out += "]}";
}

}  // namespace

void ReplyWriter::handOn(size_t atLeast) {
  if (!file || text.size() < atLeast) return;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) failed = true;
  text.clear();
}

bool ReplyWriter::finish() {
  handOn(0);
  return !failed && (!file || std::fflush(file) == 0);
}

void writeStatusPage(const StatusModel& model, ReplyWriter& writer) {
  std::string& out = writer.text;
  out += pageStart("", kPageMaxAgeSeconds);
  if (!model.notice.empty()) {
    out += "<div class=\"banner note\" role=\"note\">";
    escape(out, model.notice);
    out += "</div>";
  }
  out += formatAlloc("<div class=\"banner %s\" role=\"status\">%s</div>",
                     overallClass(model.overall), overallText(model.overall));
  out += "<p class=\"updated\">" + updatedText(model) + "</p>";
  if (!model.groups.empty()) {
    out +=
        "<p class=\"key\">Each bar shows the last 90 days, today on the right: "
        "<span><i class=\"u\"></i>every check up</span> <span><i class=\"a\"></i>99 % or "
        "more</span> "
        "<span><i class=\"f\"></i>less</span> <span><i class=\"n\"></i>no checks</span>. "
        "Point at a red or amber day for its date and uptime.</p>";
  }
  BarRects rects(model.now);
  GroupDays days;
  for (const PublicGroup& group : model.groups) {
    gatherGroupDays(group, model.now, days);
    writeGroup(writer, group, days, rects);
  }
  out += "</main></body></html>\n";
}

void writeStatusJson(const StatusModel& model, ReplyWriter& writer) {
  std::string& out = writer.text;
  out += formatAlloc(
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
  GroupDays days;
  for (size_t i = 0; i < model.groups.size(); ++i) {
    if (i) out += ',';
    gatherGroupDays(model.groups[i], model.now, days);
    writeJsonGroup(writer, model.groups[i], days);
  }
  out += "]}\n";
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
