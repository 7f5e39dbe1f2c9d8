// The administrator password file, the access check and the ".htpasswd"
// update; see credentials.h.
#include "common/credentials.h"

#include <crypt.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/errors.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/locked_file.h"
#include "common/process.h"
#include "common/replace_file.h"
#include "common/text.h"

namespace vy {
namespace {

constexpr char kSaltAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789./ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr size_t kDesHashLength = 13;
constexpr size_t kBcryptHashLength = 60;  // "$2y$11$", 22 salt and 31 hash characters
constexpr size_t kBcryptSaltBytes = 16;
constexpr const char* kBcryptPrefix = "$2y$";

// libcrypt's answer for key and setting; none when it refuses (a failure
// token starts with "*"). The work area is zeroed, as crypt_r requires, and
// belongs to this call alone.
std::optional<std::string> cryptWith(std::string_view password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  const std::string key(password);
  const char* hash = crypt_r(key.c_str(), setting.c_str(), data.get());
  if (!hash || hash[0] == '*') return std::nullopt;
  return std::string(hash);
}

// The system's random bytes; false when it gives none.
bool fillRandom(unsigned char* bytes, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    const ssize_t n = ::getrandom(bytes + filled, size - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    filled += static_cast<size_t>(n);
  }
  return true;
}

// Every byte is looked at whatever the others are. The lengths are not
// secret: each kind of hash has one.
bool equalInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

bool isSaltChar(char c) {
  return c != '\0' && std::string_view(kSaltAlphabet).find(c) != std::string_view::npos;
}

bool isHtpasswdUserChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// "user:hash" split at its first ":"; false when there is none. A line end
// added by hand is not part of the hash.
bool parsePasswordLine(std::string line, PasswordEntry& entry) {
  const size_t end = line.find('\n');
  if (end != std::string::npos) line.resize(end);
  while (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  entry.user = line.substr(0, colon);
  entry.hash = line.substr(colon + 1);
  return true;
}

// The entry of a file open under its lock; false when it holds none.
bool readLockedEntry(const LockedFile& locked, PasswordEntry& entry) {
  std::string bytes(kPasswordLineBytes, '\0');
  const ssize_t n = readFullyAt(locked.fd.get(), bytes.data(), bytes.size(), 0);
  if (n < 0) return false;
  bytes.resize(static_cast<size_t>(n));
  return parsePasswordLine(bytes, entry);
}

enum class LineStore { kStored, kChangedMeanwhile, kCannotOpen, kWriteFailed };

// Replaces the file at path with line under the file's lock. With expected,
// only while the file still holds that entry: a change made since it was read
// is kept.
LineStore storePasswordLine(const std::string& path, std::string_view line,
                            const PasswordEntry* expected) {
  LockedFile locked;
  if (!openLocked(path, LockedOpen::kCreate, locked, kCredentialFileMode).ok()) {
    return LineStore::kCannotOpen;
  }
  if (expected) {
    PasswordEntry current;
    if (!readLockedEntry(locked, current) || current.user != expected->user ||
        current.hash != expected->hash) {
      return LineStore::kChangedMeanwhile;
    }
  }
  if (!replaceLockedFile(path, locked, line, kCredentialFileMode).ok()) {
    return LineStore::kWriteFailed;
  }
  return LineStore::kStored;
}

// A DES hash that just granted password gives way to a bcrypt hash of the
// same password, once; a password change made meanwhile is kept. Failures
// are logged only: the login goes on.
void upgradeDesHash(const std::string& path, const PasswordEntry& entry,
                    std::string_view password) {
  std::optional<std::string> hash;
  if (isValidHtpasswdPassword(password)) hash = hashPassword(password);
  if (!hash) {
    reportError(ErrAction::kWriteFile, "Password hash upgrade: " + path);
    return;
  }
  const LineStore stored = storePasswordLine(path, entry.user + ":" + *hash, &entry);
  if (stored == LineStore::kChangedMeanwhile) return;
  if (stored != LineStore::kStored) {
    reportError(ErrAction::kWriteFile, "Password hash upgrade: " + path);
    return;
  }
  if (isRegularFile(kHtpasswdFile) && !updateHtpasswd(entry.user, password)) {
    reportError(ErrAction::kWriteFile, std::string("Password hash upgrade: ") + kHtpasswdFile);
  }
}

// Runs one htpasswd program with the password on its standard input; true
// when it exited with status 0.
bool runHtpasswd(const std::string& program, const std::vector<std::string>& args,
                 std::string_view password) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgramWithInput(argv, std::string(password) + "\n").succeeded();
}

}  // namespace

HashKind hashKind(std::string_view storedHash) {
  if (storedHash.size() == kBcryptHashLength &&
      (startsWith(storedHash, "$2y$") || startsWith(storedHash, "$2b$") ||
       startsWith(storedHash, "$2a$"))) {
    return HashKind::kBcrypt;
  }
  if (storedHash.size() == kDesHashLength) {
    for (char c : storedHash) {
      if (!isSaltChar(c)) return HashKind::kUnknown;
    }
    return HashKind::kDes;
  }
  return HashKind::kUnknown;
}

std::optional<std::string> hashPassword(std::string_view password, int cost) {
  if (password.find('\0') != std::string_view::npos) return std::nullopt;
  unsigned char random[kBcryptSaltBytes];
  if (!fillRandom(random, sizeof random)) return std::nullopt;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn(kBcryptPrefix, static_cast<unsigned long>(cost),
                        reinterpret_cast<const char*>(random), sizeof random, setting,
                        sizeof setting)) {
    return std::nullopt;
  }
  std::optional<std::string> hash = cryptWith(password, setting);
  if (!hash || hashKind(*hash) != HashKind::kBcrypt) return std::nullopt;
  return hash;
}

bool checkPassword(std::string_view storedHash, std::string_view password) {
  if (password.find('\0') != std::string_view::npos) return false;
  std::optional<std::string> hash;
  switch (hashKind(storedHash)) {
    case HashKind::kBcrypt:
      // bcrypt reads 72 bytes: a longer text would match its own prefix.
      if (password.size() > kMaxPasswordLength) return false;
      hash = cryptWith(password, std::string(storedHash));
      break;
    case HashKind::kDes:
      hash = cryptWith(password, std::string(storedHash.substr(0, 2)));
      break;
    case HashKind::kUnknown:
      return false;
  }
  return hash && equalInConstantTime(*hash, storedHash);
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
  if (!parsePasswordLine(*line, entry)) return {PasswordFileError::kNoSeparator, path};
  return {};
}

Status<PasswordFileError> writePasswordFile(std::string_view user, std::string_view password,
                                            const std::string& path, int cost) {
  std::optional<std::string> hash = hashPassword(password, cost);
  if (!hash) return {PasswordFileError::kCannotOpen, path};
  switch (storePasswordLine(path, std::string(user) + ":" + *hash, nullptr)) {
    case LineStore::kStored:
    case LineStore::kChangedMeanwhile:
      return {};
    case LineStore::kCannotOpen:
      return {PasswordFileError::kCannotOpen, path};
    case LineStore::kWriteFailed:
      break;
  }
  return {PasswordFileError::kWriteFailed, path};
}

Access checkAccess(const AccessClaim& claim, const std::string& path, bool acceptRemoteUser) {
  PasswordEntry entry;
  if (!readPasswordFile(path, entry).ok()) return Access::kNoPasswordFile;
  if (claim.post && !claim.supplied) return Access::kRefused;
  if (acceptRemoteUser && !claim.remoteUser.empty() && claim.remoteUser == entry.user) {
    return Access::kGranted;
  }
  if (claim.supplied && !claim.supplied->empty() && checkPassword(entry.hash, *claim.supplied)) {
    if (hashKind(entry.hash) == HashKind::kDes) upgradeDesHash(path, entry, *claim.supplied);
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
  if (user.empty() || user.size() > kMaxUserLength) return false;
  for (char c : user) {
    if (!isHtpasswdUserChar(c)) return false;
  }
  return true;
}

bool isValidHtpasswdPassword(std::string_view password) {
  if (password.empty() || password.size() > kMaxPasswordLength) return false;
  for (char c : password) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

std::string credentialsProblem(std::string_view user, std::string_view password,
                               std::string_view repeated) {
  if (user.empty()) return "You Must Enter A Username";
  if (password.empty()) return "You Must Enter A Password";
  if (user.size() > kMaxUserLength) return "Username Too Long";
  if (password.size() > kMaxPasswordLength) return kPasswordTooLong;
  if (!repeated.empty() && repeated != password) return "Passwords Not Match";
  if (!isValidHtpasswdUser(user)) {
    return "The Username May Hold Only Letters, Digits, \".\", \"-\" And \"_\"";
  }
  if (!isValidHtpasswdPassword(password)) {
    return "The Password May Hold Only Printable Characters (No Accents Or Line Breaks)";
  }
  return "";
}

bool updateHtpasswd(std::string_view user, std::string_view password) {
  return updateHtpasswd(user, password, kHtpasswdLocations);
}

// The program gets its arguments as a vector, never through a shell, and the
// password on a pipe, so nothing of it shows in the process list.
bool updateHtpasswd(std::string_view user, std::string_view password,
                    std::span<const char* const> locations) {
  if (!isValidHtpasswdUser(user) || !isValidHtpasswdPassword(password)) return false;
  std::fflush(stdout);  // the page so far comes before anything htpasswd prints
  std::vector<std::string> args{"-B", "-i", "-C", std::to_string(kBcryptCost)};
  if (!isRegularFile(kHtpasswdFile)) args.push_back("-c");
  args.push_back(kHtpasswdFile);
  args.emplace_back(user);
  bool updated = runHtpasswd("htpasswd", args, password);
  for (const char* location : locations) {
    if (updated) break;
    if (isRegularFile(location)) {
      updated = runHtpasswd(location, args, password);
      break;
    }
  }
  // htpasswd makes the file with its own mode: only its owner may read it.
  if (updated) restrictMode(kHtpasswdFile, kCredentialFileMode);
  return updated;
}

}  // namespace vy
