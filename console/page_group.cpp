// One group's page: its URLs with their last results, sorted as asked, and
// the actions on a URL: add or edit, delete, and check now (by the worker,
// which this page starts and waits for).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/process.h"
#include "common/text.h"
#include "common/worker_program.h"
#include "common/zonetime.h"
#include "console/certificate_notice.h"
#include "console/console.h"
#include "console/history_charts.h"
#include "console/page_templates.h"
#include "store/group_config.h"
#include "store/group_name.h"
#include "store/group_stats.h"
#include "store/group_store.h"
#include "store/history.h"

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
std::string updateUrl(const Form& form, const std::string& group) {
  const std::string& url = form.value("URL");
  const std::string& former = form.value("TAEURL");
  if (url.empty()) return "";
  if (!isAcceptedUrl(url)) return kInvalidUrlMessage;
  if (!isCheckableAddress(url)) return kNotAnAddressMessage;
  createMissingGroup(group);
  GroupConfig added = oneUrl(url, formSwitch(form, "CHKBAN"), formSwitch(form, "CHKPRES"));
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
std::string checkUrlNow(Page& page, const std::string& group, const std::string& url) {
  if (!isAcceptedUrl(url)) return kInvalidUrlMessage;
  page.flush();
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
std::string performAction(const Form& form, Page& page, const std::string& group,
                          std::string_view action) {
  const std::string& selected = form.value("TSELURL");
  if (action == "update") return updateUrl(form, group);
  if (action == "check" && !selected.empty()) return checkUrlNow(page, group, selected);
  if (action == "delete" && !selected.empty()) return deleteUrl(group, selected);
  return "";
}

// The orders the group page sorts its rows in.
enum class UrlSort {
  kStored,
  kAddress,
  kResponseTime,
  kUpFirst,
  kBannedFoundFirst,
  kRequiredPresentFirst,
  kLastCheck,
  kResultCode,
};

// The sort key letters of the page's form.
constexpr std::pair<char, UrlSort> kSortKeys[] = {
    {'s', UrlSort::kAddress},
    {'t', UrlSort::kResponseTime},
    {'u', UrlSort::kUpFirst},
    {'f', UrlSort::kBannedFoundFirst},
    {'r', UrlSort::kRequiredPresentFirst},
    {'l', UrlSort::kLastCheck},
    {'c', UrlSort::kResultCode},
};

// The order a form's sort key names by its first letter; any other key keeps
// the stored order.
UrlSort sortFromKey(std::string_view key) {
  for (const auto& [letter, sort] : kSortKeys) {
    if (!key.empty() && key[0] == letter) return sort;
  }
  return UrlSort::kStored;
}

// The key function of a sort order; none keeps the stored order.
using UrlOrder = std::function<bool(const UrlStatus&, const UrlStatus&)>;

UrlOrder orderFor(UrlSort sort) {
  switch (sort) {
    case UrlSort::kAddress:
      return [](const UrlStatus& a, const UrlStatus& b) { return a.url < b.url; };
    case UrlSort::kResponseTime:  // no response time recorded: after all others
      return [](const UrlStatus& a, const UrlStatus& b) {
        return (a.responseMs - 1u) < (b.responseMs - 1u);
      };
    case UrlSort::kUpFirst:
      return [](const UrlStatus& a, const UrlStatus& b) { return a.up() && !b.up(); };
    case UrlSort::kBannedFoundFirst:
      return [](const UrlStatus& a, const UrlStatus& b) {
        if (a.up() != b.up()) return a.up();
        return a.banFound() && !b.banFound();
      };
    case UrlSort::kRequiredPresentFirst:
      return [](const UrlStatus& a, const UrlStatus& b) {
        if (a.up() != b.up()) return a.up();
        return a.presOk() && !b.presOk();
      };
    case UrlSort::kLastCheck:
      return [](const UrlStatus& a, const UrlStatus& b) { return a.lastCheck < b.lastCheck; };
    case UrlSort::kResultCode:
      return [](const UrlStatus& a, const UrlStatus& b) { return a.resultCode < b.resultCode; };
    case UrlSort::kStored:
      return nullptr;
  }
  return nullptr;
}

// A content column: "-" when the URL does not check it, "N/A" when the page
// is down, else whether the text was found.
void setContentColumn(Page& page, const char* text, const char* style, bool checked, bool up,
                      bool found) {
  if (!checked) {
    page.setMarkup(text, Markup("-"));
    page.setMarkup(style, Markup("z"));
  } else if (!up) {
    page.setMarkup(text, Markup("N/A"));
    page.setMarkup(style, Markup("x"));
  } else {
    page.setMarkup(text, Markup(found ? "Yes" : "No"));
    page.setMarkup(style, Markup(found ? "y" : "n"));
  }
}

const char* yesOrNo(bool on) { return on ? "Yes" : "No"; }

// The small chart of a row: half-hour slots of the last 24 hours.
constexpr size_t kSparkSlots = 48;

// What the rows show of the history, folded as the file is read: each URL's
// 30-day uptime and the slots of its last 24 hours. A group of 10,000 URLs
// may have a history of hundreds of megabytes; none of it is kept.
class RowHistories : public HistoryVisitor {
 public:
  RowHistories(size_t rows, std::time_t now)
      : month_(30, now), lastDay_(now, kSparkSlots), uptime_(rows) {}

  void onDay(size_t row, const HistoryDay& day) override { month_.add(uptime_[row], day); }
  void onCheck(size_t row, const HistoryCheck& check) override {
    month_.add(uptime_[row], check);
    // The slots are made at the first check: a group without a history
    // needs none.
    if (slots_.empty()) slots_.resize(uptime_.size() * kSparkSlots);
    lastDay_.add(slotsOf(row), check);
  }

  const UptimeCount& uptime(size_t row) const { return uptime_[row]; }
  // None when the group has no check at all.
  std::span<const CheckSlot> slots(size_t row) const {
    if (slots_.empty()) return {};
    return std::span<const CheckSlot>(slots_).subspan(row * kSparkSlots, kSparkSlots);
  }

 private:
  std::span<CheckSlot> slotsOf(size_t row) {
    return std::span<CheckSlot>(slots_).subspan(row * kSparkSlots, kSparkSlots);
  }

  UptimeWindow month_;
  LastDaySlots lastDay_;
  std::vector<UptimeCount> uptime_;
  std::vector<CheckSlot> slots_;
};

// The row's 30-day uptime and its chart of the last 24 hours ("-" for a day
// without a check).
void setHistoryColumn(Page& page, const RowHistories& histories, size_t row, std::string_view url) {
  page.setText("UPTIME30", uptimePercentText(histories.uptime(row)));
  const std::span<const CheckSlot> slots = histories.slots(row);
  if (!anyCheck(slots)) {
    page.setMarkup("SPARK", Markup("-"));
    return;
  }
  std::string label = "Response times of the last 24 hours of ";
  label += url;
  page.setMarkup("SPARK", sparkChart(slots, label));
}

// The days left of the row's certificate once they are below the largest
// warning count; nothing before, without a known expiry or with warnings off.
void setCertificateColumn(Page& page, const UrlStatus& entry, std::time_t now,
                          std::span<const int> warnDays) {
  const CertificateNotice notice = certificateNotice(entry.certExpiry, now, warnDays);
  if (notice.alert == CertificateAlert::kNone) {
    page.setMarkup("CERTLEFT", Markup(""));
    page.setMarkup("CLS_CERT", Markup(""));
    return;
  }
  page.setMarkup("CERTLEFT", Markup(daysLeftText(notice.daysLeft)));
  page.setMarkup("CLS_CERT", Markup(certificateAlertClass(notice.alert)));
}

void setUrlRow(Page& page, const UrlStatus& entry, const std::string& selected) {
  page.setText("URL", entry.url);
  page.setMarkup("URL_LINK", urlLink(entry.url, *page.value("URL")));
  page.setMarkup("UPTIME", Markup(yesOrNo(entry.up())));
  page.setMarkup("CLS_UPTIME", Markup(entry.up() ? "y" : "n"));
  setContentColumn(page, "FNDBAN", "CLS_FNDBAN", entry.checkBan(), entry.up(), entry.banFound());
  setContentColumn(page, "FNDPRES", "CLS_FNDPRES", entry.checkPres(), entry.up(), entry.presOk());
  page.setMarkup("LASTCHK", Markup(entry.lastCheck == 0 ? "N/A" : formatTime(entry.lastCheck)));
  page.setNumber("RETCODE", entry.resultCode);
  page.setMarkup("TIMECHK", Markup(entry.responseMs == 0 ? "-" : secondsText(entry.responseMs)));
  page.setMarkup("CSSSEL", Markup(entry.url == selected ? "sel" : ""));
  page.setMarkup("SELCHECKED", Markup(entry.url == selected ? " checked" : ""));
}

// The add or edit form: the last URL of the list with the selected text.
void setUrlForm(Page& page, const GroupConfig& group, bool editing, const std::string& selected) {
  const UrlStatus* edited = nullptr;
  if (editing) {
    for (const UrlStatus& entry : group.urls) {
      if (entry.url == selected) edited = &entry;
    }
  }
  page.setText("URL", edited ? edited->url : "");
  page.setMarkup("CHKBAN", Markup(edited && edited->checkBan() ? " checked" : ""));
  page.setMarkup("CHKPRES", Markup(edited && edited->checkPres() ? " checked" : ""));
}

// The header's variables: the group chosen, its state and the action's message.
void setGroupHeader(Page& page, const std::string& group, const GroupConfig& config,
                    const std::string& sortKey, const std::string& message) {
  page.setMarkup("SLC_GROUPS", Markup(groupOptionList(group)));
  page.setText("GROUP", group);
  page.setMarkup("SUSPEND", Markup(config.suspended() ? "Suspended" : ""));
  page.setText("URLSORT", sortKey.substr(0, 1));
  if (!message.empty()) page.setText("MSG", message);
}

// The group's record; none for a name that was refused.
GroupConfig groupToShow(const std::string& group, bool accepted) {
  GroupConfig config;
  if (accepted) config = readGroupReported(group).group;
  return config;
}

}  // namespace

Markup urlLink(std::string_view url, const std::string& shown) {
  if (!startsWith(url, "http://") && !startsWith(url, "https://")) return Markup(shown);
  return Markup("<a href=\"" + shown + "\" rel=\"noopener noreferrer\" target=\"_blank\">" + shown +
                "</a>");
}

void showGroupPage(ConsoleRequest& request, Page& page, const std::string& group) {
  const Form& form = request.form;
  const std::string& sortKey = form.value("urlsort");
  const std::string& action = form.value("ACTION");
  const std::string& selected = form.value("TSELURL");
  markMissingErrorLog(page);
  const bool accepted = isAcceptedGroupName(group);
  std::string message =
      accepted ? performAction(form, page, group, action) : kInvalidGroupNameMessage;

  page.writeContentType();
  PageTemplate layout = loadPage(kGroupTemplate, kGroupPageSections);
  GroupConfig config = groupToShow(group, accepted);
  setGroupHeader(page, group, config, sortKey, message);
  if (UrlOrder order = orderFor(sortFromKey(sortKey))) {
    std::stable_sort(config.urls.begin(), config.urls.end(), order);
  }
  const bool editing = action == "edit" && !selected.empty() && form.value("CSEL").empty();
  // One read of the history for all rows, in their order.
  RowHistories histories(config.urls.size(), request.now);
  visitUrlHistories(group, config.urls, histories);
  const std::vector<int> warnDays = request.settings.certificateWarnDays();
  writePage(page, layout, {kGroupHeader, kGroupFooter}, [&] {
    for (size_t i = 0; i < config.urls.size(); ++i) {
      setUrlRow(page, config.urls[i], selected);
      setHistoryColumn(page, histories, i, config.urls[i].url);
      setCertificateColumn(page, config.urls[i], request.now, warnDays);
      page.render(layout, kGroupUrl);
    }
    if (accepted && (action == "addurl" || editing)) {
      setUrlForm(page, config, editing, selected);
      page.render(layout, kGroupTextAddEdit);
    }
  });
}

}  // namespace vy
