// A small JSON writer for the bodies the worker posts to chat and push
// services: objects, arrays, strings, integers and booleans, written straight
// into one text.
//
// Strings are escaped so that any byte sequence gives valid JSON: the quote,
// the backslash and every control character are escaped (the short forms
// \b \f \n \r \t where JSON has them, \u00XX otherwise), valid UTF-8 passes
// through as it is, and each byte that starts no valid UTF-8 character
// becomes U+FFFD. A URL or a page title can hold anything; the receiver must
// still get one well-formed document.
#ifndef VANTRY_COMMON_JSON_H_
#define VANTRY_COMMON_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vy {

// Appends text as a JSON string, quotes included: invalid UTF-8 becomes
// U+FFFD, and "<" is escaped so the JSON never holds markup.
void appendJsonString(std::string& out, std::string_view text);

// text with every byte that starts no valid UTF-8 character replaced by
// U+FFFD (overlong forms, surrogates and values above U+10FFFF included).
std::string validUtf8(std::string_view text);

// Writes one JSON value. The caller nests the calls as the document nests:
// inside an object every value follows a key(). Separators are the writer's
// business. Thread-compatible.
class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  JsonWriter& key(std::string_view name);
  JsonWriter& string(std::string_view text);
  JsonWriter& number(int64_t value);
  JsonWriter& boolean(bool value);

  // key(name) followed by the value.
  JsonWriter& field(std::string_view name, std::string_view text) { return key(name).string(text); }
  JsonWriter& field(std::string_view name, const char* text) { return key(name).string(text); }
  JsonWriter& field(std::string_view name, int64_t value) { return key(name).number(value); }
  JsonWriter& field(std::string_view name, int value) { return key(name).number(value); }
  JsonWriter& field(std::string_view name, bool value) { return key(name).boolean(value); }

  // The document so far; complete once every begin has its end.
  const std::string& text() const { return out_; }

 private:
  // A comma before every value of a container but its first; none right
  // after a key.
  void beforeValue();
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);

  std::string out_;
  std::vector<bool> hasItems_;  // one per open container
  bool afterKey_ = false;
};

}  // namespace vy

#endif  // VANTRY_COMMON_JSON_H_
