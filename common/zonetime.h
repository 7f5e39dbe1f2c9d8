// Times for display: conversion in the configured time zone and the
// 24-character text ("Sun Dec  6 19:03:32 2026") shown on pages and in mails.
//
// Either a fixed offset from UTC, the process's own zone (a zone name that
// begins with "*"), or a zone name given to the C library as TZ. Switching TZ
// changes process-wide state, so every local-time conversion here happens
// under one mutex and the previous TZ value is restored before it is released;
// check threads may call these at the same time.
#ifndef VANTRY_COMMON_ZONETIME_H_
#define VANTRY_COMMON_ZONETIME_H_

#include <ctime>
#include <string>
#include <string_view>

namespace vy {

// offset: seconds east of UTC used when useZone is false; zoneName: a TZ value,
// or "*..." for the system's own zone.
std::tm zoneTime(std::time_t when, long offset, bool useZone, std::string_view zoneName);

// The zone every formatTime call uses; the programs set it from their settings.
struct DisplayZone {
  long offset = 0;
  bool useZone = false;
  std::string name;
};
void setDisplayZone(DisplayZone zone);

// asctime of zoneTime in the display zone, without its newline (24 characters).
std::string formatTime(std::time_t when);

}  // namespace vy

#endif  // VANTRY_COMMON_ZONETIME_H_
