// The about page. Its closing line is kept in the binary bit-inverted, 61
// bytes with the terminating zero, and restored only when printed.
#include "common/about.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/errors.h"
#include "common/text.h"

namespace vy {
namespace {

constexpr float kProductVersion = 2.00072f;

constexpr char kClosingLine[] = "Vantry keeps watch over your web sites, by day and by night.";
static_assert(sizeof(kClosingLine) == 61);

// The closing line as stored: every byte inverted (the zero too, so the
// restoring loop finds its end where an inverted byte becomes zero).
constexpr std::array<unsigned char, 61> scramble(const char (&text)[61]) {
  std::array<unsigned char, 61> out{};
  for (size_t i = 0; i < 61; ++i) out[i] = static_cast<unsigned char>(~text[i]);
  return out;
}
constexpr std::array<unsigned char, 61> kScrambledClosingLine = scramble(kClosingLine);

std::string unscrambledClosingLine() {
  std::string line;
  for (unsigned char byte : kScrambledClosingLine) {
    unsigned char restored = static_cast<unsigned char>(~byte);
    if (restored == 0) break;
    line.push_back(static_cast<char>(restored));
  }
  return line;
}

// The about page text, CGI header not included.
std::string aboutPageBody(const char* unit, const char* unitVersion) {
  std::string page = "<h2>Vantry</h2>\n<pre>";
  page += formatAlloc("VYVer       : %.5f\n<br>", static_cast<double>(kProductVersion));
  page += formatAlloc("Unit         : %s\n<br>", unit);
  page += formatAlloc("UnitVer      : %s\n<br>", unitVersion);
  page += formatAlloc("Compiled     : %s %s\n<br>", __DATE__, __TIME__);
  page += formatAlloc("Compiled OS  : %s\n<br>", "Linux");
  page += "</pre>";
  page += unscrambledClosingLine() + "\n";
  return page;
}

}  // namespace

void printAboutPage(const char* unit, const char* unitVersion) {
  printContentType();
  std::fputs(aboutPageBody(unit, unitVersion).c_str(), stdout);
  std::exit(0);
}

}  // namespace vy
