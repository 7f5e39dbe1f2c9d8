// The error log file: appending a line and keeping the file below a size
// limit, safely while other threads and processes append to it.
//
// Appenders open the log with O_APPEND, take a shared flock, make sure the
// path still names the file they opened (a trim may just have replaced it)
// and write the line with one write(2), so lines never mix. When an append
// leaves the log larger than the limit, the appender trims it: under the
// exclusive flock it copies the newest lines (at most half the limit, cut at
// a line start; the newest line is always kept) to a hidden file beside the
// log, syncs it and renames it over the log. An appender waiting for its
// shared lock meanwhile finds the new file and writes there, so no line is
// lost, and a reader without a lock sees either the old file or the new one.
//
// Nothing here allocates: the fatal-signal handler appends through
// appendErrorLine too, and a report of memory shortage may trim the log.
#ifndef VANTRY_COMMON_ERROR_LOG_H_
#define VANTRY_COMMON_ERROR_LOG_H_

#include <sys/types.h>

#include <string_view>

namespace vy {

// The size the error log is kept below. Every line is short (its texts are cut
// to kMaxLogFieldBytes), so a trim leaves about half of this.
inline constexpr long long kErrorLogLimit = 1LL << 20;

// The mode of a log the programs create (the umask may narrow it).
inline constexpr mode_t kErrorLogMode = 0660;

// How long an appender waits for its shared lock. kBounded is for the
// fatal-signal handler, which may have interrupted a trim of its own process:
// it tries for about a second and then writes without the lock.
enum class LockWait { kBlock, kBounded };

// Appends line (newline included) with one write. The log's size after the
// write, or -1 when the log cannot be opened (errno tells why). System calls
// only: safe in a signal handler.
long long appendErrorLine(const char* path, std::string_view line, LockWait wait);

// What a trim did.
enum class TrimResult {
  kTrimmed,
  kNotNeeded,  // the log is within the limit, or another process replaced it already
  kFailed,     // the log or its hidden copy could not be read, written or renamed; left as it was
};

// Drops the oldest lines of the log when it is larger than limit, keeping the
// newest lines of at most limit / 2 bytes (or the newest line alone when it
// is longer) and the log's mode and, where permitted, its owner.
[[nodiscard]] TrimResult trimErrorLog(const char* path, long long limit);

// appendErrorLine with blocking lock, then trimErrorLog when the log grew
// beyond limit. False only when the log cannot be opened.
[[nodiscard]] bool logErrorLine(const char* path, std::string_view line,
                                long long limit = kErrorLogLimit);

}  // namespace vy

#endif  // VANTRY_COMMON_ERROR_LOG_H_
