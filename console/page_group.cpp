// One group's page: its URLs with their last results, sorted as asked, and
// the actions on a URL: add or edit, delete, and check now (by the worker,
// which this page starts and waits for).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/process.h"
#include "common/text.h"
#include "common/worker_program.h"
#include "common/zonetime.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/group_name.h"
#include "store/group_stats.h"

namespace vy {
namespace {

constexpr const char* kInvalidUrlMessage =
    "Invalid URL: it may not hold line breaks or other control characters";
constexpr const char* kNotAnAddressMessage =
    "Invalid URL: an address begins with http:// or https://, for example "
    "http://www.example.org/";

// A URL goes into a group's text form one line each: no control characters.
bool isAcceptedUrl(std::string_view url) {
  return std::none_of(url.begin(), url.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

// An address the worker can check: "http://" or "https://" in small letters
// (as its client takes them) and a host, which ends at the first "/", "?" or
// "#" and is neither empty nor only a port, and holds no blank.
bool isCheckableAddress(std::string_view url) {
  std::string_view rest;
  if (startsWith(url, "http://")) {
    rest = url.substr(7);
  } else if (startsWith(url, "https://")) {
    rest = url.substr(8);
  } else {
    return false;
  }
  const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
  return !host.empty() && host[0] != ':' && host.find(' ') == std::string_view::npos;
}

// A list of one URL with its two check switches.
GroupConfig oneUrl(const std::string& url, bool checkBan, bool checkPres) {
  GroupConfig list;
  UrlStatus& entry = list.addUrl(url);
  entry.setFlag(kUrlCheckBan, checkBan);
  entry.setFlag(kUrlCheckPres, checkPres);
  return list;
}

// A group that does not exist yet starts with the settings of a new group.
void createMissingGroup(const std::string& group) {
  if (isRegularFile(groupFilePath(effectiveGroupName(group)))) return;
  GroupConfig defaults = newGroupDefaults();
  StoreStatus rc = storeSettings(group, defaults);
  if (!rc.ok()) reportError(rc, "Add group");
}

// "update": the URL of the form is added (or, when it is there, takes the
// new switches); an edit that changed the text removes the former URL, and
// that URL alone, whatever its text.
std::string updateUrl(const std::string& group) {
  const std::string& url = formVar("URL");
  const std::string& former = formVar("TAEURL");
  if (url.empty()) return "";
  if (!isAcceptedUrl(url)) return kInvalidUrlMessage;
  if (!isCheckableAddress(url)) return kNotAnAddressMessage;
  createMissingGroup(group);
  GroupConfig added = oneUrl(url, formSwitch("CHKBAN"), formSwitch("CHKPRES"));
  StoreStatus rc = addUrls(group, added.urls);
  if (!rc.ok()) reportError(rc, "Add group");
  if (url != former && !former.empty()) {
    rc = deleteUrls(group, {former});
    if (!rc.ok()) reportError(rc, "Write group");
  }
  return "URL Updated";
}

// "check": the worker checks the URL and stores its state; the page waits
// for it. The group goes to the worker as one argument, never through a
// shell; what the worker might print is not part of this page.
std::string checkUrlNow(const std::string& group, const std::string& url) {
  if (!isAcceptedUrl(url)) return kInvalidUrlMessage;
  std::fflush(stdout);
  ChildProcess worker;
  if (worker.start({kWorkerProgram, "checkurl", group},
                   ChildProcess::kPipeStdin | ChildProcess::kNullStdout)) {
    worker.writeStdin("url=" + url + "\n");
    worker.wait();
  }
  return "";
}

// "delete": that URL alone, even one whose text is "all".
std::string deleteUrl(const std::string& group, const std::string& url) {
  StoreStatus rc = deleteUrls(group, {url});
  if (!rc.ok()) reportError(rc, "Delete group");
  return "URL Deleted";
}

// Performs the form's action; returns the message it leaves.
std::string performAction(const std::string& group, std::string_view action) {
  const std::string& selected = formVar("TSELURL");
  if (action == "update") return updateUrl(group);
  if (action == "check" && !selected.empty()) return checkUrlNow(group, selected);
  if (action == "delete" && !selected.empty()) return deleteUrl(group, selected);
  return "";
}

// The key function of a sort order; none keeps the stored order.
using UrlOrder = std::function<bool(const UrlStatus&, const UrlStatus&)>;

UrlOrder orderFor(char key) {
  switch (key) {
    case 's':
      return [](const UrlStatus& a, const UrlStatus& b) { return a.url < b.url; };
    case 't':  // no response time recorded: after all others
      return [](const UrlStatus& a, const UrlStatus& b) {
        return (a.responseMs - 1u) < (b.responseMs - 1u);
      };
    case 'u':
      return [](const UrlStatus& a, const UrlStatus& b) { return a.up() && !b.up(); };
    case 'f':
      return [](const UrlStatus& a, const UrlStatus& b) {
        if (a.up() != b.up()) return a.up();
        return a.banFound() && !b.banFound();
      };
    case 'r':
      return [](const UrlStatus& a, const UrlStatus& b) {
        if (a.up() != b.up()) return a.up();
        return a.presOk() && !b.presOk();
      };
    case 'l':
      return [](const UrlStatus& a, const UrlStatus& b) { return a.lastCheck < b.lastCheck; };
    case 'c':
      return [](const UrlStatus& a, const UrlStatus& b) { return a.resultCode < b.resultCode; };
    default:
      return nullptr;
  }
}

// A content column: "-" when the URL does not check it, "N/A" when the page
// is down, else whether the text was found.
void setContentColumn(const char* text, const char* style, bool checked, bool up, bool found) {
  if (!checked) {
    setMarkup(text, "-");
    setMarkup(style, "z");
  } else if (!up) {
    setMarkup(text, "N/A");
    setMarkup(style, "x");
  } else {
    setMarkup(text, found ? "Yes" : "No");
    setMarkup(style, found ? "y" : "n");
  }
}

// The address as a link only when it is an http:// or https:// address; any
// other scheme (javascript:, data:, ...) is shown as text and never made a
// link. `shown` is the address made safe for the page.
std::string urlLink(std::string_view url, const std::string& shown) {
  if (!startsWith(url, "http://") && !startsWith(url, "https://")) return shown;
  return "<a href=\"" + shown + "\" rel=\"noopener noreferrer\" target=\"_blank\">" + shown +
         "</a>";
}

void setUrlRow(const UrlStatus& entry, const std::string& selected) {
  setText("URL", entry.url);
  setMarkup("URL_LINK", urlLink(entry.url, *pageVars().get("URL")));
  setMarkup("UPTIME", entry.up() ? "Yes" : "No");
  setMarkup("CLS_UPTIME", entry.up() ? "y" : "n");
  setContentColumn("FNDBAN", "CLS_FNDBAN", entry.checkBan(), entry.up(), entry.banFound());
  setContentColumn("FNDPRES", "CLS_FNDPRES", entry.checkPres(), entry.up(), entry.presOk());
  setMarkup("LASTCHK", entry.lastCheck == 0 ? "N/A" : formatTime(entry.lastCheck));
  setNumber("RETCODE", entry.resultCode);
  setMarkup("TIMECHK", entry.responseMs == 0 ? "-" : secondsText(entry.responseMs));
  setMarkup("CSSSEL", entry.url == selected ? "sel" : "");
  setMarkup("SELCHECKED", entry.url == selected ? " checked" : "");
}

// The add or edit form: the last URL of the list with the selected text.
void setUrlForm(const GroupConfig& group, bool editing, const std::string& selected) {
  const UrlStatus* edited = nullptr;
  if (editing) {
    for (const UrlStatus& entry : group.urls) {
      if (entry.url == selected) edited = &entry;
    }
  }
  setText("URL", edited ? edited->url : "");
  setMarkup("CHKBAN", edited && edited->checkBan() ? " checked" : "");
  setMarkup("CHKPRES", edited && edited->checkPres() ? " checked" : "");
}

}  // namespace

void showGroupPage(ConsoleRequest&, const std::string& group) {
  const std::string& sortKey = formVar("urlsort");
  const std::string& action = formVar("ACTION");
  const std::string& selected = formVar("TSELURL");
  markMissingErrorLog();
  const bool accepted = isAcceptedGroupName(group);
  std::string message = accepted ? performAction(group, action) : kInvalidGroupNameMessage;

  printContentType();
  PageTemplate page = loadPage(kGroupTemplate, kGroupPageSections);
  GroupConfig config;
  if (accepted) config = readGroupReported(group).group;
  setMarkup("SLC_GROUPS", groupOptionList(group));
  setText("GROUP", group);
  setMarkup("SUSPEND", config.suspended() ? "Suspended" : "");
  setText("URLSORT", sortKey.substr(0, 1));
  if (!message.empty()) setText("MSG", message);
  renderPart(page, kGroupHeader);

  if (UrlOrder order = orderFor(sortKey.empty() ? '\0' : sortKey[0])) {
    std::stable_sort(config.urls.begin(), config.urls.end(), order);
  }
  for (const UrlStatus& entry : config.urls) {
    setUrlRow(entry, selected);
    renderPart(page, kGroupUrl);
  }
  const bool editing = action == "edit" && !selected.empty() && formVar("CSEL").empty();
  if (accepted && (action == "addurl" || editing)) {
    setUrlForm(config, editing, selected);
    renderPart(page, kGroupTextAddEdit);
  }
  renderPart(page, kGroupFooter);
}

}  // namespace vy
