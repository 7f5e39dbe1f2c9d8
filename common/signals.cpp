// Fatal-signal handling and the crash record; see signals.h.
#include "common/signals.h"

#include <fcntl.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/error_log.h"
#include "common/errors.h"
#include "common/fd.h"
#include "common/le.h"

extern char** environ;

namespace vy {
namespace {

struct SignalName {
  int number;
  const char* name;
};
constexpr SignalName kSignalTable[] = {{0, "UNKN"},  {2, "INT"}, {4, "ILL"},
                                       {11, "SEGV"}, {8, "FPE"}, {6, "ABRT"}};

// What the handler needs from the environment, copied at installation so that
// the handler itself reads nothing that another thread may be changing.
bool g_webRequest = false;
char g_serverAdmin[256] = "";

// One write of a text; nothing more can be done about a short one here.
void writeAll(int fd, std::string_view text) {
  ssize_t written = ::write(fd, text.data(), text.size());
  (void)written;
}

// Writes the 188 bytes of a record (no allocation; safe in a handler).
void encodeCrashRecord(const CrashRecord& record, uint8_t* out) {
  std::memset(out, 0, kCrashRecordSize);
  le::putU32(out + kCrashTimeOffset, record.time);
  le::putI32(out + kCrashErrnoOffset, record.errnoValue);
  le::putI32(out + kCrashSignalOffset, record.signal);
  for (int i = 0; i < 10; ++i) le::putU32(out + kCrashRegistersOffset + 4 * i, record.registers[i]);
  for (int i = 0; i < 6; ++i) le::putU16(out + kCrashSegmentsOffset + 2 * i, record.segments[i]);
  std::memcpy(out + kCrashFpStateOffset, record.fpState, kCrashFpStateSize);
  le::putU16(out + kCrashEnvCountOffset, record.envCount);
  le::putU16(out + kCrashEnvBytesOffset, record.envBytes);
}

// Fills the register and floating-point fields from a ucontext_t.
void fillCrashContext(CrashRecord& record, const void* ucontext) {
#if defined(__x86_64__)
  if (!ucontext) return;
  const auto* context = static_cast<const ucontext_t*>(ucontext);
  const greg_t* regs = context->uc_mcontext.gregs;
  const int order[10] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI,
                         REG_RDI, REG_RBP, REG_RSP, REG_RIP, REG_EFL};
  for (int i = 0; i < 10; ++i) record.registers[i] = static_cast<uint32_t>(regs[order[i]]);
  // REG_CSGSFS packs cs, gs and fs in its low three 16-bit words.
  const auto csgsfs = static_cast<uint64_t>(regs[REG_CSGSFS]);
  record.segments[0] = static_cast<uint16_t>(csgsfs);        // cs
  record.segments[4] = static_cast<uint16_t>(csgsfs >> 32);  // fs
  record.segments[5] = static_cast<uint16_t>(csgsfs >> 16);  // gs
  if (context->uc_mcontext.fpregs) {
    std::memcpy(record.fpState, context->uc_mcontext.fpregs, kCrashFpStateSize);
  }
#else
  (void)record;
  (void)ucontext;
#endif
}

// The name of a signal in the crash table, "UNKN" when it is not there.
const char* signalName(int signal) {
  for (const SignalName& entry : kSignalTable) {
    if (entry.number == signal) return entry.name;
  }
  return "UNKN";
}

void appendCrashRecord(int signal, int errnoValue, const void* ucontext) {
  CrashRecord record;
  record.time = static_cast<uint32_t>(std::time(nullptr));
  record.errnoValue = errnoValue;
  record.signal = signal;
  fillCrashContext(record, ucontext);
  size_t count = 0, bytes = 0;
  for (char** env = environ; env && *env; ++env, ++count) bytes += std::strlen(*env) + 1;
  record.envCount = static_cast<uint16_t>(count);
  record.envBytes = static_cast<uint16_t>(bytes);
  uint8_t encoded[kCrashRecordSize];
  encodeCrashRecord(record, encoded);

  UniqueFd fd = openFd("dumplog.dat", O_WRONLY | O_APPEND | O_CREAT);
  if (!fd) return;
  ssize_t ignored = ::write(fd.get(), encoded, sizeof encoded);
  for (char** env = environ; env && *env; ++env) {
    ignored = ::write(fd.get(), *env, std::strlen(*env) + 1);
  }
  (void)ignored;
}

// The report of a fatal signal: the texts of reportError, built in buffers on
// the stack and written with write(2).
void reportSignal(int signal, int errnoValue) {
  char detailBuffer[64];
  ReportText detail(detailBuffer, sizeof detailBuffer);
  detail.add("Got ");
  detail.add(signalName(signal));
  detail.add(" signal #");
  detail.addNumber(signal);

  const int site = __LINE__;
  char lineBuffer[512];
  ReportText line(lineBuffer, sizeof lineBuffer);
  addErrorLine(line, std::time(nullptr), site, ErrAction::kExecution, errnoValue, detail.view(),
               unitName(), true);
  // The handler may have interrupted a trim of the log in this very process: a bounded wait.
  const bool logged = appendErrorLine(kErrorLogPath, line.view(), LockWait::kBounded) >= 0;

  char pageBuffer[2048];
  ReportText page(pageBuffer, sizeof pageBuffer);
  addSoftwareError(page, g_webRequest, g_webRequest && !contentTypePrinted(), g_serverAdmin);
  if (!logged) {
    addErrorDetails(page, g_webRequest,
                    {ErrAction::kExecution, errnoValue, detail.view(), site, unitName(), true});
  }
  writeAll(STDOUT_FILENO, page.view());
}

// Memory shortage is always fatal. A second shortage while the report itself
// allocates ends the process at once instead of recursing.
void onOutOfMemory() {
  static std::atomic<bool> reporting{false};
  if (reporting.exchange(true)) _exit(1);
  reportFatal(ErrAction::kAllocation, "new");
}

}  // namespace

void installSignalHandlers() {
  std::set_new_handler(onOutOfMemory);
  g_webRequest = isWebRequest();
  const char* admin = std::getenv("SERVER_ADMIN");
  if (admin) {
    std::strncpy(g_serverAdmin, admin, sizeof(g_serverAdmin) - 1);
    g_serverAdmin[sizeof(g_serverAdmin) - 1] = '\0';
  }
  for (int signal = 1; signal <= 31; ++signal) {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    switch (signal) {
      case SIGINT:
      case SIGILL:
      case SIGABRT:
      case SIGFPE:
      case SIGSEGV:
        action.sa_sigaction = onFatalSignal;
        action.sa_flags = SA_SIGINFO;
        break;
      case SIGCHLD:
        action.sa_handler = SIG_DFL;
        break;
      default:
        action.sa_handler = SIG_IGN;
        break;
    }
    sigaction(signal, &action, nullptr);  // SIGKILL and SIGSTOP refuse; that is fine
  }
}

void onFatalSignal(int signal, siginfo_t* /*info*/, void* ucontext) {
  const int errnoValue = errno;
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(signal, &ignore, nullptr);
  if (signal == SIGSEGV) appendCrashRecord(signal, errnoValue, ucontext);
  reportSignal(signal, errnoValue);
  _exit(1);
}

}  // namespace vy
