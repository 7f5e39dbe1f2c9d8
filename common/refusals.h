// How often a refusal reaches the error log.
//
// Anyone who can reach the programs can make them refuse (a wrong password, a
// name no group may have), and every refusal used to add a line to the error
// log. Now a refusal repeated with the same unit, action and detail is logged
// at most once a window (a minute): the first one is logged as given, the
// others of the window are counted, and the first refusal of a later window
// is logged with the count of those left out before it.
//
// The windows live in a small record file that every process which refuses
// reads and writes under an exclusive flock, so two processes refusing at once
// never both log within one window nor lose a count. When the file cannot be
// used (no data directory, no permission), every refusal is logged.
//
// ./vydata/vytime/refusals, 8 + 32 x 16 = 520 bytes, little-endian:
//   offset size field
//      0     4  magic  "VYRF"
//      4     4  slots  u32, the number of slots that follow (kRefusalSlots)
//      8    16  slot 0; slot i at 8 + 16 x i:
//                 +0   8  key    u64, refusalKey of the unit, action and detail
//                 +8   4  start  u32, when the slot's window began (seconds
//                                since 1970); 0: the slot is free
//                +12   4  count  u32, the refusals of the window left out of
//                                the log
// A file of another size, magic or slot count is taken as an empty table and
// written anew.
#ifndef VANTRY_COMMON_REFUSALS_H_
#define VANTRY_COMMON_REFUSALS_H_

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace vy {

inline constexpr const char* kRefusalsPath = "./vydata/vytime/refusals";
inline constexpr uint32_t kRefusalWindowSeconds = 60;

inline constexpr size_t kRefusalSlots = 32;
inline constexpr size_t kRefusalMagicOffset = 0;
inline constexpr size_t kRefusalMagicSize = 4;
inline constexpr const char* kRefusalMagic = "VYRF";
inline constexpr size_t kRefusalSlotCountOffset = 4;
inline constexpr size_t kRefusalHeaderSize = 8;
inline constexpr size_t kRefusalSlotSize = 16;
inline constexpr size_t kRefusalSlotKeyOffset = 0;
inline constexpr size_t kRefusalSlotStartOffset = 8;
inline constexpr size_t kRefusalSlotCountFieldOffset = 12;
inline constexpr size_t kRefusalFileSize = kRefusalHeaderSize + kRefusalSlots * kRefusalSlotSize;

// The mode of the state file the programs create (the umask may narrow it).
inline constexpr mode_t kRefusalsFileMode = 0660;

struct RefusalSlot {
  uint64_t key = 0;
  uint32_t start = 0;  // 0: free
  uint32_t count = 0;
  bool operator==(const RefusalSlot&) const = default;
};

struct RefusalTable {
  std::array<RefusalSlot, kRefusalSlots> slots{};
  bool operator==(const RefusalTable&) const = default;
};

// REQUIRES: out points at kRefusalFileSize bytes.
void encodeRefusalTable(const RefusalTable& table, uint8_t* out);
// None when the bytes are not a whole table of this layout.
[[nodiscard]] std::optional<RefusalTable> decodeRefusalTable(const uint8_t* in, size_t size);

// A 64-bit hash (FNV-1a) of the unit, the action number and the detail.
[[nodiscard]] uint64_t refusalKey(std::string_view unit, int action, std::string_view detail);

// Whether a refusal is logged, and how many of its kind were left out before.
struct RefusalVerdict {
  bool log = true;
  uint32_t leftOut = 0;
  bool operator==(const RefusalVerdict&) const = default;
};

// Counts a refusal with the key at time now in the table: the first of a
// window is logged (with the count of the window before), the others are
// counted. A table with no free slot gives up the one whose window began
// first. A clock set back behind a window's start begins a new window.
[[nodiscard]] RefusalVerdict countRefusal(RefusalTable& table, uint64_t key, std::time_t now);

// countRefusal on the state file at path, under its exclusive flock; the file
// is created when missing. When the file cannot be opened, locked or written,
// the refusal is logged (with no count).
[[nodiscard]] RefusalVerdict admitRefusal(const char* path, uint64_t key, std::time_t now);

// The detail of a logged refusal: as given, or with the count left out before
// it appended ("Invalid Admin Password (and 41 more refused before)").
std::string refusalDetail(std::string_view detail, uint32_t leftOut);

}  // namespace vy

#endif  // VANTRY_COMMON_REFUSALS_H_
