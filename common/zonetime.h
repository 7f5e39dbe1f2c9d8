// Times for display: conversion in the configured time zone and the
// 24-character text ("Sun Dec  6 19:03:32 2026") shown on pages and in mails.
//
// Either a fixed offset from UTC, the process's own zone (a zone name that
// begins with "*"), or a zone name given to the C library as TZ. The
// environment is process-wide and other threads may read it at any time (a
// command being started, the resolver), so it is changed only where the
// process has a single thread: the display zone is set once at start-up, and
// formatTime, which check threads call, only reads.
#ifndef VANTRY_COMMON_ZONETIME_H_
#define VANTRY_COMMON_ZONETIME_H_

#include <ctime>
#include <string>
#include <string_view>

namespace vy {

// offset: seconds east of UTC used when useZone is false; zoneName: a TZ value,
// or "*..." for the system's own zone. A named zone is converted by switching
// TZ to it and back. REQUIRES: no other thread runs.
std::tm zoneTime(std::time_t when, long offset, bool useZone, std::string_view zoneName);

// The zone every formatTime call uses; the programs set it from their settings.
struct DisplayZone {
  long offset = 0;
  bool useZone = false;
  std::string name;
};
// A named zone becomes the process's TZ here, for good (the programs convert
// only to the zone of their settings, and the commands they start see the
// same zone). REQUIRES: no other thread runs.
void setDisplayZone(DisplayZone zone);

// asctime of the time in the display zone, without its newline (24
// characters). Safe from any thread.
std::string formatTime(std::time_t when);
// asctime's text of broken-down time, without its newline.
std::string timeText(const std::tm& parts);

// UTC texts for pages read anywhere: "2026-12-07" and "2026-12-07 19:03 UTC".
std::string utcDateText(std::time_t when);
std::string utcMinuteText(std::time_t when);

}  // namespace vy

#endif  // VANTRY_COMMON_ZONETIME_H_
