// The main view and the groups overview: every group with its counters and
// coloured grades; creating, deleting and opening groups.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/group_name.h"
#include "store/group_stats.h"

namespace vy {
namespace {

// Grade 1 when the count is all (or, inverted, none) of the total; otherwise
// by the share, from 2 (above 90 %) to 6 (25 % or less).
int gradeOfRatio(float ratio) {
  if (ratio > 0.9f && ratio < 1.0f) return 2;
  if (ratio > 0.7f && ratio <= 0.9f) return 3;
  if (ratio > 0.5f && ratio <= 0.7f) return 4;
  if (ratio > 0.25f && ratio <= 0.5f) return 5;
  if (ratio <= 0.25f) return 6;
  return 0;
}

void setGrade(const char* number, const char* text, int grade) {
  setNumber(number, grade);
  setMarkup(text, gradeText(grade));
}

// The variables of one overview row. The content figures count only the URLs
// that test those contents.
void setGroupRow(const std::string& name, const GroupSummary& s) {
  setText("GRP", name);
  setNumber("NURL", s.urlCount);
  setNumber("NUPTIME", s.upCount);
  setNumber("NFNDBAN", s.testedBanFoundCount);
  setNumber("NFNDPRES", s.testedPresOkCount);
  setNumber("NBAN", s.checkBanCount);
  setNumber("NPRES", s.checkPresCount);
  setNumber("EVERCHK", s.checkInterval);
  int up = 0, banned = 0, present = 0, delay = 0;
  if (s.averageAge < 0) {
    setMarkup("REALEVERCHK", "N/A");
  } else {
    setMarkup("REALEVERCHK", formatAlloc("%0.1f", static_cast<double>(s.averageAge)));
    delay = checkGrade(s.averageAge, s.checkInterval);
    if (s.urlCount > 0) {
      up = statusGrade(s.upCount, s.urlCount, false);
      banned = statusGrade(s.testedBanFoundCount, s.checkBanCount, true);
      present = statusGrade(s.testedPresOkCount, s.checkPresCount, false);
    }
  }
  setGrade("UPTSEL", "UPTTXT", up);
  setGrade("BANSEL", "BANTXT", banned);
  setGrade("PRESSEL", "PRESTXT", present);
  setGrade("CHKSEL", "CHKTXT", delay);
}

// A new group with the defaults, then its editor. Nothing is done for a
// group that exists already (false: the overview follows).
bool createGroup(ConsoleRequest& request, const std::string& name) {
  if (isRegularFile(groupFilePath(name))) return false;
  GroupConfig group = newGroupDefaults();
  StoreStatus rc = addUrls(name, group.urls);
  if (!rc.ok()) reportError(rc, "Add group");
  rc = storeSettings(name, group);
  if (!rc.ok()) reportError(rc, "Set group settings");
  showGroupEditor(request, "Group Updated", EditorMode::kNormal);
  return true;
}

// Performs the overview's action on a group; true when another page was
// shown instead of the overview. message receives the action's message.
bool actOnGroup(ConsoleRequest& request, std::string_view action, const std::string& name,
                std::string& message) {
  if (!isValidGroupName(name)) {
    message = kInvalidGroupNameMessage;
    return false;
  }
  if (action == "update") return createGroup(request, name);
  if (action == "delete") {
    (void)removeGroup(name);  // shown as deleted whatever happened
    message = "Group deleted";
  } else if (action == "setup") {  // the editor where texts can be added
    showGroupEditor(request, "", EditorMode::kNormal);
    return true;
  } else if (action == "view") {
    showGroupPage(request, name);
    return true;
  }
  return false;
}

}  // namespace

int statusGrade(int count, int total, bool inverted) {
  float ratio = total >= 1 ? static_cast<float>(count) / static_cast<float>(total) : 1.0f;
  if (!inverted && count == total) return 1;
  if (inverted) {
    ratio = 1.0f - ratio;
    if (count == 0) return 1;
  }
  return gradeOfRatio(ratio);
}

int checkGrade(float averageAge, int checkInterval) {
  if (averageAge - static_cast<float>(checkInterval) < 0.5f) return 1;
  const float ratio = averageAge / static_cast<float>(checkInterval);
  if (ratio < 1.15f) return 2;
  if (ratio < 1.25f) return 3;
  if (ratio < 1.5f) return 4;
  if (ratio < 2.0f) return 5;
  return 6;
}

const char* gradeText(int grade) {
  static constexpr const char* kWords[] = {"no grade", "all good", "good",    "fair",
                                           "poor",     "bad",      "critical"};
  return grade >= 0 && grade <= 6 ? kWords[grade] : kWords[0];
}

void displayMain(ConsoleRequest& request) {
  if (!isRegularFile(kSettingsPath)) {
    showDefaultSetup(request);
    return;
  }
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) reportError(ErrAction::kOpenDir, kGroupDir);
  if (groups && groups->size() == 1) {
    showGroupPage(request, groups->front());
  } else {
    showGroupsPage(request, formVar("ACTION"));
  }
}

void displayMain(ConsoleRequest& request, std::string_view message) {
  setText("MSG", message);
  displayMain(request);
}

void showGroupsPage(ConsoleRequest& request, std::string_view action) {
  const std::string& name = formVar("group");
  markMissingErrorLog();
  std::string message;
  if (!action.empty() && !name.empty() && actOnGroup(request, action, name, message)) return;
  const bool addMode = action == "add";

  printContentType();
  PageTemplate page = loadPage(kGroupsTemplate, kGroupsPageSections);
  if (!message.empty()) setText("MSG", message);
  renderPart(page, kGroupsHeader);
  std::optional<std::vector<std::string>> groups = listGroups();
  if (!groups) reportFatal(ErrAction::kOpenDir, kGroupDir);
  for (const std::string& group : *groups) {
    const GroupRead read = readGroupReported(group);
    if (!read.ok()) continue;
    setGroupRow(group, summarizeGroup(read.group));
    renderPart(page, kGroupsGroup);
  }
  if (addMode) {
    setMarkup("ACTION_UPDATE", " selected");
    renderPart(page, kGroupsNewGroup);
  }
  renderPart(page, kGroupsFooter);
}

}  // namespace vy
