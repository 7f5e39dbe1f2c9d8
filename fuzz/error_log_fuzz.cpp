// Fuzz target: the console's error table. The input is an error log file,
// read line by line as the page reads it, each line whole whatever its
// length; every line is taken into its fields and shown as a row.
#include <cstdint>
#include <string>
#include <string_view>

#include "console/page_parts.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string log(vy::fuzz::asText(data, size));
  vy::ErrorLine fields;
  for (size_t start = 0; start < log.size();) {
    const size_t end = log.find('\n', start);
    const size_t next = end == std::string::npos ? log.size() : end + 1;
    vy::parseErrorLine(std::string_view(log).substr(start, next - start), fields);
    const std::string row = vy::errorRow(fields);
    vy::fuzz::expect(row.find('<') == std::string::npos, "a row holds no markup");
    vy::fuzz::expect(fields.detail.size() + fields.source.size() <= next - start,
                     "the texts are parts of their line");
    start = next;
  }
  return 0;
}
