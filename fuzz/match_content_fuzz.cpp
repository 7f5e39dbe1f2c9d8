// Fuzz target: the content pattern language. The input is a pattern, a NUL
// and the page (lower-cased, as a check hands it over; contents are stored as
// texts, so a pattern never holds a NUL). A pattern without brackets that
// does not begin with "~" (a command) is a plain substring test, whatever
// path the search takes.
#include <cstdint>
#include <string>

#include "common/text.h"
#include "fuzz/fuzz_support.h"
#include "runner/match_content.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [pattern, pageText] = vy::fuzz::cutAt(vy::fuzz::asText(data, size), '\0');
  const std::string page = vy::lowerCopy(pageText);
  const bool matched = vy::matchContent(page, pattern) == vy::ContentMatch::kMatched;
  if (pattern.find_first_of("[]") == std::string_view::npos && !pattern.starts_with('~')) {
    vy::fuzz::expect(matched == (page.find(pattern) != std::string::npos),
                     "a plain pattern is a substring test");
  }
  return 0;
}
