// The administrator password file, the access check and the ".htpasswd"
// update; see credentials.h.
#include "common/credentials.h"

#include <crypt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/process.h"
#include "common/text.h"

namespace vy {
namespace {

constexpr char kSaltAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789./ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The DES crypt of password with the given salt; none when libcrypt refuses
// (an invalid salt gives a failure token that starts with "*").
std::optional<std::string> desCrypt(std::string_view password, std::string_view salt) {
  auto data = std::make_unique<crypt_data>();  // zeroed, as crypt_r requires
  std::string key(password);
  std::string setting(salt);
  const char* hash = crypt_r(key.c_str(), setting.c_str(), data.get());
  if (!hash || hash[0] == '*') return std::nullopt;
  return std::string(hash);
}

bool isHtpasswdUserChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// Runs one htpasswd program; true when it exited with status 0.
bool runHtpasswd(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgramWithInput(argv, "").succeeded();
}

}  // namespace

std::string makeSalt() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  std::string salt(2, '\0');
  for (char& c : salt) c = kSaltAlphabet[std::rand() % 64];
  return salt;
}

bool checkPassword(std::string_view storedHash, std::string_view password) {
  std::optional<std::string> hash = desCrypt(password, storedHash.substr(0, 2));
  return hash && *hash == storedHash;
}

ErrAction logAction(PasswordFileError error) {
  switch (error) {
    case PasswordFileError::kOk:
      return ErrAction::kOk;
    case PasswordFileError::kUnreadable:
      return ErrAction::kReadFile;
    case PasswordFileError::kNoSeparator:
      return ErrAction::kShortRead;
    case PasswordFileError::kCannotOpen:
      return ErrAction::kWriteFile;
    case PasswordFileError::kWriteFailed:
      return ErrAction::kShortWrite;
  }
  return ErrAction::kOk;
}

ErrAction logAction(Access access) {
  switch (access) {
    case Access::kNoPasswordFile:
      return ErrAction::kNoPasswordFile;
    case Access::kGranted:
      return ErrAction::kNoFileOperation;
    case Access::kRefused:
      return ErrAction::kReadFile;
  }
  return ErrAction::kNoFileOperation;
}

Status<PasswordFileError> readPasswordFile(const std::string& path, PasswordEntry& entry) {
  if (!isRegularFile(path)) return {PasswordFileError::kUnreadable, path};
  std::optional<std::string> line = readFirstLine(path, kPasswordLineBytes + 1);
  if (!line) return {PasswordFileError::kUnreadable, path};
  // The file is written without a line end; one added by hand is not part of
  // the hash.
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  size_t colon = line->find(':');
  if (colon == std::string::npos) return {PasswordFileError::kNoSeparator, path};
  entry.user = line->substr(0, colon);
  entry.hash = line->substr(colon + 1);
  return {};
}

Status<PasswordFileError> writePasswordFile(std::string_view user, std::string_view password,
                                            const std::string& path) {
  std::optional<std::string> hash = desCrypt(password, makeSalt());
  if (!hash) return {PasswordFileError::kCannotOpen, path};
  UniqueFd fd = openFd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, kCredentialFileMode);
  if (!fd) return {PasswordFileError::kCannotOpen, path};
  ::fchmod(fd.get(), kCredentialFileMode);  // a file of an older version may be open to others
  std::string line(user);
  line += ':';
  line += *hash;
  if (!writeFully(fd.get(), line.data(), line.size())) return {PasswordFileError::kWriteFailed, path};
  return {};
}

Access checkAccess(const AccessClaim& claim, const std::string& path, bool acceptRemoteUser) {
  PasswordEntry entry;
  if (!readPasswordFile(path, entry).ok()) return Access::kNoPasswordFile;
  if (claim.post && !claim.supplied) return Access::kRefused;
  if (acceptRemoteUser && !claim.remoteUser.empty() && claim.remoteUser == entry.user) {
    return Access::kGranted;
  }
  if (claim.supplied && !claim.supplied->empty() && checkPassword(entry.hash, *claim.supplied)) {
    return Access::kGranted;
  }
  return Access::kRefused;
}

Access checkAccess(std::optional<std::string_view> supplied, const std::string& path,
                   bool acceptRemoteUser) {
  const std::string remoteUser = envText("REMOTE_USER");
  return checkAccess(AccessClaim{supplied, envText("REQUEST_METHOD") == "POST", remoteUser}, path,
                     acceptRemoteUser);
}

bool isValidHtpasswdUser(std::string_view user) {
  if (user.empty() || user.size() > 8) return false;
  for (char c : user) {
    if (!isHtpasswdUserChar(c)) return false;
  }
  return true;
}

bool isValidHtpasswdPassword(std::string_view password) {
  if (password.empty()) return false;
  for (char c : password) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

bool updateHtpasswd(std::string_view user, std::string_view password) {
  return updateHtpasswd(user, password, kHtpasswdLocations);
}

// The program gets its arguments as a vector, never through a shell, so the
// password cannot be read as shell syntax (it still shows in the process
// list while htpasswd runs).
bool updateHtpasswd(std::string_view user, std::string_view password,
                    std::span<const char* const> locations) {
  if (!isValidHtpasswdUser(user) || !isValidHtpasswdPassword(password)) return false;
  std::fflush(stdout);  // the page so far comes before anything htpasswd prints
  std::vector<std::string> args{isRegularFile(kHtpasswdFile) ? "-b" : "-bc", kHtpasswdFile,
                                std::string(user), std::string(password)};
  bool updated = runHtpasswd("htpasswd", args);
  for (const char* location : locations) {
    if (updated) break;
    if (isRegularFile(location)) {
      updated = runHtpasswd(location, args);
      break;
    }
  }
  // htpasswd makes the file with its own mode: only its owner may read it.
  if (updated) restrictMode(kHtpasswdFile, kCredentialFileMode);
  return updated;
}

}  // namespace vy
