// Text helpers; see text.h.
#include "common/text.h"

#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vy {

void appendDecimal(std::string& out, uint64_t value) {
  char digits[20];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end.ptr);
}

std::string formatAlloc(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(length < 0 ? 0 : static_cast<size_t>(length), '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

void toLowerAscii(std::string& text) { toLowerAscii(text.data(), text.size()); }

void toLowerAscii(char* bytes, size_t size) {
  // Eight bytes at a time (a page can be megabytes): a byte below 0x80 gets
  // its top bit set by adding 0x3f when it is 'A' or above, and by adding
  // 0x25 when it is above 'Z'; the bytes with the first and not the second
  // are the capitals, which get 0x20 added.
  constexpr uint64_t kHigh = 0x8080808080808080u, kLow7 = 0x7f7f7f7f7f7f7f7fu;
  constexpr uint64_t kToA = 0x3f3f3f3f3f3f3f3fu, kPastZ = 0x2525252525252525u;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    const uint64_t low7 = word & kLow7;
    const uint64_t capitals = (low7 + kToA) & ~(low7 + kPastZ) & ~word & kHigh;
    word |= capitals >> 2;
    std::memcpy(bytes + i, &word, 8);
  }
  for (; i < size; ++i) {
    if (bytes[i] >= 'A' && bytes[i] <= 'Z') bytes[i] = static_cast<char>(bytes[i] - 'A' + 'a');
  }
}

std::string lowerCopy(std::string_view text) {
  std::string copy(text);
  toLowerAscii(copy);
  return copy;
}

std::string randomText(size_t n) {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string text(n, '\0');
  for (char& c : text) c = kAlphabet[std::rand() % 62];
  return text;
}

std::string envText(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::vector<std::string> splitWords(std::string_view text, std::string_view separators) {
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && separators.find(text[i]) == std::string_view::npos) continue;
    if (i > start) words.emplace_back(text.substr(start, i - start));
    start = i + 1;
  }
  return words;
}

long parseLongAtoi(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (value > (LONG_MAX - digit) / 10) return negative ? LONG_MIN : LONG_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

int parseIntAtoi(std::string_view text) {
  long value = parseLongAtoi(text);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string secondsText(uint32_t milliseconds) {
  if (milliseconds % 10 == 5) {
    return formatAlloc("%0.2f", static_cast<double>(milliseconds) * 0.001);
  }
  const uint32_t hundredths = milliseconds / 10 + (milliseconds % 10 > 5 ? 1 : 0);
  std::string text = std::to_string(hundredths / 100);
  text += '.';
  text += static_cast<char>('0' + hundredths / 10 % 10);
  text += static_cast<char>('0' + hundredths % 10);
  return text;
}

const char* htmlEntity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    default:
      return nullptr;
  }
}

}  // namespace vy
