// The session table, its file and the session values; see sessions.h.
#include "store/sessions.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/files.h"
#include "common/le.h"
#include "common/locked_file.h"
#include "common/replace_file.h"

namespace vy {
namespace {

using SessionBytes = std::array<uint8_t, kSessionTokenBytes>;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hexOf(const SessionBytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xf];
  }
  return hex;
}

SessionHash sha256(const SessionBytes& bytes) {
  SessionHash hash{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), hash.data(), &size, EVP_sha256(), nullptr);
  return hash;
}

bool randomBytes(SessionBytes& bytes) {
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool sameHash(const SessionHash& a, const SessionHash& b) {
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The live sessions of the file, most recently used first.
std::vector<SessionRecord> liveRecords(const LockedFile& locked, std::time_t now) {
  std::string bytes;
  if (locked.size() > 0) {
    bytes.resize(static_cast<size_t>(locked.size()));
    const ssize_t n = readFullyAt(locked.fd.get(), bytes.data(), bytes.size(), 0);
    bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
  }
  std::vector<SessionRecord> records = decodeSessions(bytes).value_or(std::vector<SessionRecord>{});
  std::erase_if(records, [&](const SessionRecord& r) { return !sessionAlive(r, now); });
  std::stable_sort(
      records.begin(), records.end(),
      [](const SessionRecord& a, const SessionRecord& b) { return a.lastUse > b.lastUse; });
  return records;
}

// One change of the table under the file's exclusive lock: change edits the
// live records and says whether the file is to be written.
template <typename Change>
StoreStatus changeSessions(const std::string& path, std::time_t now, Change change) {
  LockedFile locked;
  const FileStatus opened = openLocked(path, LockedOpen::kCreate, locked, kCredentialFileMode);
  if (!opened.ok()) return storeStatusOf(opened);
  std::vector<SessionRecord> records = liveRecords(locked, now);
  const size_t stored = locked.size() > 0 ? static_cast<size_t>(locked.size()) : 0;
  StoreStatus result;
  const bool write = change(records, result);
  // Ended sessions leave the file whenever it is written; a file that held
  // more than the live table is written too.
  if (!write && stored == kSessionsHeaderSize + records.size() * kSessionRecordSize) return result;
  if (records.size() > kMaxSessions) records.resize(kMaxSessions);
  const StoreStatus written =
      storeStatusOf(replaceLockedFile(path, locked, encodeSessions(records), kCredentialFileMode));
  return written.ok() ? result : written;
}

StoreStatus addSession(const std::string& path, std::time_t now, std::string& token,
                       bool endOthers) {
  SessionBytes bytes{};
  if (!randomBytes(bytes)) return {StoreCode::kCannotOpen, path, errno};
  const SessionRecord record{sha256(bytes), now, now};
  StoreStatus status =
      changeSessions(path, now, [&](std::vector<SessionRecord>& records, StoreStatus&) {
        if (endOthers) records.clear();
        if (records.size() >= kMaxSessions) records.resize(kMaxSessions - 1);  // the oldest go
        records.insert(records.begin(), record);
        return true;
      });
  if (status.ok()) token = hexOf(bytes);
  return status;
}

}  // namespace

std::string encodeSessions(const std::vector<SessionRecord>& records) {
  std::string out(kSessionsHeaderSize + records.size() * kSessionRecordSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(out.data());
  std::memcpy(p + kSessionsMagicOffset, kSessionsMagic, kSessionsMagicSize);
  le::putU32(p + kSessionsCountOffset, static_cast<uint32_t>(records.size()));
  for (size_t i = 0; i < records.size(); ++i) {
    uint8_t* r = p + kSessionsHeaderSize + i * kSessionRecordSize;
    std::memcpy(r + kSessionHashOffset, records[i].hash.data(), kSessionHashSize);
    le::putI64(r + kSessionLoginOffset, records[i].login);
    le::putI64(r + kSessionLastUseOffset, records[i].lastUse);
  }
  return out;
}

std::optional<std::vector<SessionRecord>> decodeSessions(std::string_view bytes) {
  if (bytes.size() < kSessionsHeaderSize) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (std::memcmp(p + kSessionsMagicOffset, kSessionsMagic, kSessionsMagicSize) != 0) {
    return std::nullopt;
  }
  const uint32_t count = le::getU32(p + kSessionsCountOffset);
  if (count > kMaxSessions || bytes.size() - kSessionsHeaderSize != count * kSessionRecordSize) {
    return std::nullopt;
  }
  std::vector<SessionRecord> records(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = p + kSessionsHeaderSize + i * kSessionRecordSize;
    std::memcpy(records[i].hash.data(), r + kSessionHashOffset, kSessionHashSize);
    records[i].login = le::getI64(r + kSessionLoginOffset);
    records[i].lastUse = le::getI64(r + kSessionLastUseOffset);
  }
  return records;
}

// A clock set back behind a login or a last use ends nothing by itself.
bool sessionAlive(const SessionRecord& record, std::time_t now) {
  return now - record.lastUse < kSessionIdleSeconds && now - record.login < kSessionLifetimeSeconds;
}

std::optional<SessionHash> sessionHashOf(std::string_view token) {
  if (token.size() != 2 * kSessionTokenBytes) return std::nullopt;
  SessionBytes bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = hexDigit(token[2 * i]);
    const int low = hexDigit(token[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return sha256(bytes);
}

StoreStatus createSession(const std::string& path, std::time_t now, std::string& token) {
  return addSession(path, now, token, false);
}

StoreStatus createOnlySession(const std::string& path, std::time_t now, std::string& token) {
  return addSession(path, now, token, true);
}

StoreStatus useSession(const std::string& path, std::string_view token, std::time_t now) {
  const std::optional<SessionHash> hash = sessionHashOf(token);
  if (!hash || !isRegularFile(path)) return StoreCode::kNotFound;
  return changeSessions(path, now, [&](std::vector<SessionRecord>& records, StoreStatus& result) {
    for (SessionRecord& record : records) {
      if (!sameHash(record.hash, *hash)) continue;
      const bool stale = now - record.lastUse >= kSessionTouchSeconds || now < record.lastUse;
      if (stale) record.lastUse = now;
      return stale;
    }
    result = StoreCode::kNotFound;
    return false;
  });
}

StoreStatus endSession(const std::string& path, std::string_view token, std::time_t now) {
  const std::optional<SessionHash> hash = sessionHashOf(token);
  if (!hash || !isRegularFile(path)) return StoreCode::kOk;
  return changeSessions(path, now, [&](std::vector<SessionRecord>& records, StoreStatus&) {
    return std::erase_if(records, [&](const SessionRecord& r) { return sameHash(r.hash, *hash); }) >
           0;
  });
}

}  // namespace vy
