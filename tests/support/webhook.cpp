// Reading fake webhook requests; see webhook.h.
#include "tests/support/webhook.h"

#include <cctype>
#include <cstdlib>

#include "common/json.h"

namespace vy::test {
namespace {

void appendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) return void(out += static_cast<char>(code));
  const int more = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;  // continuation bytes
  out += static_cast<char>(((0xFF00 >> (more + 1)) & 0xFF) | (code >> (6 * more)));
  for (int i = more - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    std::optional<JsonValue> value = parseValue(0);
    skipBlanks();
    if (at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void skipBlanks() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool take(char c) {
    skipBlanks();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  bool takeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  std::optional<JsonValue> parseValue(int depth) {
    if (depth > 64) return std::nullopt;
    skipBlanks();
    if (at_ >= text_.size()) return std::nullopt;
    JsonValue value;
    const char c = text_[at_];
    if (c == '{') return parseObject(depth);
    if (c == '[') return parseArray(depth);
    if (c == '"') {
      std::optional<std::string> text = parseString();
      if (!text) return std::nullopt;
      value.kind = JsonValue::Kind::kString;
      value.text = *text;
      return value;
    }
    if (takeWord("true") || takeWord("false")) {
      value.kind = JsonValue::Kind::kBool;
      value.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
      return value;
    }
    if (takeWord("null")) return value;
    const std::string rest(text_.substr(at_, 40));
    char* end = nullptr;
    value.number = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) return std::nullopt;
    at_ += static_cast<size_t>(end - rest.c_str());
    value.kind = JsonValue::Kind::kNumber;
    return value;
  }

  std::optional<JsonValue> parseObject(int depth) {
    JsonValue value;
    value.kind = JsonValue::Kind::kObject;
    ++at_;
    if (take('}')) return value;
    do {
      skipBlanks();
      std::optional<std::string> name = parseString();
      if (!name || !take(':')) return std::nullopt;
      std::optional<JsonValue> field = parseValue(depth + 1);
      if (!field) return std::nullopt;
      value.fields[*name] = *field;
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return value;
  }

  std::optional<JsonValue> parseArray(int depth) {
    JsonValue value;
    value.kind = JsonValue::Kind::kArray;
    ++at_;
    if (take(']')) return value;
    do {
      std::optional<JsonValue> item = parseValue(depth + 1);
      if (!item) return std::nullopt;
      value.items.push_back(*item);
    } while (take(','));
    if (!take(']')) return std::nullopt;
    return value;
  }

  std::optional<unsigned> hex4() {
    if (text_.size() - at_ < 4) return std::nullopt;
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      code =
          code * 16 + static_cast<unsigned>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    return code;
  }

  std::optional<unsigned> escapedCode() {
    std::optional<unsigned> code = hex4();
    if (!code || (*code >= 0xDC00 && *code <= 0xDFFF)) return std::nullopt;
    if (*code < 0xD800 || *code > 0xDBFF) return code;
    if (!takeWord("\\u")) return std::nullopt;
    std::optional<unsigned> low = hex4();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
    return 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
  }

  std::optional<std::string> parseString() {
    if (at_ >= text_.size() || text_[at_] != '"') return std::nullopt;
    ++at_;
    std::string out;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return validUtf8(out) == out ? std::optional(out) : std::nullopt;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char e = text_[at_++];
      const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (const size_t i = simple.find(e); i != std::string_view::npos) {
        out += meaning[i];
      } else if (e == 'u') {
        std::optional<unsigned> code = escapedCode();
        if (!code) return std::nullopt;
        appendUtf8(out, *code);
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const {
  static const JsonValue none;
  auto found = fields.find(name);
  return found == fields.end() ? none : found->second;
}

const JsonValue& JsonValue::operator[](size_t index) const {
  static const JsonValue none;
  return index < items.size() ? items[index] : none;
}

std::optional<JsonValue> parseJson(std::string_view text) { return Reader(text).document(); }

ReceivedRequest parseReceivedRequest(const std::string& bytes) {
  ReceivedRequest request;
  const size_t headEnd = bytes.find("\r\n\r\n");
  const std::string head = bytes.substr(0, headEnd);
  request.body = headEnd == std::string::npos ? "" : bytes.substr(headEnd + 4);
  size_t at = head.find("\r\n");
  request.line = head.substr(0, at);
  while (at != std::string::npos) {
    const size_t start = at + 2;
    at = head.find("\r\n", start);
    const std::string line = head.substr(start, at == std::string::npos ? at : at - start);
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t value = colon + 1;
    while (value < line.size() && line[value] == ' ') ++value;
    request.headers[name] = line.substr(value);
  }
  return request;
}

}  // namespace vy::test
