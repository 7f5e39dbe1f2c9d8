// The administrator account: the password file, the access check both
// programs make before administrative work, and the web server's ".htpasswd".
//
// ./vydata/admin.pwd holds one line "user:hash" without a newline, where hash
// is the traditional 13-character DES crypt of the password (2 salt
// characters first). Only the first 29 bytes are read, so a user name longer
// than 15 characters cuts the hash and no password matches. The user name is
// compared only with a web-server-authenticated REMOTE_USER, never with
// anything the client sends.
#ifndef VANTRY_COMMON_CREDENTIALS_H_
#define VANTRY_COMMON_CREDENTIALS_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/errors.h"

namespace vy {

inline constexpr const char* kPasswordPath = "./vydata/admin.pwd";
inline constexpr size_t kPasswordLineBytes = 29;
inline constexpr const char* kHtpasswdFile = ".htpasswd";

// Where the htpasswd program is looked for when the search path does not give
// one that succeeds, in this order.
inline constexpr const char* kHtpasswdLocations[] = {
    "/opt/apache/bin/htpasswd",       "/usr/bin/htpasswd",
    "/usr/local/bin/htpasswd",        "/usr/local/httpd/bin/htpasswd",
    "/usr/local/apache/bin/htpasswd", "/usr/httpd/bin/htpasswd",
};

// Two characters of [a-z0-9./A-Z]; reseeds rand() with the current second, so
// salts made within one second are equal.
std::string makeSalt();

// True when the DES crypt of password, salted with the first two characters
// of storedHash, equals storedHash exactly.
bool checkPassword(std::string_view storedHash, std::string_view password);

struct PasswordEntry {
  std::string user;
  std::string hash;
};

// What became of a read or a write of the password file.
enum class PasswordFileError {
  kOk,
  kUnreadable,   // not a readable regular file
  kNoSeparator,  // the first line holds no ":"
  kCannotOpen,   // the file cannot be opened for writing, or the hash cannot be made
  kWriteFailed,
};

// The error-log action of a failure: Read file, Read from the stream, Write
// file and Write to the stream.
ErrAction logAction(PasswordFileError error);

// The line is split at its first ":". The status names the path.
[[nodiscard]] Status<PasswordFileError> readPasswordFile(const std::string& path,
                                                         PasswordEntry& entry);

// Writes "user:crypt(password)" with a fresh salt, replacing the file.
[[nodiscard]] Status<PasswordFileError> writePasswordFile(std::string_view user,
                                                          std::string_view password,
                                                          const std::string& path);

// The answer of the access check.
enum class Access { kNoPasswordFile, kGranted, kRefused };

// The action a refusal is logged with: -1 without a password file, Read file
// for a refused password (the numbers the error log has always carried).
ErrAction logAction(Access access);

// supplied is the password sent, or nullopt when the request did not carry
// the variable at all: a POST without it is refused even for a matching
// REMOTE_USER. With acceptRemoteUser, a REMOTE_USER equal to the stored user
// name is granted.
[[nodiscard]] Access checkAccess(std::optional<std::string_view> supplied, const std::string& path,
                                 bool acceptRemoteUser);

// What a request brings to the access check, as the caller read it.
struct AccessClaim {
  std::optional<std::string_view> supplied;  // the password sent, if any
  bool post = false;                         // sent by POST
  std::string_view remoteUser;               // REMOTE_USER
};
// The same check for a request read already; the other form reads
// REQUEST_METHOD and REMOTE_USER from the environment.
[[nodiscard]] Access checkAccess(const AccessClaim& claim, const std::string& path,
                                 bool acceptRemoteUser);

// What ".htpasswd" accepts from this system: a user name of 1 to 8 letters,
// digits, ".", "-" or "_", and a non-empty password of printable ASCII.
bool isValidHtpasswdUser(std::string_view user);
bool isValidHtpasswdPassword(std::string_view password);

// Sets the user's password in ./.htpasswd by running `htpasswd -b[c] .htpasswd
// user password` ("c" when the file does not exist yet), first from the search
// path, then from the first of the locations that exists. True when the
// program exited with status 0; false without running anything for a user
// name or password that fails the rules above.
[[nodiscard]] bool updateHtpasswd(std::string_view user, std::string_view password);
[[nodiscard]] bool updateHtpasswd(std::string_view user, std::string_view password,
                                  std::span<const char* const> locations);

}  // namespace vy

#endif  // VANTRY_COMMON_CREDENTIALS_H_
