// The group settings editor: a group's check interval, check log, notification
// settings, suspension, query-string options, public status page switches and
// title, and its banned and required
// texts, which are added, edited and deleted one at a time.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/process.h"
#include "common/text.h"
#include "common/worker_program.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/public_title.h"

namespace vy {
namespace {

constexpr const char* kInvalidInformMessage =
    "The notification target may not hold line breaks or other control characters";
constexpr const char* kInvalidPublicTitleMessage =
    "The public title may not hold line breaks or other control characters";
constexpr const char* kSelectOneTextMessage =
    "Select one text to edit: a banned text or a required text, not one of each";
constexpr const char* kEmptyTextMessage =
    "A text may not be empty (nor begin with a NUL byte); nothing was stored";

Markup checked(bool on) { return Markup(on ? " checked" : ""); }

// The index a form variable selects in a list of `size` items; none when the
// variable is empty or outside the list.
std::optional<size_t> selectedIndex(const Form& form, std::string_view variable, size_t size) {
  const std::string& text = form.value(variable);
  if (text.empty()) return std::nullopt;
  const long index = parseLongAtoi(text);
  if (index < 0 || static_cast<unsigned long>(index) >= size) return std::nullopt;
  return static_cast<size_t>(index);
}

void setSettingsVariables(Page& page, const GroupConfig& group) {
  page.setNumber("EVRCHK", group.checkInterval);
  page.setMarkup("WRTLOG", checked(group.writeLog()));
  for (int type = 0; type <= 7; ++type) {
    page.setMarkup("TYPE_" + std::to_string(type),
                   Markup(type == group.infType() ? " selected" : ""));
  }
  page.setText("UPDCMD", group.inform);
  page.setMarkup("INFUPTIME", checked(group.infUpTime()));
  page.setMarkup("INFFNDBAN", checked(group.infFndBan()));
  page.setMarkup("INFFNDPRES", checked(group.infFndPres()));
  page.setMarkup("SUSP0", Markup(group.suspended() ? "" : " selected"));
  page.setMarkup("SUSP1", Markup(group.suspended() ? " selected" : ""));
  page.setMarkup("VYTRCQSUTM", checked(group.moreOptions & kMoreQueryCutPlain));
  page.setMarkup("VYTRCQSBCT", checked(group.moreOptions & kMoreQueryCutChecked));
  page.setMarkup("PUBLIC", checked(group.isPublic()));
  page.setMarkup("PUBADDR", checked(group.showsAddresses()));
}

bool holdsControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The list's rows of the editor's template.
struct ContentRows {
  const PageTemplate& layout;
  size_t section;
  const char* indexName;
  const char* textName;
};

// One section per item of a content list; in content-edit mode the item the
// form selected is marked.
void renderContents(Page& page, const Form& form, const ContentRows& rows,
                    const std::vector<std::string_view>& contents, bool contentEdit) {
  const std::optional<size_t> chosen = selectedIndex(form, rows.indexName, contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    page.setNumber(rows.indexName, static_cast<long long>(i));
    page.setText(rows.textName, contents[i]);
    page.setMarkup("CSEL", Markup(contentEdit && chosen == i ? "sel" : ""));
    page.render(rows.layout, rows.section);
  }
}

// The footer's two content forms: a new text, or the selected one to change.
void setContentForms(Page& page, const Form& form, const GroupConfig& group, bool contentEdit) {
  page.setMarkup("NONEWCONT_START", Markup(contentEdit ? "<!--" : ""));
  page.setMarkup("NONEWCONT_END", Markup(contentEdit ? "-->" : ""));
  page.setMarkup("NOEDITONT_START", Markup(contentEdit ? "" : "<!--"));
  page.setMarkup("NOEDITONT_END", Markup(contentEdit ? "" : "-->"));
  if (!contentEdit) return;
  long selected = -1;
  if (!form.value("BCSEL").empty()) {
    page.setMarkup("SELBAN", Markup(" selected"));
    selected = parseLongAtoi(form.value("BCSEL"));
    if (auto index = selectedIndex(form, "BCSEL", group.banContents.size())) {
      page.setText("CONT", group.banContents[*index]);
    }
  } else if (!form.value("PCSEL").empty()) {  // one list only (an edit of both is refused)
    page.setMarkup("SELPRES", Markup(" selected"));
    selected = parseLongAtoi(form.value("PCSEL"));
    if (auto index = selectedIndex(form, "PCSEL", group.presContents.size())) {
      page.setText("CONT", group.presContents[*index]);
    }
  }
  page.setNumber("SELNUM", selected);
}

// The settings fields of the form. False when the notification target holds
// a control character (it would break the group's text form).
bool takeSettingsFromForm(const Form& form, GroupConfig& group) {
  const std::string& inform = form.value("UPDCMD");
  if (std::any_of(inform.begin(), inform.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    return false;
  }
  group.checkInterval = parseIntAtoi(form.value("EVRCHK"));
  group.setOption(kOptWriteLog, formSwitch(form, "WRTLOG"));
  group.setInfType(parseIntAtoi(form.value("TYPEINF")) & 7);
  group.inform = inform.substr(0, kMaxInformLength);
  group.setOption(kOptInfUpTime, formSwitch(form, "INFUPTIME"));
  group.setOption(kOptInfFndBan, formSwitch(form, "INFFNDBAN"));
  group.setOption(kOptInfFndPres, formSwitch(form, "INFFNDPRES"));
  group.setOption(kOptSuspend, (parseIntAtoi(form.value("SUSP")) & 1) != 0);
  group.setMoreOption(kMoreQueryCutPlain, formSwitch(form, "VYTRCQSUTM"));
  group.setMoreOption(kMoreQueryCutChecked, formSwitch(form, "VYTRCQSBCT"));
  group.setPublicFlag(kPublicShown, formSwitch(form, "PUBLIC"));
  group.setPublicFlag(kPublicAddresses, formSwitch(form, "PUBADDR"));
  return true;
}

// Deletes the selected item by moving the list's last item into its place.
void deleteSelected(const Form& form, std::vector<std::string_view>& contents,
                    const char* indexName) {
  if (auto index = selectedIndex(form, indexName, contents.size())) {
    contents[*index] = contents.back();
    contents.pop_back();
  }
}

// The text of the form as it is stored: without carriage returns, and cut at
// its first NUL byte (the group file keeps texts NUL-terminated).
std::string formContent(const Form& form) {
  std::string text = form.value("CONT");
  removeChar(text, '\r');
  return text.substr(0, text.find('\0'));
}

// True when the form selects an item of both content lists.
bool bothListsSelected(const Form& form, const char* banned, const char* present) {
  return !form.value(banned).empty() && !form.value(present).empty();
}

// Replaces the edited item of its one list, or adds a new one (not there
// yet). An empty text is refused: the message, or empty when done.
std::string addOrReplaceContent(const Form& form, GroupConfig& group) {
  std::string text = formContent(form);
  if (text.empty()) return kEmptyTextMessage;
  const std::string& editedIndex = form.value("SELNUM");
  if (!editedIndex.empty() && parseLongAtoi(editedIndex) >= 0) {
    if (bothListsSelected(form, "SELBAN", "SELPRES")) return kSelectOneTextMessage;
    std::vector<std::string_view>* contents =
        !form.value("SELBAN").empty()
            ? &group.banContents
            : (!form.value("SELPRES").empty() ? &group.presContents : nullptr);
    const size_t index = static_cast<size_t>(parseLongAtoi(editedIndex));
    if (contents && index < contents->size()) (*contents)[index] = group.keepText(std::move(text));
    return "";
  }
  const std::string& list = form.value("TYPECONT");
  std::vector<std::string_view>* contents =
      startsWith(list, "b") ? &group.banContents
                            : (startsWith(list, "p") ? &group.presContents : nullptr);
  if (!contents) return "";
  if (std::find(contents->begin(), contents->end(), text) != contents->end()) return "";
  contents->push_back(group.keepText(std::move(text)));
  return "";
}

// The page of the editor: the header, the banned texts, the second header,
// the required texts, the content actions when there is a text, the footer.
void writeEditorPage(Page& page, const Form& form, const GroupConfig& group, bool contentEdit) {
  writePage(page, kEditGroupTemplate, kEditGroupSections, {kEditHeader, kEditFooter},
            [&](const PageTemplate& layout) {
              renderContents(page, form, {layout, kEditBannedContent, "BCSEL", "BANCONT"},
                             group.banContents, contentEdit);
              page.render(layout, kEditHeader2);
              renderContents(page, form, {layout, kEditPresenceContent, "PCSEL", "PRESCONT"},
                             group.presContents, contentEdit);
              if (!group.banContents.empty() || !group.presContents.empty()) {
                page.render(layout, kEditActionContent);
              }
              setContentForms(page, form, group, contentEdit);
            });
}

// The edit the form asks for besides storing; false (with the page shown)
// when it is refused.
bool applyEdit(ConsoleRequest& request, Page& page, GroupConfig& group, GroupEdit edit) {
  const Form& form = request.form;
  if (edit == GroupEdit::kEditText && bothListsSelected(form, "BCSEL", "PCSEL")) {
    showGroupEditor(request, page, kSelectOneTextMessage, EditorMode::kNormal);
    return false;
  }
  if (edit == GroupEdit::kDeleteText) {
    deleteSelected(form, group.banContents, "BCSEL");
    deleteSelected(form, group.presContents, "PCSEL");
  } else if (edit == GroupEdit::kAddOrReplaceText) {
    const std::string refused = addOrReplaceContent(form, group);
    if (!refused.empty()) {
      showGroupEditor(request, page, refused, EditorMode::kNormal);
      return false;
    }
  }
  return true;
}

// The worker sends the test message through the settings just stored and
// says in one line what became of it; that line is the page's message.
std::string sendTestMessage(Page& page, const std::string& group) {
  page.flush();
  ChildProcess worker;
  if (!worker.start({kWorkerProgram, "notifytest", group}, ChildProcess::kPipeStdout)) {
    return "The test message could not be sent: the worker did not start";
  }
  std::string said = worker.readStdout(1024);
  worker.wait();
  said = said.substr(0, said.find('\n'));
  return said.empty() ? "The test message could not be sent: the worker said nothing" : said;
}

}  // namespace

void showGroupEditor(ConsoleRequest& request, Page& page, std::string_view message,
                     EditorMode mode) {
  const std::string& name = request.form.value("group");
  const bool accepted = isAcceptedGroupName(name);
  page.setText("GROUP", name);
  page.setText("MSG", accepted ? message : kInvalidGroupNameMessage);
  GroupConfig group;
  std::string publicTitle;
  if (accepted) {
    group = readGroupReported(name).group;
    if (!readPublicTitle(name, publicTitle).ok()) publicTitle.clear();
  }
  setSettingsVariables(page, group);
  page.setText("PUBTITLE", publicTitle);
  writeEditorPage(page, request.form, group, mode == EditorMode::kContentEdit);
}

void updateGroupSettings(ConsoleRequest& request, Page& page, GroupEdit edit) {
  const std::string& name = request.form.value("group");
  if (!isAcceptedGroupName(name)) {
    showGroupEditor(request, page, kInvalidGroupNameMessage, EditorMode::kNormal);
    return;
  }
  GroupConfig group = readGroupReported(name).group;
  if (!takeSettingsFromForm(request.form, group)) {
    showGroupEditor(request, page, kInvalidInformMessage, EditorMode::kNormal);
    return;
  }
  const std::string& publicTitle = request.form.value("PUBTITLE");
  if (holdsControlCharacter(publicTitle)) {
    showGroupEditor(request, page, kInvalidPublicTitleMessage, EditorMode::kNormal);
    return;
  }
  if (!applyEdit(request, page, group, edit)) return;
  StoreStatus rc = storeSettings(name, group);
  if (!rc.ok()) reportFatal(rc, "Set group settings");
  rc = storePublicTitle(name, publicTitle);
  if (!rc.ok()) reportFatal(rc, "Set group settings");
  if (edit == GroupEdit::kSendTestMessage) {
    showGroupEditor(request, page, sendTestMessage(page, name), EditorMode::kNormal);
    return;
  }
  showGroupEditor(request, page, "Group Settings Updated",
                  edit == GroupEdit::kEditText ? EditorMode::kContentEdit : EditorMode::kNormal);
}

}  // namespace vy
