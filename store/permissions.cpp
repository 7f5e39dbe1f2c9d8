// The tightening of an older instance's permissions; see permissions.h.
#include "store/permissions.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "common/credentials.h"
#include "common/files.h"
#include "store/settings.h"

namespace vy {
namespace {

bool othersMayEnter(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0007) != 0;
}

// A directory itself, not a link to one (a link is not followed).
bool isOwnDirectory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Every entry below dir, depth first, then dir itself.
void restrictTree(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
  if (listing) {
    while (const dirent* entry = ::readdir(listing.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "/" + name;
      if (isOwnDirectory(path)) {
        restrictTree(path);
      } else {
        restrictMode(path, path == kPasswordPath ? kCredentialFileMode : kFileMode);
      }
    }
  }
  restrictMode(dir, kDirectoryMode);
}

}  // namespace

void tightenInstance() {
  restrictMode(kPasswordPath, kCredentialFileMode);
  restrictMode(kHtpasswdFile, kCredentialFileMode);
  if (othersMayEnter(kDataDir)) restrictTree(kDataDir);
}

}  // namespace vy
