// What the per-group files kept beside the group file (the history, the
// certificate details) share: opening one for a change, making its folder
// the first time; reading it whole under its lock; removing it with its
// group.
#ifndef VANTRY_STORE_SIDE_FILE_H_
#define VANTRY_STORE_SIDE_FILE_H_

#include <string>

#include "common/files.h"
#include "common/locked_file.h"
#include "store/store_code.h"

namespace vy {

// Opens the file at path (in directory) for a change under its exclusive
// lock, creating it empty, and the directory, when missing.
[[nodiscard]] FileStatus openSideFileForChange(const std::string& path, const char* directory,
                                               LockedFile& file);

// The whole file, read under the lock the caller holds.
[[nodiscard]] FileStatus readLockedBytes(const LockedFile& file, const std::string& path,
                                         std::string& out);

// Removes the file under its exclusive lock, so that no reader or writer
// is midway through it: kOk also when there is none; kLockRefused;
// kCannotRemove.
[[nodiscard]] StoreStatus removeSideFile(const std::string& path);

}  // namespace vy

#endif  // VANTRY_STORE_SIDE_FILE_H_
