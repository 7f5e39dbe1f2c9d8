// The refusal windows and their state file; see refusals.h.
#include "common/refusals.h"

#include <unistd.h>

#include <cstring>
#include <limits>

#include "common/fd.h"
#include "common/files.h"
#include "common/le.h"

namespace vy {
namespace {

uint64_t fnv1a(uint64_t hash, std::string_view bytes) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

bool inWindow(const RefusalSlot& slot, std::time_t now) {
  return now >= static_cast<std::time_t>(slot.start) &&
         now - static_cast<std::time_t>(slot.start) < kRefusalWindowSeconds;
}

// The slot of key; else a free one; else the one whose window began first.
RefusalSlot& slotFor(RefusalTable& table, uint64_t key) {
  RefusalSlot* oldest = &table.slots[0];
  for (RefusalSlot& slot : table.slots) {
    if (slot.start != 0 && slot.key == key) return slot;
    if (slot.start < oldest->start) oldest = &slot;  // a free slot's start is 0, the least
  }
  *oldest = RefusalSlot{};
  return *oldest;
}

// The table as the file holds it; an empty one when the file holds no whole table.
RefusalTable readTable(int fd) {
  uint8_t bytes[kRefusalFileSize + 1];
  const ssize_t n = readFullyAt(fd, bytes, sizeof bytes, 0);
  if (n < 0) return RefusalTable{};
  return decodeRefusalTable(bytes, static_cast<size_t>(n)).value_or(RefusalTable{});
}

bool writeTable(int fd, const RefusalTable& table) {
  uint8_t bytes[kRefusalFileSize];
  encodeRefusalTable(table, bytes);
  return ::lseek(fd, 0, SEEK_SET) == 0 && writeFully(fd, bytes, sizeof bytes) &&
         ::ftruncate(fd, static_cast<off_t>(sizeof bytes)) == 0;
}

}  // namespace

void encodeRefusalTable(const RefusalTable& table, uint8_t* out) {
  std::memcpy(out + kRefusalMagicOffset, kRefusalMagic, kRefusalMagicSize);
  le::putU32(out + kRefusalSlotCountOffset, static_cast<uint32_t>(kRefusalSlots));
  for (size_t i = 0; i < kRefusalSlots; ++i) {
    uint8_t* slot = out + kRefusalHeaderSize + i * kRefusalSlotSize;
    le::putU64(slot + kRefusalSlotKeyOffset, table.slots[i].key);
    le::putU32(slot + kRefusalSlotStartOffset, table.slots[i].start);
    le::putU32(slot + kRefusalSlotCountFieldOffset, table.slots[i].count);
  }
}

std::optional<RefusalTable> decodeRefusalTable(const uint8_t* in, size_t size) {
  if (size < kRefusalHeaderSize) return std::nullopt;
  if (std::memcmp(in + kRefusalMagicOffset, kRefusalMagic, kRefusalMagicSize) != 0) {
    return std::nullopt;
  }
  const uint32_t slots = le::getU32(in + kRefusalSlotCountOffset);
  if (slots != kRefusalSlots || size - kRefusalHeaderSize != slots * kRefusalSlotSize) {
    return std::nullopt;
  }
  RefusalTable table;
  for (size_t i = 0; i < kRefusalSlots; ++i) {
    const uint8_t* slot = in + kRefusalHeaderSize + i * kRefusalSlotSize;
    table.slots[i].key = le::getU64(slot + kRefusalSlotKeyOffset);
    table.slots[i].start = le::getU32(slot + kRefusalSlotStartOffset);
    table.slots[i].count = le::getU32(slot + kRefusalSlotCountFieldOffset);
  }
  return table;
}

uint64_t refusalKey(std::string_view unit, int action, std::string_view detail) {
  uint8_t number[4];
  le::putI32(number, action);
  uint64_t hash = fnv1a(0xcbf29ce484222325ULL, unit);
  hash = fnv1a(hash, std::string_view("\0", 1));
  hash = fnv1a(hash, std::string_view(reinterpret_cast<const char*>(number), sizeof number));
  return fnv1a(hash, detail);
}

RefusalVerdict countRefusal(RefusalTable& table, uint64_t key, std::time_t now) {
  RefusalSlot& slot = slotFor(table, key);
  if (slot.start != 0 && inWindow(slot, now)) {
    if (slot.count < std::numeric_limits<uint32_t>::max()) ++slot.count;
    return {false, 0};
  }
  const RefusalVerdict verdict{true, slot.start != 0 ? slot.count : 0};
  // A clock before 1970 or past 2106 cannot be stored: its windows begin at second 1 and so
  // have always ended, and every such refusal is logged.
  const bool storable = now > 0 && now <= std::numeric_limits<uint32_t>::max();
  slot = RefusalSlot{key, storable ? static_cast<uint32_t>(now) : 1u, 0};
  return verdict;
}

RefusalVerdict admitRefusal(const char* path, uint64_t key, std::time_t now) {
  UniqueFd fd = openFd(path, O_RDWR | O_CREAT, kRefusalsFileMode);
  if (!fd || !lockFile(fd.get())) return {};
  RefusalTable table = readTable(fd.get());
  const RefusalVerdict verdict = countRefusal(table, key, now);
  // A count that cannot be kept must not hide the refusal.
  if (!writeTable(fd.get(), table)) return {};
  return verdict;
}

std::string refusalDetail(std::string_view detail, uint32_t leftOut) {
  std::string text(detail);
  if (leftOut == 0) return text;
  text += " (and ";
  text += std::to_string(leftOut);
  text += " more refused before)";
  return text;
}

}  // namespace vy
