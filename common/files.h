// Files, directories and fixed-size record files.
//
// Every helper that touches a file returns a Status<FileCode> (what failed
// and, for the error log, logAction's number) and closes whatever it opened;
// none of them reports by itself except readWholeFile, which cannot return
// without its text. Paths are used as given, relative to the working
// directory.
//
// Locks: lockFile takes an exclusive, blocking flock(2), lockFileShared a
// shared one for a reader (readers share it; a writer's exclusive lock waits
// for them and they for it). A flock belongs to the open file description, so
// two opens of one file in the same process exclude each other as two
// processes do, and closing the descriptor is what releases the lock. That is
// the only lock between the programs.
#ifndef VANTRY_COMMON_FILES_H_
#define VANTRY_COMMON_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "common/errors.h"

namespace vy {

// What a file operation found.
enum class FileCode {
  kOk,
  kCannotRead,             // the file cannot be opened for reading (missing included)
  kNotFound,               // no regular file at the path
  kCannotWrite,            // cannot be opened or created for writing, or put in place
  kCannotCreateDirectory,  // mkdir failed
  kLockRefused,            // flock refused
  kShortRead,              // reading failed or found fewer bytes than wanted
  kShortWrite,             // writing stored fewer bytes than given
};

// The error log's number of each code, as the log has always had it.
constexpr ErrAction logAction(FileCode code) {
  switch (code) {
    case FileCode::kOk:
      return ErrAction::kNoFileOperation;
    case FileCode::kCannotRead:
    case FileCode::kNotFound:
      return ErrAction::kReadFile;
    case FileCode::kCannotWrite:
      return ErrAction::kWriteFile;
    case FileCode::kCannotCreateDirectory:
      return ErrAction::kCreateDirectory;
    case FileCode::kLockRefused:
      return ErrAction::kLockFile;
    case FileCode::kShortRead:
      return ErrAction::kShortRead;
    case FileCode::kShortWrite:
      return ErrAction::kShortWrite;
  }
  return ErrAction::kNoFileOperation;
}

using FileStatus = Status<FileCode>;

// --- Permissions ------------------------------------------------------------

// Nothing the programs create is open to others: files at most 0660 and
// directories 0770 (the owner and the group, e.g. a web server and a cron job
// of one group), credential files 0600. Both programs set kUmask at start.
inline constexpr mode_t kUmask = 007;
inline constexpr mode_t kDirectoryMode = 0770;
inline constexpr mode_t kFileMode = 0660;
inline constexpr mode_t kCredentialFileMode = 0600;

// Takes away every permission bit outside `most` (and above the file type)
// from a file or directory this process owns; the bits kept (setgid of a
// shared directory included) stay. Does nothing to what another user owns or
// to what has no bit to lose.
void restrictMode(const std::string& path, mode_t most);

// --- File status -----------------------------------------------------------

bool isRegularFile(const std::string& path);
bool isDirectory(const std::string& path);
// Modification time; 0 when the path cannot be examined.
std::time_t fileModTime(const std::string& path);
// Size of an open file (fstat), -1 on failure.
long long fileSizeOf(int fd);

// flock(2) with the operation (LOCK_SH, LOCK_EX, with or without LOCK_NB),
// repeated when a signal interrupts it; false when refused. System calls
// only, so a signal handler may use it.
[[nodiscard]] bool flockRetrying(int fd, int operation);

// Exclusive blocking flock on fd; false when refused.
[[nodiscard]] bool lockFile(int fd);
// Shared blocking flock on fd; false when refused.
[[nodiscard]] bool lockFileShared(int fd);
// Releases the flock of fd (closing the descriptor does so too).
void unlockFile(int fd);

// The file a descriptor or a path refers to: equal identities are the same
// file, as long as the file is kept open (an inode number is reused only
// after the last descriptor of the file is closed).
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
[[nodiscard]] std::optional<FileIdentity> identityOf(int fd);
[[nodiscard]] std::optional<FileIdentity> identityOf(const std::string& path);

// --- Descriptor reads and writes ---------------------------------------------

// Reads up to size bytes, going on after short reads and EINTR until the size
// is reached or the input ends; the count read, or -1 on a read error.
ssize_t readFully(int fd, void* buffer, size_t size);
// The same from a file offset on (pread), leaving the descriptor's offset.
ssize_t readFullyAt(int fd, void* buffer, size_t size, off_t offset);
// Writes all of size bytes; false when a write fails (errno tells why).
bool writeFully(int fd, const void* buffer, size_t size);

// --- Fixed-size records ----------------------------------------------------

// How a record file is opened and locked.
enum class RecordLock {
  kNone,               // opened for update, no lock
  kExclusive,          // opened for update (a read-only file cannot be used), flock taken
  kReadOnlyExclusive,  // opened read-only, flock taken (reads only)
  kReadOnlyShared,     // opened read-only, shared flock taken (reads only)
};

// Reads one record from the start of the file. kCannotRead, kLockRefused,
// kShortRead fewer than size bytes (the buffer then holds what was there).
[[nodiscard]] FileStatus readRecord(const std::string& path, uint8_t* buffer, size_t size,
                                    RecordLock lock);

// Writes one record at the start of the file, creating it when missing.
// kCannotWrite, kLockRefused, kShortWrite. With truncate the file is cut to
// the record size; otherwise bytes behind the record are kept.
[[nodiscard]] FileStatus writeRecord(const std::string& path, const uint8_t* buffer, size_t size,
                                     RecordLock lock, bool truncate);

// --- Whole files and directories ----------------------------------------------

// An existing directory only gets its mode set; otherwise mkdir then chmod
// (so the umask does not narrow the mode). kCannotCreateDirectory when mkdir
// fails.
[[nodiscard]] FileStatus makeDirectory(const std::string& path, mode_t mode);

// Does nothing when a regular file exists; otherwise creates it empty with the
// mode. kCannotWrite when it cannot be created.
[[nodiscard]] FileStatus createEmptyFile(const std::string& path, mode_t mode);

// The first line of a file (newline kept), at most size - 1 bytes; none when
// the file cannot be opened.
std::optional<std::string> readFirstLine(const std::string& path, size_t size);

// The whole content of a regular file; the empty text for a missing or
// non-regular path. A regular file that cannot be opened is a fatal report
// (action 1, the path).
std::string readWholeFile(const std::string& path);

// The whole content of a file without any report: kOk, kCannotRead or
// kShortRead.
[[nodiscard]] FileStatus readFileBytes(const std::string& path, std::string& out);

// All of standard input. Each read chunk is taken up to its first NUL byte, as
// a text. Input beyond kMaxStdinBytes is not read.
inline constexpr size_t kMaxStdinBytes = 256u << 20;
std::string readStdinText(size_t maxBytes = kMaxStdinBytes);

// --- Worker-only file operations ---------------------------------------------

// kOk copied; kCannotRead the source cannot be opened; kCannotWrite the
// destination cannot be opened; kShortRead or kShortWrite when reading or
// writing fails part way (the destination is then incomplete).
[[nodiscard]] FileStatus copyFile(const std::string& source, const std::string& destination);

enum class Ownership { kAlreadyOurs, kTaken, kFailed };

// Makes a file belong to the process's real user by renaming it to "path~" and
// copying it back; the "~" copy stays. When the copy fails, the original is
// renamed back, so the file is never lost.
[[nodiscard]] Ownership takeOwnership(const std::string& path);

// Sets access and modification time; on failure takes ownership and tries
// once more. False when the times could not be set.
[[nodiscard]] bool touchFile(const std::string& path, std::time_t when);

}  // namespace vy

#endif  // VANTRY_COMMON_FILES_H_
