// The group file's bytes: one binary file per group, ./vydata/vydb/<group>.dat,
// encoded and decoded field by field (group_store.h reads and changes it).
//
// Layout, little-endian, no padding:
//
//   offset                       size      content
//   0                            4         checkInterval, i32 (minutes)
//   4                            250       inform, NUL-terminated, at most 249 bytes
//   254                          1         options, u8
//   255                          1         moreOptions, u8 (bits 0-2; the rest zero)
//   256                          4         urlCount, i32
//   260                          4         banCount, i32
//   264                          4         presCount, i32
//   268                          4         banBytes, i32: size of the banned-content area
//   272                          4         presBytes, i32: size of the presence-content area
//   276                          1         publicFlags, u8 (bits 0-1; the rest zero)
//   277                          11        reserved, zero
//   288                          banBytes  banCount NUL-terminated texts, lower case
//   288 + banBytes               presBytes presCount NUL-terminated texts, lower case
//   288 + banBytes + presBytes   rest      urlCount URL records
//
// publicFlags say whether the public status page shows the group
// (kPublicShown) and whether it shows its addresses (kPublicAddresses); a
// file written before they existed holds zero there, a private group. The
// group's public title does not fit the header: it has a file of its own
// (public_title.h).
//
// A URL record is the 28-byte stored status followed by the URL and a NUL, so
// records are found only by walking from the first:
//
//   0   u32  lastCheck      4  i16  resultCode    6  u8  flags    7  u8 reserved
//   8   u32  responseMs    12  i16  banIndex     14  i16 presIndex
//   16  u32  certExpiry    20  u16  certWarnedDays
//   22  6    reserved, zero
//
// certExpiry is the notAfter (seconds since 1970) of the earliest-expiring
// certificate of the URL's last verified https chain, 0 when not known (a
// record written before these fields existed reads so); certWarnedDays the
// smallest warning day count already told for that expiry, 0 for none.
//
// A file is data from disk: negative counts, counts or areas larger than the
// file, and texts without their NUL are refused as damaged before anything is
// allocated from them or read behind the image.
#ifndef VANTRY_STORE_GROUP_CODEC_H_
#define VANTRY_STORE_GROUP_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/large_block.h"
#include "store/group_config.h"
#include "store/store_code.h"

namespace vy {

inline constexpr size_t kGroupHeaderSize = 288;
inline constexpr size_t kGroupCheckIntervalOffset = 0;
inline constexpr size_t kGroupInformOffset = 4, kGroupInformSize = 250;
inline constexpr size_t kGroupOptionsOffset = 254;
inline constexpr size_t kGroupMoreOptionsOffset = 255;
inline constexpr size_t kGroupUrlCountOffset = 256;
inline constexpr size_t kGroupBanCountOffset = 260;
inline constexpr size_t kGroupPresCountOffset = 264;
inline constexpr size_t kGroupBanBytesOffset = 268;
inline constexpr size_t kGroupPresBytesOffset = 272;
inline constexpr size_t kGroupPublicFlagsOffset = 276;
inline constexpr size_t kGroupReservedOffset = 277, kGroupReservedSize = 11;

inline constexpr size_t kUrlStatusSize = 28;
inline constexpr size_t kStatusLastCheckOffset = 0;
inline constexpr size_t kStatusResultCodeOffset = 4;
inline constexpr size_t kStatusFlagsOffset = 6;
inline constexpr size_t kStatusResponseMsOffset = 8;
inline constexpr size_t kStatusBanIndexOffset = 12;
inline constexpr size_t kStatusPresIndexOffset = 14;
inline constexpr size_t kStatusCertExpiryOffset = 16;
inline constexpr size_t kStatusCertWarnedDaysOffset = 20;
inline constexpr size_t kStatusReservedOffset = 22, kStatusReservedSize = 6;

// Record offsets are kept in 32 bits, and 0xFFFFFFFF means "unknown".
inline constexpr size_t kMaxGroupFileSize = 0xFFFFFFFEu;

// The 288-byte header as numbers.
struct GroupHeader {
  int32_t checkInterval = 0;
  std::string inform;
  uint8_t options = 0;
  uint8_t moreOptions = 0;
  uint8_t publicFlags = 0;
  int32_t urlCount = 0;
  int32_t banCount = 0;
  int32_t presCount = 0;
  int32_t banBytes = 0;
  int32_t presBytes = 0;
};

// REQUIRES: out / in point at kGroupHeaderSize bytes. Only bits 0-2 of
// moreOptions and bits 0-1 of publicFlags are written; the reserved bytes
// are zero.
void encodeGroupHeader(const GroupHeader& header, uint8_t* out);
GroupHeader decodeGroupHeader(const uint8_t* in);

// REQUIRES: out / in point at kUrlStatusSize bytes. decodeUrlStatus fills the
// stored part only.
void encodeUrlStatus(const UrlStatus& status, uint8_t* out);
UrlStatus decodeUrlStatus(const uint8_t* in);

// The header of a file as decoded and where its URL records lie. A new file
// has an all-zero header and empty content areas.
struct GroupLayout {
  GroupHeader header;
  size_t urlEnd = kGroupHeaderSize;  // behind the last record

  // Behind the two content areas (REQUIRES: a header that fits its file).
  size_t urlStart() const {
    return kGroupHeaderSize + static_cast<size_t>(header.banBytes) +
           static_cast<size_t>(header.presBytes);
  }
};

// Decodes an image into group, which takes the image over and whose views
// point into it; every entry's fileOffset is its record's offset. False for a
// damaged image.
[[nodiscard]] bool decodeGroupImage(FileImage image, GroupConfig& group, GroupLayout& layout);

// The same from bytes, which group copies: kOk or kDamaged.
[[nodiscard]] StoreStatus decodeGroupFile(std::string_view bytes, GroupConfig& group);

// Appends a record for each entry: its stored status, its URL and a NUL.
void appendUrlRecords(std::string& out, const std::vector<UrlStatus>& urls);

// What a content area holds once written.
struct ContentArea {
  int32_t count = 0;
  int32_t bytes = 0;
};

// Appends the contents in lower case, each cut at a NUL and ended by one; a
// content that is empty after the cut is left out (an empty text would be
// found in every page).
ContentArea appendContentArea(std::string& out, const std::vector<std::string_view>& contents);

}  // namespace vy

#endif  // VANTRY_STORE_GROUP_CODEC_H_
