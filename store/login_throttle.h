// Failed logins and the throttle they feed: how often a client may guess the
// administrator's password.
//
// Rules. A client that fails 5 times within 15 minutes is refused for a
// minute, and each further failure doubles that, up to an hour; a refused
// client is refused whatever it sends, the right password included. Its
// count is forgotten once 15 minutes have passed since the window began and
// since its last refusal ended. Beyond 100 failures of all clients together
// within 15 minutes, failures are answered no faster than one a second in
// all: each one waits for its turn (never longer than kMaxLoginPacing), after
// its count is stored and outside the lock. A success never waits, so the
// administrator is not locked out by a stranger's guessing from another
// address, and it forgets its own client's count.
//
// A client is its address: an IPv4 address whole (as ::ffff:a.b.c.d), an
// IPv6 address by its /64 prefix (one subscriber's network gets a /64, and
// any address in it for the asking), anything unreadable as the one
// all-zero address.
//
// ./vydata/vytime/logins, little-endian, 24 + 28 x count bytes:
//   offset size field
//      0     4  magic        "VYLT"
//      4     4  count        u32, the client records that follow (at most
//                            kLoginClientLimit)
//      8     4  all failures u32, the failures of all clients in the window
//     12     4  all start    u32, when that window began (seconds since 1970)
//     16     8  next answer  u64, the earliest a paced failure is answered
//                            (milliseconds since 1970)
//     24    28  client 0; client i at 24 + 28 x i:
//                 +0  16  address       the client's 16 address bytes
//                +16   4  failures      u32, its failures in its window
//                +20   4  window start  u32, when its window began
//                +24   4  refused until u32, when its refusal ends; 0: never
//                                       refused in this window
// A file of another size, magic or count decodes as an empty table.
//
// Every change is one read-modify-write under the file's exclusive flock,
// written in place: the file is small and written whole at offset 0, and it
// is not flushed to disk, so that a stranger's guesses cost no disk flush
// each. A crash can at worst lose or mix counts (a damaged file reads as an
// empty table), which gives a guesser a few more tries, never a login.
// When the file cannot be used at all (no vytime directory, no permission),
// nobody is throttled: a broken throttle must not lock the administrator out.
#ifndef VANTRY_STORE_LOGIN_THROTTLE_H_
#define VANTRY_STORE_LOGIN_THROTTLE_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vy {

inline constexpr const char* kLoginThrottlePath = "./vydata/vytime/logins";

inline constexpr size_t kLoginMagicOffset = 0;
inline constexpr size_t kLoginMagicSize = 4;
inline constexpr const char* kLoginMagic = "VYLT";
inline constexpr size_t kLoginCountOffset = 4;
inline constexpr size_t kLoginAllFailuresOffset = 8;
inline constexpr size_t kLoginAllStartOffset = 12;
inline constexpr size_t kLoginNextAnswerOffset = 16;
inline constexpr size_t kLoginHeaderSize = 24;
inline constexpr size_t kLoginClientSize = 28;
inline constexpr size_t kLoginClientAddressOffset = 0;
inline constexpr size_t kLoginClientAddressSize = 16;
inline constexpr size_t kLoginClientFailuresOffset = 16;
inline constexpr size_t kLoginClientStartOffset = 20;
inline constexpr size_t kLoginClientRefusedOffset = 24;
// The most clients the file keeps; a new one then takes the place of the one
// whose last failure or refusal is the oldest.
inline constexpr size_t kLoginClientLimit = 256;

inline constexpr uint32_t kLoginWindowSeconds = 15 * 60;
inline constexpr uint32_t kLoginFailuresBeforeRefusal = 5;
inline constexpr uint32_t kLoginFirstRefusalSeconds = 60;
inline constexpr uint32_t kLoginLongestRefusalSeconds = 60 * 60;
inline constexpr uint32_t kLoginFailuresBeforePacing = 100;
inline constexpr std::chrono::milliseconds kLoginPacing{1000};
inline constexpr std::chrono::milliseconds kMaxLoginPacing{20000};

using ClientAddress = std::array<uint8_t, kLoginClientAddressSize>;
using ThrottleClock = std::chrono::system_clock::time_point;

// The client a REMOTE_ADDR names (see above).
[[nodiscard]] ClientAddress clientAddress(std::string_view remoteAddr);

struct LoginClient {
  ClientAddress address{};
  uint32_t failures = 0;
  uint32_t windowStart = 0;
  uint32_t refusedUntil = 0;
  bool operator==(const LoginClient&) const = default;
};

struct LoginThrottleTable {
  uint32_t allFailures = 0;
  uint32_t allWindowStart = 0;
  uint64_t nextAnswerMillis = 0;
  std::vector<LoginClient> clients;  // at most kLoginClientLimit
  bool operator==(const LoginThrottleTable&) const = default;
};

// REQUIRES: table.clients.size() <= kLoginClientLimit.
[[nodiscard]] std::string encodeLoginThrottle(const LoginThrottleTable& table);
// None when the bytes are not a whole table of this layout.
[[nodiscard]] std::optional<LoginThrottleTable> decodeLoginThrottle(std::string_view bytes);

// --- The rules on a table --------------------------------------------------------

// How long the client is still refused at now; zero when it is not.
[[nodiscard]] std::chrono::seconds refusalLeft(const LoginThrottleTable& table,
                                               const ClientAddress& client, ThrottleClock now);
// Counts a failure of the client at now; the answer waits for what it
// returns (zero unless all clients together failed more than
// kLoginFailuresBeforePacing times in their window).
[[nodiscard]] std::chrono::milliseconds countFailure(LoginThrottleTable& table,
                                                     const ClientAddress& client,
                                                     ThrottleClock now);
// Forgets the client's failures.
void forgetClient(LoginThrottleTable& table, const ClientAddress& client);

// --- The file --------------------------------------------------------------------

// Asked before a password is checked: how long the client at remoteAddr is
// still refused (zero: check the password).
[[nodiscard]] std::chrono::seconds loginRefusal(
    std::string_view remoteAddr, ThrottleClock now = std::chrono::system_clock::now(),
    const std::string& path = kLoginThrottlePath);
// A refused password: counted, then the call waits for the failure's turn
// when failures are paced, and returns that wait.
std::chrono::milliseconds countFailedLogin(std::string_view remoteAddr,
                                           ThrottleClock now = std::chrono::system_clock::now(),
                                           const std::string& path = kLoginThrottlePath);
// A granted password: the client's failures are forgotten.
void forgetFailedLogins(std::string_view remoteAddr, const std::string& path = kLoginThrottlePath);

// The whole minutes a refusal still lasts, at least 1, for the refusal page.
[[nodiscard]] long refusalMinutes(std::chrono::seconds left);
// "Too many failed logins; try again in N minutes" ("1 minute" for one).
[[nodiscard]] std::string refusalMessage(std::chrono::seconds left);

}  // namespace vy

#endif  // VANTRY_STORE_LOGIN_THROTTLE_H_
