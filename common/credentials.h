// The administrator account: the password file, the access check both
// programs make before administrative work, and the web server's ".htpasswd".
//
// ./vydata/admin.pwd holds one line "user:hash" without a newline. New hashes
// are bcrypt ("$2y$", cost kBcryptCost, a 16-byte salt from getrandom); the
// traditional 13-character DES hashes of earlier versions are still accepted,
// and the access check that grants a password against one replaces it with a
// bcrypt hash of that password. The whole line is read, up to
// kPasswordLineBytes; a longer line is cut there, so its hash matches no
// password. The file is replaced whole under its lock (replace_file.h), mode
// 0600. The user name is compared only with a web-server-authenticated
// REMOTE_USER, never with anything the client sends.
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
inline constexpr size_t kPasswordLineBytes = 512;
inline constexpr const char* kHtpasswdFile = ".htpasswd";

// The bcrypt work factor of every hash the programs store (about 0.15 s per
// hash on a small server). Tests that store many passwords may pass
// kLowestBcryptCost to the functions that take a cost, to stay fast.
inline constexpr int kBcryptCost = 11;
inline constexpr int kLowestBcryptCost = 4;

// What an administrator may choose: a user name of 1 to kMaxUserLength
// letters, digits, ".", "-" or "_", and a password of 1 to kMaxPasswordLength
// printable ASCII characters (bcrypt uses no more than 72 bytes).
inline constexpr size_t kMaxUserLength = 8;
inline constexpr size_t kMaxPasswordLength = 72;
inline constexpr const char* kPasswordTooLong = "Password Too Long (At Most 72 Characters)";

// Where the htpasswd program is looked for when the search path does not give
// one that succeeds, in this order.
inline constexpr const char* kHtpasswdLocations[] = {
    "/opt/apache/bin/htpasswd",       "/usr/bin/htpasswd",
    "/usr/local/bin/htpasswd",        "/usr/local/httpd/bin/htpasswd",
    "/usr/local/apache/bin/htpasswd", "/usr/httpd/bin/htpasswd",
};

// The kinds of stored hash the access check knows.
enum class HashKind { kUnknown, kBcrypt, kDes };
HashKind hashKind(std::string_view storedHash);

// A bcrypt hash of password with a fresh random salt; none when the system
// gives no random bytes or libcrypt refuses.
[[nodiscard]] std::optional<std::string> hashPassword(std::string_view password,
                                                      int cost = kBcryptCost);

// True when the stored hash is a bcrypt or DES hash of password. The hashes
// are compared in constant time. A password holding a NUL byte, or one longer
// than bcrypt reads for a bcrypt hash, matches nothing.
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

// Replaces the file with "user:" and a bcrypt hash of password, mode 0600.
[[nodiscard]] Status<PasswordFileError> writePasswordFile(std::string_view user,
                                                          std::string_view password,
                                                          const std::string& path,
                                                          int cost = kBcryptCost);

// The answer of the access check.
enum class Access { kNoPasswordFile, kGranted, kRefused };

// The action a refusal is logged with: -1 without a password file, Read file
// for a refused password (the numbers the error log has always carried).
ErrAction logAction(Access access);

// supplied is the password sent, or nullopt when the request did not carry
// the variable at all: a POST without it is refused even for a matching
// REMOTE_USER. With acceptRemoteUser, a REMOTE_USER equal to the stored user
// name is granted. A password granted against a DES hash has its hash
// replaced by a bcrypt one, in the file at path and, when it exists, in
// ./.htpasswd; a failure of that is logged and the access still granted.
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

// The rules above, which ".htpasswd" needs too.
bool isValidHtpasswdUser(std::string_view user);
bool isValidHtpasswdPassword(std::string_view password);

// The first rule a new user name and password break, as the message the
// password page shows; empty when they pass. In order: either empty, either
// too long, a repeat that is given and differs, the characters of either.
std::string credentialsProblem(std::string_view user, std::string_view password,
                               std::string_view repeated = "");

// Sets the user's password in ./.htpasswd by running `htpasswd -B -i -C <cost>
// [-c] .htpasswd user` ("-c" when the file does not exist yet) with the
// password on its standard input, never among its arguments: first from the
// search path, then from the first of the locations that exists. True when
// the program exited with status 0 (the file is then left to its owner
// alone); false without running anything for a user name or password that
// fails the rules above.
[[nodiscard]] bool updateHtpasswd(std::string_view user, std::string_view password);
[[nodiscard]] bool updateHtpasswd(std::string_view user, std::string_view password,
                                  std::span<const char* const> locations);

}  // namespace vy

#endif  // VANTRY_COMMON_CREDENTIALS_H_
