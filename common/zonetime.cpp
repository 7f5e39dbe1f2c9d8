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
  char text[64];
  if (!asctime_r(&parts, text)) return std::string(24, '?');
  return std::string(text).substr(0, 24);
}

}  // namespace vy
