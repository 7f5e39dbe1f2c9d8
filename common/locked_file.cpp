// Opening a file under its lock with the identity check; see locked_file.h.
#include "common/locked_file.h"

#include <fcntl.h>

namespace vy {
namespace {

// How often an open is repeated because the file at the path was replaced or
// removed while this process waited for its lock. Every repeat means that
// another writer finished meanwhile.
constexpr int kMaxReopens = 1000;

int openFlags(LockedOpen how) {
  // O_NONBLOCK only keeps the open of a FIFO at the path from waiting for a
  // writer; it is taken off again once the file is known to be regular.
  switch (how) {
    case LockedOpen::kRead:
      return O_RDONLY | O_NONBLOCK;
    case LockedOpen::kChange:
      return O_RDWR | O_NONBLOCK;
    case LockedOpen::kCreate:
      return O_RDWR | O_CREAT | O_NONBLOCK;
  }
  return O_RDONLY | O_NONBLOCK;
}

FileCode openFailure(const std::string& path, LockedOpen how) {
  if (how != LockedOpen::kCreate && !isRegularFile(path)) return FileCode::kNotFound;
  return how == LockedOpen::kRead ? FileCode::kCannotRead : FileCode::kCannotWrite;
}

}  // namespace

FileStatus openLocked(const std::string& path, LockedOpen how, LockedFile& out, mode_t createMode) {
  for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
    UniqueFd fd = openFd(path.c_str(), openFlags(how), createMode);
    if (!fd) return {openFailure(path, how), path};
    const bool locked = how == LockedOpen::kRead ? lockFileShared(fd.get()) : lockFile(fd.get());
    struct stat status;
    if (!locked || ::fstat(fd.get(), &status) != 0) return {FileCode::kLockRefused, path};
    if (!S_ISREG(status.st_mode)) {
      return {how == LockedOpen::kCreate ? FileCode::kCannotWrite : FileCode::kNotFound, path};
    }
    // Reads of a regular file never wait anyway; writes keep the usual flags.
    if (how != LockedOpen::kRead)
      ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const FileIdentity held{status.st_dev, status.st_ino};
    if (held == identityOf(path)) {
      out = LockedFile{std::move(fd), held, status};
      return FileCode::kOk;
    }
  }
  return {FileCode::kLockRefused, path};
}

}  // namespace vy
