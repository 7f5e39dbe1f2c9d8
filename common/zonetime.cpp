// Time-zone conversion and the time text; see zonetime.h.
#include "common/zonetime.h"

#include <cstdlib>
#include <optional>

namespace vy {
namespace {

DisplayZone g_displayZone;  // written before any thread starts, then only read

bool isSystemZone(std::string_view zoneName) { return !zoneName.empty() && zoneName[0] == '*'; }

std::tm convert(std::time_t when, bool local, long offset) {
  std::tm result{};
  if (local) {
    localtime_r(&when, &result);
  } else {
    std::time_t shifted = when + offset;
    gmtime_r(&shifted, &result);
  }
  return result;
}

// Sets TZ (or removes it for none) and lets the C library read it again.
void setZoneVariable(const std::optional<std::string>& value) {
  if (value) {
    setenv("TZ", value->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace

std::tm zoneTime(std::time_t when, long offset, bool useZone, std::string_view zoneName) {
  if (isSystemZone(zoneName) || !useZone) return convert(when, isSystemZone(zoneName), offset);
  const char* current = std::getenv("TZ");
  std::optional<std::string> previous;
  if (current) previous = current;
  setZoneVariable(std::string(zoneName));
  std::tm result = convert(when, true, 0);
  setZoneVariable(previous);
  return result;
}

void setDisplayZone(DisplayZone zone) {
  if (zone.useZone && !isSystemZone(zone.name)) setZoneVariable(zone.name);
  g_displayZone = std::move(zone);
}

std::string formatTime(std::time_t when) {
  const DisplayZone& zone = g_displayZone;
  std::tm parts = convert(when, zone.useZone || isSystemZone(zone.name), zone.offset);
  return timeText(parts);
}

std::string timeText(const std::tm& parts) {
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const bool usual = parts.tm_wday >= 0 && parts.tm_wday < 7 && parts.tm_mon >= 0 &&
                     parts.tm_mon < 12 && parts.tm_mday >= 0 && parts.tm_mday < 100 &&
                     parts.tm_hour >= 0 && parts.tm_hour < 100 && parts.tm_min >= 0 &&
                     parts.tm_min < 100 && parts.tm_sec >= 0 && parts.tm_sec < 100 &&
                     parts.tm_year >= 1000 - 1900 && parts.tm_year < 10000 - 1900;
  if (!usual) {  // the C library's own text, whatever it makes of such fields
    char text[64];
    if (!asctime_r(&parts, text)) return std::string(24, '?');
    return std::string(text).substr(0, 24);
  }
  // "Www Mmm dd hh:mm:ss yyyy", the day of the month padded with a blank:
  // asctime's text, made without a format call (a page may show thousands).
  std::string text = "Www Mmm dd hh:mm:ss yyyy";
  text.replace(0, 3, kDays + 3 * parts.tm_wday, 3);
  text.replace(4, 3, kMonths + 3 * parts.tm_mon, 3);
  auto twoDigits = [&text](size_t at, int value, char padding) {
    text[at] = value < 10 ? padding : static_cast<char>('0' + value / 10);
    text[at + 1] = static_cast<char>('0' + value % 10);
  };
  twoDigits(8, parts.tm_mday, ' ');
  twoDigits(11, parts.tm_hour, '0');
  twoDigits(14, parts.tm_min, '0');
  twoDigits(17, parts.tm_sec, '0');
  const int year = parts.tm_year + 1900;
  twoDigits(20, year / 100, '0');
  twoDigits(22, year % 100, '0');
  return text;
}

namespace {

std::string utcText(std::time_t when, const char* format) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, format, &parts));
}

}  // namespace

std::string utcDateText(std::time_t when) { return utcText(when, "%Y-%m-%d"); }
std::string utcMinuteText(std::time_t when) { return utcText(when, "%Y-%m-%d %H:%M UTC"); }

}  // namespace vy
