// Fuzz target: the CGI request text, as a query string or a POST body. The
// form variables are taken apart and looked up as the console does, the
// command selected through "*NAME" and ":prefix" values; the encodings the
// pages use hold their promises on the same bytes.
#include <cstdint>
#include <string>

#include "common/cgi.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request = vy::fuzz::asText(data, size);
  vy::Form form;
  if (vy::parseForm(request, form) != vy::RequestRead::kOk) {
    vy::fuzz::expect(form.vars().empty(), "a refused request leaves no variable");
    return 0;
  }
  (void)form.select("fnct", ':');
  (void)form.find("apwd");
  // The first variable's name: the request counts up to a NUL, a pair up to
  // "&", a name up to "=".
  const std::string_view text = vy::fuzz::cutAt(request, '\0').first;
  std::string first(vy::fuzz::cutAt(vy::fuzz::cutAt(text, '&').first, '=').first);
  vy::urlDecode(first);
  vy::fuzz::expect(form.find(first).has_value(), "the first variable is found");
  for (char separator : {':', '*', '.'}) (void)form.select(first, separator);

  std::string coded = vy::urlEncode(request);
  vy::fuzz::expect(vy::urlDecode(coded) == request, "decoding undoes encoding");
  vy::fuzz::expect(vy::htmlEscape(request).find_first_of("<>\"") == std::string::npos,
                   "escaped text holds no markup");
  return 0;
}
