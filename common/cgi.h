// The CGI request, its form variables, and the text encodings of pages and
// mails.
//
// readRequest takes the request once (the query string for GET, at most
// CONTENT_LENGTH bytes of standard input for POST) and splits it into a Form,
// in request order, names and values URL-decoded.
// A request larger than kMaxRequestBytes or with more than kMaxFormVars
// variables is refused whole before it is taken apart, and no more of it is
// read: a stranger's request costs at most a few times its bounded size.
// Lookups never fail: a missing variable reads as the empty text, and
// find tells a missing variable from one sent empty.
//
// The encodings serve both programs: the worker URL-encodes the address of
// an HTTP notification, the console escapes everything it puts into a page.
#ifndef VANTRY_COMMON_CGI_H_
#define VANTRY_COMMON_CGI_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace vy {

// The most a request may hold: its bytes, and its form variables (each costs
// a name and a value besides its bytes).
inline constexpr size_t kMaxRequestBytes = size_t{16} << 20;
inline constexpr size_t kMaxFormVars = 10000;

enum class RequestRead { kOk, kTooLarge };

// True when a web server runs this program for a request: the environment
// holds GATEWAY_INTERFACE, REQUEST_METHOD, HTTP_HOST or REMOTE_ADDR. The
// programs start each other without them (see process.h), so a command the
// console or the scheduler starts is never taken for a web request.
bool isCgiRequest();
// True when a browser is connected: HTTP_HOST or REMOTE_ADDR is set. Only
// then does a report show itself as a page.
bool hasWebClient();

// The CGI variables of a request, read once, at the start: from the
// environment, or from the lookup given (a test's request); the empty text
// for those not set.
struct CgiEnvironment {
  std::string method;          // REQUEST_METHOD
  std::string queryString;     // QUERY_STRING
  std::string scriptName;      // SCRIPT_NAME
  std::string scriptFilename;  // SCRIPT_FILENAME
  std::string requestUri;      // REQUEST_URI
  std::string remoteUser;      // REMOTE_USER
  std::string remoteAddr;      // REMOTE_ADDR
  std::string httpHost;        // HTTP_HOST
  std::string origin;          // HTTP_ORIGIN
  std::string referer;         // HTTP_REFERER
  std::string https;           // HTTPS
  std::string requestScheme;   // REQUEST_SCHEME
};
using EnvLookup = std::function<std::string(const char* name)>;
CgiEnvironment readCgiEnvironment(const EnvLookup& lookup = envText);

struct FormVar {
  std::string name;
  std::string value;
};

// The variables of one request, in request order.
class Form {
 public:
  Form() = default;
  explicit Form(std::vector<FormVar> vars) : vars_(std::move(vars)) {}
  // The value of the first pair named exactly name; the empty text when none.
  const std::string& value(std::string_view name) const;
  // The same, but absent (not empty) when the variable was not sent at all.
  std::optional<std::string_view> find(std::string_view name) const;
  // The command carried by a form: a value "*OTHER" yields value("OTHER"); a
  // value that starts with separator, say ":fnct", yields the rest of the
  // name of the first pair named "fnct:..." (the pressed button); any other
  // value is returned as it is.
  std::string select(std::string_view name, char separator) const;
  const std::vector<FormVar>& vars() const { return vars_; }

 private:
  std::vector<FormVar> vars_;
};

// Reads REQUEST_METHOD, QUERY_STRING, CONTENT_LENGTH (and standard input for
// "POST") into form; *received gets the request text as it came. A body
// shorter than announced is accepted as it is. kTooLarge (form then empty)
// when CONTENT_LENGTH or the query string is larger than kMaxRequestBytes, or
// the request holds more than kMaxFormVars variables: the body is read no
// further than to where that shows.
[[nodiscard]] RequestRead readRequest(Form& form, std::string* received = nullptr);

// The pairs of a request text ("a=1&b=&c") into form. An empty text gives
// one pair with an empty name and value. The text counts up to its first NUL
// byte. kTooLarge (form then empty) for more than kMaxFormVars pairs.
[[nodiscard]] RequestRead parseForm(std::string_view requestText, Form& form);

// Decodes "+" and "%XX" in place (hex digits are not validated; a "%" with
// fewer than two bytes after it is kept as it is).
std::string& urlDecode(std::string& text);
// Keeps letters, digits, "." and "-"; every other byte becomes "%xx" with
// lower-case hex digits.
std::string urlEncode(std::string_view text);
// Replaces '"', '&', '<' and '>' by their entities; the apostrophe is kept.
std::string htmlEscape(std::string_view text);
// Appends the text escaped as htmlEscape does, and with the apostrophe as
// "&#39;" too when `apostrophe` is set.
void appendHtmlEscaped(std::string& out, std::string_view text, bool apostrophe);
// Deletes every occurrence of c in place.
std::string& removeChar(std::string& text, char c);

}  // namespace vy

#endif  // VANTRY_COMMON_CGI_H_
