// The settings page: the global settings shown and saved, and the start and
// stop of the worker's scheduler daemon.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
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

int formNumber(const Form& form, std::string_view name) { return parseIntAtoi(form.value(name)); }

// The longest text a settings field keeps: its field of the settings record
// less the NUL that ends it.
constexpr size_t keptText(size_t fieldSize) { return fieldSize - 1; }
// The referer has always been cut shorter than its field.
constexpr size_t kKeptReferer = 140;
static_assert(kKeptReferer < kRefererSize);

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
  settings.zoneName = fields[3].substr(0, keptText(kZoneNameSize));
  return true;
}

bool holdsControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

// Why the "Warn about certificates that expire within" field cannot be
// saved; empty when it can (or was not sent).
std::string warnDaysProblem(const Form& form) {
  const std::optional<std::string_view> typed = form.find("CERTWARN");
  if (!typed) return "";
  switch (parseWarnDays(*typed).error) {
    case WarnDaysError::kOk:
      return "";
    case WarnDaysError::kNotANumber:
      return "Certificate warnings: enter whole numbers of days separated by commas, such as "
             "21,14,7";
    case WarnDaysError::kOutOfRange:
      return "Certificate warnings: each number of days must be from 1 to 3650 (0 alone switches "
             "the warnings off)";
    case WarnDaysError::kTooMany:
      return "Certificate warnings: at most four numbers of days";
  }
  return "";
}

// What keeps the form from being saved, in the order the page shows the
// fields; empty when it may be saved. The time zone is checked on its own.
std::string formProblem(const Form& form) {
  for (std::string_view name : kSettingsTexts) {
    if (holdsControlCharacter(form.value(name))) {
      return "Settings texts may not hold line breaks or other control characters";
    }
  }
  if (formNumber(form, "MAXLENPAGE") > kMaxPageLengthLimit) {
    return "The page size limit may be at most 8 MB (8388608 bytes)";
  }
  if (std::string problem = warnDaysProblem(form); !problem.empty()) return problem;
  if (formNumber(form, "MAXCHKURL") < 0)
    return "The URLs per check run may not be a negative number";
  const int threads = formNumber(form, "MAXCHKPROC");
  if (threads < 0 || threads > kMaxCheckThreadsLimit) {
    return "The threads per check run must be a number from 1 to 1000";
  }
  return "";
}

// A number of the form, with 0 replaced by the default it stands for.
int32_t formNumberOr(const Form& form, std::string_view name, int32_t instead) {
  const int value = formNumber(form, name);
  return value == 0 ? instead : value;
}

void takeNumbersFromForm(const Form& form, Settings& s) {
  s.maxPageLength = std::max(formNumber(form, "MAXLENPAGE"), 100);
  s.maxCheckUrls = formNumberOr(form, "MAXCHKURL", 1);
  s.maxCheckThreads = formNumberOr(form, "MAXCHKPROC", 1);
  s.restartSeconds = formNumberOr(form, "RESTIME", 5);
  s.checkSeconds = formNumberOr(form, "CHKTIME", kDefaultCheckSeconds);
  const auto retries = static_cast<uint8_t>(formNumber(form, "RECHKUPTIME"));
  s.recheckUpTimes = retries == 0 ? 1 : retries;
}

// The warning days of the form (checked already); a form without the field
// (one from before it existed) keeps the list as it is.
void takeWarnDaysFromForm(const Form& form, Settings& s) {
  if (const std::optional<std::string_view> typed = form.find("CERTWARN")) {
    s.setCertificateWarnDays(parseWarnDays(*typed).days);
  }
}

// The texts of the form into the settings, each cut to what its field keeps.
void takeTextsFromForm(const Form& form, Settings& s) {
  s.adminEmail = form.value("AEMAIL").substr(0, keptText(kAdminEmailSize));
  s.mailTransport = form.value("EMLSEND").substr(0, keptText(kMailTransportSize));
  s.userAgent = form.value("USRAGENT").substr(0, keptText(kUserAgentSize));
  s.referer = form.value("REFERER").substr(0, kKeptReferer);
}

// The texts of the page, from the record or as the form sent them.
void setSetupTexts(Page& page, const Form& form, const Settings& s, bool fromForm) {
  page.setText("AEMAIL", fromForm ? form.value("AEMAIL") : s.adminEmail);
  page.setText("EMLSEND", fromForm ? form.value("EMLSEND") : s.mailTransport);
  page.setText("USRAGENT", fromForm ? form.value("USRAGENT") : s.userAgent);
  page.setText("REFERER", fromForm ? form.value("REFERER") : s.referer);
  const std::optional<std::string_view> typedDays = form.find("CERTWARN");
  page.setText("CERTWARN", fromForm && typedDays ? std::string(*typedDays)
                                                 : formatWarnDays(s.certificateWarnDays()));
  page.setText("SYSTIME", formatTime(std::time(nullptr)));
}

// The numbers and choices of the page, from the record or as the form sent them.
void setSetupChoices(Page& page, const Form& form, const Settings& s, bool fromForm) {
  auto number = [&](const char* name, long long stored) {
    page.setNumber(name, fromForm ? formNumber(form, name) : stored);
  };
  const int zoneOption = fromForm ? formNumber(form, "TZ") : s.tzOption;
  page.setMarkup("TZ_" + std::to_string(zoneOption), Markup(" selected"));
  const bool daylight = fromForm ? formSwitch(form, "DLS") : s.daylightSaving();
  page.setMarkup("DLS", Markup(daylight ? " checked" : ""));
  number("MAXLENPAGE", s.maxPageLength);
  const bool cron = fromForm ? startsWith(form.value("SHED"), "C") : s.cronMode();
  page.setMarkup(cron ? "CRON" : "RESTART", Markup(" selected"));
  number("MAXCHKURL", s.maxCheckUrls);
  number("MAXCHKPROC", s.maxCheckThreads);
  number("RECHKUPTIME", s.recheckUpTimes);
  number("RESTIME", s.restartSeconds);
  number("CHKTIME", s.checkSeconds);
}

}  // namespace

void showSetupPage(ConsoleRequest& request, Page& page, const Settings& s, bool fromForm) {
  page.writeContentType();
  setSetupTexts(page, request.form, s, fromForm);
  setSetupChoices(page, request.form, s, fromForm);
  const bool running = schedulerRuns(request.settings);
  page.setMarkup("SHED_ACTION", Markup(running ? "Stop" : "Run"));
  page.setMarkup("SHED_STATUS", Markup(running ? "ACTIVE" : "STOPED"));
  writeFilePage(page, kSetupTemplate);
}

void showDefaultSetup(ConsoleRequest& request, Page& page) {
  showSetupPage(request, page, defaultSettings(request.cgi.httpHost), false);
}

void saveSetup(ConsoleRequest& request, Page& page) {
  const Form& form = request.form;
  if (const std::string problem = formProblem(form); !problem.empty()) {
    page.setText("MSG", problem);
    showSetupPage(request, page, request.settings, true);
    return;
  }
  Settings s = request.settings;
  takeTextsFromForm(form, s);
  const bool zoneValid = takeTimeZone(form.value("TZ"), s);
  if (!zoneValid) s.zoneAbbrev = s.zoneName = "";
  s.setFlag(kFlagDaylightSaving, formSwitch(form, "DLS"));
  takeNumbersFromForm(form, s);
  takeWarnDaysFromForm(form, s);
  s.setFlag(kFlagCronMode, startsWith(form.value("SHED"), "C"));
  if (s.cronMode()) s.setFlag(kFlagSchedulerOn, false);
  if (!zoneValid) {
    page.setText("MSG", kInvalidZoneMessage);
    showSetupPage(request, page, s, true);
    return;
  }
  const std::string& host = request.cgi.httpHost;
  if (!holdsControlCharacter(host)) s.consoleHost = host.substr(0, keptText(kConsoleHostSize));
  saveOrDie(s);
  request.settings = s;
  setDisplayZone(displayZoneFor(s));
  page.setText("MSG", "Settings Updated");
  showSetupPage(request, page, request.settings, false);
}

void controlScheduler(ConsoleRequest& request, Page& page) {
  Settings& s = request.settings;
  if (!startsWith(request.form.value("SHED_STATUS"), "S")) {  // the page showed it running: stop
    s.setFlag(kFlagSchedulerOn, false);
    saveOrDie(s);
    showSetupPage(request, page, s, false);
    return;
  }
  if (s.cronMode()) {
    page.setText("MSG", "Scheduler is not started. Used cron!");
    showSetupPage(request, page, s, false);
    return;
  }
  s.setFlag(kFlagSchedulerOn, true);
  saveOrDie(s);
  page.flush();
  ChildProcess worker;
  const bool started =
      worker.start({kWorkerProgram, "scheduler", "run"}, ChildProcess::kNullStdout);
  if (!started || worker.wait() != 0) reportError(ErrAction::kExecution, "Run Scheduler");
  // The settings page follows in this same answer: a redirection would take
  // the session into an address, or need a script to post it.
  showSetupPage(request, page, s, false);
}

}  // namespace vy
