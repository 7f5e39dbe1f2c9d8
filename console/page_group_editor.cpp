// The group settings editor: a group's check interval, check log, notification
// settings, suspension, query-string options, and its banned and required
// texts, which are added, edited and deleted one at a time.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/text.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_store.h"

namespace vy {
namespace {

constexpr const char* kInvalidInformMessage =
    "The notification target may not hold line breaks or other control characters";
constexpr const char* kSelectOneTextMessage =
    "Select one text to edit: a banned text or a required text, not one of each";
constexpr const char* kEmptyTextMessage =
    "A text may not be empty (nor begin with a NUL byte); nothing was stored";

const char* checked(bool on) { return on ? " checked" : ""; }

// The index a form variable selects in a list of `size` items; none when the
// variable is empty or outside the list.
std::optional<size_t> selectedIndex(std::string_view variable, size_t size) {
  const std::string& text = formVar(variable);
  if (text.empty()) return std::nullopt;
  const long index = parseLongAtoi(text);
  if (index < 0 || static_cast<unsigned long>(index) >= size) return std::nullopt;
  return static_cast<size_t>(index);
}

void setSettingsVariables(const GroupConfig& group) {
  setNumber("EVRCHK", group.checkInterval);
  setMarkup("WRTLOG", checked(group.writeLog()));
  for (int type = 0; type <= 7; ++type) {
    setMarkup("TYPE_" + std::to_string(type), type == group.infType() ? " selected" : "");
  }
  setText("UPDCMD", group.inform);
  setMarkup("INFUPTIME", checked(group.infUpTime()));
  setMarkup("INFFNDBAN", checked(group.infFndBan()));
  setMarkup("INFFNDPRES", checked(group.infFndPres()));
  setMarkup("SUSP0", group.suspended() ? "" : " selected");
  setMarkup("SUSP1", group.suspended() ? " selected" : "");
  setMarkup("VYTRCQSUTM", checked(group.moreOptions & kMoreQueryCutPlain));
  setMarkup("VYTRCQSBCT", checked(group.moreOptions & kMoreQueryCutChecked));
}

// One section per item of a content list; in content-edit mode the item the
// form selected is marked.
void renderContents(const PageTemplate& page, size_t section,
                    const std::vector<std::string_view>& contents, const char* indexName,
                    const char* textName, bool contentEdit) {
  const std::optional<size_t> chosen = selectedIndex(indexName, contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    setNumber(indexName, static_cast<long long>(i));
    setText(textName, contents[i]);
    setMarkup("CSEL", contentEdit && chosen == i ? "sel" : "");
    renderPart(page, section);
  }
}

// The footer's two content forms: a new text, or the selected one to change.
void setContentForms(const GroupConfig& group, bool contentEdit) {
  setMarkup("NONEWCONT_START", contentEdit ? "<!--" : "");
  setMarkup("NONEWCONT_END", contentEdit ? "-->" : "");
  setMarkup("NOEDITONT_START", contentEdit ? "" : "<!--");
  setMarkup("NOEDITONT_END", contentEdit ? "" : "-->");
  if (!contentEdit) return;
  long selected = -1;
  if (!formVar("BCSEL").empty()) {
    setMarkup("SELBAN", " selected");
    selected = parseLongAtoi(formVar("BCSEL"));
    if (auto index = selectedIndex("BCSEL", group.banContents.size())) {
      setText("CONT", group.banContents[*index]);
    }
  } else if (!formVar("PCSEL").empty()) {  // one list only (an edit of both is refused)
    setMarkup("SELPRES", " selected");
    selected = parseLongAtoi(formVar("PCSEL"));
    if (auto index = selectedIndex("PCSEL", group.presContents.size())) {
      setText("CONT", group.presContents[*index]);
    }
  }
  setNumber("SELNUM", selected);
}

// The settings fields of the form. False when the notification target holds
// a control character (it would break the group's text form).
bool takeSettingsFromForm(GroupConfig& group) {
  const std::string& inform = formVar("UPDCMD");
  if (std::any_of(inform.begin(), inform.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    return false;
  }
  group.checkInterval = parseIntAtoi(formVar("EVRCHK"));
  group.setOption(kOptWriteLog, formSwitch("WRTLOG"));
  group.setInfType(parseIntAtoi(formVar("TYPEINF")) & 7);
  group.inform = inform.substr(0, kMaxInformLength);
  group.setOption(kOptInfUpTime, formSwitch("INFUPTIME"));
  group.setOption(kOptInfFndBan, formSwitch("INFFNDBAN"));
  group.setOption(kOptInfFndPres, formSwitch("INFFNDPRES"));
  group.setOption(kOptSuspend, (parseIntAtoi(formVar("SUSP")) & 1) != 0);
  group.setMoreOption(kMoreQueryCutPlain, formSwitch("VYTRCQSUTM"));
  group.setMoreOption(kMoreQueryCutChecked, formSwitch("VYTRCQSBCT"));
  return true;
}

// Deletes the selected item by moving the list's last item into its place.
void deleteSelected(std::vector<std::string_view>& contents, const char* indexName) {
  if (auto index = selectedIndex(indexName, contents.size())) {
    contents[*index] = contents.back();
    contents.pop_back();
  }
}

// The text of the form as it is stored: without carriage returns, and cut at
// its first NUL byte (the group file keeps texts NUL-terminated).
std::string formContent() {
  std::string text = formVar("CONT");
  removeChar(text, '\r');
  return text.substr(0, text.find('\0'));
}

// True when the form selects an item of both content lists.
bool bothListsSelected(const char* banned, const char* present) {
  return !formVar(banned).empty() && !formVar(present).empty();
}

// Replaces the edited item of its one list, or adds a new one (not there
// yet). An empty text is refused: the message, or empty when done.
std::string addOrReplaceContent(GroupConfig& group) {
  std::string text = formContent();
  if (text.empty()) return kEmptyTextMessage;
  const std::string& editedIndex = formVar("SELNUM");
  if (!editedIndex.empty() && parseLongAtoi(editedIndex) >= 0) {
    if (bothListsSelected("SELBAN", "SELPRES")) return kSelectOneTextMessage;
    std::vector<std::string_view>* contents =
        !formVar("SELBAN").empty() ? &group.banContents
                                   : (!formVar("SELPRES").empty() ? &group.presContents : nullptr);
    const size_t index = static_cast<size_t>(parseLongAtoi(editedIndex));
    if (contents && index < contents->size()) (*contents)[index] = group.keepText(std::move(text));
    return "";
  }
  const std::string& list = formVar("TYPECONT");
  std::vector<std::string_view>* contents =
      startsWith(list, "b") ? &group.banContents
                            : (startsWith(list, "p") ? &group.presContents : nullptr);
  if (!contents) return "";
  if (std::find(contents->begin(), contents->end(), text) != contents->end()) return "";
  contents->push_back(group.keepText(std::move(text)));
  return "";
}

}  // namespace

void showGroupEditor(ConsoleRequest&, std::string_view message, EditorMode mode) {
  const std::string& name = formVar("group");
  const bool contentEdit = mode == EditorMode::kContentEdit;
  const bool accepted = isAcceptedGroupName(name);
  setText("GROUP", name);
  setText("MSG", accepted ? message : kInvalidGroupNameMessage);
  GroupConfig group;
  if (accepted) group = readGroupReported(name).group;
  setSettingsVariables(group);

  printContentType();
  PageTemplate page = loadPage(kEditGroupTemplate, kEditGroupSections);
  renderPart(page, kEditHeader);
  renderContents(page, kEditBannedContent, group.banContents, "BCSEL", "BANCONT", contentEdit);
  renderPart(page, kEditHeader2);
  renderContents(page, kEditPresenceContent, group.presContents, "PCSEL", "PRESCONT", contentEdit);
  if (!group.banContents.empty() || !group.presContents.empty()) {
    renderPart(page, kEditActionContent);
  }
  setContentForms(group, contentEdit);
  renderPart(page, kEditFooter);
}

void updateGroupSettings(ConsoleRequest& request, char operation) {
  const std::string& name = formVar("group");
  if (!isAcceptedGroupName(name)) {
    showGroupEditor(request, kInvalidGroupNameMessage, EditorMode::kNormal);
    return;
  }
  GroupConfig group = readGroupReported(name).group;
  if (!takeSettingsFromForm(group)) {
    showGroupEditor(request, kInvalidInformMessage, EditorMode::kNormal);
    return;
  }
  if (operation == 'e' && bothListsSelected("BCSEL", "PCSEL")) {
    showGroupEditor(request, kSelectOneTextMessage, EditorMode::kNormal);
    return;
  }
  if (operation == 'd') {
    deleteSelected(group.banContents, "BCSEL");
    deleteSelected(group.presContents, "PCSEL");
  } else if (operation == 'u') {
    const std::string refused = addOrReplaceContent(group);
    if (!refused.empty()) {
      showGroupEditor(request, refused, EditorMode::kNormal);
      return;
    }
  }
  StoreStatus rc = storeSettings(name, group);
  if (!rc.ok()) reportFatal(rc, "Set group settings");
  showGroupEditor(request, "Group Settings Updated",
                  operation == 'e' ? EditorMode::kContentEdit : EditorMode::kNormal);
}

}  // namespace vy
