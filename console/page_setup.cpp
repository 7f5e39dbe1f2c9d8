// The settings page: the global settings shown and saved, and the start and
// stop of the worker's scheduler daemon.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/process.h"
#include "common/text.h"
#include "common/worker_program.h"
#include "common/zonetime.h"
#include "console/console.h"
#include "console/page_templates.h"
#include "store/scheduler_file.h"
#include "store/settings.h"

namespace vy {
namespace {

constexpr const char* kInvalidZoneMessage = "Invalid Time Zone Settings";
// The texts of the form that end up in requests, mail headers and the
// settings file: a line break in one would add header lines to every check.
constexpr std::string_view kSettingsTexts[] = {"AEMAIL", "EMLSEND", "USRAGENT", "REFERER", "TZ"};
constexpr size_t kRedirectPaddingLines = 1000;

int formNumber(std::string_view name) { return parseIntAtoi(formVar(name)); }

void saveOrDie(const Settings& settings) {
  StoreStatus rc = vy::saveSettings(settings, kSettingsPath);
  if (!rc.ok()) reportFatal(rc, "vyvars.dat");
}

// The time-zone value "number;abbreviation;hours[:minutes];zone;..." into the
// settings; false when it has fewer than four ";". The zone is the fourth
// field alone: a TZ value never holds ";", and the fields after it only
// describe the option.
bool takeTimeZone(const std::string& value, Settings& settings) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t semicolon; (semicolon = value.find(';', start)) != std::string::npos;) {
    fields.push_back(value.substr(start, semicolon - start));
    start = semicolon + 1;
  }
  fields.push_back(value.substr(start));
  if (fields.size() < 5) return false;
  settings.tzOption = static_cast<uint8_t>(parseIntAtoi(fields[0]));
  settings.zoneAbbrev = fields[1].substr(0, 4);
  settings.zoneOffset = parseIntAtoi(fields[2]) * 3600;
  const size_t colon = fields[2].find(':');
  settings.zoneMinutes = static_cast<uint8_t>(
      colon == std::string::npos ? 0 : parseIntAtoi(fields[2].substr(colon + 1)));
  settings.zoneName = fields[3].substr(0, 79);
  return true;
}

bool holdsControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

// What keeps the form from being saved, in the order the page shows the
// fields; empty when it may be saved. The time zone is checked on its own.
std::string formProblem() {
  for (std::string_view name : kSettingsTexts) {
    if (holdsControlCharacter(formVar(name))) {
      return "Settings texts may not hold line breaks or other control characters";
    }
  }
  if (formNumber("MAXLENPAGE") > kMaxPageLengthLimit) {
    return "The page size limit may be at most 8 MB (8388608 bytes)";
  }
  if (formNumber("MAXCHKURL") < 0) return "The URLs per check run may not be a negative number";
  const int threads = formNumber("MAXCHKPROC");
  if (threads < 0 || threads > kMaxCheckThreadsLimit) {
    return "The threads per check run must be a number from 1 to 1000";
  }
  return "";
}

// A number of the form, with 0 replaced by the default it stands for.
int32_t formNumberOr(std::string_view name, int32_t instead) {
  const int value = formNumber(name);
  return value == 0 ? instead : value;
}

void takeNumbersFromForm(Settings& s) {
  s.maxPageLength = std::max(formNumber("MAXLENPAGE"), 100);
  s.maxCheckUrls = formNumberOr("MAXCHKURL", 1);
  s.maxCheckThreads = formNumberOr("MAXCHKPROC", 1);
  s.restartSeconds = formNumberOr("RESTIME", 5);
  s.checkSeconds = formNumberOr("CHKTIME", kDefaultCheckSeconds);
  const auto retries = static_cast<uint8_t>(formNumber("RECHKUPTIME"));
  s.recheckUpTimes = retries == 0 ? 1 : retries;
}

// The redirection to the settings page once the scheduler was started, with
// enough padding that a browser acts on it at once.
void printRedirection(const ConsoleRequest& request) {
  const std::string target =
      htmlValue(request.scriptName) + "?fnct=setup&apwd=" + urlEncode(formVar("apwd"));
  std::printf(
      "<meta HTTP-EQUIV=\"Refresh\" Content=\"0; URL=%s\">\n<script LANGUAGE=\"JavaScript\">\n"
      "//<!--\nwindow.location.href=\"%s\"\n//-->/n</script>\n<noscript>\n<meta "
      "HTTP-EQUIV=\"Refresh\" Content=\"0; URL=%s\">\n</noscript>\n</body>",
      target.c_str(), target.c_str(), target.c_str());
  const std::string blanks(65, ' ');
  for (size_t i = 0; i < kRedirectPaddingLines; ++i) std::fputs(blanks.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

void showSetupPage(ConsoleRequest& request, const Settings& s, bool fromForm) {
  printContentType();
  setText("AEMAIL", fromForm ? formVar("AEMAIL") : s.adminEmail);
  setText("EMLSEND", fromForm ? formVar("EMLSEND") : s.mailTransport);
  const int zoneOption = fromForm ? formNumber("TZ") : s.tzOption;
  setMarkup("TZ_" + std::to_string(zoneOption), " selected");
  setMarkup("DLS", (fromForm ? formSwitch("DLS") : s.daylightSaving()) ? " checked" : "");
  setText("SYSTIME", formatTime(std::time(nullptr)));
  setText("USRAGENT", fromForm ? formVar("USRAGENT") : s.userAgent);
  setText("REFERER", fromForm ? formVar("REFERER") : s.referer);
  setNumber("MAXLENPAGE", fromForm ? formNumber("MAXLENPAGE") : s.maxPageLength);
  const bool cron = fromForm ? startsWith(formVar("SHED"), "C") : s.cronMode();
  setMarkup(cron ? "CRON" : "RESTART", " selected");
  setNumber("MAXCHKURL", fromForm ? formNumber("MAXCHKURL") : s.maxCheckUrls);
  setNumber("MAXCHKPROC", fromForm ? formNumber("MAXCHKPROC") : s.maxCheckThreads);
  setNumber("RECHKUPTIME", fromForm ? formNumber("RECHKUPTIME") : s.recheckUpTimes);
  const bool running = schedulerRuns(request.settings);
  setMarkup("SHED_ACTION", running ? "Stop" : "Run");
  setMarkup("SHED_STATUS", running ? "ACTIVE" : "STOPED");
  setNumber("RESTIME", fromForm ? formNumber("RESTIME") : s.restartSeconds);
  setNumber("CHKTIME", fromForm ? formNumber("CHKTIME") : s.checkSeconds);
  renderTemplateFile(kSetupTemplate, pageVars(), stdout, false);
}

void showDefaultSetup(ConsoleRequest& request) {
  showSetupPage(request, defaultSettings(request.httpHost), false);
}

void saveSetup(ConsoleRequest& request) {
  if (const std::string problem = formProblem(); !problem.empty()) {
    setText("MSG", problem);
    showSetupPage(request, request.settings, true);
    return;
  }
  Settings s = request.settings;
  s.adminEmail = formVar("AEMAIL").substr(0, 49);
  s.mailTransport = formVar("EMLSEND").substr(0, 49);
  const bool zoneValid = takeTimeZone(formVar("TZ"), s);
  if (!zoneValid) s.zoneAbbrev = s.zoneName = "";
  s.setFlag(kFlagDaylightSaving, formSwitch("DLS"));
  s.userAgent = formVar("USRAGENT").substr(0, 50);
  s.referer = formVar("REFERER").substr(0, 140);
  takeNumbersFromForm(s);
  s.setFlag(kFlagCronMode, startsWith(formVar("SHED"), "C"));
  if (s.cronMode()) s.setFlag(kFlagSchedulerOn, false);
  if (!zoneValid) {
    setText("MSG", kInvalidZoneMessage);
    showSetupPage(request, s, true);
    return;
  }
  if (!holdsControlCharacter(request.httpHost)) s.consoleHost = request.httpHost.substr(0, 78);
  saveOrDie(s);
  request.settings = s;
  setDisplayZone(displayZoneFor(s));
  setText("MSG", "Settings Updated");
  showSetupPage(request, request.settings, false);
}

void controlScheduler(ConsoleRequest& request) {
  Settings& s = request.settings;
  if (!startsWith(formVar("SHED_STATUS"), "S")) {  // the page showed it running: stop
    s.setFlag(kFlagSchedulerOn, false);
    saveOrDie(s);
    showSetupPage(request, s, false);
    return;
  }
  if (s.cronMode()) {
    setText("MSG", "Scheduler is not started. Used cron!");
    showSetupPage(request, s, false);
    return;
  }
  s.setFlag(kFlagSchedulerOn, true);
  saveOrDie(s);
  std::fflush(stdout);
  ChildProcess worker;
  const bool started =
      worker.start({kWorkerProgram, "scheduler", "run"}, ChildProcess::kNullStdout);
  if (!started || worker.wait() != 0) reportError(ErrAction::kExecution, "Run Scheduler");
  printRedirection(request);
}

}  // namespace vy
