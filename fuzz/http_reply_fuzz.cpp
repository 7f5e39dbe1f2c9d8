// Fuzz target: what a check makes of a site's reply. The first line of the
// input is the URL asked for, the rest the raw reply: its status, its
// Location header and the redirect target resolved against the URL.
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
  (void)vy::resolveRedirect(std::string(base), target);
  return 0;
}
