// Fuzz target: what a check makes of a site's reply. The first line of the
// input is the URL asked for, the rest the raw reply: its status, its
// Location header, the redirect target resolved against the URL, and both
// URLs taken apart into host, port and path.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/http.h"
#include "runner/check_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [base, reply] = vy::fuzz::cutAt(vy::fuzz::asText(data, size), '\n');
  const std::optional<vy::LargeText> received(std::in_place, reply.begin(), reply.end());
  (void)vy::replyStatus(received, vy::HttpError::kOk);
  if (!base.empty()) (void)vy::replyStatus(std::nullopt, static_cast<vy::HttpError>(base[0] % 12));

  const std::string target = vy::findLocationHeader(reply);
  vy::fuzz::expect(target.find_first_of("\r\n") == std::string::npos,
                   "a Location value is one line");
  const std::string next = vy::resolveRedirect(std::string(base), target);
  for (const std::string_view url : {base, std::string_view(next)}) {
    vy::HttpTarget parsed;
    if (vy::parseHttpUrl(url, parsed) != vy::HttpError::kOk) continue;
    vy::fuzz::expect(parsed.path.starts_with('/') && parsed.port != 0, "a URL's path and port");
    vy::fuzz::expect(parsed.hostHeader.find_first_of("/?") == std::string::npos,
                     "the host part ends before the path");
  }
  return 0;
}
