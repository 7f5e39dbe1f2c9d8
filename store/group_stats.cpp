// Group summaries and the option list of groups; see group_stats.h.
#include "store/group_stats.h"

#include <dirent.h>

#include <cstdint>
#include <memory>

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
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(kGroupDir), ::closedir);
  if (!dir) return "<option>none</option>";
  std::string list;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view fileName(entry->d_name);
    size_t dat = fileName.find(".dat");
    if (dat == std::string_view::npos) continue;
    std::string name(fileName.substr(0, dat));
    // Also drops hidden files: a name may not be empty or begin with ".".
    if (!isValidGroupName(name)) continue;  // could not be opened, and must not reach the page
    list += "<option value=\"" + name + "\"" + (name == selected ? " selected" : "") + ">" + name +
            "</option>\n";
  }
  return list;
}

}  // namespace vy
