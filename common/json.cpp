// The JSON writer; see json.h.
#include "common/json.h"

#include <array>

namespace vy {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 character at text[at], 0 when the byte there
// starts none.
size_t utf8CharacterLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
  } else {
    return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if (!isContinuation(byte(i))) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF) return 0;
  if (value >= 0xD800 && value <= 0xDFFF) return 0;  // surrogates are no characters
  return length;
}

void appendEscapedControl(std::string& out, unsigned char c) {
  switch (c) {
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

// The bytes that go into a JSON string as they are: printable ASCII but for
// the quote, the backslash and "<". A table, as the status JSON tests every
// byte of ten thousand addresses.
constexpr std::array<bool, 256> plainJsonBytes() {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\' && c != '<';
  return plain;
}
constexpr std::array<bool, 256> kPlainJsonByte = plainJsonBytes();

bool isPlainJsonByte(unsigned char c) { return kPlainJsonByte[c]; }

}  // namespace

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8CharacterLength(text, at);
    if (length == 0) {
      out += kReplacement;
      ++at;
      continue;
    }
    out.append(text.substr(at, length));
    at += length;
  }
  return out;
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (isPlainJsonByte(c)) {  // a plain run is copied whole
      size_t end = at + 1;
      while (end < text.size() && isPlainJsonByte(static_cast<unsigned char>(text[end]))) ++end;
      out.append(text.substr(at, end - at));
      at = end;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else if (c < 0x20) {
      appendEscapedControl(out, c);
      ++at;
    } else if (c == '<') {
      out += "\\u003c";  // never markup, whoever puts the JSON into a page
      ++at;
    } else if (const size_t length = utf8CharacterLength(text, at); length == 0) {
      out += kReplacement;
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  out += '"';
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (hasItems_.empty()) return;
  if (hasItems_.back()) out_ += ',';
  hasItems_.back() = true;
}

JsonWriter& JsonWriter::open(char bracket) {
  beforeValue();
  out_ += bracket;
  hasItems_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  if (!hasItems_.empty()) hasItems_.pop_back();
  out_ += bracket;
  return *this;
}

JsonWriter& JsonWriter::beginObject() { return open('{'); }
JsonWriter& JsonWriter::endObject() { return close('}'); }
JsonWriter& JsonWriter::beginArray() { return open('['); }
JsonWriter& JsonWriter::endArray() { return close(']'); }

JsonWriter& JsonWriter::key(std::string_view name) {
  beforeValue();
  appendJsonString(out_, name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
  beforeValue();
  appendJsonString(out_, text);
  return *this;
}

JsonWriter& JsonWriter::number(int64_t value) {
  beforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
  beforeValue();
  out_ += value ? "true" : "false";
  return *this;
}

}  // namespace vy
