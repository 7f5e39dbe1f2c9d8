// The certificate details of a group: ./vydata/vycert/<group>.dat, for each
// https URL the expiry, issuer and subject of the earliest-expiring
// certificate of its last verified chain. The URL record itself keeps the
// expiry (group_codec.h); this file holds what is shown beside it.
//
// Keys. An entry names its URL by historyUrlKey (history.h), so the details
// follow a URL's text and a renamed URL starts afresh.
//
// File, little-endian, no padding: a header and `count` entries in key order.
//
//   header, 12 bytes
//   offset  size  field
//   0       4     magic "VYCE"
//   4       2     version, u16: 1
//   6       2     reserved, 0
//   8       4     count, u32
//
//   entry, 16 bytes and its texts
//   0       6     URL key, 48 bits
//   6       8     notAfter, i64: seconds since 1970
//   14      1     issuer length, u8
//   15      1     subject length, u8
//   16      n     the issuer's bytes, then the subject's (no NUL)
//
// Writing. The file changes only when a URL's details change (its
// certificate was renewed or replaced) or it holds URLs gone from the group,
// so a check run normally only reads it, under the shared lock. A change is
// made under the exclusive lock and written whole through replaceLockedFile;
// readers, under the shared lock, see the old file or the new one. Decoders
// check every count and length against the bytes left: a damaged file is an
// error for readers and is started afresh by the next change.
#ifndef VANTRY_STORE_CERTIFICATES_H_
#define VANTRY_STORE_CERTIFICATES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/store_code.h"

namespace vy {

inline constexpr const char* kCertificateDir = "./vydata/vycert";

inline constexpr size_t kCertMagicOffset = 0;
inline constexpr size_t kCertMagicSize = 4;
inline constexpr const char* kCertMagic = "VYCE";
inline constexpr size_t kCertVersionOffset = 4;
inline constexpr uint16_t kCertVersion = 1;
inline constexpr size_t kCertReservedOffset = 6;
inline constexpr size_t kCertCountOffset = 8;
inline constexpr size_t kCertHeaderSize = 12;

inline constexpr size_t kCertEntryKeyOffset = 0;
inline constexpr size_t kCertEntryNotAfterOffset = 6;
inline constexpr size_t kCertEntryIssuerLengthOffset = 14;
inline constexpr size_t kCertEntrySubjectLengthOffset = 15;
inline constexpr size_t kCertEntryFixedSize = 16;
// Longer texts are cut to this many bytes when stored.
inline constexpr size_t kMaxCertTextLength = 255;

// ./vydata/vycert/<name>.dat (REQUIRES: isValidGroupName(name)).
std::string certificatePath(std::string_view group);

// What is kept of a URL's earliest-expiring certificate.
struct CertificateDetails {
  int64_t notAfter = 0;  // seconds since 1970
  std::string issuer;    // one-line texts, at most kMaxCertTextLength bytes kept
  std::string subject;
  bool operator==(const CertificateDetails&) const = default;
};

struct KeyedCertificate {
  uint64_t key = 0;  // historyUrlKey of the URL
  CertificateDetails details;
  bool operator==(const KeyedCertificate&) const = default;
};

// The bytes of a file holding the entries in key order, texts cut to
// kMaxCertTextLength.
std::string encodeCertificateFile(std::vector<KeyedCertificate> entries);
// The entries of a file; none when its header, a count or a length does not
// fit the bytes or bytes are left over. No bytes at all is an empty file.
std::optional<std::vector<KeyedCertificate>> decodeCertificateFile(std::string_view bytes);

// The details of each of urls, in their order; none for a URL without. A
// missing file is kOk with none for all. kRefusedName; kCannotRead;
// kLockRefused; kDamaged (all none).
[[nodiscard]] StoreStatus readCertificates(const std::string& group,
                                           std::span<const std::string_view> urls,
                                           std::vector<std::optional<CertificateDetails>>& out);

// What a store did. status is its own result; damage is kOk, or kDamaged
// with the path when the file was damaged and was started afresh (the
// caller reports that once); written says whether the file was replaced.
struct [[nodiscard]] CertificateWrite {
  StoreStatus status;
  StoreStatus damage;
  bool written = false;
};

// Keeps details as url's, creating the directory and the file when missing.
// groupUrls are the group's current URLs: entries of other URLs (but url's)
// are dropped. Nothing is written when url already has these details and no
// other URL is to be dropped. kOk; kRefusedNameToStore; kCannotOpen;
// kLockRefused; kShortWrite (the file is as it was).
CertificateWrite storeCertificate(const std::string& group,
                                  std::span<const std::string_view> groupUrls, std::string_view url,
                                  const CertificateDetails& details);

// Removes the group's file: kOk also when there is none; kRefusedName;
// kLockRefused; kCannotRemove.
[[nodiscard]] StoreStatus removeCertificates(const std::string& group);

}  // namespace vy

#endif  // VANTRY_STORE_CERTIFICATES_H_
