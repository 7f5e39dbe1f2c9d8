// What an operation on the shared files found: the group store, the settings
// record and the check logs answer with a Status<StoreCode>.
#ifndef VANTRY_STORE_STORE_CODE_H_
#define VANTRY_STORE_STORE_CODE_H_

#include "common/errors.h"
#include "common/files.h"
#include "common/status.h"

namespace vy {

enum class StoreCode {
  kOk,
  kNotFound,            // no such group, check log or settings file (an empty group file is none)
  kRefusedName,         // a name no group may have, asked for by a read or a deletion
  kRefusedNameToStore,  // the same, asked for by an operation that stores
  kCannotRead,          // the file is there but cannot be opened for reading
  kCannotOpen,          // a group or settings file cannot be opened, created or replaced
  kNoSuchEntry,         // a status write-back of an entry the list does not have
  kCannotAppend,        // the check log cannot be appended to (a refused name included)
  kCannotRemove,        // the group file could not be removed
  kLockRefused,         // flock refused
  kDamaged,             // the file is damaged or shorter than it says; nothing was written
  kShortWrite,          // writing failed part way; the file is as it was
};

using StoreStatus = Status<StoreCode>;

// The error log's number of each code, as the log has always had it: a
// refused name is 1 for a read and 2 for a store, a damaged file 12.
constexpr ErrAction logAction(StoreCode code) {
  switch (code) {
    case StoreCode::kOk:
      return ErrAction::kNoFileOperation;
    case StoreCode::kNotFound:
    case StoreCode::kRefusedName:
    case StoreCode::kCannotRead:
      return ErrAction::kReadFile;
    case StoreCode::kRefusedNameToStore:
    case StoreCode::kCannotOpen:
    case StoreCode::kNoSuchEntry:
      return ErrAction::kWriteFile;
    case StoreCode::kCannotAppend:
      return ErrAction::kAppendFile;
    case StoreCode::kCannotRemove:
      return ErrAction::kRemoveFile;
    case StoreCode::kLockRefused:
      return ErrAction::kLockFile;
    case StoreCode::kDamaged:
      return ErrAction::kShortRead;
    case StoreCode::kShortWrite:
      return ErrAction::kShortWrite;
  }
  return ErrAction::kNoFileOperation;
}

// The store's code of a file operation's result, with its subject and errno.
constexpr StoreCode storeCodeOf(FileCode code) {
  switch (code) {
    case FileCode::kOk:
      return StoreCode::kOk;
    case FileCode::kNotFound:
      return StoreCode::kNotFound;
    case FileCode::kCannotRead:
      return StoreCode::kCannotRead;
    case FileCode::kCannotWrite:
    case FileCode::kCannotCreateDirectory:
      return StoreCode::kCannotOpen;
    case FileCode::kLockRefused:
      return StoreCode::kLockRefused;
    case FileCode::kShortRead:
      return StoreCode::kDamaged;
    case FileCode::kShortWrite:
      return StoreCode::kShortWrite;
  }
  return StoreCode::kOk;
}

inline StoreStatus storeStatusOf(const FileStatus& status) {
  return {storeCodeOf(status.code), status.subject, status.errnoValue};
}

}  // namespace vy

#endif  // VANTRY_STORE_STORE_CODE_H_
