// Text helpers shared by both programs: printf-style formatting into an owned
// text, ASCII lower-casing, random text, environment values and number parsing
// with the C library's atoi rules (leading blanks, an optional sign, the
// leading digits, 0 when there are none) but without its undefined behaviour on
// overflow.
//
// Owned texts are std::string: an append grows the text and the holder
// releases it, which is all the system needs of a heap text.
#ifndef VANTRY_COMMON_TEXT_H_
#define VANTRY_COMMON_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vy {

// printf into a new text of exactly the formatted length; the empty text when
// the format cannot be measured.
std::string formatAlloc(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The decimal digits of value appended to out, without a format call: pages
// of many thousand figures write them this way.
void appendDecimal(std::string& out, uint64_t value);

// A time in milliseconds as seconds with two decimals: the text of "%0.2f"
// of milliseconds * 0.001, made without a format call for all but the
// values that fall halfway, whose rounding depends on the binary value.
std::string secondsText(uint32_t milliseconds);

// A-Z to a-z in place; every other byte untouched.
void toLowerAscii(std::string& text);
void toLowerAscii(char* text, size_t size);
std::string lowerCopy(std::string_view text);

// The value of an environment variable; the empty text when it is unset.
std::string envText(const char* name);

// n characters drawn with rand() from [a-zA-Z0-9]; the generator is not seeded here.
std::string randomText(size_t n);

// atoi/atol of the C library: leading white space, an optional sign, then
// decimal digits up to the first other byte; 0 without digits. Values that do
// not fit saturate instead of being undefined.
long parseLongAtoi(std::string_view text);
int parseIntAtoi(std::string_view text);

// The pieces of a text between any of the separator bytes, empty pieces
// dropped; no quoting.
std::vector<std::string> splitWords(std::string_view text, std::string_view separators);

// The HTML entity of '&', '<', '>', '"' or '\'', none for any other byte.
// Allocates nothing: the fatal-signal handler escapes with it too.
const char* htmlEntity(char c);

// True when text begins with prefix.
inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace vy

#endif  // VANTRY_COMMON_TEXT_H_
