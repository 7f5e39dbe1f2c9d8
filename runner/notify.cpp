// Change notifications; see notify.h.
//
// The group's notification type picks the way: 1 runs the group's command
// with the URL's status text on its standard input, 2 sends a mail made from
// vytpl/notifmail.msg, 3 fetches the group's address template filled with the
// URL's state, 4 marks changed URLs and runs the command once per run with
// the texts of all marked URLs, 5 does the same with one chat or push
// message (chat_notify.h). Types 0, 6 and 7 ask for nothing.
//
// A check that warns about the URL's certificate (UrlCheck::certDaysLeft)
// notifies the same way, once, together with any change: the status text
// ends with " cert=<days>d", the mail gets a line with the expiry date, the
// HTTP address's [CERTDAYS] the days left. Without a warning every text is as
// it always was.
//
// External programs (the commands of types 1 and 4, the mail program of type
// 2) run only under the shared result lock, so a worker starts one at a time;
// reading the mail template and writing the reports happen under it too. SMTP
// and HTTP notifications of different threads run side by side.
#include "runner/notify.h"

#include <string_view>
#include <utility>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/process.h"
#include "common/templates.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "net/http.h"
#include "net/mail.h"
#include "runner/chat_notify.h"
#include "store/group_store.h"

namespace vy {
namespace {

// The HTTP notification reads only the status line of its reply.
constexpr int kHttpNotifyLimit = 100;

const char* yesNo(bool value) { return value ? "Yes" : " No"; }

// Runs the group's command line with `text` on its standard input; a command
// that cannot start or ends with another status than 0 is reported.
// REQUIRES: the result lock held.
NotifyResult runGroupCommandLocked(const GroupConfig& group, std::string_view text) {
  if (runCommandWithInput(group.inform, text).succeeded()) return NotifyResult::kDone;
  reportError(ErrAction::kExecution, group.inform);
  return NotifyResult::kFailed;
}

NotifyResult notifyByCommand(CheckShared& shared, GroupRun& run, int index) {
  std::lock_guard<std::mutex> lock(shared.resultLock);
  std::string text;
  writeStatusText(text, run.group.urls[index], run.checks[index]);
  return runGroupCommandLocked(run.group, text);
}

bool anyUrlNeverChecked(const GroupConfig& group) {
  for (const UrlStatus& entry : group.urls) {
    if (entry.lastCheck == 0) return true;
  }
  return false;
}

// Each change only marks its URL; the check of the group's last pending URL
// (index -1) hands the texts of every marked URL to one command.
NotifyResult notifyBatch(CheckShared& shared, GroupRun& run, int index) {
  std::lock_guard<std::mutex> lock(shared.resultLock);
  if (index >= 0) {
    if (index < run.group.urlCount()) run.checks[index].batchMarked = true;
    return NotifyResult::kDone;
  }
  if (anyUrlNeverChecked(run.group)) return NotifyResult::kDone;
  std::string texts;
  for (size_t i = 0; i < run.group.urls.size(); ++i) {
    if (run.checks[i].batchMarked) writeStatusText(texts, run.group.urls[i], run.checks[i]);
  }
  return runGroupCommandLocked(run.group, texts);
}

// The domain of the sender: the host the worker was reached as, else the one
// the console stored at its last save (a cron or scheduler run has no
// HTTP_HOST). It ends before any blank or control character, so a request
// header cannot smuggle a line into the mail or the SMTP dialogue.
std::string mailDomain(const WorkerContext& context) {
  const std::string& host =
      context.cgi.httpHost.empty() ? context.settings.consoleHost : context.cgi.httpHost;
  size_t end = 0;
  while (end < host.size() && static_cast<unsigned char>(host[end]) > 0x20 && host[end] != 0x7f) {
    ++end;
  }
  return host.substr(0, end);
}

// The banned content found, when there is one.
std::string foundBannedContent(const GroupConfig& group, const UrlStatus& entry,
                               const UrlCheck& check) {
  if (!check.curBanFound || entry.banIndex < 0 || entry.banIndex >= group.banCount()) return {};
  return std::string(group.banContents[entry.banIndex]);
}

// The presence content missing from a page that answered. A page that is down
// has no content at all, so no single text is named as missing then.
std::string missingPresenceContent(const GroupConfig& group, const UrlStatus& entry,
                                   const UrlCheck& check) {
  if (!check.curUp || check.curPresOk) return {};
  if (entry.presIndex < 0 || entry.presIndex >= group.presCount()) return {};
  return std::string(group.presContents[entry.presIndex]);
}

// The line a mail gets when the check warns about the certificate.
std::string certificateMailLine(const UrlStatus& entry, int daysLeft) {
  return "Certificate expires: " + formatTime(entry.certExpiry) + " (" + std::to_string(daysLeft) +
         " days left)\n";
}

// The template with the certificate line as the first line of the body (at
// the end when the template has no body), or as it is without a warning.
std::string withCertificateLine(std::string templateText, const UrlStatus& entry,
                                const UrlCheck& check) {
  if (!check.certDaysLeft) return templateText;
  const std::string line = certificateMailLine(entry, *check.certDaysLeft);
  const size_t headerEnd = templateText.find("\n\n");
  if (headerEnd != std::string::npos) return templateText.insert(headerEnd + 2, line + "\n");
  if (!templateText.empty() && templateText.back() != '\n') templateText += '\n';
  return templateText + line;
}

// Whether the check's notification tells of the certificate alone.
bool onlyCertificateWarning(const UrlCheck& check) {
  return check.certDaysLeft && check.curUp == check.prevUp &&
         check.curBanFound == check.prevBanFound && check.curPresOk == check.prevPresOk;
}

std::string threeWide(const char* text) { return formatAlloc("%3s", text); }
std::string threeWide(int number) { return formatAlloc("%3d", number); }

TemplateVars mailVariables(const GroupConfig& group, const std::string& groupName,
                           const UrlStatus& entry, const UrlCheck& check,
                           const std::string& domain) {
  TemplateVars vars;
  const std::string url(entry.url);
  vars.set("CHECKTIME", formatTime(entry.lastCheck));
  vars.set("GROUP", groupName);
  vars.set("URL", url);
  vars.set("OUPTIME", threeWide(yesNo(check.prevUp)));
  vars.set("OFNDBAN", threeWide(yesNo(check.prevBanFound)));
  vars.set("OFNDPRES", threeWide(yesNo(check.prevPresOk)));
  vars.set("OHTTPCODE", threeWide(check.previousCode));
  vars.set("UPTIME", threeWide(yesNo(check.curUp)));
  vars.set("FNDBAN", threeWide(yesNo(check.curBanFound)));
  vars.set("FNDPRES", threeWide(yesNo(check.curPresOk)));
  vars.set("HTTPCODE", threeWide(check.changedCode));
  vars.set("FNDBANCNT", foundBannedContent(group, entry, check));
  vars.set("FNDPRESCNT", missingPresenceContent(group, entry, check));
  vars.set("TO", " \"" + groupName + "\" <" + group.inform + ">");
  vars.set("FROM", "\"Vantry\" <vantry@" + domain + ">");
  vars.set("SUBJ",
           onlyCertificateWarning(check)
               ? "Certificate expires in " + std::to_string(*check.certDaysLeft) + " days: " + url
               : "Changed: " + url);
  vars.set("HTTP_HOST", domain);
  return vars;
}

NotifyResult notifyByMail(CheckShared& shared, GroupRun& run, int index) {
  std::string templateText;
  {
    std::lock_guard<std::mutex> lock(shared.resultLock);
    templateText = readWholeFile(std::string(kTemplateDir) + kNotificationMailTemplate);
  }
  templateText =
      withCertificateLine(std::move(templateText), run.group.urls[index], run.checks[index]);
  const std::string domain = mailDomain(shared.worker);
  TemplateVars vars =
      mailVariables(run.group, run.handle.name, run.group.urls[index], run.checks[index], domain);
  const std::string sender = "vantry@" + domain;
  // sendMail takes the result lock itself around a mail program, so it is not
  // held here.
  const Status<MailError> rc =
      sendMail(shared.worker.settings.mailTransport, sender, run.group.inform, templateText, vars,
               shared.hosts, shared.resultLock);
  if (rc.ok()) return NotifyResult::kDone;
  std::lock_guard<std::mutex> lock(shared.resultLock);
  reportError(rc, std::string("SendMail Error: ") + mailErrorText(rc.code));
  return NotifyResult::kFailed;
}

TemplateVars httpVariables(const UrlStatus& entry, const UrlCheck& check) {
  TemplateVars vars;
  vars.set("URL", urlEncode(entry.url));
  vars.set("STATUS", std::to_string(check.stateWord));
  vars.set("UPTIME", entry.up() ? "1" : "0");
  vars.set("FNDBAN", entry.banFound() ? "1" : "0");
  vars.set("FNDPRES", entry.presOk() ? "1" : "0");
  vars.set("CHKTIME", std::to_string(entry.lastCheck));
  vars.set("RETHTTP", std::to_string(entry.resultCode));
  vars.set("CERTDAYS", check.certDaysLeft ? std::to_string(*check.certDaysLeft) : "");
  return vars;
}

NotifyResult notifyByHttp(CheckShared& shared, GroupRun& run, int index) {
  const TemplateVars vars = httpVariables(run.group.urls[index], run.checks[index]);
  const std::string address = substituteBrackets(run.group.inform, vars);
  const HttpReply reply = httpGet(address, kHttpNotifyLimit, shared.hosts);
  if (isUpCode(replyStatus(reply).code)) return NotifyResult::kDone;
  std::lock_guard<std::mutex> lock(shared.resultLock);
  reportError(ErrAction::kNoFileOperation, address);
  return NotifyResult::kFailed;
}

}  // namespace

void writeStatusText(std::string& out, const UrlStatus& entry, const UrlCheck& check) {
  out += urlListingLine(entry, check.stateWord);
  if (check.certDaysLeft) out += " cert=" + std::to_string(*check.certDaysLeft) + "d";
}

NotifyResult notifyChange(CheckShared& shared, GroupRun& run, int index) {
  const NotifyType type = notifyType(run.group);
  switch (type) {
    case NotifyType::kCommand:
    case NotifyType::kMail:
    case NotifyType::kHttp:
    case NotifyType::kBatch:
    case NotifyType::kChat:
      break;
    default:  // a group that asks for no notification has nothing that could fail
      return NotifyResult::kDone;
  }
  if (run.group.inform.empty()) return NotifyResult::kFailed;
  if (type == NotifyType::kBatch) return notifyBatch(shared, run, index);
  if (type == NotifyType::kChat) return notifyByChat(shared, run, index);
  if (index < 0 || index >= run.group.urlCount()) return NotifyResult::kDone;
  switch (type) {
    case NotifyType::kCommand:
      return notifyByCommand(shared, run, index);
    case NotifyType::kMail:
      return notifyByMail(shared, run, index);
    default:
      return notifyByHttp(shared, run, index);
  }
}

}  // namespace vy
