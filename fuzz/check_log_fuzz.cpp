// Fuzz target: the check log reader, which the console runs over a log file
// as it finds it. Every record it takes encodes back to bytes it reads the
// same way.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "store/check_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<vy::CheckLogEntry> entries = vy::parseCheckLog(vy::fuzz::asText(data, size));
  std::string encoded;
  for (const vy::CheckLogEntry& entry : entries) encoded += vy::encodeCheckLogEntry(entry);
  const std::vector<vy::CheckLogEntry> again = vy::parseCheckLog(encoded);
  vy::fuzz::expect(again.size() == entries.size(), "every record reads back");
  for (size_t i = 0; i < entries.size(); ++i) {
    vy::fuzz::expect(again[i].time == entries[i].time && again[i].status == entries[i].status &&
                         again[i].url == entries[i].url,
                     "a record reads back unchanged");
  }
  return 0;
}
