// The scheduler daemon and its start; see scheduler.h.
//
// Processes are made with fork (the callers are single-threaded), because the
// child must register its own pid in the scheduler file before it replaces
// itself with the daemon: a daemon that finds another pid registered ends.
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
#include "common/le.h"
#include "common/process.h"

namespace vy {
namespace {

void redirectStandardStreamsToNull() {
  int null = ::open("/dev/null", O_RDWR);
  if (null < 0) return;
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  if (null > 2) ::close(null);
}

// Replaces this process by "./vyrunner.cgi <command>"; returns only on failure.
void execWorker(const char* command) {
  ::execl("./vyrunner.cgi", "./vyrunner.cgi", command, static_cast<char*>(nullptr));
}

// The registered daemon, read under the file's lock; a failure is logged and
// the zero record used.
SchedulerRecord readSchedulerRecordOrZero() {
  uint8_t bytes[kSchedulerRecordSize] = {};
  int rc = readRecord(kSchedulerPath, bytes, sizeof bytes, 1);
  if (rc != 0) {
    reportError(rc, kSchedulerPath);
    return SchedulerRecord();
  }
  return decodeSchedulerRecord(bytes);
}

// In the child of startScheduler: register, then become the daemon.
[[noreturn]] void becomeRegisteredDaemon(SchedulerRecord record) {
  record.pid = static_cast<int32_t>(::getpid());
  uint8_t bytes[kSchedulerRecordSize];
  encodeSchedulerRecord(record, bytes);
  int rc = writeRecord(kSchedulerPath, bytes, sizeof bytes, 0, false);
  if (rc != 0) reportError(rc, kSchedulerPath);
  redirectStandardStreamsToNull();
  execWorker("scheduler");
  reportError(kErrExecution, "vyrunner.cgi scheduler");
  _exit(1);
}

// In the child of a restart: take over the registration unless another
// daemon was registered since the old one read the file.
[[noreturn]] void handOverToFreshProcess(int32_t pidReadAtStart) {
  UniqueFd file = openFd(kSchedulerPath, O_RDWR);
  if (!file) {
    reportError(kErrWriteFile, kSchedulerPath);
  } else {
    if (lockFile(file.get()) != 0) reportFatal(kErrLockFile, kSchedulerPath);
    uint8_t bytes[kSchedulerRecordSize] = {};
    if (::pread(file.get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
      reportError(kErrReadFile, kSchedulerPath);
    }
    SchedulerRecord record = decodeSchedulerRecord(bytes);
    if (pidReadAtStart != 0 && pidReadAtStart != record.pid) _exit(0);  // taken over
    record.pid = static_cast<int32_t>(::getpid());
    encodeSchedulerRecord(record, bytes);
    if (::pwrite(file.get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
      reportError(kErrWriteFile, kSchedulerPath);
    }
  }
  file.reset();
  execWorker("scheduler");
  reportError(kErrExecution, "vyrunner.cgi scheduler");
  _exit(1);
}

void startCheckRun() {
  pid_t pid = ::fork();
  if (pid < 0) {
    reportError(kErrExecution, "fork error");
    return;
  }
  if (pid == 0) {
    execWorker("check");
    reportError(kErrExecution, "vyrunner.cgi check");
    _exit(1);
  }
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
  const long restartPeriod = settings.restartSeconds;
  const long checkPeriod = settings.checkSeconds;
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
      pid_t pid = ::fork();
      if (pid < 0) {
        reportError(kErrExecution, "fork error");
        continue;
      }
      if (pid == 0) handOverToFreshProcess(record.pid);
      std::exit(0);
    }
    checkIn = checkPeriod;
    touchFile(kCheckTimePath, std::time(nullptr));
    startCheckRun();
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

void encodeSchedulerRecord(const SchedulerRecord& record, uint8_t* out) {
  le::putI32(out + kSchedulerPidOffset, record.pid);
  le::putText(out + kSchedulerNameOffset, kSchedulerNameSize, record.name);
}

SchedulerRecord decodeSchedulerRecord(const uint8_t* in) {
  SchedulerRecord record;
  record.pid = le::getI32(in + kSchedulerPidOffset);
  record.name = le::getText(in + kSchedulerNameOffset, kSchedulerNameSize);
  return record;
}

SchedulerEvent nextSchedulerEvent(long checkIn, long restartIn) {
  if (checkIn < restartIn) return {false, checkIn};
  return {true, restartIn};
}

void startScheduler(bool checkFirst) {
  SchedulerRecord record;
  if (checkFirst) {
    record = readSchedulerRecordOrZero();
    int running = -1;
    int rc = isProcessRunning(record.pid, record.name, running);
    if (rc != 0) {
      reportError(rc, "Err Found Process ('ps')");
      return;
    }
    if (running == 1) return;
  }
  ProcessProbe self = probeProcess(::getpid(), true);
  if (self.code != 0) reportFatal(self.code, "Get Process Name ('ps')");
  record.name = self.name.value_or("").substr(0, kSchedulerNameSize - 1);
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid < 0) {
    reportError(kErrExecution, "fork error");
    return;
  }
  if (pid == 0) becomeRegisteredDaemon(record);
}

void runSchedulerMode(const WorkerContext& context) {
  bool checkFirst = false;
  if (context.queryString == "scheduler") {
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
