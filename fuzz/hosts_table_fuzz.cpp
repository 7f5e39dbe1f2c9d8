// Fuzz target: the host table, ./hosts.dat, as an administrator may write
// it. One entry per line, names in lower case.
#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "net/socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = vy::fuzz::asText(data, size);
  const std::vector<vy::HostEntry> entries = vy::parseHostTable(text);
  const size_t lines =
      text.empty() ? 0 : static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  vy::fuzz::expect(entries.size() == lines, "one entry per line");
  for (const vy::HostEntry& entry : entries) {
    vy::fuzz::expect(std::none_of(entry.name.begin(), entry.name.end(),
                                  [](char c) { return c >= 'A' && c <= 'Z'; }),
                     "names are lower case");
  }
  return 0;
}
