// The console's login sessions: the random value a browser carries instead
// of the password, and the file that knows which values are alive.
//
// A session is 32 random bytes, shown to the browser as 64 hexadecimal
// digits. The file keeps only the SHA-256 of those bytes, so a copy of it
// lets nobody in. A session ends kSessionIdleSeconds after its last use,
// kSessionLifetimeSeconds after its login, or when it is ended (log out, a
// password change). Every change rewrites the whole file under its lock by
// replacement (a crash leaves the old table or the new one), and drops the
// sessions that have ended; at most kMaxSessions are kept, the one used
// longest ago giving way to a new one.
//
// Every operation takes the time it acts at, so that tests can move the
// clock; the console passes the current time.
//
// ./vydata/sessions, 8 + 48 x count bytes, little-endian:
//   offset size field
//      0     4  magic  "VYSN"
//      4     4  count  u32, the records that follow (at most kMaxSessions)
//      8    48  record 0; record i at 8 + 48 x i:
//                 +0  32  hash     SHA-256 of the session's 32 bytes
//                +32   8  login    i64, seconds since 1970 of the login
//                +40   8  lastUse  i64, seconds since 1970 of the last request
// A file of another magic, count or size holds no session and is written
// anew by the next change.
#ifndef VANTRY_STORE_SESSIONS_H_
#define VANTRY_STORE_SESSIONS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store_code.h"

namespace vy {

inline constexpr const char* kSessionsPath = "./vydata/sessions";

inline constexpr std::time_t kSessionIdleSeconds = 12 * 60 * 60;
inline constexpr std::time_t kSessionLifetimeSeconds = 7 * 24 * 60 * 60;
// A request moves a session's last use only when it is this much older, so
// that a burst of pages does not rewrite the file for each one.
inline constexpr std::time_t kSessionTouchSeconds = 60;
inline constexpr size_t kMaxSessions = 64;
inline constexpr size_t kSessionTokenBytes = 32;

inline constexpr size_t kSessionsMagicOffset = 0;
inline constexpr size_t kSessionsMagicSize = 4;
inline constexpr const char* kSessionsMagic = "VYSN";
inline constexpr size_t kSessionsCountOffset = 4;
inline constexpr size_t kSessionsHeaderSize = 8;
inline constexpr size_t kSessionRecordSize = 48;
inline constexpr size_t kSessionHashOffset = 0;
inline constexpr size_t kSessionHashSize = 32;
inline constexpr size_t kSessionLoginOffset = 32;
inline constexpr size_t kSessionLastUseOffset = 40;

using SessionHash = std::array<uint8_t, kSessionHashSize>;

struct SessionRecord {
  SessionHash hash{};
  int64_t login = 0;
  int64_t lastUse = 0;
  bool operator==(const SessionRecord&) const = default;
};

std::string encodeSessions(const std::vector<SessionRecord>& records);
// None when the bytes are not a whole table of this layout.
[[nodiscard]] std::optional<std::vector<SessionRecord>> decodeSessions(std::string_view bytes);

// True while the session has neither idled nor outlived its login at now.
[[nodiscard]] bool sessionAlive(const SessionRecord& record, std::time_t now);

// The SHA-256 of a session's bytes, the token given as its 64 hexadecimal
// digits; none for anything else (a password, a damaged value).
[[nodiscard]] std::optional<SessionHash> sessionHashOf(std::string_view token);

// A new session at now, its value in token. kCannotOpen also when no random
// bytes could be had.
[[nodiscard]] StoreStatus createSession(const std::string& path, std::time_t now,
                                        std::string& token);
// The same after ending every other session (a password change).
[[nodiscard]] StoreStatus createOnlySession(const std::string& path, std::time_t now,
                                            std::string& token);
// kOk when token names a session alive at now, whose last use becomes now;
// kNotFound when it names none (no file, a value that is no session, one
// that ended).
[[nodiscard]] StoreStatus useSession(const std::string& path, std::string_view token,
                                     std::time_t now);
// Ends the session of token, if there is one.
[[nodiscard]] StoreStatus endSession(const std::string& path, std::string_view token,
                                     std::time_t now);

}  // namespace vy

#endif  // VANTRY_STORE_SESSIONS_H_
