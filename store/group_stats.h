// Figures computed from groups: the summary the console's overview and the
// worker's statistics show, and the list of groups as HTML options.
#ifndef VANTRY_STORE_GROUP_STATS_H_
#define VANTRY_STORE_GROUP_STATS_H_

#include <ctime>
#include <string>

#include "store/group_config.h"

namespace vy {

struct GroupSummary {
  int urlCount = 0;
  int checkBanCount = 0;   // URLs whose banned contents are tested
  int checkPresCount = 0;  // URLs whose presence contents are tested
  int upCount = 0;
  int banFoundCount = 0;
  int presOkCount = 0;
  // The same two counts among the URLs that test those contents, as the
  // console's overview shows them (getstats keeps the two above): a check
  // sets presOk on a URL that tests no required text, and banFound stays on a
  // URL whose banned-text test was switched off since its last check.
  int testedBanFoundCount = 0;
  int testedPresOkCount = 0;
  int checkInterval = 0;  // minutes
  // Minutes: the average age of the overdue URLs (older than checkInterval);
  // checkInterval when some URL was checked and none is overdue; -1 when no
  // URL was ever checked.
  float averageAge = -1;
};

GroupSummary summarizeGroup(const GroupConfig& config, std::time_t now = std::time(nullptr));

// One "<option value=\"g\">g</option>\n" per group of listGroups, with
// " selected" on the selected group. "<option>none</option>" when the
// directory cannot be read.
std::string groupOptionList(const std::string& selected);

}  // namespace vy

#endif  // VANTRY_STORE_GROUP_STATS_H_
