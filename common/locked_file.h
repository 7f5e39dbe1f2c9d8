// A file opened under its flock and checked to be the file its path names.
//
// Files that are changed by replacing them (see replace_file.h) get a new
// inode at their path on every change. Whoever opened the old file and then
// waited for its lock finds, once it holds the lock, that the path now names
// another file; openLocked then opens and locks that one instead, so a holder
// of the lock always holds the lock of the file at the path.
#ifndef VANTRY_COMMON_LOCKED_FILE_H_
#define VANTRY_COMMON_LOCKED_FILE_H_

#include <sys/stat.h>

#include <string>

#include "common/fd.h"
#include "common/files.h"

namespace vy {

// How a file is opened and locked: a read opens it read-only under a shared
// lock (readers never wait for each other, only for a change, and need no
// write permission); a change opens it for update under an exclusive lock,
// and kCreate creates a missing file empty with the given mode first.
enum class LockedOpen { kRead, kChange, kCreate };

// An open file under its lock, with what fstat told once the lock was held
// (the file cannot change under the lock). Closing the descriptor releases
// the lock.
struct LockedFile {
  UniqueFd fd;
  FileIdentity identity;
  struct stat status {};
  long long size() const { return static_cast<long long>(status.st_size); }
};

// Opens and locks the file at path. kNotFound: no regular file at the path
// (unless creating); kCannotRead / kCannotWrite: it cannot be opened for the
// read or the change; kLockRefused, also when the path kept being replaced
// (a bound that only guards against a livelock).
[[nodiscard]] FileStatus openLocked(const std::string& path, LockedOpen how, LockedFile& out,
                                    mode_t createMode = 0666);

}  // namespace vy

#endif  // VANTRY_COMMON_LOCKED_FILE_H_
