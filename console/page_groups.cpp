// The main view and the groups overview: every group with its counters and
// coloured grades; creating, deleting and opening groups.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "console/certificate_notice.h"
#include "console/console.h"
#include "console/history_charts.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_name.h"
#include "store/group_removal.h"
#include "store/group_stats.h"
#include "store/group_store.h"
#include "store/history.h"

namespace vy {
namespace {

// All good when the count is all (or, inverted, none) of the total;
// otherwise by the share, from good (above 90 %) to critical (25 % or less).
Grade gradeOfRatio(float ratio) {
  if (ratio > 0.9f && ratio < 1.0f) return Grade::kGood;
  if (ratio > 0.7f && ratio <= 0.9f) return Grade::kFair;
  if (ratio > 0.5f && ratio <= 0.7f) return Grade::kPoor;
  if (ratio > 0.25f && ratio <= 0.5f) return Grade::kBad;
  if (ratio <= 0.25f) return Grade::kCritical;
  return Grade::kNone;
}

// The grade as the page's number (its colour) and word.
void setGrade(Page& page, const char* number, const char* text, Grade grade) {
  page.setNumber(number, static_cast<int>(grade));
  page.setMarkup(text, Markup(gradeText(grade)));
}

void setGroupCounters(Page& page, const std::string& name, const GroupSummary& s) {
  page.setText("GRP", name);
  page.setNumber("NURL", s.urlCount);
  page.setNumber("NUPTIME", s.upCount);
  page.setNumber("NFNDBAN", s.testedBanFoundCount);
  page.setNumber("NFNDPRES", s.testedPresOkCount);
  page.setNumber("NBAN", s.checkBanCount);
  page.setNumber("NPRES", s.checkPresCount);
  page.setNumber("EVERCHK", s.checkInterval);
}

// The variables of one overview row. The content figures count only the URLs
// that test those contents.
void setGroupRow(Page& page, const std::string& name, const GroupSummary& s) {
  setGroupCounters(page, name, s);
  Grade up = Grade::kNone, banned = Grade::kNone, present = Grade::kNone, delay = Grade::kNone;
  if (s.averageAge < 0) {
    page.setMarkup("REALEVERCHK", Markup("N/A"));
  } else {
    page.setMarkup("REALEVERCHK", Markup(formatAlloc("%0.1f", static_cast<double>(s.averageAge))));
    delay = checkGrade(s.averageAge, s.checkInterval);
    if (s.urlCount > 0) {
      up = statusGrade(s.upCount, s.urlCount, false);
      banned = statusGrade(s.testedBanFoundCount, s.checkBanCount, true);
      present = statusGrade(s.testedPresOkCount, s.checkPresCount, false);
    }
  }
  setGrade(page, "UPTSEL", "UPTTXT", up);
  setGrade(page, "BANSEL", "BANTXT", banned);
  setGrade(page, "PRESSEL", "PRESTXT", present);
  setGrade(page, "CHKSEL", "CHKTXT", delay);
}

// A new group with the defaults, then its editor. Nothing is done for a
// group that exists already (false: the overview follows).
bool createGroup(ConsoleRequest& request, Page& page, const std::string& name) {
  if (isRegularFile(groupFilePath(name))) return false;
  GroupConfig group = newGroupDefaults();
  StoreStatus rc = addUrls(name, group.urls);
  if (!rc.ok()) reportError(rc, "Add group");
  rc = storeSettings(name, group);
  if (!rc.ok()) reportError(rc, "Set group settings");
  showGroupEditor(request, page, "Group Updated", EditorMode::kNormal);
  return true;
}

// Performs the overview's action on a group; true when another page was
// shown instead of the overview. message receives the action's message.
bool actOnGroup(ConsoleRequest& request, Page& page, std::string_view action,
                const std::string& name, std::string& message) {
  if (!isValidGroupName(name)) {
    message = kInvalidGroupNameMessage;
    return false;
  }
  if (action == "update") return createGroup(request, page, name);
  if (action == "delete") {
    std::vector<SideFileFailure> stayed;  // shown as deleted whatever happened
    (void)removeGroupAndSideFiles(name, stayed);
    for (const SideFileFailure& failure : stayed) reportError(failure.status, failure.path);
    message = "Group deleted";
  } else if (action == "setup") {  // the editor where texts can be added
    showGroupEditor(request, page, "", EditorMode::kNormal);
    return true;
  } else if (action == "view") {
    showGroupPage(request, page, name);
    return true;
  }
  return false;
}

// The 30-day uptime of a group: over all the checks of all its URLs.
std::string groupUptimeText(const std::string& name, const GroupConfig& group, std::time_t now) {
  UptimeCount total;
  for (const UrlHistory& history : readUrlHistories(name, group.urls)) {
    const UptimeCount count = uptimeOver(history, 30, now);
    total.upChecks += count.upChecks;
    total.checks += count.checks;
  }
  return uptimePercentText(total);
}

// How many of the group's URLs have a certificate that expires within the
// largest warning count, marked as urgent when one of them is below the
// smallest.
void setCertificatesExpiring(Page& page, const GroupConfig& group, std::time_t now,
                             std::span<const int> warnDays) {
  int expiring = 0;
  CertificateAlert worst = CertificateAlert::kNone;
  for (const UrlStatus& entry : group.urls) {
    const CertificateAlert alert = certificateNotice(entry.certExpiry, now, warnDays).alert;
    if (alert == CertificateAlert::kNone) continue;
    ++expiring;
    worst = std::max(worst, alert);
  }
  page.setNumber("NCERT", expiring);
  page.setMarkup("CLS_CERT", Markup(certificateAlertClass(worst)));
}

// One row per group that can be read.
void writeGroupRows(Page& page, const PageTemplate& layout, std::time_t now,
                    std::span<const int> warnDays) {
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) reportFatal(ErrAction::kOpenDir, kGroupDir);
  for (const std::string& group : *groups) {
    const GroupRead read = readGroupReported(group);
    if (!read.ok()) continue;
    setGroupRow(page, group, summarizeGroup(read.group));
    page.setText("GUPTIME30", groupUptimeText(group, read.group, now));
    setCertificatesExpiring(page, read.group, now, warnDays);
    page.render(layout, kGroupsGroup);
  }
}

}  // namespace

Grade statusGrade(int count, int total, bool inverted) {
  float ratio = total >= 1 ? static_cast<float>(count) / static_cast<float>(total) : 1.0f;
  if (!inverted && count == total) return Grade::kAllGood;
  if (inverted) {
    ratio = 1.0f - ratio;
    if (count == 0) return Grade::kAllGood;
  }
  return gradeOfRatio(ratio);
}

Grade checkGrade(float averageAge, int checkInterval) {
  if (averageAge - static_cast<float>(checkInterval) < 0.5f) return Grade::kAllGood;
  const float ratio = averageAge / static_cast<float>(checkInterval);
  if (ratio < 1.15f) return Grade::kGood;
  if (ratio < 1.25f) return Grade::kFair;
  if (ratio < 1.5f) return Grade::kPoor;
  if (ratio < 2.0f) return Grade::kBad;
  return Grade::kCritical;
}

const char* gradeText(Grade grade) {
  static constexpr const char* kWords[] = {"no grade", "all good", "good",    "fair",
                                           "poor",     "bad",      "critical"};
  const int number = static_cast<int>(grade);
  return number >= 0 && number <= 6 ? kWords[number] : kWords[0];
}

void displayMain(ConsoleRequest& request, Page& page) {
  if (!isRegularFile(kSettingsPath)) {
    showDefaultSetup(request, page);
    return;
  }
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) reportError(ErrAction::kOpenDir, kGroupDir);
  if (groups && groups->size() == 1) {
    showGroupPage(request, page, groups->front());
  } else {
    showGroupsPage(request, page, request.form.value("ACTION"));
  }
}

void displayMain(ConsoleRequest& request, Page& page, std::string_view message) {
  page.setText("MSG", message);
  displayMain(request, page);
}

void showGroupsPage(ConsoleRequest& request, Page& page, std::string_view action) {
  const std::string& name = request.form.value("group");
  markMissingErrorLog(page);
  std::string message;
  if (!action.empty() && !name.empty() && actOnGroup(request, page, action, name, message)) return;
  if (!message.empty()) page.setText("MSG", message);
  writePage(page, kGroupsTemplate, kGroupsPageSections, {kGroupsHeader, kGroupsFooter},
            [&](const PageTemplate& layout) {
              writeGroupRows(page, layout, request.now, request.settings.certificateWarnDays());
              if (action != "add") return;
              page.setMarkup("ACTION_UPDATE", Markup(" selected"));
              page.render(layout, kGroupsNewGroup);
            });
}

}  // namespace vy
