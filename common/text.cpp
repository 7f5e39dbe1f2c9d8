// Text helpers; see text.h.
#include "common/text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vy {

std::string formatAlloc(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  return text;
}

std::string intToText(int value) { return std::to_string(value); }

std::string copyPrefix(std::string_view text, size_t n) { return std::string(text.substr(0, n)); }

void toLowerAscii(char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
  }
}

void toLowerAscii(std::string& text) { toLowerAscii(text.data(), text.size()); }

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

}  // namespace vy
