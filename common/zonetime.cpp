// Time-zone conversion and the time text; see zonetime.h.
#include "common/zonetime.h"

#include <cstdlib>
#include <mutex>
#include <optional>

namespace vy {
namespace {

std::mutex g_zoneMutex;  // guards TZ, tzset and every localtime_r below
DisplayZone g_displayZone;

std::tm localUnderLock(std::time_t when) {
  std::tm result{};
  localtime_r(&when, &result);
  return result;
}

// Converts with TZ set to zoneName, then puts TZ back as it was.
std::tm convertInZone(std::time_t when, std::string_view zoneName) {
  std::lock_guard<std::mutex> lock(g_zoneMutex);
  const char* current = std::getenv("TZ");
  std::optional<std::string> previous;
  if (current) previous = current;
  setenv("TZ", std::string(zoneName).c_str(), 1);
  tzset();
  std::tm result = localUnderLock(when);
  if (previous) {
    setenv("TZ", previous->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  return result;
}

}  // namespace

std::tm zoneTime(std::time_t when, long offset, bool useZone, std::string_view zoneName) {
  if (!zoneName.empty() && zoneName[0] == '*') {
    std::lock_guard<std::mutex> lock(g_zoneMutex);
    return localUnderLock(when);
  }
  if (!useZone) {
    std::time_t shifted = when + offset;
    std::tm result{};
    gmtime_r(&shifted, &result);
    return result;
  }
  return convertInZone(when, zoneName);
}

void setDisplayZone(DisplayZone zone) {
  std::lock_guard<std::mutex> lock(g_zoneMutex);
  g_displayZone = std::move(zone);
}

std::string formatTime(std::time_t when) {
  DisplayZone zone;
  {
    std::lock_guard<std::mutex> lock(g_zoneMutex);
    zone = g_displayZone;
  }
  std::tm parts = zoneTime(when, zone.offset, zone.useZone, zone.name);
  char text[64];
  if (!asctime_r(&parts, text)) return std::string(24, '?');
  return std::string(text).substr(0, 24);
}

}  // namespace vy
