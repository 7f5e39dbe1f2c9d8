// The CGI request, form variables and encodings; see cgi.h.
#include "common/cgi.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "common/files.h"
#include "common/text.h"

namespace vy {
namespace {

const std::string& emptyText() {
  static const std::string kEmpty;
  return kEmpty;
}

// A body is read in pieces of this size, so that one with too many variables
// is refused before the rest of it is read.
constexpr size_t kBodyPiece = size_t{64} << 10;

// The announced body length; none when it passes the limit.
std::optional<size_t> announcedLength() {
  const long length = parseLongAtoi(envText("CONTENT_LENGTH"));
  if (length < 0) return 0;
  if (static_cast<unsigned long>(length) > kMaxRequestBytes) return std::nullopt;
  return static_cast<size_t>(length);
}

// The number of pairs a request text up to its first NUL splits into.
size_t pairCount(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  return static_cast<size_t>(std::count(text.begin(), text.end(), '&')) + 1;
}

// Reads at most length bytes of standard input (fewer when it ends early),
// piece by piece; none as soon as it holds more than kMaxFormVars pairs.
std::optional<std::string> readBody(size_t length) {
  std::string body;
  size_t separators = 0;
  while (body.size() < length) {
    const size_t start = body.size();
    body.resize(std::min(length, start + kBodyPiece));
    const ssize_t got = readFully(STDIN_FILENO, body.data() + start, body.size() - start);
    body.resize(start + (got > 0 ? static_cast<size_t>(got) : 0));
    separators += static_cast<size_t>(std::count(body.begin() + static_cast<long>(start),
                                                 body.end(), '&'));
    if (separators >= kMaxFormVars) return std::nullopt;
    if (got <= 0 || body.size() < start + kBodyPiece) break;
  }
  return body;
}

// A hex digit as the decoder has always taken it, without validation: above
// '@' the upper-case code minus 55, else the code minus 48.
int hexValue(unsigned char c) {
  if (c > '@') return (c >= 'a' && c <= 'z' ? c - 32 : c) - 55;
  return c - 48;
}

bool isSafeChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

}  // namespace

bool hasWebClient() { return std::getenv("HTTP_HOST") || std::getenv("REMOTE_ADDR"); }

bool isCgiRequest() {
  return hasWebClient() || std::getenv("GATEWAY_INTERFACE") || std::getenv("REQUEST_METHOD");
}

CgiEnvironment readCgiEnvironment(const EnvLookup& lookup) {
  CgiEnvironment cgi;
  cgi.method = lookup("REQUEST_METHOD");
  cgi.queryString = lookup("QUERY_STRING");
  cgi.scriptName = lookup("SCRIPT_NAME");
  cgi.scriptFilename = lookup("SCRIPT_FILENAME");
  cgi.requestUri = lookup("REQUEST_URI");
  cgi.remoteUser = lookup("REMOTE_USER");
  cgi.remoteAddr = lookup("REMOTE_ADDR");
  cgi.httpHost = lookup("HTTP_HOST");
  cgi.origin = lookup("HTTP_ORIGIN");
  cgi.referer = lookup("HTTP_REFERER");
  cgi.https = lookup("HTTPS");
  cgi.requestScheme = lookup("REQUEST_SCHEME");
  return cgi;
}

RequestRead readRequest(Form& form, std::string* received) {
  form = Form();
  std::optional<std::string> text;
  if (envText("REQUEST_METHOD") == "POST") {
    if (std::optional<size_t> length = announcedLength()) text = readBody(*length);
  } else {
    text = envText("QUERY_STRING");
    if (text->size() > kMaxRequestBytes) text.reset();
  }
  if (!text) return RequestRead::kTooLarge;
  if (received) *received = *text;
  return parseForm(*text, form);
}

RequestRead parseForm(std::string_view requestText, Form& form) {
  std::string_view rest = requestText.substr(0, requestText.find('\0'));
  form = Form();
  if (pairCount(rest) > kMaxFormVars) return RequestRead::kTooLarge;
  std::vector<FormVar> vars;
  vars.reserve(pairCount(rest));
  for (;;) {
    size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    size_t eq = pair.find('=');
    FormVar var;
    var.name = std::string(pair.substr(0, eq));
    if (eq != std::string_view::npos) var.value = std::string(pair.substr(eq + 1));
    urlDecode(var.name);
    urlDecode(var.value);
    vars.push_back(std::move(var));
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  form = Form(std::move(vars));
  return RequestRead::kOk;
}

std::optional<std::string_view> Form::find(std::string_view name) const {
  for (const FormVar& var : vars_) {
    if (var.name == name) return std::string_view(var.value);
  }
  return std::nullopt;
}

const std::string& Form::value(std::string_view name) const {
  for (const FormVar& var : vars_) {
    if (var.name == name) return var.value;
  }
  return emptyText();
}

std::string Form::select(std::string_view name, char separator) const {
  std::string_view text = value(name);
  if (!text.empty() && text[0] == '*') return value(text.substr(1));
  if (text.empty() || text[0] != separator) return std::string(text);
  std::string prefix(text.substr(1));
  prefix += separator;
  for (const FormVar& var : vars_) {
    if (startsWith(var.name, prefix)) return var.name.substr(prefix.size());
  }
  return "";
}

std::string& urlDecode(std::string& text) {
  size_t out = 0;
  for (size_t in = 0; in < text.size(); ++in) {
    char c = text[in];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && in + 2 < text.size()) {
      int high = hexValue(static_cast<unsigned char>(text[in + 1]));
      int low = hexValue(static_cast<unsigned char>(text[in + 2]));
      c = static_cast<char>(static_cast<unsigned char>((high * 16 + low) & 0xff));
      in += 2;
    }
    text[out++] = c;
  }
  text.resize(out);
  return text;
}

std::string urlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (isSafeChar(byte)) {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0f];
    }
  }
  return result;
}

namespace {

// The bytes an HTML text must not hold as they are: a page tests every byte
// of ten thousand addresses, so a table answers.
constexpr std::array<bool, 256> htmlSpecialBytes() {
  std::array<bool, 256> special{};
  for (const unsigned char c : std::string_view("&<>\"'")) special[c] = true;
  return special;
}
constexpr std::array<bool, 256> kHtmlSpecial = htmlSpecialBytes();

}  // namespace

void appendHtmlEscaped(std::string& out, std::string_view text, bool apostrophe) {
  // Plain runs are copied whole; only the few special bytes are replaced.
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!kHtmlSpecial[static_cast<unsigned char>(c)] || (c == '\'' && !apostrophe)) continue;
    const char* entity = htmlEntity(c);
    out.append(text.substr(runStart, i - runStart));
    out.append(entity);
    runStart = i + 1;
  }
  out.append(text.substr(runStart));
}

std::string htmlEscape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  appendHtmlEscaped(result, text, false);
  return result;
}

std::string& removeChar(std::string& text, char c) {
  std::erase(text, c);
  return text;
}

}  // namespace vy
