// The check history of a group: ./vydata/vyhist/<group>.dat, every check of
// every URL of the last 48 hours and one summary per URL per day for 400
// days, from which the uptime ratios and mean response times are computed.
//
// Keys. A record names its URL by a 48-bit key, the first six bytes of the
// SHA-256 of the URL's text (historyUrlKey), so the appender needs no URL
// table: a record is written without reading anything but the file's header
// and last record. The history therefore follows a URL's text, whatever its
// place in the group; a renamed URL starts afresh. The file holds no URL
// texts: readers name the URLs they want (the group's current list) and get
// back each one's records. Two URLs of a group sharing a key is a chance of
// about N^2 / 2^49 (2e-7 for 10,000 URLs).
//
// File, little-endian, no padding: a header, `summary count` daily summaries,
// then check records to the end of the file.
//
//   header, 24 bytes
//   offset  size  field
//   0       4     magic "VYHI"
//   4       2     version, u16: 1
//   6       2     reserved, 0
//   8       4     summary count, u32
//   12      4     compacted at, u32: when the file was last written whole
//   16      8     compacted size, u64: the file's size when it was
//
//   daily summary, 28 bytes: one URL's checks of one day (UTC) folded
//   0       6     URL key, 48 bits
//   6       2     day, u16: days since 1970-01-01
//   8       4     checks, u32
//   12      4     up checks, u32
//   16      8     response-time sum, u64, milliseconds
//   24      4     response-time maximum, u32, milliseconds
//
//   check, 16 bytes
//   0       6     URL key, 48 bits
//   6       4     time, u32: when the check finished (seconds since 1970)
//   10      3     response time, 24 bits, milliseconds (16,777,215 at most)
//   13      2     status code, i16: HTTP status or the client's error code
//   15      1     bits 0-2 the state word (kState... bits), bits 3-7 a CRC-5
//                 over the other 15 bytes and the state (historyCheckBits)
//
// Writing. Every writer holds the file's exclusive flock, readers a shared
// one. A check is appended in place at the end of the last whole, valid
// record; a writer killed in the middle loses only its own record: the cut
// or damaged tail (bytes not making a whole record, records whose check
// value is wrong, as zeros left by a crash are) is skipped by readers and
// overwritten by the next append, which reports it once by its result.
// Compaction writes the file whole through replaceLockedFile: checks older
// than 48 hours become daily summaries, summaries older than 400 days go and
// so do the records of URLs that are not in the group's current list.
//
// Bound. At one check a minute a URL holds at most 2,880 checks (46,080
// bytes) and 400 summaries (11,200 bytes) after compaction. The append
// compacts first when the file would pass historyCompactLimit: 64 KiB per
// current URL, or, for checks more often than once a minute, the compacted
// size plus 8 KiB per URL, so the file never grows without limit and is
// rewritten at most once every 512 checks per URL.
#ifndef VANTRY_STORE_HISTORY_H_
#define VANTRY_STORE_HISTORY_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/group_config.h"
#include "store/store_code.h"

namespace vy {

inline constexpr const char* kHistoryDir = "./vydata/vyhist";

inline constexpr size_t kHistoryMagicOffset = 0;
inline constexpr size_t kHistoryMagicSize = 4;
inline constexpr const char* kHistoryMagic = "VYHI";
inline constexpr size_t kHistoryVersionOffset = 4;
inline constexpr uint16_t kHistoryVersion = 1;
inline constexpr size_t kHistoryReservedOffset = 6;
inline constexpr size_t kHistorySummaryCountOffset = 8;
inline constexpr size_t kHistoryCompactedAtOffset = 12;
inline constexpr size_t kHistoryCompactedSizeOffset = 16;
inline constexpr size_t kHistoryHeaderSize = 24;

inline constexpr size_t kHistoryKeySize = 6;
inline constexpr uint64_t kHistoryKeyMask = (uint64_t{1} << 48) - 1;

inline constexpr size_t kHistoryDayKeyOffset = 0;
inline constexpr size_t kHistoryDayDayOffset = 6;
inline constexpr size_t kHistoryDayChecksOffset = 8;
inline constexpr size_t kHistoryDayUpOffset = 12;
inline constexpr size_t kHistoryDaySumOffset = 16;
inline constexpr size_t kHistoryDayMaxOffset = 24;
inline constexpr size_t kHistoryDaySize = 28;

inline constexpr size_t kHistoryCheckKeyOffset = 0;
inline constexpr size_t kHistoryCheckTimeOffset = 6;
inline constexpr size_t kHistoryCheckMsOffset = 10;
inline constexpr size_t kHistoryCheckStatusOffset = 13;
inline constexpr size_t kHistoryCheckBitsOffset = 15;
inline constexpr size_t kHistoryCheckSize = 16;
inline constexpr uint32_t kHistoryMaxResponseMs = 0xFFFFFF;
inline constexpr uint8_t kHistoryStateMask = 0x07;

inline constexpr uint32_t kSecondsPerDay = 86400;
inline constexpr uint32_t kHistoryCheckKeepSeconds = 48 * 3600;
inline constexpr uint32_t kHistoryDayKeepDays = 400;
inline constexpr uint64_t kHistoryBytesPerUrl = 64 * 1024;
inline constexpr uint64_t kHistorySlackPerUrl = 8 * 1024;

// The uptime windows the worker and the console show, in days.
inline constexpr int kUptimeWindowDays[] = {1, 7, 30, 365};

// ./vydata/vyhist/<name>.dat (REQUIRES: isValidGroupName(name)).
std::string historyPath(std::string_view group);

// The 48-bit key of a URL's text.
uint64_t historyUrlKey(std::string_view url);

// --- Records ------------------------------------------------------------------

struct HistoryCheck {
  uint32_t time = 0;
  uint8_t state = 0;  // kState... bits
  int16_t statusCode = 0;
  uint32_t responseMs = 0;  // stored up to kHistoryMaxResponseMs
  bool up() const { return state & kStateUp; }
  bool operator==(const HistoryCheck&) const = default;
};

// The check a URL's status after its check stands for.
HistoryCheck historyCheckFor(const UrlStatus& status);

struct HistoryDay {
  uint16_t day = 0;  // days since 1970-01-01, UTC
  uint32_t checks = 0;
  uint32_t upChecks = 0;
  uint64_t responseMsSum = 0;
  uint32_t responseMsMax = 0;
  bool operator==(const HistoryDay&) const = default;
};

struct KeyedCheck {
  uint64_t key = 0;
  HistoryCheck check;
};

struct KeyedDay {
  uint64_t key = 0;
  HistoryDay day;
};

struct HistoryHeader {
  uint32_t summaryCount = 0;
  uint32_t compactedAt = 0;
  uint64_t compactedSize = 0;
};

// The bits 3-7 of a check's last byte: a CRC-5 over its first 15 bytes and
// its state, so that any one changed bit makes the record damaged.
uint8_t historyCheckBits(const uint8_t* record, uint8_t state);

// REQUIRES: out has the record's size.
void encodeHistoryHeader(const HistoryHeader& header, uint8_t* out);
void encodeHistoryDay(const KeyedDay& day, uint8_t* out);
void encodeHistoryCheck(const KeyedCheck& check, uint8_t* out);

// None for a header of another magic or version.
std::optional<HistoryHeader> decodeHistoryHeader(const uint8_t* in);
KeyedDay decodeHistoryDay(const uint8_t* in);
// None for a damaged record: a wrong check value or a time of 0.
std::optional<KeyedCheck> decodeHistoryCheck(const uint8_t* in);

// A whole file decoded: its valid records in file order, how many check
// records were damaged and how many bytes at the end make no whole record.
struct HistoryImage {
  HistoryHeader header;
  std::vector<KeyedDay> days;
  std::vector<KeyedCheck> checks;
  size_t damagedChecks = 0;
  size_t cutBytes = 0;
};

// None when the header is unreadable or its summaries do not fit the bytes.
std::optional<HistoryImage> decodeHistoryImage(std::string_view bytes);

// The bytes of a compacted file holding these records in this order.
std::string encodeHistoryImage(const std::vector<KeyedDay>& days,
                               const std::vector<KeyedCheck>& checks, std::time_t now);

// The records compaction keeps of a decoded file at `now`: checks of the
// last 48 hours, older ones folded into their day's summary, days of the
// last 400 only, and only of the keys given. Summaries are ordered by key
// then day; checks keep their order.
void compactHistoryRecords(HistoryImage& image, const std::vector<uint64_t>& keys, std::time_t now);

// The size past which an append compacts a file of urlCount current URLs
// (at least one) last compacted to compactedSize bytes.
uint64_t historyCompactLimit(size_t urlCount, uint64_t compactedSize);

// --- Operations ------------------------------------------------------------------

// What a write did. status is the write's own result. damage is kOk, or
// kDamaged with the path when the write found a cut or damaged tail (or an
// unreadable header) and dropped it: the caller reports that once.
struct [[nodiscard]] HistoryWrite {
  StoreStatus status;
  StoreStatus damage;
  bool compacted = false;
};

// Appends one check of url to the group's history, creating the directory
// and the file when missing. groupUrls are the group's current URLs: their
// count sets the size bound, and a compaction the append makes keeps their
// records (and url's). kOk; kRefusedNameToStore; kCannotOpen; kLockRefused;
// kShortWrite (the file is as it was, a cut record at worst).
HistoryWrite appendHistory(const std::string& group, std::span<const std::string_view> groupUrls,
                           std::string_view url, const HistoryCheck& check, std::time_t now);

// Appends checks, in their order, as appendHistory appends one: one open,
// one lock and one write for all of them. No records is kOk, nothing done.
HistoryWrite appendHistoryChecks(const std::string& group,
                                 std::span<const std::string_view> groupUrls,
                                 std::span<const KeyedCheck> records, std::time_t now);

// Compacts the group's history now, keeping only the records of groupUrls.
// A missing file is kOk and stays missing.
HistoryWrite compactHistory(const std::string& group, std::span<const std::string_view> groupUrls,
                            std::time_t now);

// One URL's kept checks (oldest first) and daily summaries (oldest first).
struct UrlHistory {
  std::string url;
  std::vector<HistoryCheck> checks;
  std::vector<HistoryDay> days;
};

// The history of each of urls, in their order (a URL given twice gets its
// records twice). A missing file is kOk with empty histories. kRefusedName;
// kCannotRead; kLockRefused; kDamaged the header is unreadable (histories
// empty). Damaged records are left out.
[[nodiscard]] StoreStatus readHistory(const std::string& group,
                                      std::span<const std::string_view> urls,
                                      std::vector<UrlHistory>& out);

// Receives the records of the URLs a reader named in the order the file
// holds them (neither sorted nor grouped by URL); url is the URL's index in
// the reader's list.
class HistoryVisitor {
 public:
  virtual ~HistoryVisitor() = default;
  virtual void onDay(size_t url, const HistoryDay& day) = 0;
  virtual void onCheck(size_t url, const HistoryCheck& check) = 0;
};

// Hands each record of urls to the visitor, reading the file in pieces of
// bounded size: a reader that folds the records as they come needs no
// memory for the file, whatever its size. The codes of readHistory; on
// kDamaged the visitor received nothing.
[[nodiscard]] StoreStatus visitHistory(const std::string& group,
                                       std::span<const std::string_view> urls,
                                       HistoryVisitor& visitor);

// Removes the group's history file: kOk also when there is none;
// kRefusedName; kLockRefused; kCannotRemove.
[[nodiscard]] StoreStatus removeHistory(const std::string& group);

// --- Uptime -------------------------------------------------------------------

struct UptimeCount {
  uint64_t upChecks = 0;
  uint64_t checks = 0;
  // up checks / checks; none for a window without a check.
  std::optional<double> ratio() const;
};

// The checks of the last `days` x 24 hours before now: the kept checks from
// then on and the summaries of the days that begin then or later.
UptimeCount uptimeOver(const UrlHistory& history, int days, std::time_t now);

// The same window, fed one record at a time.
class UptimeWindow {
 public:
  UptimeWindow(int days, std::time_t now)
      : start_(static_cast<int64_t>(now) - int64_t{days} * kSecondsPerDay) {}
  void add(UptimeCount& count, const HistoryCheck& check) const;
  void add(UptimeCount& count, const HistoryDay& day) const;

 private:
  int64_t start_;
};

// The uptime as a percentage with two decimals, "99.93 %"; "-" for a window
// without a check. Rounded to the nearest, except that a window with a
// failed check never shows "100.00 %" and one with an up check never
// "0.00 %".
std::string uptimePercentText(const UptimeCount& count);
// The same number without " %" ("99.93"), appended to out; nothing for a
// window without a check.
void appendUptimeNumber(std::string& out, const UptimeCount& count);
// That number in hundredths of a percent (9993). REQUIRES: count.checks > 0.
uint64_t uptimeHundredths(const UptimeCount& count);

// The mean response time of the kept checks of the last 24 hours, rounded;
// none when there is no check.
std::optional<uint32_t> meanResponseMsOfLastDay(const UrlHistory& history, std::time_t now);

}  // namespace vy

#endif  // VANTRY_STORE_HISTORY_H_
