// Fuzz target: the console's error table. The input is an error log file,
// read in pieces as the page reads it; every piece is taken into its fields
// and shown as a row.
#include <cstdint>
#include <cstdio>
#include <string>

#include "console/page_parts.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string log(vy::fuzz::asText(data, size));
  std::FILE* in = ::fmemopen(log.data(), log.size(), "r");
  if (!in) return 0;
  vy::ErrorLine fields;
  char piece[255];
  while (std::fgets(piece, sizeof piece, in)) {
    vy::parseErrorLine(piece, fields);
    vy::fuzz::expect(vy::errorRow(fields).find('<') == std::string::npos, "a row holds no markup");
  }
  std::fclose(in);
  return 0;
}
