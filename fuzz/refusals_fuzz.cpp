// Fuzz target: the refusal state file as any process may find it. A table the
// decoder takes is this layout exactly, so it encodes back to the same bytes,
// and counting a refusal in it (the first eight bytes as the key) keeps every
// slot's window in the past or at the refusal's time.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>

#include "common/le.h"
#include "common/refusals.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<vy::RefusalTable> table = vy::decodeRefusalTable(data, size);
  if (!table) return 0;
  uint8_t encoded[vy::kRefusalFileSize];
  vy::encodeRefusalTable(*table, encoded);
  vy::fuzz::expect(size == sizeof encoded && std::memcmp(encoded, data, size) == 0,
                   "a decoded table encodes to its bytes");
  const uint64_t key = static_cast<uint64_t>(vy::le::getU32(data + 8)) |
                       (static_cast<uint64_t>(vy::le::getU32(data + 12)) << 32);
  const std::time_t now = 1700000000;
  const vy::RefusalVerdict verdict = vy::countRefusal(*table, key, now);
  bool found = false;
  for (const vy::RefusalSlot& slot : table->slots) found = found || slot.key == key;
  vy::fuzz::expect(found, "the refusal has its slot");
  vy::fuzz::expect(verdict.log || verdict.leftOut == 0, "a counted refusal tells no count");
  return 0;
}
