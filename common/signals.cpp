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

#include "common/errors.h"
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

// A bounded text built on the stack, for use inside the handler.
class SafeText {
 public:
  void add(const char* text) {
    while (*text && length_ < sizeof(buffer_)) buffer_[length_++] = *text++;
  }
  void addNumber(long long value) {
    char digits[24];
    int n = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) add("-");
    while (n > 0 && length_ < sizeof(buffer_)) buffer_[length_++] = digits[--n];
  }
  void add(const SafeText& other) {
    for (size_t i = 0; i < other.length_ && length_ < sizeof(buffer_); ++i) {
      buffer_[length_++] = other.buffer_[i];
    }
  }
  void writeTo(int fd) const {
    ssize_t written = ::write(fd, buffer_, length_);
    (void)written;  // nothing more can be done inside the handler
  }

 private:
  char buffer_[2048];
  size_t length_ = 0;
};

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

  int fd = ::open("dumplog.dat", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t ignored = ::write(fd, encoded, sizeof encoded);
  for (char** env = environ; env && *env; ++env) {
    ignored = ::write(fd, *env, std::strlen(*env) + 1);
  }
  (void)ignored;
  ::close(fd);
}

// The report of a fatal signal, done with write(2) only.
void reportSignal(int signal, int errnoValue) {
  SafeText detail;
  detail.add("Got ");
  detail.add(signalName(signal));
  detail.add(" signal #");
  detail.addNumber(signal);

  const int site = __LINE__;
  SafeText line;
  line.addNumber(static_cast<long long>(std::time(nullptr)));
  line.add("|");
  line.addNumber(site);
  line.add("|5|");
  line.addNumber(errnoValue);
  line.add("|");
  line.add(detail);
  line.add("|");
  line.add(unitName());
  line.add("|1\n");
  int fd = ::open(kErrorLogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    line.writeTo(fd);
    ::close(fd);
  }

  SafeText page;
  if (g_webRequest) {
    if (!contentTypePrinted()) page.add("Content-type: text/html\n\n");
    page.add("<H1>Software error.</H1>\nFor help, please send mail to this site's webmaster ");
    page.add("<a href=\"mailto:");
    page.add(g_serverAdmin);
    page.add("\">");
    page.add(g_serverAdmin);
    page.add(
        "</a><br>\n<br>If you are webmaster of this site, more information you can see in "
        "error log.\n");
  } else {
    page.add("Software error");
  }
  if (fd < 0) {
    page.add(g_webRequest ? "<pre>\n" : "\n");
    page.add("Error Action      :  5 - Execution file\nError Number      :  ");
    page.addNumber(errnoValue);
    page.add(" - ");
    const char* message = strerrordesc_np(errnoValue);
    page.add(message ? message : "Unknown error");
    page.add("\nFile/Variable/More:  ");
    page.add(detail);
    page.add("\nLine              :  ");
    page.addNumber(site);
    page.add("\nSource            :  ");
    page.add(unitName());
    page.add("\nUnit              :  ");
    page.add(unitName());
    page.add("\nIs Fatal Error    :  yes\n");
  }
  page.writeTo(STDOUT_FILENO);
}

// Memory shortage is always fatal. A second shortage while the report itself
// allocates ends the process at once instead of recursing.
void onOutOfMemory() {
  static std::atomic<bool> reporting{false};
  if (reporting.exchange(true)) _exit(1);
  reportFatal(kErrAllocation, "new");
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
