// Reading what a fake webhook received: the request taken apart (line, headers, body) and a
// strict JSON reader for its body, so that tests compare what a service would see field by field.
#ifndef VANTRY_TESTS_SUPPORT_WEBHOOK_H_
#define VANTRY_TESTS_SUPPORT_WEBHOOK_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vy::test {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's characters as UTF-8
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> fields;

  // A field or item; a null value when there is none.
  const JsonValue& operator[](const std::string& name) const;
  const JsonValue& operator[](size_t index) const;
  bool has(const std::string& name) const { return fields.count(name) != 0; }
};

// The document, none when it is not exactly one valid JSON value (raw controls in strings,
// bytes that are no UTF-8, lone surrogates and trailing bytes are all invalid).
std::optional<JsonValue> parseJson(std::string_view text);

struct ReceivedRequest {
  std::string line;                            // "POST /path HTTP/1.1"
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};
ReceivedRequest parseReceivedRequest(const std::string& bytes);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_WEBHOOK_H_
