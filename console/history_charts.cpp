// The uptime texts, slots, days and SVG charts of the history pages; see
// history_charts.h.
#include "console/history_charts.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "common/cgi.h"
#include "common/templates.h"
#include "common/text.h"
#include "common/zonetime.h"

namespace vy {
namespace {

constexpr const char* kFailColour = "#d93025";
constexpr const char* kUpColour = "#2e9d4f";
constexpr const char* kAmberColour = "#e0a100";
constexpr const char* kNoDataColour = "#b0b7c3";
constexpr const char* kMaxColour = "#e0a100";

// The size of a chart and whether its scale is written on it.
struct ChartFrame {
  double width;
  double height;
  bool scale;
  double dot;  // the radius of a lone point
};

constexpr ChartFrame kSparkFrame = {96, 24, false, 1.5};
constexpr ChartFrame kDayFrame = {576, 120, true, 2};
constexpr ChartFrame kDaysFrame = {600, 120, true, 2.5};

// One line of a chart: a value per slot, none where the slot holds no check.
struct Series {
  std::vector<std::optional<double>> values;
  const char* stroke;
};

// Appends a coordinate with one decimal, "12.5", or without one when it is
// whole, "12". Written by hand: a page of 10,000 charts holds a million.
void appendNumber(std::string& out, double value) {
  const long long tenths = std::llround(value * 10);
  const unsigned long long magnitude =
      tenths < 0 ? 0ull - static_cast<unsigned long long>(tenths) : tenths;
  char text[32];
  char* end = text;
  if (tenths < 0) *end++ = '-';
  end = std::to_chars(end, text + sizeof text, magnitude / 10).ptr;
  if (magnitude % 10 != 0) {
    *end++ = '.';
    *end++ = static_cast<char>('0' + magnitude % 10);
  }
  out.append(text, end);
}

std::string number(double value) {
  std::string text;
  appendNumber(text, value);
  return text;
}

std::string svgStart(const char* type, double width, double height, std::string_view label) {
  std::string svg = "<svg class=\"";
  svg += type;
  svg += "\" viewBox=\"0 0 " + number(width) + " " + number(height) + "\" width=\"" +
         number(width) + "\" height=\"" + number(height) + "\" role=\"img\"><title>";
  appendHtmlEscaped(svg, label, true);
  svg += "</title>";
  return svg;
}

double scaleOf(const std::vector<Series>& lines) {
  double top = 0;
  for (const Series& line : lines) {
    for (const std::optional<double>& value : line.values) top = std::max(top, value.value_or(0));
  }
  return std::max(top, 1.0);
}

// A line through the slots that hold a value; a gap breaks it, and a value
// between two gaps is a dot.
void drawSeries(std::string& svg, const Series& line, const ChartFrame& frame, double top) {
  const size_t count = line.values.size();
  const double plotTop = frame.scale ? 14 : 2, plotBottom = frame.height - 2;
  auto x = [&](size_t i) { return (static_cast<double>(i) + 0.5) * frame.width / count; };
  auto y = [&](double v) { return plotBottom - (plotBottom - plotTop) * (v / top); };
  for (size_t i = 0; i < count;) {
    if (!line.values[i]) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < count && line.values[end]) ++end;
    if (end - i == 1) {
      svg += "<circle cx=\"" + number(x(i)) + "\" cy=\"" + number(y(*line.values[i])) + "\" r=\"" +
             number(frame.dot) + "\" fill=\"" + line.stroke + "\"/>";
    } else {
      svg += "<polyline fill=\"none\" stroke=\"";
      svg += line.stroke;
      svg += "\" stroke-width=\"1.5\" stroke-linejoin=\"round\" points=\"";
      for (size_t at = i; at < end; ++at) {
        if (at != i) svg += ' ';
        appendNumber(svg, x(at));
        svg += ',';
        appendNumber(svg, y(*line.values[at]));
      }
      svg += "\"/>";
    }
    i = end;
  }
}

// A chart: red bands behind the slots with a failed check, the baseline, the
// lines and, when the frame asks, the scale (or that there was no check).
Markup chart(const char* type, const ChartFrame& frame, std::string_view label,
             const std::vector<bool>& failed, const std::vector<Series>& lines) {
  std::string svg = svgStart(type, frame.width, frame.height, label);
  const size_t count = failed.size();
  const double slotWidth = count ? frame.width / count : frame.width;
  for (size_t i = 0; i < count; ++i) {
    if (!failed[i]) continue;
    svg += "<rect x=\"" + number(i * slotWidth) + "\" y=\"0\" width=\"" +
           number(std::max(slotWidth, 1.0)) + "\" height=\"" + number(frame.height) + "\" fill=\"" +
           kFailColour + "\" fill-opacity=\"0.35\"/>";
  }
  svg += "<line x1=\"0\" y1=\"" + number(frame.height - 1) + "\" x2=\"" + number(frame.width) +
         "\" y2=\"" + number(frame.height - 1) +
         "\" stroke=\"currentColor\" stroke-opacity=\"0.3\"/>";
  const double top = scaleOf(lines);
  bool any = false;
  for (const Series& line : lines) {
    drawSeries(svg, line, frame, top);
    any = any || std::any_of(line.values.begin(), line.values.end(),
                             [](const std::optional<double>& v) { return v.has_value(); });
  }
  if (frame.scale) {
    const std::string text = any ? formatAlloc("%.0f ms", top) : "no checks";
    svg += "<text x=\"2\" y=\"10\" font-size=\"10\" fill=\"currentColor\">" + text + "</text>";
  }
  return Markup(svg + "</svg>");
}

std::optional<double> meanOf(uint64_t sum, uint32_t checks) {
  if (checks == 0) return std::nullopt;
  return static_cast<double>(sum) / checks;
}

Markup slotChart(const char* type, const ChartFrame& frame, std::span<const CheckSlot> slots,
                 std::string_view label) {
  std::vector<bool> failed;
  Series mean{{}, "currentColor"};
  for (const CheckSlot& slot : slots) {
    failed.push_back(slot.failed > 0);
    mean.values.push_back(meanOf(slot.responseMsSum, slot.checks));
  }
  return chart(type, frame, label, failed, {mean});
}

const char* dayColour(const HistoryDay& day) {
  if (day.checks == 0) return kNoDataColour;
  if (day.upChecks >= day.checks) return kUpColour;
  if (uint64_t{day.upChecks} * 100 >= uint64_t{day.checks} * 99) return kAmberColour;
  return kFailColour;
}

}  // namespace

void LastDaySlots::add(std::span<CheckSlot> into, const HistoryCheck& check) const {
  const std::time_t from = now_ - kSecondsPerDay;
  if (slots_ == 0 || check.time <= from || check.time > now_) return;
  const uint64_t offset = static_cast<uint64_t>(check.time - from - 1);
  CheckSlot& slot = into[offset * slots_ / kSecondsPerDay];
  ++slot.checks;
  if (!check.up()) ++slot.failed;
  slot.responseMsSum += check.responseMs;
  slot.responseMsMax = std::max(slot.responseMsMax, check.responseMs);
}

std::vector<CheckSlot> slotsOfLastDay(const UrlHistory& history, std::time_t now, size_t slots) {
  std::vector<CheckSlot> out(slots);
  const LastDaySlots lastDay(now, slots);
  for (const HistoryCheck& check : history.checks) lastDay.add(out, check);
  return out;
}

bool anyCheck(std::span<const CheckSlot> slots) {
  return std::any_of(slots.begin(), slots.end(), [](const CheckSlot& slot) { return slot.checks; });
}

std::vector<HistoryDay> lastDays(const UrlHistory& history, std::time_t now, int days) {
  const int64_t today = std::max<std::time_t>(now, 0) / kSecondsPerDay;
  const int64_t first = std::max<int64_t>(today - days + 1, 0);
  std::vector<HistoryDay> out;
  for (int64_t day = first; day <= today; ++day) {
    out.push_back(HistoryDay{static_cast<uint16_t>(day), 0, 0, 0, 0});
  }
  auto at = [&](int64_t day) -> HistoryDay* {
    return day >= first && day <= today ? &out[static_cast<size_t>(day - first)] : nullptr;
  };
  for (const HistoryDay& summary : history.days) {
    if (HistoryDay* day = at(summary.day)) {
      day->checks += summary.checks;
      day->upChecks += summary.upChecks;
      day->responseMsSum += summary.responseMsSum;
      day->responseMsMax = std::max(day->responseMsMax, summary.responseMsMax);
    }
  }
  for (const HistoryCheck& check : history.checks) {
    if (HistoryDay* day = at(check.time / kSecondsPerDay)) {
      ++day->checks;
      if (check.up()) ++day->upChecks;
      day->responseMsSum += check.responseMs;
      day->responseMsMax = std::max(day->responseMsMax, check.responseMs);
    }
  }
  return out;
}

std::string dayText(uint32_t day) {
  return utcDateText(static_cast<std::time_t>(day) * kSecondsPerDay);
}

Markup sparkChart(std::span<const CheckSlot> slots, std::string_view label) {
  return slotChart("spark", kSparkFrame, slots, label);
}

Markup dayChart(std::span<const CheckSlot> slots, std::string_view label) {
  return slotChart("chart", kDayFrame, slots, label);
}

Markup daysChart(std::span<const HistoryDay> days, std::string_view label) {
  std::vector<bool> failed;
  Series mean{{}, "currentColor"}, max{{}, kMaxColour};
  for (const HistoryDay& day : days) {
    failed.push_back(day.upChecks < day.checks);
    mean.values.push_back(meanOf(day.responseMsSum, day.checks));
    max.values.push_back(day.checks ? std::optional<double>(day.responseMsMax) : std::nullopt);
  }
  return chart("chart", kDaysFrame, label, failed, {max, mean});
}

Markup uptimeBar(std::span<const HistoryDay> days, std::string_view label) {
  constexpr double kBarWidth = 6, kGap = 1, kHeight = 24;
  const double width = std::max(days.size() * (kBarWidth + kGap) - kGap, 1.0);
  std::string svg = svgStart("uptimebar", width, kHeight, label);
  for (size_t i = 0; i < days.size(); ++i) {
    const HistoryDay& day = days[i];
    const std::string uptime =
        day.checks ? uptimePercentText({day.upChecks, day.checks}) : "no checks";
    svg += "<rect x=\"" + number(i * (kBarWidth + kGap)) + "\" y=\"0\" width=\"" +
           number(kBarWidth) + "\" height=\"" + number(kHeight) + "\" fill=\"" + dayColour(day) +
           "\"><title>" + dayText(day.day) + ": " + uptime + "</title></rect>";
  }
  return Markup(svg + "</svg>");
}

}  // namespace vy
