// Outside checkers of what the programs write: tidy for HTML pages, xmllint
// for SVG images (Debian's tidy and libxml2-utils).
#ifndef VANTRY_TESTS_SUPPORT_VALIDATORS_H_
#define VANTRY_TESTS_SUPPORT_VALIDATORS_H_

#include <string>

namespace vy::test {

// Whether tidy finds no error in the page (warnings pass); report, when
// given, receives what tidy said.
bool tidyAccepts(const std::string& html, std::string* report = nullptr);

// Whether the text is well-formed XML.
bool xmlAccepts(const std::string& text);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_VALIDATORS_H_
