// The two-part SVG badges: a grey label, a coloured value; see
// status_render.h.
#include <algorithm>

#include "common/cgi.h"
#include "common/text.h"
#include "status/status_render.h"

namespace vy {
namespace {

constexpr const char* kLabelColour = "#555";
constexpr const char* kBadgeUpColour = "#2e9d4f";
constexpr const char* kBadgeAmberColour = "#dfb317";
constexpr const char* kBadgeFailColour = "#e05d44";
constexpr const char* kBadgeNoDataColour = "#9f9f9f";

// A width for a text at 11 px: no font is measured, so wide enough for the widest.
int textWidth(std::string_view text) {
  size_t characters = 0;
  for (char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return static_cast<int>(std::min<size_t>(characters, 200)) * 7 + 10;
}

std::string escaped(std::string_view text) {
  std::string out;
  appendHtmlEscaped(out, text, true);
  return out;
}

std::string badgeHeader() {
  return formatAlloc(
      "Content-Type: image/svg+xml\nCache-Control: max-age=%d\nX-Content-Type-Options: nosniff\n"
      "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\n\n",
      kBadgeMaxAgeSeconds);
}

// The URLs a badge speaks for: all of the group's, or those shown as url.
std::vector<const PublicUrl*> badgeUrls(const PublicGroup& group,
                                        const std::optional<std::string>& url) {
  std::vector<const PublicUrl*> urls;
  for (const PublicUrl& entry : group.urls) {
    if (!url || entry.shown() == *url) urls.push_back(&entry);
  }
  return urls;
}

std::pair<std::string, const char*> statusValue(const std::vector<const PublicUrl*>& urls) {
  size_t up = 0, down = 0, paused = 0;
  for (const PublicUrl* url : urls) {
    up += url->state == UrlState::kUp;
    down += url->state == UrlState::kDown;
    paused += url->state == UrlState::kPaused;
  }
  if (up + down == 0) return {paused ? "paused" : "unknown", kBadgeNoDataColour};
  if (down == 0) return {"up", kBadgeUpColour};
  if (up == 0) return {"down", kBadgeFailColour};
  return {"degraded", kBadgeAmberColour};
}

std::pair<std::string, const char*> uptimeValue(const std::vector<const PublicUrl*>& urls) {
  UptimeCount total;
  for (const PublicUrl* url : urls) {
    total.checks += url->uptimeWindow.checks;
    total.upChecks += url->uptimeWindow.upChecks;
  }
  if (total.checks == 0) return {"no data", kBadgeNoDataColour};
  const char* colour = total.upChecks >= total.checks              ? kBadgeUpColour
                       : total.upChecks * 100 >= total.checks * 99 ? kBadgeAmberColour
                                                                   : kBadgeFailColour;
  return {uptimePercentText(total), colour};
}

std::pair<std::string, const char*> responseValue(const std::vector<const PublicUrl*>& urls) {
  ResponseFold total;
  for (const PublicUrl* url : urls) total.add(url->responseWindow);
  const std::optional<uint32_t> mean = total.meanMs();
  if (!mean) return {"no data", kBadgeNoDataColour};
  return {std::to_string(*mean) + " ms", kBadgeUpColour};
}

}  // namespace

std::string badgeSvg(std::string_view label, std::string_view value, const char* colour) {
  const int left = textWidth(label), right = textWidth(value), width = left + right;
  const std::string label_ = escaped(label), value_ = escaped(value);
  std::string svg = formatAlloc(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"20\" role=\"img\" "
      "aria-label=\"%s: %s\"><title>%s: %s</title>",
      width, label_.c_str(), value_.c_str(), label_.c_str(), value_.c_str());
  svg +=
      formatAlloc("<rect width=\"%d\" height=\"20\" rx=\"3\" fill=\"%s\"/>", width, kLabelColour);
  svg +=
      formatAlloc("<rect x=\"%d\" width=\"%d\" height=\"20\" fill=\"%s\"/>", left, right, colour);
  svg += formatAlloc(
      "<g fill=\"#fff\" text-anchor=\"middle\" font-family=\"Verdana,DejaVu Sans,sans-serif\" "
      "font-size=\"11\"><text x=\"%d\" y=\"14\">%s</text><text x=\"%d\" y=\"14\">%s</text></g>",
      left / 2, label_.c_str(), left + right / 2, value_.c_str());
  return svg + "</svg>\n";
}

std::string badgeReply(BadgeKind kind, const StatusModel& model,
                       const std::optional<std::string>& url, int windowDays) {
  if (model.groups.empty()) return missingBadgeReply();
  const std::vector<const PublicUrl*> urls = badgeUrls(model.groups.front(), url);
  if (urls.empty()) return missingBadgeReply();
  const std::string window = std::to_string(windowDays) + "d";
  std::pair<std::string, const char*> value;
  std::string label;
  switch (kind) {
    case BadgeKind::kStatus:
      label = model.groups.front().title;
      value = statusValue(urls);
      break;
    case BadgeKind::kUptime:
      label = "uptime " + window;
      value = uptimeValue(urls);
      break;
    case BadgeKind::kResponse:
      label = "response " + window;
      value = responseValue(urls);
      break;
  }
  return badgeHeader() + badgeSvg(label, value.first, value.second);
}

std::string missingBadgeReply() {
  return "Status: 404 Not Found\n" + badgeHeader() +
         badgeSvg("status", "not found", kBadgeNoDataColour);
}

}  // namespace vy
