// The scheduler daemon and its start; see scheduler.h.
//
// Processes are made with fork (the callers are single-threaded), because the
// child must register its own pid in the scheduler file before it replaces
// itself with the daemon: a daemon that finds another pid registered ends.
// CHKTIME and RESTIME below 1 second are taken as their defaults, so the
// daemon never spins.
// Every daemon process and every check run it starts has /dev/null as its
// standard streams, so it never holds a web server's or console's pipe open.
#include "runner/scheduler.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/process.h"
#include "common/worker_program.h"

namespace vy {
namespace {

long periodOrDefault(long seconds, long fallback) { return seconds >= 1 ? seconds : fallback; }

void redirectStandardStreamsToNull() {
  UniqueFd null = openFd("/dev/null", O_RDWR);
  if (!null) return;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fd != null.get()) ::dup2(null.get(), fd);  // the copies stay open across exec
  }
  if (null.get() <= 2) {  // it took the place of a closed standard stream: keep it
    ::fcntl(null.get(), F_SETFD, 0);
    null.release();
  }
}

// Makes a child that runs `prepare` and then replaces itself with
// "./vyrunner.cgi <command>" (a failure of that is reported as
// "vyrunner.cgi <command>"); a child whose `prepare` returns false ends
// quietly. In the parent: false when no child could be made ("fork error").
// The callers are single-threaded, so fork is safe.
template <typename Prepare>
bool startWorkerChild(const char* command, Prepare prepare) {
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid < 0) {
    reportError(ErrAction::kExecution, "fork error");
    return false;
  }
  if (pid != 0) return true;
  if (!prepare()) _exit(0);
  ::execl(kWorkerProgram, kWorkerProgram, command, static_cast<char*>(nullptr));
  reportError(ErrAction::kExecution, std::string("vyrunner.cgi ") + command);
  _exit(1);
}

// In the child of startScheduler: register, then become the daemon. The
// daemon leaves the session of whoever started it (a web server, a terminal),
// so that stopping that does not end the daemon.
bool registerNewDaemon(SchedulerRecord record) {
  ::setsid();
  record.pid = static_cast<int32_t>(::getpid());
  uint8_t bytes[kSchedulerRecordSize];
  encodeSchedulerRecord(record, bytes);
  FileStatus rc = writeRecord(kSchedulerPath, bytes, sizeof bytes, RecordLock::kNone, false);
  if (!rc.ok()) reportError(rc, kSchedulerPath);
  redirectStandardStreamsToNull();
  return true;
}

// In the child of a restart: take over the registration unless another
// daemon was registered since the old one read the file (then end).
bool takeOverRegistration(int32_t pidReadAtStart) {
  UniqueFd file = openFd(kSchedulerPath, O_RDWR);
  if (!file) {
    reportError(ErrAction::kWriteFile, kSchedulerPath);
    return true;
  }
  if (!lockFile(file.get())) reportFatal(ErrAction::kLockFile, kSchedulerPath);
  uint8_t bytes[kSchedulerRecordSize] = {};
  if (::pread(file.get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    reportError(ErrAction::kReadFile, kSchedulerPath);
  }
  SchedulerRecord record = decodeSchedulerRecord(bytes);
  if (pidReadAtStart != 0 && pidReadAtStart != record.pid) return false;  // taken over
  record.pid = static_cast<int32_t>(::getpid());
  encodeSchedulerRecord(record, bytes);
  if (::pwrite(file.get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    reportError(ErrAction::kWriteFile, kSchedulerPath);
  }
  return true;
}

// Check runs are never waited for, but their ends are collected so that a
// long-lived daemon leaves no zombies behind.
void reapFinishedChildren() {
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

void sleepSeconds(long seconds) {
  struct timespec left = {seconds, 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

[[noreturn]] void runDaemonLoop(const Settings& settings) {
  SchedulerRecord record = readSchedulerRecordOrZero();
  if (record.pid != 0 && record.pid != ::getpid()) std::exit(0);  // another daemon is registered
  const long restartPeriod = periodOrDefault(settings.restartSeconds, kDefaultRestartSeconds);
  const long checkPeriod = periodOrDefault(settings.checkSeconds, kDefaultCheckSeconds);
  long restartIn = restartPeriod;
  long checkIn = checkPeriod + static_cast<long>(fileModTime(kCheckTimePath)) -
                 static_cast<long>(std::time(nullptr));
  if (checkIn < 0) checkIn = 0;
  for (;;) {
    SchedulerEvent event = nextSchedulerEvent(checkIn, restartIn);
    reapFinishedChildren();
    if (event.wait > 0) sleepSeconds(event.wait);
    restartIn -= event.wait;
    checkIn -= event.wait;
    if (event.restart) {
      restartIn = restartPeriod;
      const int32_t registered = record.pid;
      if (startWorkerChild("scheduler", [=] { return takeOverRegistration(registered); })) {
        std::exit(0);
      }
      continue;
    }
    checkIn = checkPeriod;
    (void)touchFile(kCheckTimePath, std::time(nullptr));  // a failure is noticed by the run
    startWorkerChild("check", [] { return true; });
  }
}

// The answer to the web request "scheduler": a short page, then the request
// is finished by giving up standard output.
void answerWebRequest(const Settings& settings) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  printContentType();
  std::fputs(settings.cronMode() ? "Cron used..." : "Run Sheduler...", stdout);
  std::fflush(stdout);
  redirectStandardStreamsToNull();
  ::setenv("QUERY_STRING", "", 1);
}

}  // namespace

SchedulerEvent nextSchedulerEvent(long checkIn, long restartIn) {
  if (checkIn < restartIn) return {false, checkIn};
  return {true, restartIn};
}

void startScheduler(bool checkFirst) {
  SchedulerRecord record;
  if (checkFirst) {
    record = readSchedulerRecordOrZero();
    RunningAnswer running = isProcessRunning(record.pid, record.name);
    if (!running.status.ok()) {
      reportError(running.status, "Err Found Process ('ps')");
      return;
    }
    if (running.answer == Running::kYes) return;
  }
  ProcessProbe self = probeProcess(::getpid(), true);
  if (!self.status.ok()) reportFatal(self.status, "Get Process Name ('ps')");
  record.name = self.name.value_or("").substr(0, kSchedulerNameSize - 1);
  startWorkerChild("scheduler", [&] { return registerNewDaemon(record); });
}

void runSchedulerMode(const WorkerContext& context) {
  bool checkFirst = false;
  if (context.cgi.queryString == "scheduler") {
    answerWebRequest(context.settings);
    checkFirst = true;
  }
  const std::string& word = context.arg(1);
  if (!word.empty() && word[0] == 'e') checkFirst = true;
  if (context.settings.cronMode() || !context.settings.schedulerOn()) return;
  if ((!word.empty() && word[0] == 'r') || checkFirst) {
    startScheduler(checkFirst);
    return;
  }
  runDaemonLoop(context.settings);
}

}  // namespace vy
