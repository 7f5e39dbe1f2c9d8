// Replacing a file whole: the new content goes to a hidden temporary file in
// the same directory, is flushed to disk and renamed over the file, so a
// failure or a crash at any moment leaves either the old content or the new.
//
// The caller holds the lock of the file at the path (locked_file.h) for the
// whole replacement, and readers find the new file by its new identity.
#ifndef VANTRY_COMMON_REPLACE_FILE_H_
#define VANTRY_COMMON_REPLACE_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/files.h"
#include "common/locked_file.h"

namespace vy {

// Writes bytes to "<dir>/.<name>.<pid>.<n>.tmp" beside path, flushes it and
// renames it over path, whose lock `locked` holds. The new file takes the old
// one's permission bits within modeMask and, where the process may, its
// owner, so that the other program can still use it. Temporaries that a
// killed writer left behind are removed first. On failure the temporary file
// is removed and path is left as it was: kCannotWrite (no temporary file, or
// the rename failed) or kShortWrite.
[[nodiscard]] FileStatus replaceLockedFile(const std::string& path, const LockedFile& locked,
                                           std::string_view bytes, mode_t modeMask);

}  // namespace vy

#endif  // VANTRY_COMMON_REPLACE_FILE_H_
