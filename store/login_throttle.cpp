// The failed-login counts, their rules and their file; see login_throttle.h.
#include "store/login_throttle.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>

#include "common/files.h"
#include "common/le.h"
#include "common/locked_file.h"

namespace vy {
namespace {

constexpr size_t kLoginMaxFileSize = kLoginHeaderSize + kLoginClientLimit * kLoginClientSize;
constexpr uint32_t kMaxU32 = std::numeric_limits<uint32_t>::max();

// The stored second of a time: a clock before 1970 or past 2106 is kept at
// the nearest second that can be stored.
uint32_t storedSecond(ThrottleClock now) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  return static_cast<uint32_t>(std::clamp<long long>(seconds, 1, kMaxU32));
}

uint64_t storedMillis(ThrottleClock now) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  return static_cast<uint64_t>(std::max<long long>(millis, 0));
}

// A client's count is kept through its window and for a window after its
// last refusal ended; a clock set back before the window's start ends it.
bool expired(const LoginClient& client, uint32_t now) {
  if (now < client.windowStart) return true;
  const uint64_t windowEnd = uint64_t{client.windowStart} + kLoginWindowSeconds;
  const uint64_t refusalEnd =
      client.refusedUntil == 0 ? 0 : uint64_t{client.refusedUntil} + kLoginWindowSeconds;
  return now >= std::max(windowEnd, refusalEnd);
}

uint32_t lastActivity(const LoginClient& client) {
  return std::max(client.windowStart, client.refusedUntil);
}

const LoginClient* findClient(const LoginThrottleTable& table, const ClientAddress& address) {
  for (const LoginClient& client : table.clients) {
    if (client.address == address) return &client;
  }
  return nullptr;
}

// The client's record, made (in the place of the least recently active one
// when the table is full) when it has none.
LoginClient& clientFor(LoginThrottleTable& table, const ClientAddress& address) {
  for (LoginClient& client : table.clients) {
    if (client.address == address) return client;
  }
  if (table.clients.size() < kLoginClientLimit) return table.clients.emplace_back();
  return *std::min_element(
      table.clients.begin(), table.clients.end(),
      [](const LoginClient& a, const LoginClient& b) { return lastActivity(a) < lastActivity(b); });
}

// 1 minute at the 5th failure, doubled at each one after it, up to an hour.
uint32_t refusalSeconds(uint32_t failures) {
  const uint32_t doublings = std::min<uint32_t>(failures - kLoginFailuresBeforeRefusal, 6);
  return std::min(kLoginFirstRefusalSeconds << doublings, kLoginLongestRefusalSeconds);
}

void countClientFailure(LoginThrottleTable& table, const ClientAddress& address, uint32_t now) {
  std::erase_if(table.clients, [&](const LoginClient& client) { return expired(client, now); });
  LoginClient& client = clientFor(table, address);
  if (client.address != address || client.failures == 0) client = LoginClient{address, 0, now, 0};
  if (client.failures < kMaxU32) ++client.failures;
  if (client.failures >= kLoginFailuresBeforeRefusal) {
    client.refusedUntil = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{now} + refusalSeconds(client.failures), kMaxU32));
  }
}

// The failure's turn among all clients' failures: none until they are more
// than kLoginFailuresBeforePacing in the window, then one a second.
std::chrono::milliseconds pacedWait(LoginThrottleTable& table, ThrottleClock now) {
  const uint32_t second = storedSecond(now);
  if (second < table.allWindowStart || second - table.allWindowStart >= kLoginWindowSeconds) {
    table.allFailures = 0;
    table.allWindowStart = second;
  }
  if (table.allFailures < kMaxU32) ++table.allFailures;
  if (table.allFailures <= kLoginFailuresBeforePacing) return std::chrono::milliseconds(0);
  const uint64_t nowMillis = storedMillis(now);
  const uint64_t latest = nowMillis + static_cast<uint64_t>(kMaxLoginPacing.count());
  const uint64_t turn = std::min(std::max(nowMillis, table.nextAnswerMillis), latest);
  table.nextAnswerMillis = turn + static_cast<uint64_t>(kLoginPacing.count());
  return std::chrono::milliseconds(turn - nowMillis);
}

// The table the file holds; an empty one when it holds no whole table.
LoginThrottleTable readTable(int fd) {
  std::string bytes(kLoginMaxFileSize + 1, '\0');
  const ssize_t n = readFullyAt(fd, bytes.data(), bytes.size(), 0);
  if (n < 0) return LoginThrottleTable{};
  bytes.resize(static_cast<size_t>(n));
  return decodeLoginThrottle(bytes).value_or(LoginThrottleTable{});
}

void writeTable(int fd, const LoginThrottleTable& table) {
  const std::string bytes = encodeLoginThrottle(table);
  // A count that cannot be kept is lost: the login's answer stays the same.
  if (::lseek(fd, 0, SEEK_SET) == 0 && writeFully(fd, bytes.data(), bytes.size())) {
    (void)::ftruncate(fd, static_cast<off_t>(bytes.size()));
  }
}

}  // namespace

ClientAddress clientAddress(std::string_view remoteAddr) {
  ClientAddress address{};
  const std::string text(remoteAddr.substr(0, remoteAddr.find('%')));  // without a zone
  in_addr v4;
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    address[10] = address[11] = 0xff;
    std::memcpy(address.data() + 12, &v4, sizeof v4);
    return address;
  }
  in6_addr v6;
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return address;
  std::memcpy(address.data(), &v6, sizeof v6);
  const bool mappedV4 =
      std::all_of(address.begin(), address.begin() + 10, [](uint8_t b) { return b == 0; }) &&
      address[10] == 0xff && address[11] == 0xff;
  if (!mappedV4) std::fill(address.begin() + 8, address.end(), 0);
  return address;
}

std::string encodeLoginThrottle(const LoginThrottleTable& table) {
  std::string bytes(kLoginHeaderSize + table.clients.size() * kLoginClientSize, '\0');
  uint8_t* out = reinterpret_cast<uint8_t*>(bytes.data());
  std::memcpy(out + kLoginMagicOffset, kLoginMagic, kLoginMagicSize);
  le::putU32(out + kLoginCountOffset, static_cast<uint32_t>(table.clients.size()));
  le::putU32(out + kLoginAllFailuresOffset, table.allFailures);
  le::putU32(out + kLoginAllStartOffset, table.allWindowStart);
  le::putU64(out + kLoginNextAnswerOffset, table.nextAnswerMillis);
  for (size_t i = 0; i < table.clients.size(); ++i) {
    const LoginClient& client = table.clients[i];
    uint8_t* record = out + kLoginHeaderSize + i * kLoginClientSize;
    std::memcpy(record + kLoginClientAddressOffset, client.address.data(), kLoginClientAddressSize);
    le::putU32(record + kLoginClientFailuresOffset, client.failures);
    le::putU32(record + kLoginClientStartOffset, client.windowStart);
    le::putU32(record + kLoginClientRefusedOffset, client.refusedUntil);
  }
  return bytes;
}

std::optional<LoginThrottleTable> decodeLoginThrottle(std::string_view bytes) {
  if (bytes.size() < kLoginHeaderSize) return std::nullopt;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(bytes.data());
  if (std::memcmp(in + kLoginMagicOffset, kLoginMagic, kLoginMagicSize) != 0) return std::nullopt;
  const uint32_t count = le::getU32(in + kLoginCountOffset);
  if (count > kLoginClientLimit ||
      (bytes.size() - kLoginHeaderSize) != size_t{count} * kLoginClientSize) {
    return std::nullopt;
  }
  LoginThrottleTable table;
  table.allFailures = le::getU32(in + kLoginAllFailuresOffset);
  table.allWindowStart = le::getU32(in + kLoginAllStartOffset);
  table.nextAnswerMillis = le::getU64(in + kLoginNextAnswerOffset);
  table.clients.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = in + kLoginHeaderSize + i * kLoginClientSize;
    LoginClient& client = table.clients[i];
    std::memcpy(client.address.data(), record + kLoginClientAddressOffset, kLoginClientAddressSize);
    client.failures = le::getU32(record + kLoginClientFailuresOffset);
    client.windowStart = le::getU32(record + kLoginClientStartOffset);
    client.refusedUntil = le::getU32(record + kLoginClientRefusedOffset);
  }
  return table;
}

std::chrono::seconds refusalLeft(const LoginThrottleTable& table, const ClientAddress& client,
                                 ThrottleClock now) {
  const uint32_t second = storedSecond(now);
  const LoginClient* found = findClient(table, client);
  if (!found || expired(*found, second) || found->refusedUntil <= second) {
    return std::chrono::seconds(0);
  }
  return std::chrono::seconds(found->refusedUntil - second);
}

std::chrono::milliseconds countFailure(LoginThrottleTable& table, const ClientAddress& client,
                                       ThrottleClock now) {
  countClientFailure(table, client, storedSecond(now));
  return pacedWait(table, now);
}

void forgetClient(LoginThrottleTable& table, const ClientAddress& client) {
  std::erase_if(table.clients, [&](const LoginClient& c) { return c.address == client; });
}

std::chrono::seconds loginRefusal(std::string_view remoteAddr, ThrottleClock now,
                                  const std::string& path) {
  LockedFile file;
  if (!openLocked(path, LockedOpen::kRead, file).ok()) return std::chrono::seconds(0);
  return refusalLeft(readTable(file.fd.get()), clientAddress(remoteAddr), now);
}

std::chrono::milliseconds countFailedLogin(std::string_view remoteAddr, ThrottleClock now,
                                           const std::string& path) {
  std::chrono::milliseconds wait(0);
  {
    LockedFile file;
    if (!openLocked(path, LockedOpen::kCreate, file, kFileMode).ok()) return wait;
    LoginThrottleTable table = readTable(file.fd.get());
    wait = countFailure(table, clientAddress(remoteAddr), now);
    writeTable(file.fd.get(), table);
  }  // the lock is released before the wait: other logins go on meanwhile
  std::this_thread::sleep_for(wait);
  return wait;
}

void forgetFailedLogins(std::string_view remoteAddr, const std::string& path) {
  LockedFile file;
  if (!openLocked(path, LockedOpen::kChange, file).ok()) return;
  LoginThrottleTable table = readTable(file.fd.get());
  const ClientAddress client = clientAddress(remoteAddr);
  if (!findClient(table, client)) return;
  forgetClient(table, client);
  writeTable(file.fd.get(), table);
}

long refusalMinutes(std::chrono::seconds left) {
  return std::max<long>(1, static_cast<long>((left.count() + 59) / 60));
}

std::string refusalMessage(std::chrono::seconds left) {
  const long minutes = refusalMinutes(left);
  return "Too many failed logins; try again in " + std::to_string(minutes) +
         (minutes == 1 ? " minute" : " minutes");
}

}  // namespace vy
