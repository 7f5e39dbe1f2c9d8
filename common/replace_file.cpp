// The write-temporary, flush, rename replacement; see replace_file.h.
#include "common/replace_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <utility>

#include "common/fd.h"
#include "common/text.h"

namespace vy {
namespace {

// How often a temporary name is tried when one of that name exists already.
constexpr int kMaxNameAttempts = 1000;

// A file's directory (with its "/") and its name.
std::pair<std::string, std::string> splitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  return {path.substr(0, nameStart), path.substr(nameStart)};
}

// Hidden, so that directory walks skip them, and unique to a process and call.
std::string temporaryPathFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const auto [dir, name] = splitPath(path);
  return dir + "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) +
         ".tmp";
}

// A temporary file is made only by the holder of the lock of the file at the
// path, and renamed or removed before the lock goes. So whoever holds that
// lock and finds one, finds what a killed writer left behind.
void removeLeftTemporaries(const std::string& path) {
  const auto [dir, name] = splitPath(path);
  const std::string prefix = "." + name + ".";
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.empty() ? "." : dir.c_str()),
                                              ::closedir);
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing.get())) {
    std::string_view file(entry->d_name);
    if (startsWith(file, prefix) && file.size() > 4 && file.substr(file.size() - 4) == ".tmp") {
      ::unlink((dir + std::string(file)).c_str());
    }
  }
}

// Makes a rename in the directory of path durable.
void syncDirectoryOf(const std::string& path) {
  const std::string dir = splitPath(path).first;
  if (UniqueFd fd = openFd(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY)) {
    ::fsync(fd.get());
  }
}

// A new temporary file beside path; invalid when none could be made.
UniqueFd createTemporary(const std::string& path, std::string& temp) {
  UniqueFd out;
  for (int attempt = 0; attempt < kMaxNameAttempts && !out; ++attempt) {
    temp = temporaryPathFor(path);
    out = openFd(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!out && errno != EEXIST) break;
  }
  return out;
}

}  // namespace

FileStatus replaceLockedFile(const std::string& path, const LockedFile& locked,
                             std::string_view bytes, mode_t modeMask) {
  const struct stat& old = locked.status;
  removeLeftTemporaries(path);
  std::string temp;
  UniqueFd out = createTemporary(path, temp);
  if (!out) return {FileCode::kCannotWrite, path};
  ::fchmod(out.get(), old.st_mode & modeMask);
  int ignored = ::fchown(out.get(), old.st_uid, old.st_gid);  // only a privileged process may
  (void)ignored;
  const bool written = writeFully(out.get(), bytes.data(), bytes.size()) &&
                       ::fsync(out.get()) == 0 && ::close(out.release()) == 0;
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return {written ? FileCode::kCannotWrite : FileCode::kShortWrite, path};
  }
  syncDirectoryOf(path);
  return FileCode::kOk;
}

}  // namespace vy
