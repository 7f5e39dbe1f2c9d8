// Change notifications; see notify.h.
//
// The group's notification type picks the way: 1 runs the group's command
// with the URL's status text on its standard input, 2 sends a mail made from
// vytpl/notifmail.msg, 3 fetches the group's address template filled with the
// URL's state, 4 marks changed URLs and runs the command once per run with
// the texts of all marked URLs. Types 0 and 5 to 7 ask for nothing.
//
// External programs (the commands of types 1 and 4, the mail program of type
// 2) run only under resultLock(), so a worker starts one at a time; reading
// the mail template and writing the reports happen under it too. SMTP and
// HTTP notifications of different threads run side by side.
#include "runner/notify.h"

#include <string_view>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/process.h"
#include "common/templates.h"
#include "common/text.h"
#include "common/zonetime.h"
#include "net/http.h"
#include "net/mail.h"
#include "runner/check_url.h"
#include "store/group_file.h"

namespace vy {
namespace {

enum NotifyResult : int { kNotifyDone = 0, kNotifyFailed = 1 };

enum NotifyType : int {
  kNotifyNone = 0,
  kNotifyCommand = 1,
  kNotifyMail = 2,
  kNotifyHttp = 3,
  kNotifyBatch = 4,
};

// The HTTP notification reads only the status line of its reply.
constexpr int kHttpNotifyLimit = 100;

const char* yesNo(bool value) { return value ? "Yes" : " No"; }

// Runs an administrator's command line through the shell with `text` on its
// standard input; true when it ended with status 0. A command that does not
// read its input is judged by its status alone.
bool runShellCommand(const std::string& commandLine, std::string_view text) {
  ChildProcess child;
  if (!child.startShell(commandLine, ChildProcess::kPipeStdin)) return false;
  child.writeStdin(text);
  return child.wait() == 0;
}

// REQUIRES: resultLock() held.
int runGroupCommandLocked(const GroupConfig& group, std::string_view text) {
  if (runShellCommand(group.inform, text)) return kNotifyDone;
  reportError(kErrExecution, group.inform);
  return kNotifyFailed;
}

int notifyByCommand(GroupConfig& group, int index) {
  std::lock_guard<std::mutex> lock(resultLock());
  std::string text;
  writeStatusText(text, group.urls[index]);
  return runGroupCommandLocked(group, text);
}

bool anyUrlNeverChecked(const GroupConfig& group) {
  for (const UrlStatus& entry : group.urls) {
    if (entry.lastCheck == 0) return true;
  }
  return false;
}

// Each change only marks its URL; the run of the group's last pending URL
// (index -1) hands the texts of every marked URL to one command.
int notifyBatch(GroupConfig& group, int index) {
  if (index >= 0) {
    if (index < group.urlCount()) group.urls[index].batchMarked = true;
    return kNotifyDone;
  }
  if (anyUrlNeverChecked(group)) return kNotifyDone;
  std::lock_guard<std::mutex> lock(resultLock());
  std::string texts;
  for (const UrlStatus& entry : group.urls) {
    if (entry.batchMarked) writeStatusText(texts, entry);
  }
  return runGroupCommandLocked(group, texts);
}

// The domain of the sender: the host the worker was reached as, else the one
// the console stored at its last save (a cron or scheduler run has no
// HTTP_HOST). It ends before any blank or control character, so a request
// header cannot smuggle a line into the mail or the SMTP dialogue.
std::string mailDomain(const WorkerContext& context) {
  const std::string& host =
      context.httpHost.empty() ? context.settings.consoleHost : context.httpHost;
  size_t end = 0;
  while (end < host.size() && static_cast<unsigned char>(host[end]) > 0x20 && host[end] != 0x7f) {
    ++end;
  }
  return host.substr(0, end);
}

// The banned content found, when there is one.
std::string foundBannedContent(const GroupConfig& group, const UrlStatus& entry) {
  if (!entry.curBanFound || entry.banIndex < 0 || entry.banIndex >= group.banCount()) return {};
  return std::string(group.banContents[entry.banIndex]);
}

// The presence content missing from a page that answered. A page that is down
// has no content at all, so no single text is named as missing then.
std::string missingPresenceContent(const GroupConfig& group, const UrlStatus& entry) {
  if (!entry.curUp || entry.curPresOk) return {};
  if (entry.presIndex < 0 || entry.presIndex >= group.presCount()) return {};
  return std::string(group.presContents[entry.presIndex]);
}

TemplateVars mailVariables(const GroupConfig& group, const UrlStatus& entry,
                           const std::string& domain) {
  TemplateVars vars;
  const std::string url(entry.url);
  templateVarSet(vars, "CHECKTIME", "%s", formatTime(entry.lastCheck).c_str());
  templateVarSet(vars, "GROUP", "%s", group.groupName.c_str());
  templateVarSet(vars, "URL", "%s", url.c_str());
  templateVarSet(vars, "OUPTIME", "%3s", yesNo(entry.prevUp));
  templateVarSet(vars, "OFNDBAN", "%3s", yesNo(entry.prevBanFound));
  templateVarSet(vars, "OFNDPRES", "%3s", yesNo(entry.prevPresOk));
  templateVarSet(vars, "OHTTPCODE", "%3d", entry.previousCode);
  templateVarSet(vars, "UPTIME", "%3s", yesNo(entry.curUp));
  templateVarSet(vars, "FNDBAN", "%3s", yesNo(entry.curBanFound));
  templateVarSet(vars, "FNDPRES", "%3s", yesNo(entry.curPresOk));
  templateVarSet(vars, "HTTPCODE", "%3d", entry.changedCode);
  templateVarSet(vars, "FNDBANCNT", "%s", foundBannedContent(group, entry).c_str());
  templateVarSet(vars, "FNDPRESCNT", "%s", missingPresenceContent(group, entry).c_str());
  templateVarSet(vars, "TO", " \"%s\" <%s>", group.groupName.c_str(), group.inform.c_str());
  templateVarSet(vars, "FROM", "\"%s\" <vantry@%s>", "Vantry", domain.c_str());
  templateVarSet(vars, "SUBJ", "Changed: %s", url.c_str());
  templateVarSet(vars, "HTTP_HOST", "%s", domain.c_str());
  return vars;
}

int notifyByMail(const WorkerContext& context, GroupConfig& group, int index) {
  std::string templateText;
  {
    std::lock_guard<std::mutex> lock(resultLock());
    templateText = readWholeFile(std::string(kTemplateDir) + kNotificationMailTemplate);
  }
  const std::string domain = mailDomain(context);
  TemplateVars vars = mailVariables(group, group.urls[index], domain);
  const std::string sender = "vantry@" + domain;
  // sendMail takes resultLock() itself around a mail program, so it is not
  // held here.
  int rc = sendMail(context.settings.mailTransport, sender, group.inform, templateText, vars,
                    resultLock());
  if (rc == kMailOk) return kNotifyDone;
  std::lock_guard<std::mutex> lock(resultLock());
  reportError(rc, formatAlloc("SendMail Error: %s", mailErrorText(rc)));
  return kNotifyFailed;
}

TemplateVars httpVariables(const UrlStatus& entry) {
  TemplateVars vars;
  templateVarSet(vars, "URL", "%s", urlEncode(entry.url).c_str());
  templateVarSet(vars, "STATUS", "%d", entry.resultBits);
  templateVarSet(vars, "UPTIME", "%d", entry.up() ? 1 : 0);
  templateVarSet(vars, "FNDBAN", "%d", entry.banFound() ? 1 : 0);
  templateVarSet(vars, "FNDPRES", "%d", entry.presOk() ? 1 : 0);
  templateVarSet(vars, "CHKTIME", "%u", entry.lastCheck);
  templateVarSet(vars, "RETHTTP", "%d", entry.resultCode);
  return vars;
}

int notifyByHttp(GroupConfig& group, int index) {
  const TemplateVars vars = httpVariables(group.urls[index]);
  const std::string address = substituteBrackets(group.inform, vars);
  const HttpReply reply = httpGet(address, kHttpNotifyLimit, kRequestSeconds);
  if (isUpCode(replyStatus(reply).code)) return kNotifyDone;
  std::lock_guard<std::mutex> lock(resultLock());
  reportError(kOk, address);
  return kNotifyFailed;
}

bool asksForNothing(int type) { return type < kNotifyCommand || type > kNotifyBatch; }

}  // namespace

void writeStatusText(std::string& out, const UrlStatus& entry) { out += urlListingLine(entry); }

int notifyChange(const WorkerContext& context, GroupConfig& group, int index) {
  const int type = group.infType();
  // A group that asks for no notification has nothing that could fail.
  if (asksForNothing(type)) return kNotifyDone;
  if (group.inform.empty()) return kNotifyFailed;
  if (type == kNotifyBatch) return notifyBatch(group, index);
  if (index < 0 || index >= group.urlCount()) return kNotifyDone;
  switch (type) {
    case kNotifyCommand:
      return notifyByCommand(group, index);
    case kNotifyMail:
      return notifyByMail(context, group, index);
    case kNotifyHttp:
      return notifyByHttp(group, index);
  }
  return kNotifyDone;
}

}  // namespace vy
