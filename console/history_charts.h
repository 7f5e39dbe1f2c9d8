// What the console makes of a URL's check history: the uptime as a page
// shows it, the checks folded into time slots and days, and the inline SVG
// charts drawn from them.
//
// The charts are drawn by the program alone: presentation attributes only
// (no style attributes, no script, nothing fetched), every number one the
// program computed and every text escaped, so that the pages' content policy
// lets them through and no stored text can make markup of itself.
#ifndef VANTRY_CONSOLE_HISTORY_CHARTS_H_
#define VANTRY_CONSOLE_HISTORY_CHARTS_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/page.h"
#include "store/history.h"

namespace vy {

// The checks of one stretch of time folded together.
struct CheckSlot {
  uint32_t checks = 0;
  uint32_t failed = 0;  // checks that were not up
  uint64_t responseMsSum = 0;
  uint32_t responseMsMax = 0;
};

// The kept checks of the last 24 hours before now (later than now - 24 h,
// not later than now) in `slots` equal slots, oldest first.
std::vector<CheckSlot> slotsOfLastDay(const UrlHistory& history, std::time_t now, size_t slots);

// The same slots, fed one check at a time.
class LastDaySlots {
 public:
  LastDaySlots(std::time_t now, size_t slots) : now_(now), slots_(slots) {}
  // Folds the check into its slot of into (which holds the slots) when it
  // falls in the last 24 hours.
  void add(std::span<CheckSlot> into, const HistoryCheck& check) const;

 private:
  std::time_t now_;
  size_t slots_;
};

// Whether any slot holds a check.
bool anyCheck(std::span<const CheckSlot> slots);

// The last `days` UTC days up to now's, oldest first: each day's summary
// plus its kept checks folded in (a day with no check has checks 0).
std::vector<HistoryDay> lastDays(const UrlHistory& history, std::time_t now, int days);

// The date of a day since 1970-01-01, "2024-05-17".
std::string dayText(uint32_t day);

// The small chart of a group page's row: the mean response time of each slot
// as a line, slots with a failed check marked red.
Markup sparkChart(std::span<const CheckSlot> slots, std::string_view label);

// The URL page's chart of the last 24 hours: the same, larger, with the
// scale written on it.
Markup dayChart(std::span<const CheckSlot> slots, std::string_view label);

// The URL page's chart of days: each day's mean and maximum response time,
// days with a failed check marked red.
Markup daysChart(std::span<const HistoryDay> days, std::string_view label);

// One bar per day coloured by its uptime: green all up, amber 99 % or more,
// red below, grey without a check; each bar's title says the date and uptime.
Markup uptimeBar(std::span<const HistoryDay> days, std::string_view label);

}  // namespace vy

#endif  // VANTRY_CONSOLE_HISTORY_CHARTS_H_
