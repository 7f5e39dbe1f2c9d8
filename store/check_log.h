// The check log of a group: ./vydata/vychklog/<group>.log, an append-only
// sequence of records, one for every check whose outcome differed from the
// previous one. The worker appends, the console reads the file whole.
//
// Record, little-endian, no header, no padding between records:
//
//   offset  size  field
//   0       4     time, u32: when the check finished (the URL's new lastCheck)
//   4       2     status, i16: the new resultCode
//   6       1     flags, u8: bit 0 up, bit 1 banFound, bit 2 presOk
//   7       1     reserved, 0
//   8       n+1   the URL as configured, NUL-terminated
//
// Each record is written with one write(2) on a descriptor opened with
// O_APPEND, so records of different processes never interleave.
#ifndef VANTRY_STORE_CHECK_LOG_H_
#define VANTRY_STORE_CHECK_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/group_config.h"
#include "store/store_code.h"

namespace vy {

inline constexpr size_t kCheckLogHeadSize = 8;
inline constexpr size_t kCheckLogTimeOffset = 0;
inline constexpr size_t kCheckLogStatusOffset = 4;
inline constexpr size_t kCheckLogFlagsOffset = 6;
inline constexpr size_t kCheckLogReservedOffset = 7;

struct CheckLogEntry {
  uint32_t time = 0;
  int16_t status = 0;
  uint8_t flags = 0;  // the state word: kState... bits
  std::string url;

  bool up() const { return flags & kStateUp; }
  bool banFound() const { return flags & kStateBanFound; }
  bool presOk() const { return flags & kStatePresOk; }
};

// The record of a URL's state after its check.
CheckLogEntry checkLogEntryFor(const UrlStatus& status);

// The bytes of one record (the URL is cut at a NUL).
std::string encodeCheckLogEntry(const CheckLogEntry& entry);

// Every whole record of a log image, in order; a record cut short at the end
// of the image (a head shorter than 8 bytes or a URL without its NUL) ends it.
std::vector<CheckLogEntry> parseCheckLog(std::string_view bytes);

// Appends the record of a URL's state to the log of a group. kOk;
// kCannotAppend the file cannot be opened for appending (also for a name that
// is not a valid group name); kShortWrite the write stored less.
[[nodiscard]] StoreStatus appendCheckLog(const std::string& groupName, const UrlStatus& entry);

// Reads the log of a group: kOk; kRefusedName; kCannotRead no such log;
// kDamaged a read error. A cut-short last record is left out.
[[nodiscard]] StoreStatus readCheckLog(const std::string& groupName,
                                       std::vector<CheckLogEntry>& entries);

}  // namespace vy

#endif  // VANTRY_STORE_CHECK_LOG_H_
