// Appending to the error log and trimming it; see error_log.h.
#include "common/error_log.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/fd.h"
#include "common/files.h"

namespace vy {
namespace {

// A trim between an appender's open and its lock makes it open the log again;
// after this many opens it writes to the file it has.
constexpr int kOpenAttempts = 8;
// The bounded wait: this many tries, this far apart.
constexpr int kBoundedLockTries = 100;
constexpr long kBoundedLockPauseNs = 10'000'000;
// The piece a trim reads and copies at a time (on the stack).
constexpr size_t kCopyChunk = 16384;

bool takeSharedLock(int fd, LockWait wait) {
  if (wait == LockWait::kBlock) return flockRetrying(fd, LOCK_SH);
  for (int attempt = 0; attempt < kBoundedLockTries; ++attempt) {
    if (flockRetrying(fd, LOCK_SH | LOCK_NB)) return true;
    const timespec pause{0, kBoundedLockPauseNs};
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

// True when path names the open file fd (not a file renamed over it, nor nothing).
bool pathNamesFile(const char* path, int fd) {
  struct stat opened, named;
  if (::fstat(fd, &opened) != 0 || ::stat(path, &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The position of the first (or, with fromEnd, the last) newline in [begin, end); -1 when none.
off_t findNewline(int fd, off_t begin, off_t end, bool fromEnd) {
  char chunk[kCopyChunk];
  while (begin < end) {
    const size_t want = static_cast<size_t>(std::min<off_t>(end - begin, kCopyChunk));
    const off_t at = fromEnd ? end - static_cast<off_t>(want) : begin;
    const ssize_t got = ::pread(fd, chunk, want, at);
    if (got != static_cast<ssize_t>(want)) return -1;
    const void* found = fromEnd ? ::memrchr(chunk, '\n', want) : std::memchr(chunk, '\n', want);
    if (found) return at + (static_cast<const char*>(found) - chunk);
    if (fromEnd) {
      end = at;
    } else {
      begin = at + static_cast<off_t>(want);
    }
  }
  return -1;
}

// Where the kept part of a log of `size` bytes begins: the first line start
// that leaves at most `budget` bytes, or the start of the newest line when it
// alone is longer than that.
off_t keptStart(int fd, off_t size, off_t budget) {
  if (size <= budget) return 0;
  const off_t cut = size - budget;
  // A line starts behind each newline; the last byte ends the newest line.
  const off_t newline = findNewline(fd, cut - 1, size - 1, false);
  if (newline >= 0) return newline + 1;
  return findNewline(fd, 0, cut - 1, true) + 1;
}

bool copyRange(int from, off_t begin, off_t end, int to) {
  char chunk[kCopyChunk];
  while (begin < end) {
    const size_t want = static_cast<size_t>(std::min<off_t>(end - begin, kCopyChunk));
    const ssize_t got = ::pread(from, chunk, want, begin);
    if (got <= 0) return false;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, chunk + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += put;
    }
    begin += got;
  }
  return true;
}

// "<dir>/.<name>.XXXXXX" beside path, for mkostemp; false when it does not fit.
bool hiddenNameBeside(const char* path, char* out, size_t size) {
  const char* slash = std::strrchr(path, '/');
  const int dirLength = slash ? static_cast<int>(slash - path + 1) : 0;
  const char* name = slash ? slash + 1 : path;
  const int n = std::snprintf(out, size, "%.*s.%s.XXXXXX", dirLength, path, name);
  return n > 0 && static_cast<size_t>(n) < size;
}

// The owner and group of the old log where permitted, else at least its group: the account
// that made the log (a web server, a cron job) must still be able to append. False when the
// copy stays ours alone; its mode still admits the group, as the old log's did.
bool keepOwner(int fd, const struct stat& old) {
  return ::fchown(fd, old.st_uid, old.st_gid) == 0 ||
         ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
}

// The kept tail of the locked log, written to a synced hidden file that has
// the log's mode and owner, then renamed over the log.
bool replaceWithTail(const char* path, int log, const struct stat& old, off_t start) {
  char hidden[PATH_MAX];
  if (!hiddenNameBeside(path, hidden, sizeof hidden)) return false;
  UniqueFd copy(::mkostemp(hidden, O_CLOEXEC));
  if (!copy) return false;
  bool done = copyRange(log, start, old.st_size, copy.get()) &&
              ::fchmod(copy.get(), old.st_mode & 07770) == 0;
  if (done) keepOwner(copy.get(), old);
  done = done && ::fsync(copy.get()) == 0 && ::rename(hidden, path) == 0;
  if (!done) ::unlink(hidden);
  return done;
}

}  // namespace

long long appendErrorLine(const char* path, std::string_view line, LockWait wait) {
  for (int attempt = 1;; ++attempt) {
    UniqueFd fd = openFd(path, O_WRONLY | O_APPEND | O_CREAT, kErrorLogMode);
    if (!fd) return -1;
    const bool locked = takeSharedLock(fd.get(), wait);
    if (locked && attempt < kOpenAttempts && !pathNamesFile(path, fd.get())) continue;
    ssize_t written = ::write(fd.get(), line.data(), line.size());
    (void)written;  // a short write to the log has nowhere else to go
    struct stat st;
    return ::fstat(fd.get(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  }
}

TrimResult trimErrorLog(const char* path, long long limit) {
  UniqueFd log = openFd(path, O_RDONLY);
  if (!log || !flockRetrying(log.get(), LOCK_EX)) return TrimResult::kFailed;
  struct stat st;
  if (::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) return TrimResult::kFailed;
  // Another trimmer may have replaced the file while this one waited for the lock.
  if (!pathNamesFile(path, log.get()) || st.st_size <= limit) return TrimResult::kNotNeeded;
  const off_t start = keptStart(log.get(), st.st_size, static_cast<off_t>(limit / 2));
  if (start <= 0) return TrimResult::kNotNeeded;  // the whole log is its newest line
  return replaceWithTail(path, log.get(), st, start) ? TrimResult::kTrimmed : TrimResult::kFailed;
}

bool logErrorLine(const char* path, std::string_view line, long long limit) {
  const long long size = appendErrorLine(path, line, LockWait::kBlock);
  if (size < 0) return false;
  if (size > limit) {
    const int errnoValue = errno;
    (void)trimErrorLog(path, limit);
    errno = errnoValue;
  }
  return true;
}

}  // namespace vy
