// The day digest of a group's history: ./vydata/vydays/<group>.dat, each
// URL's checks and up checks per day (UTC) over the last 91 days, folded
// from the history file by the worker at the end of every run that added
// checks to it.
//
// Why. The history holds every check of the last 48 hours and a summary per
// day for 400 days: a year of it for 10,000 URLs is about 100 MB. A page
// that shows every URL's daily bar and its 30- and 90-day uptime needs only
// these day counts, 736 bytes a URL, so it reads the digest instead.
//
// Freshness. The digest is the history as it was at the end of the last run
// that checked the group; the checks of a run still going (or of one killed
// before its end) join it at the end of the next. A reader without a
// readable digest (a group never checked since the digest came, a damaged
// file) folds the history itself, with the same result. The digest names
// its URLs by a 64-bit hash of their text (digestUrlKey), cheap enough for a
// page to key ten thousand URLs; a URL it does not hold has no checks yet.
//
// File, little-endian, no padding: a header, then `URL count` entries
// ordered by key, each of `day count` days, the oldest first. Besides its
// days an entry holds what a page would otherwise find by going through
// them all: the totals of its last 30 and 90 days and which days were not
// all up (a page draws only those over its green).
//
//   header, 16 bytes
//   offset  size  field
//   0       4     magic "VYDD"
//   4       2     version, u16: 1
//   6       2     day count, u16: days per entry, 1 to 400
//   8       2     first day, u16: days since 1970-01-01 of every entry's first
//   10      2     reserved, 0
//   12      4     URL count, u32
//
//   entry, 40 + 8 x W + 8 x day count bytes, W = (day count + 63) / 64
//   0       8     URL key, u64 (digestUrlKey)
//   8       8     checks of the entry's last 30 days (all, if fewer), u64
//   16      8     up checks of those, u64
//   24      8     checks of its last 90 days (all, if fewer), u64
//   32      8     up checks of those, u64
//   40      8W    days not all up (no check, or a failed one): bit d % 64 of
//                 word d / 64 for day d, the unused bits 0, u64 each
//   D + 8d  4     checks of day d, u32, D = 40 + 8W
//   D+4+8d  4     up checks of day d, u32
//
// Writing. The worker folds the history under its shared lock and replaces
// the digest whole (replaceLockedFile) under the digest's own lock, so a
// reader, which takes no lock, finds the old digest or the new one, never a
// mix.
#ifndef VANTRY_STORE_HISTORY_DIGEST_H_
#define VANTRY_STORE_HISTORY_DIGEST_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/le.h"
#include "store/store_code.h"

namespace vy {

inline constexpr const char* kDigestDir = "./vydata/vydays";

inline constexpr size_t kDigestMagicOffset = 0;
inline constexpr size_t kDigestMagicSize = 4;
inline constexpr const char* kDigestMagic = "VYDD";
inline constexpr size_t kDigestVersionOffset = 4;
inline constexpr uint16_t kDigestVersion = 1;
inline constexpr size_t kDigestDayCountOffset = 6;
inline constexpr size_t kDigestFirstDayOffset = 8;
inline constexpr size_t kDigestReservedOffset = 10;
inline constexpr size_t kDigestUrlCountOffset = 12;
inline constexpr size_t kDigestHeaderSize = 16;

inline constexpr size_t kDigestEntryKeyOffset = 0;
inline constexpr size_t kDigestEntryLast30ChecksOffset = 8;
inline constexpr size_t kDigestEntryLast30UpOffset = 16;
inline constexpr size_t kDigestEntryLast90ChecksOffset = 24;
inline constexpr size_t kDigestEntryLast90UpOffset = 32;
inline constexpr size_t kDigestEntryOtherDaysOffset = 40;
inline constexpr size_t kDigestTotalDays[] = {30, 90};
inline constexpr size_t kDigestDayChecksOffset = 0;
inline constexpr size_t kDigestDayUpOffset = 4;
inline constexpr size_t kDigestDaySize = 8;

// The days the worker's digest covers: today and the 90 before it, enough
// for a 90-day bar and a 90-day window begun at any time of a day.
inline constexpr uint16_t kDigestDays = 91;
inline constexpr uint16_t kDigestMaxDays = 400;

// ./vydata/vydays/<name>.dat (REQUIRES: isValidGroupName(name)).
std::string historyDigestPath(std::string_view group);

// The key of a URL's text in the digest: FNV-1a (64 bits) over the text's
// size and then its 8-byte little-endian words, the last one padded with
// zeros; h is then folded once more as (h ^ h >> 29) * the FNV prime.
uint64_t digestUrlKey(std::string_view url);

struct DigestDay {
  uint32_t checks = 0;
  uint32_t upChecks = 0;
  bool operator==(const DigestDay&) const = default;
};

struct HistoryDigest {
  uint16_t firstDay = 0;  // days since 1970-01-01 of each entry's first day
  uint16_t dayCount = 0;
  std::vector<uint64_t> keys;   // ascending, distinct
  std::vector<DigestDay> days;  // keys.size() x dayCount: by key, then oldest day first
  // The days of the URL, oldest first; empty for one it does not hold.
  std::span<const DigestDay> daysOf(std::string_view url) const;
  bool operator==(const HistoryDigest&) const = default;
};

// The days of one URL in an encoded digest, read from its bytes.
class DigestDays {
 public:
  DigestDays() = default;
  DigestDays(const uint8_t* entryDays, size_t count) : at_(entryDays), count_(count) {}
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  DigestDay operator[](size_t day) const {
    const uint8_t* record = at_ + day * kDigestDaySize;
    return {le::getU32(record + kDigestDayChecksOffset), le::getU32(record + kDigestDayUpOffset)};
  }

 private:
  const uint8_t* at_ = nullptr;
  size_t count_ = 0;
};

// One URL's entry in an encoded digest, read from its bytes.
struct DigestEntry {
  DigestDays days;
  uint64_t last30Checks = 0, last30Up = 0;  // its last 30 days
  uint64_t last90Checks = 0, last90Up = 0;  // its last 90 days
  const uint8_t* otherDays = nullptr;       // the bit words of the days not all up
  bool empty() const { return days.empty(); }
  // Up to 64 bits of the days not all up, from day from on (bit 0 that day),
  // count of them at most; days past the entry's are 0.
  uint64_t otherBits(size_t from, size_t count) const;
};

// An encoded digest read in place: its header and keys checked once, each
// URL's days read from the bytes when asked. A page of ten thousand URLs
// reads a digest this way without copying its days. The bytes must outlive
// the view.
class DigestView {
 public:
  // False (the view empty) for bytes decodeHistoryDigest refuses.
  [[nodiscard]] bool open(std::string_view bytes);
  uint16_t firstDay() const { return firstDay_; }
  uint16_t dayCount() const { return dayCount_; }
  size_t urlCount() const { return keys_.size(); }
  uint64_t keyAt(size_t entry) const { return keys_[entry]; }
  DigestEntry entryAt(size_t entry) const;
  // The entry of the URL; empty for one the digest does not hold.
  DigestEntry entryOf(std::string_view url) const;

 private:
  const uint8_t* entries_ = nullptr;
  uint16_t firstDay_ = 0;
  uint16_t dayCount_ = 0;
  std::vector<uint64_t> keys_;
};

std::string encodeHistoryDigest(const HistoryDigest& digest);
// None for another magic or version, a day count out of range, keys out of
// order, or a size other than the header's counts make.
std::optional<HistoryDigest> decodeHistoryDigest(std::string_view bytes);

// The digest of the group's history of urls at now: dayCount days ending
// with now's. The codes of visitHistory (a missing history is kOk, with
// every count 0).
[[nodiscard]] StoreStatus foldHistoryDigest(const std::string& group,
                                            std::span<const std::string_view> urls, std::time_t now,
                                            uint16_t dayCount, HistoryDigest& out);

// Folds the group's history of its current urls and replaces the digest
// with it, creating the folder when missing. kOk; the codes of the fold;
// kCannotOpen; kLockRefused; kShortWrite (the old digest stays).
[[nodiscard]] StoreStatus writeHistoryDigest(const std::string& group,
                                             std::span<const std::string_view> urls,
                                             std::time_t now);

// The stored digest's bytes, whole and opened in view (bytes is kept by a
// reader of many, so that it needs no new memory for each). kOk; kNotFound
// (none yet); kRefusedName; kCannotRead; kDamaged.
[[nodiscard]] StoreStatus readHistoryDigest(const std::string& group, std::string& bytes,
                                            DigestView& view);
[[nodiscard]] StoreStatus readHistoryDigest(const std::string& group, HistoryDigest& out);

// Removes the digest: kOk also when there is none; kRefusedName;
// kLockRefused; kCannotRemove.
[[nodiscard]] StoreStatus removeHistoryDigest(const std::string& group);

}  // namespace vy

#endif  // VANTRY_STORE_HISTORY_DIGEST_H_
