// Opening, reading and removing the per-group side files; see side_file.h.
#include "store/side_file.h"

#include <unistd.h>

#include <cerrno>

namespace vy {

FileStatus openSideFileForChange(const std::string& path, const char* directory, LockedFile& file) {
  FileStatus opened = openLocked(path, LockedOpen::kCreate, file, kFileMode);
  if (opened.ok()) return opened;
  // The directory may be missing, or another writer may have made it since
  // the open failed: whether it is there now says nothing about this open.
  // One more open tells; a failure to make the directory is that open's to
  // report.
  if (!isDirectory(directory)) (void)makeDirectory(directory, kDirectoryMode);
  return openLocked(path, LockedOpen::kCreate, file, kFileMode);
}

FileStatus readLockedBytes(const LockedFile& file, const std::string& path, std::string& out) {
  out.resize(static_cast<size_t>(file.size()));
  const ssize_t n = readFullyAt(file.fd.get(), out.data(), out.size(), 0);
  if (n != static_cast<ssize_t>(out.size())) return {FileCode::kShortRead, path, errno};
  return FileCode::kOk;
}

StoreStatus removeSideFile(const std::string& path) {
  LockedFile file;
  const FileStatus opened = openLocked(path, LockedOpen::kChange, file);
  if (opened == FileCode::kNotFound) return StoreCode::kOk;
  if (!opened.ok()) return storeStatusOf(opened);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return {StoreCode::kCannotRemove, path, errno};
  }
  return StoreCode::kOk;
}

}  // namespace vy
