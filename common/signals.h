// Fatal-signal handling and the crash record.
//
// installSignalHandlers ignores every signal 1..31 except SIGINT, SIGILL,
// SIGABRT, SIGFPE and SIGSEGV, which end the process through onFatalSignal
// with an error-log line "Got <NAME> signal #<n>", and SIGCHLD, which keeps
// its default. So SIGTERM, SIGHUP and SIGPIPE never end either program, and a
// write to a closed pipe or socket is an ordinary error.
//
// A SIGSEGV also appends a 188-byte CrashRecord, followed by every
// environment string with its NUL, to ./dumplog.dat. The record layout was
// made for a 32-bit x86 context; on x86-64 the fields hold:
//   general registers: the low 32 bits of rax, rbx, rcx, rdx, rsi, rdi, rbp,
//                      rsp, rip and eflags, in that order;
//   segment registers: cs, ds, ss, es, fs, gs, where ds, ss and es are 0
//                      (the kernel does not save them in 64-bit mode);
//   floating point:    the first 112 bytes of the saved fxsave area.
// Other processors store zeros in the register fields.
//
// The handler does only async-signal-safe work: it formats into stack
// buffers, writes with write(2) and ends with _exit(1), because it may have
// interrupted malloc or stdio. Page output still buffered in stdio is lost.
#ifndef VANTRY_COMMON_SIGNALS_H_
#define VANTRY_COMMON_SIGNALS_H_

#include <signal.h>

#include <cstddef>
#include <cstdint>

namespace vy {

// CrashRecord layout (little-endian, 188 bytes):
//   offset size field
//     0     4  time (u32, seconds since the epoch)
//     4     4  errno at the signal (i32)
//     8     4  signal number (i32)
//    12     4  reserved, 0
//    16    40  general registers, 10 x u32
//    56    12  segment registers, 6 x u16
//    68   112  floating-point state
//   180     2  number of environment strings that follow (u16)
//   182     2  their total length with NULs, modulo 65536 (u16)
//   184     4  reserved
inline constexpr size_t kCrashRecordSize = 188;
inline constexpr size_t kCrashTimeOffset = 0;
inline constexpr size_t kCrashErrnoOffset = 4;
inline constexpr size_t kCrashSignalOffset = 8;
inline constexpr size_t kCrashRegistersOffset = 16;
inline constexpr size_t kCrashSegmentsOffset = 56;
inline constexpr size_t kCrashFpStateOffset = 68;
inline constexpr size_t kCrashFpStateSize = 112;
inline constexpr size_t kCrashEnvCountOffset = 180;
inline constexpr size_t kCrashEnvBytesOffset = 182;

struct CrashRecord {
  uint32_t time = 0;
  int32_t errnoValue = 0;
  int32_t signal = 0;
  uint32_t registers[10] = {};
  uint16_t segments[6] = {};
  uint8_t fpState[kCrashFpStateSize] = {};
  uint16_t envCount = 0;
  uint16_t envBytes = 0;
};

// Also makes memory shortage (a failed new) a fatal report with action 4.
void installSignalHandlers();

// The handler of the fatal signals; never returns.
[[noreturn]] void onFatalSignal(int signal, siginfo_t* info, void* ucontext);

}  // namespace vy

#endif  // VANTRY_COMMON_SIGNALS_H_
