// Group summaries and the option list of groups; see group_stats.h.
#include "store/group_stats.h"

#include <cstdint>

#include "common/templates.h"
#include "store/group_name.h"

namespace vy {

GroupSummary summarizeGroup(const GroupConfig& config, std::time_t now) {
  GroupSummary summary;
  summary.urlCount = config.urlCount();
  summary.checkInterval = config.checkInterval;
  int64_t overdueSeconds = 0;
  int overdue = 0, checked = 0;
  for (const UrlStatus& entry : config.urls) {
    summary.checkBanCount += entry.checkBan();
    summary.checkPresCount += entry.checkPres();
    summary.upCount += entry.up();
    summary.banFoundCount += entry.banFound();
    summary.presOkCount += entry.presOk();
    summary.testedBanFoundCount += entry.checkBan() && entry.banFound();
    summary.testedPresOkCount += entry.checkPres() && entry.presOk();
    if (entry.lastCheck == 0) continue;
    ++checked;
    int64_t age = static_cast<int64_t>(now) - entry.lastCheck;
    if (age > int64_t{config.checkInterval} * 60) {
      overdueSeconds += age;
      ++overdue;
    }
  }
  if (overdue > 0) {
    summary.averageAge = static_cast<float>(static_cast<double>(overdueSeconds) / (overdue * 60.0));
  } else if (checked > 0) {
    summary.averageAge = static_cast<float>(config.checkInterval);
  }
  return summary;
}

std::string groupOptionList(const std::string& selected) {
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) return "<option>none</option>";
  std::string list;
  for (const std::string& name : *groups) {
    const std::string shown = htmlValue(name);  // valid names need no escape; kept safe anyway
    list += "<option value=\"" + shown + "\"" + (name == selected ? " selected" : "") + ">" +
            shown + "</option>\n";
  }
  return list;
}

}  // namespace vy
