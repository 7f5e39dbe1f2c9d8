// The certificate details file: codec, reads, the store that writes only on
// a change, and removal; see certificates.h.
#include "store/certificates.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/files.h"
#include "common/le.h"
#include "common/locked_file.h"
#include "common/replace_file.h"
#include "store/group_name.h"
#include "store/history.h"
#include "store/side_file.h"

namespace vy {
namespace {

std::string_view cutText(std::string_view text) { return text.substr(0, kMaxCertTextLength); }

void appendEntry(std::string& out, const KeyedCertificate& entry) {
  const std::string_view issuer = cutText(entry.details.issuer);
  const std::string_view subject = cutText(entry.details.subject);
  uint8_t fixed[kCertEntryFixedSize] = {};
  le::putU48(fixed + kCertEntryKeyOffset, entry.key & kHistoryKeyMask);
  le::putU64(fixed + kCertEntryNotAfterOffset, static_cast<uint64_t>(entry.details.notAfter));
  le::putU8(fixed + kCertEntryIssuerLengthOffset, static_cast<uint8_t>(issuer.size()));
  le::putU8(fixed + kCertEntrySubjectLengthOffset, static_cast<uint8_t>(subject.size()));
  out.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
  out += issuer;
  out += subject;
}

StoreStatus damagedAt(const std::string& path) { return {StoreCode::kDamaged, path}; }

// The entries a store leaves: those of the group's URLs, url's with details.
// None when they are the entries as they are.
std::optional<std::vector<KeyedCertificate>> changedEntries(
    const std::vector<KeyedCertificate>& entries, const std::unordered_set<uint64_t>& kept,
    const KeyedCertificate& given) {
  std::vector<KeyedCertificate> changed;
  bool found = false;
  for (const KeyedCertificate& entry : entries) {
    if (entry.key == given.key) {
      found = found || entry == given;
      continue;
    }
    if (kept.contains(entry.key)) changed.push_back(entry);
  }
  if (found && changed.size() + 1 == entries.size()) return std::nullopt;
  changed.push_back(given);
  return changed;
}

// The given entry as it is stored, so that a text longer than a file keeps
// compares equal to what the file holds.
KeyedCertificate storedForm(std::string_view url, const CertificateDetails& details) {
  return {historyUrlKey(url),
          {details.notAfter, std::string(cutText(details.issuer)),
           std::string(cutText(details.subject))}};
}

std::unordered_set<uint64_t> keysOf(std::span<const std::string_view> urls) {
  std::unordered_set<uint64_t> keys;
  for (std::string_view url : urls) keys.insert(historyUrlKey(url));
  return keys;
}

// Whether the file at path already holds what a store would leave, read
// under the shared lock only; false when it cannot tell.
bool alreadyStored(const std::string& path, const std::unordered_set<uint64_t>& kept,
                   const KeyedCertificate& given) {
  LockedFile file;
  std::string bytes;
  if (!openLocked(path, LockedOpen::kRead, file).ok() || !readLockedBytes(file, path, bytes).ok() ||
      bytes.empty()) {
    return false;
  }
  const std::optional<std::vector<KeyedCertificate>> entries = decodeCertificateFile(bytes);
  return entries && !changedEntries(*entries, kept, given);
}

}  // namespace

std::string certificatePath(std::string_view group) {
  return std::string(kCertificateDir) + "/" + std::string(group) + ".dat";
}

std::string encodeCertificateFile(std::vector<KeyedCertificate> entries) {
  std::sort(entries.begin(), entries.end(),
            [](const KeyedCertificate& a, const KeyedCertificate& b) { return a.key < b.key; });
  std::string out(kCertHeaderSize, '\0');
  auto* header = reinterpret_cast<uint8_t*>(out.data());
  std::memcpy(header + kCertMagicOffset, kCertMagic, kCertMagicSize);
  le::putU16(header + kCertVersionOffset, kCertVersion);
  le::putU32(header + kCertCountOffset, static_cast<uint32_t>(entries.size()));
  for (const KeyedCertificate& entry : entries) appendEntry(out, entry);
  return out;
}

std::optional<std::vector<KeyedCertificate>> decodeCertificateFile(std::string_view bytes) {
  if (bytes.empty()) return std::vector<KeyedCertificate>();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() < kCertHeaderSize ||
      std::memcmp(data + kCertMagicOffset, kCertMagic, kCertMagicSize) != 0 ||
      le::getU16(data + kCertVersionOffset) != kCertVersion) {
    return std::nullopt;
  }
  const uint32_t count = le::getU32(data + kCertCountOffset);
  size_t at = kCertHeaderSize;
  if (count > (bytes.size() - at) / kCertEntryFixedSize) return std::nullopt;
  std::vector<KeyedCertificate> entries;
  entries.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - at < kCertEntryFixedSize) return std::nullopt;
    const uint8_t* fixed = data + at;
    const size_t issuerLength = le::getU8(fixed + kCertEntryIssuerLengthOffset);
    const size_t subjectLength = le::getU8(fixed + kCertEntrySubjectLengthOffset);
    at += kCertEntryFixedSize;
    if (bytes.size() - at < issuerLength + subjectLength) return std::nullopt;
    KeyedCertificate& entry = entries.emplace_back();
    entry.key = le::getU48(fixed + kCertEntryKeyOffset);
    entry.details.notAfter = static_cast<int64_t>(le::getU64(fixed + kCertEntryNotAfterOffset));
    entry.details.issuer.assign(bytes.substr(at, issuerLength));
    entry.details.subject.assign(bytes.substr(at + issuerLength, subjectLength));
    at += issuerLength + subjectLength;
  }
  if (at != bytes.size()) return std::nullopt;
  return entries;
}

StoreStatus readCertificates(const std::string& group, std::span<const std::string_view> urls,
                             std::vector<std::optional<CertificateDetails>>& out) {
  out.assign(urls.size(), std::nullopt);
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  const std::string path = certificatePath(group);
  LockedFile file;
  const FileStatus opened = openLocked(path, LockedOpen::kRead, file);
  if (opened == FileCode::kNotFound) return StoreCode::kOk;
  if (!opened.ok()) return storeStatusOf(opened);
  std::string bytes;
  const FileStatus read = readLockedBytes(file, path, bytes);
  if (!read.ok()) return storeStatusOf(read);
  const std::optional<std::vector<KeyedCertificate>> entries = decodeCertificateFile(bytes);
  if (!entries) return damagedAt(path);
  std::unordered_map<uint64_t, const CertificateDetails*> byKey;
  for (const KeyedCertificate& entry : *entries) byKey.emplace(entry.key, &entry.details);
  for (size_t i = 0; i < urls.size(); ++i) {
    const auto found = byKey.find(historyUrlKey(urls[i]));
    if (found != byKey.end()) out[i] = *found->second;
  }
  return StoreCode::kOk;
}

CertificateWrite storeCertificate(const std::string& group,
                                  std::span<const std::string_view> groupUrls, std::string_view url,
                                  const CertificateDetails& details) {
  if (!isValidGroupName(group)) return {StoreCode::kRefusedNameToStore, StoreCode::kOk};
  const std::string path = certificatePath(group);
  const std::unordered_set<uint64_t> kept = keysOf(groupUrls);
  const KeyedCertificate given = storedForm(url, details);
  // The usual case, a certificate as it was, takes only the shared lock.
  if (alreadyStored(path, kept, given)) return {StoreCode::kOk, StoreCode::kOk};
  LockedFile file;
  const FileStatus opened = openSideFileForChange(path, kCertificateDir, file);
  if (!opened.ok()) return {storeStatusOf(opened), StoreCode::kOk};
  std::string bytes;
  const FileStatus read = readLockedBytes(file, path, bytes);
  if (!read.ok()) return {storeStatusOf(read), StoreCode::kOk};
  CertificateWrite result{StoreCode::kOk, StoreCode::kOk};
  std::optional<std::vector<KeyedCertificate>> entries = decodeCertificateFile(bytes);
  if (!entries) {
    result.damage = damagedAt(path);
    entries.emplace();
  }
  // A new, empty file has no entry, so it is always written.
  std::optional<std::vector<KeyedCertificate>> changed = changedEntries(*entries, kept, given);
  if (!changed) return result;
  result.status = storeStatusOf(
      replaceLockedFile(path, file, encodeCertificateFile(std::move(*changed)), kFileMode));
  result.written = result.status.ok();
  return result;
}

StoreStatus removeCertificates(const std::string& group) {
  if (!isValidGroupName(group)) return StoreCode::kRefusedName;
  return removeSideFile(certificatePath(group));
}

}  // namespace vy
