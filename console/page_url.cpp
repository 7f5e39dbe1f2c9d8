// One URL's page: its uptime over 1, 7, 30 and 365 days, its response times
// of the last 24 hours and 30 days, a bar of its last 90 days, its last
// checks, its check-log rows, when its last content check failed the text
// that failed it, and for an https URL its certificate's expiry. Also the reading of a group's
// histories the group pages share.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "console/certificate_notice.h"
#include "console/console.h"
#include "console/history_charts.h"
#include "console/page_templates.h"
#include "store/certificates.h"
#include "store/check_log.h"
#include "store/group_config.h"
#include "store/group_name.h"
#include "store/group_store.h"
#include "store/history.h"

namespace vy {
namespace {

constexpr size_t kShownChecks = 50;
constexpr size_t kDaySlots = 288;  // five minutes each
constexpr int kChartDays = 30;
constexpr int kBarDays = 90;
// A refused address is quoted in the message up to this many bytes.
constexpr size_t kQuotedUrlBytes = 200;

// The group's record; a group that is not there reads as empty (and is not
// reported, as a page for a group that was just deleted may ask for it).
GroupRead groupOfPage(const std::string& group) {
  GroupRead read = readGroup(group);
  if (!read.ok() && isRegularFile(groupFilePath(effectiveGroupName(group)))) {
    reportError(read.status, "Read group");
  }
  return read;
}

const UrlStatus* findUrl(const GroupConfig& group, const std::string& url) {
  for (const UrlStatus& entry : group.urls) {
    if (entry.url == url) return &entry;
  }
  return nullptr;
}

void setRatios(Page& page, const UrlHistory& history, std::time_t now) {
  for (int days : kUptimeWindowDays) {
    page.setText("UPTIME_" + std::to_string(days) + "D",
                 uptimePercentText(uptimeOver(history, days, now)));
  }
  const std::optional<uint32_t> mean = meanResponseMsOfLastDay(history, now);
  page.setText("AVG1D", mean ? std::to_string(*mean) + " ms" : "-");
}

void setUrlHeader(Page& page, const std::string& group, const UrlStatus& entry,
                  const UrlHistory& history, std::time_t now) {
  page.setText("GROUP", group);
  page.setText("URL", entry.url);
  page.setMarkup("URL_LINK", urlLink(entry.url, *page.value("URL")));
  page.setMarkup("UPTIME", Markup(yesNo(entry.up())));
  page.setMarkup("CLS_UPTIME", Markup(entry.up() ? "y" : "n"));
  page.setMarkup("LASTCHK", Markup(entry.lastCheck == 0 ? "N/A" : formatTime(entry.lastCheck)));
  page.setNumber("RETCODE", entry.resultCode);
  setRatios(page, history, now);
  const std::string url(entry.url);
  page.setMarkup("CHART_DAY", dayChart(slotsOfLastDay(history, now, kDaySlots),
                                       "Response times of the last 24 hours of " + url));
  const std::vector<HistoryDay> days = lastDays(history, now, kBarDays);
  const std::span<const HistoryDay> lastMonth =
      std::span(days).last(std::min<size_t>(days.size(), kChartDays));
  page.setMarkup(
      "CHART_DAYS",
      daysChart(lastMonth, "Daily mean and maximum response times of the last 30 days of " + url));
  page.setMarkup("BAR_DAYS", uptimeBar(days, "Uptime of each of the last 90 days of " + url));
}

// The text of a content list an index of the URL's status names; the index
// may point past a list that was shortened since the check.
std::string contentText(const std::vector<std::string_view>& list, int16_t index) {
  if (index >= 0 && static_cast<size_t>(index) < list.size()) return std::string(list[index]);
  return "text number " + std::to_string(index + 1) + ", no longer in the group's list";
}

// What failed the URL's last content check: the banned text found, the
// required text missing (a page that was down had no text to test).
void writeContentFailures(Page& page, const PageTemplate& layout, const GroupConfig& group,
                          const UrlStatus& entry) {
  if (!entry.up()) return;
  if (entry.checkBan() && entry.banFound()) {
    page.setMarkup("CONTENT_KIND", Markup("Banned text found"));
    page.setText("CONTENT_TEXT", contentText(group.banContents, entry.banIndex));
    page.render(layout, kUrlContent);
  }
  if (entry.checkPres() && !entry.presOk()) {
    page.setMarkup("CONTENT_KIND", Markup("Required text missing"));
    page.setText("CONTENT_TEXT", contentText(group.presContents, entry.presIndex));
    page.render(layout, kUrlContent);
  }
}

// The state of a kept check in words: up or down, and the content results
// the URL tests.
std::string checkStateText(const HistoryCheck& check, const UrlStatus& entry) {
  if (!check.up()) return "Down";
  std::string text = "Up";
  if (entry.checkBan() && (check.state & kStateBanFound)) text += ", banned text found";
  if (entry.checkPres() && !(check.state & kStatePresOk)) text += ", required text missing";
  return text;
}

void writeLastChecks(Page& page, const PageTemplate& layout, const UrlHistory& history,
                     const UrlStatus& entry) {
  const size_t shown = std::min(history.checks.size(), kShownChecks);
  for (size_t i = 0; i < shown; ++i) {
    const HistoryCheck& check = history.checks[history.checks.size() - 1 - i];
    page.setMarkup("TIMECHK", Markup(formatTime(check.time)));
    page.setMarkup("STATE", Markup(checkStateText(check, entry)));
    page.setMarkup("CLS_STATE", Markup(check.up() ? "y" : "n"));
    page.setNumber("RETCODE", check.statusCode);
    page.setNumber("RESPMS", check.responseMs);
    page.render(layout, kUrlCheck);
  }
}

// The URL's rows of the group's check log, newest first; a content column
// the URL does not test shows "-".
void writeLogRows(Page& page, const PageTemplate& layout, const std::string& group,
                  const UrlStatus& entry) {
  const std::vector<CheckLogEntry> entries = checkLogOf(effectiveGroupName(group));
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->url != entry.url) continue;
    page.setMarkup("TIMECHK", Markup(formatTime(it->time)));
    page.setMarkup("UPTIME", Markup(yesNo(it->up())));
    page.setMarkup("FNDBAN", Markup(entry.checkBan() ? yesNo(it->banFound()) : "-"));
    page.setMarkup("FNDPRES", Markup(entry.checkPres() ? yesNo(it->presOk()) : "-"));
    page.setNumber("RETCODE", it->status);
    page.render(layout, kUrlLogRow);
  }
}

// The issuer and subject kept for the URL's certificate, when they belong to
// the expiry its record holds (a renewal whose details could not be stored
// leaves older ones behind); none when unknown. A file that cannot be read
// is logged.
std::optional<CertificateDetails> certificateDetailsOf(const std::string& group,
                                                       const UrlStatus& entry) {
  const std::string name = effectiveGroupName(group);
  if (!isValidGroupName(name)) return std::nullopt;
  const std::string_view urls[] = {entry.url};
  std::vector<std::optional<CertificateDetails>> details;
  const StoreStatus rc = readCertificates(name, urls, details);
  if (!rc.ok()) reportError(rc, certificatePath(name));
  if (details.empty() || !details[0]) return std::nullopt;
  if (storedCertificateExpiry(details[0]->notAfter) != entry.certExpiry) return std::nullopt;
  return details[0];
}

// The certificate card of an https URL whose expiry is known: the date, the
// days left (marked as the group page marks them) and who issued it to whom.
void writeCertificate(Page& page, const PageTemplate& layout, const std::string& group,
                      const UrlStatus& entry, const ConsoleRequest& request) {
  if (entry.certExpiry == 0 || !startsWith(entry.url, "https://")) return;
  const std::vector<int> warnDays = request.settings.certificateWarnDays();
  const CertificateNotice notice = certificateNotice(entry.certExpiry, request.now, warnDays);
  page.setMarkup("CERT_EXPIRY", Markup(expiryText(entry.certExpiry)));
  page.setMarkup("CERTLEFT",
                 Markup(daysLeftText(certificateDaysLeft(entry.certExpiry, request.now))));
  page.setMarkup("CLS_CERT", Markup(certificateAlertClass(notice.alert)));
  const std::optional<CertificateDetails> details = certificateDetailsOf(group, entry);
  page.setText("CERT_ISSUER", details ? details->issuer : "not known");
  page.setText("CERT_SUBJECT", details ? details->subject : "not known");
  page.render(layout, kUrlCertificate);
}

std::string refusedUrlMessage(const std::string& group, const std::string& url) {
  std::string quoted = url.substr(0, kQuotedUrlBytes);
  if (quoted.size() < url.size()) quoted += "...";
  return "Group " + effectiveGroupName(group) + " has no URL \"" + quoted + "\"";
}

}  // namespace

namespace {

std::vector<std::string_view> urlTexts(const std::vector<UrlStatus>& urls) {
  std::vector<std::string_view> texts;
  texts.reserve(urls.size());
  for (const UrlStatus& entry : urls) texts.push_back(entry.url);
  return texts;
}

// Runs read(name, texts) on the group's history and logs what it could not
// read.
template <typename Read>
void readReported(const std::string& group, const std::vector<UrlStatus>& urls, Read read) {
  const std::string name = effectiveGroupName(group);
  if (urls.empty() || !isValidGroupName(name)) return;
  const StoreStatus rc = read(name, urlTexts(urls));
  if (!rc.ok()) reportError(rc, historyPath(name));
}

}  // namespace

std::vector<UrlHistory> readUrlHistories(const std::string& group,
                                         const std::vector<UrlStatus>& urls) {
  std::vector<UrlHistory> histories;
  readReported(group, urls,
               [&](const std::string& name, const std::vector<std::string_view>& texts) {
                 return readHistory(name, texts, histories);
               });
  // Whatever was read, one history per URL.
  histories.resize(urls.size());
  for (size_t i = 0; i < urls.size(); ++i) histories[i].url = std::string(urls[i].url);
  return histories;
}

void visitUrlHistories(const std::string& group, const std::vector<UrlStatus>& urls,
                       HistoryVisitor& visitor) {
  readReported(group, urls,
               [&](const std::string& name, const std::vector<std::string_view>& texts) {
                 return visitHistory(name, texts, visitor);
               });
}

void showUrlPage(ConsoleRequest& request, Page& page) {
  const std::string& group = request.form.value("group");
  const std::string& url = request.form.value("url");
  if (!isAcceptedGroupName(group)) {
    displayMain(request, page, kInvalidGroupNameMessage);
    return;
  }
  const GroupRead read = groupOfPage(group);
  const UrlStatus* entry = findUrl(read.group, url);
  if (!entry) {
    page.setText("MSG", refusedUrlMessage(group, url));
    showGroupPage(request, page, group);
    return;
  }
  markMissingErrorLog(page);
  const std::vector<UrlHistory> history = readUrlHistories(group, {*entry});
  setUrlHeader(page, group, *entry, history[0], request.now);
  writePage(page, kUrlTemplate, kUrlPageSections, {kUrlHeader, kUrlFooter},
            [&](const PageTemplate& layout) {
              writeContentFailures(page, layout, read.group, *entry);
              writeCertificate(page, layout, group, *entry, request);
              page.render(layout, kUrlChecks);
              writeLastChecks(page, layout, history[0], *entry);
              page.render(layout, kUrlLogs);
              writeLogRows(page, layout, group, *entry);
            });
}

}  // namespace vy
